"""Per-call time of torvo.trading's commit and insert, against plain-Python baselines.

Run from the project root (after building the modules in place):

    PYTHONPATH=. python bench/bench_commit.py [--rounds N] [--json FILE]

commit: a ready commit of a day's books (2000 orders and 2000 trades, then
10000 and 10000, over a few position records) after 1% of the orders have
changed status and volumes, as order returns leave them.  Both sides publish
into the same kind of views (torvo.ledger's Account, LiveMap of Position and
Order, list of Trade) and fill a fresh change report; the baseline is the
commit written in plain Python over the records' `_values` and the maps'
`_data`, with the change test in Python too.

insert: one OPEN order per call through a fake bridge that accepts every
request, against the same steps in plain Python (checks, plan, registration,
the request fields, the completion with the position recompute); each call
at a new price.  The guard-on row is the same with a TradingGuard of every
limit (self-trade, cancels, rate, lots, repeats, warnings) that refuses
nothing; its ratio is guard on over guard off (target: at most 1.1x the
time).

Target: commit at least 20x faster than its baseline.  Each figure is the
best of several rounds.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import math
import pathlib
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
try:
    from torvo import trading
    from torvo.ledger import Account, CtpAccount, LiveMap, Order, Position, Trade, TradingResult, empty_position
    from torvo.ledger import TradingGuard
except ImportError:  # run from a source tree with the modules built in place
    sys.path.insert(0, str(ROOT))
    from torvo import trading
    from torvo.ledger import Account, CtpAccount, LiveMap, Order, Position, Trade, TradingResult, empty_position
    from torvo.ledger import TradingGuard
from torvo.data import check_symbol  # noqa: E402

CONFIG = CtpAccount("9999", "u-1", "secret", "tcp://127.0.0.1:1", "app-1", "auth-1")
SYMBOLS = ("SHFE.rb2610", "DCE.m2609", "CZCE.SR609", "INE.sc2608")
STAMP = 1_767_580_200_000


# ---- the books ----------------------------------------------------------------

def order_record(n):
    symbol = SYMBOLS[n % len(SYMBOLS)]
    return {"order_id": f"1:42:{n}", "order_sys_id": f"{n:>12}".strip(), "symbol": symbol, "direction": "BUY",
            "offset": "OPEN", "limit_price": 3520.0, "volume_original": 2, "volume_traded": 2, "volume_left": 0,
            "status": "FILLED", "status_msg": "全部成交", "cancel_pending": False, "cancel_error": None,
            "insert_time": STAMP + n}  # fmt: skip


def trade_record(n):
    return {"trade_id": f"{n:>12}", "order_sys_id": f"{n:>12}".strip(), "symbol": SYMBOLS[n % len(SYMBOLS)],
            "direction": "BUY", "offset": "OPEN", "price": 3521.0, "volume": 2, "trade_time": STAMP + n}  # fmt: skip


def position_record(symbol):
    record = empty_position(symbol, STAMP)
    record.update(pos_long=10, pos_long_today=4, pos_long_his=6, available_long=10, pos=10)
    return record


def fill(session, size):
    """Private books of `size` orders and trades, one account, four positions."""
    session.a.update(balance=1_000_000.0, available=900_000.0, margin=100_000.0, trading_day="20260105")
    for symbol in SYMBOLS:
        session.p[symbol] = position_record(symbol)
    for n in range(size):
        session.o[f"1:42:{n}"] = order_record(n)
        session.t[(SYMBOLS[n % len(SYMBOLS)].split(".")[0], str(n), "BUY")] = trade_record(n)
    session.session_status = "READY"
    session.dirty = True


def change_some(session, size, round_):
    """1% of the orders move on (new status and volumes), as returns do."""
    step = 100
    for n in range(round_ % step, size, step):
        record = session.o[f"1:42:{n}"]
        record["status"] = "ALIVE" if record["status"] == "FILLED" else "FILLED"
        record["volume_traded"] = 1 if record["volume_traded"] == 2 else 2
        record["volume_left"] = 2 - record["volume_traded"]
    session.dirty = True


# ---- the plain-Python baseline ------------------------------------------------

def py_different(old, new):
    if isinstance(old, float) and isinstance(new, float) and math.isnan(old) and math.isnan(new):
        return False
    return bool(old != new)


class PySession:
    """The published views and private books, and commit in plain Python."""

    def __init__(self):
        self.objects = {}
        self.account = Account(account_id="u-1")
        self.positions, self.orders, self.trades, self.trade_views = LiveMap(Position), LiveMap(Order), [], {}
        for obj in (self.account, self.positions, self.orders, self.trades):
            self.objects[id(obj)] = obj
        self.a = dict(self.account._values)
        self.p, self.o, self.t = {}, {}, {}
        self.session_status = self.published_status = "SYNCING"
        self.dirty = self.reset_pending = False
        self.changed = asyncio.Event()

    def _update_view(self, obj, values, changes):
        fields, current = obj.fields, obj._values
        changed = {k for k, v in values.items() if k in fields and py_different(current.get(k), v)}
        current.update({k: v for k, v in values.items() if k in fields})
        changes.setdefault(id(obj), set()).update(changed)
        return changed

    def _map_view(self, view, key, values, changes):
        created = key not in view
        if created:
            record = view.item_type()
            view._data[key] = record
            self.objects[id(record)] = record
        record = view[key]
        changed = self._update_view(record, values, changes)
        members = changes.setdefault(id(view), set())
        members.update(changed)
        if created:
            members.add("__members__")
        return record

    def commit(self, changes):
        if not self.dirty:
            return False
        self.dirty = False
        self.changed.clear()
        status_changed = self.published_status != self.session_status
        self.published_status = self.session_status
        if self.session_status != "READY":
            return status_changed
        self._update_view(self.account, self.a, changes)
        data = self.orders._data
        dropped = data.keys() - self.o.keys()
        for key in dropped:
            self.objects.pop(id(data[key]), None)
            del data[key]
        if dropped:
            changes.setdefault(id(self.orders), set()).add("__members__")
        if self.reset_pending:
            gone = self.trade_views.keys() - self.t.keys()
            if gone:
                numbers = {id(self.trade_views.pop(tid)) for tid in gone}
                self.trades[:] = [view for view in self.trades if id(view) not in numbers]
                for number in numbers:
                    self.objects.pop(number, None)
                changes.setdefault(id(self.trades), set()).add("__members__")
        for symbol, record in self.p.items():
            self._map_view(self.positions, symbol, record, changes)
        for oid in self.o:
            self._map_view(self.orders, oid, self.o[oid], changes)
        for tid, record in self.t.items():
            view = self.trade_views.get(tid)
            created = view is None
            if created:
                view = Trade()
                self.trade_views[tid] = view
                self.trades.append(view)
                self.objects[id(view)] = view
            changed = self._update_view(view, record, changes)
            if created or changed:
                members = changes.setdefault(id(self.trades), set())
                members.update(changed)
                if created:
                    members.add("__members__")
        self.reset_pending = False
        return True


# ---- insert: the fake bridge and the plain-Python steps ------------------------

class Bridge:
    def request(self, method, data, request_id):
        return 0

    def poll(self):
        return []

    def close(self):
        pass


INSTRUMENT = {"IsTrading": 1, "PriceTick": 1.0, "MinLimitOrderVolume": 1, "MaxLimitOrderVolume": 500}
FLAG_BY_OFFSET = {"OPEN": "0", "CLOSE": "1", "CLOSE_TODAY": "3", "CLOSE_YESTERDAY": "4"}


class PyOrders:
    """insert's steps for an OPEN order, in plain Python, on plain dicts."""

    def __init__(self):
        self.phase, self.session_status, self.reset_pending = "ready", "READY", False
        self.instruments = {symbol: INSTRUMENT for symbol in SYMBOLS}
        self.front, self.session, self.order_ref, self.request_id = 1, 42, 0, 0
        self.o, self.native_orders, self.ref_orders, self.p = {}, {}, {}, {s: position_record(s) for s in SYMBOLS}
        self.pending, self.native, self.dirty, self.changed = set(), Bridge(), False, asyncio.Event()

    def _request(self, method, fields):
        data = {"BrokerID": "9999", "InvestorID": "u-1", "UserID": "u-1"}
        data.update(fields)
        self.request_id += 1
        return self.request_id, self.native.request(method, data, self.request_id)

    def _free_parts(self, symbol, side):
        pos = self.p[symbol]
        his, today = pos[f"pos_{side}_his"], pos[f"pos_{side}_today"]
        closing = "SELL" if side == "long" else "BUY"
        for child in self.native_orders.values():
            if child["symbol"] != symbol or child["direction"] != closing or child["offset"] == "OPEN":
                continue
            if child["status"] in ("FILLED", "CANCELLED", "REJECTED"):
                continue
            his -= child["volume_left"]
        return his, today

    async def insert(self, symbol, direction, offset, volume, limit_price):
        if self.phase != "ready" or self.session_status != "READY" or self.reset_pending:
            return [TradingResult("REJECTED", None, "交易账户未就绪，报单未提交")]
        try:
            check_symbol(symbol)
            if direction not in ("BUY", "SELL") or offset not in ("OPEN", "CLOSE"):
                raise ValueError
            if type(volume) is not int or not 1 <= volume <= 2147483647:
                raise ValueError
            if isinstance(limit_price, bool) or trading.finite(limit_price) is None or not limit_price > 0:
                raise ValueError
            return await self._insert(symbol, direction, offset, volume, limit_price)
        except (ValueError, TypeError, OverflowError, BufferError, KeyError):
            return [TradingResult("REJECTED", None, "报单参数无效或可平持仓不足，未提交")]

    async def _insert(self, symbol, direction, offset, volume, limit_price):
        instrument = self.instruments.get(symbol)
        if not instrument or not instrument.get("IsTrading"):
            raise ValueError
        tick = instrument["PriceTick"]
        if tick > 0 and not math.isclose(limit_price / tick, round(limit_price / tick), rel_tol=0, abs_tol=1e-07):
            raise ValueError
        plan = [("OPEN", volume)]
        for _, lots in plan:
            if not instrument["MinLimitOrderVolume"] <= lots <= instrument["MaxLimitOrderVolume"]:
                raise ValueError
        self._free_parts(symbol, "long")
        self._free_parts(symbol, "short")
        exchange, instrument_id = symbol.split(".", 1)
        children = []
        for word, lots in plan:
            self.order_ref += 1
            ref = str(self.order_ref)
            oid = trading.local_order_id(self.front, self.session, ref)
            self.o[oid] = {"order_id": oid, "order_sys_id": None, "symbol": symbol, "direction": direction,
                           "offset": word, "limit_price": limit_price, "volume_original": lots, "volume_traded": 0,
                           "volume_left": lots, "status": "PENDING", "status_msg": "", "cancel_pending": False,
                           "cancel_error": None, "insert_time": int(time.time() * 1000)}  # fmt: skip
            child = {"order_id": oid, "parent": oid, "symbol": symbol, "direction": direction, "offset": word,
                     "exchange_order_id": "", "close_type": None, "volume_original": lots, "volume_traded": 0,
                     "volume_left": lots, "status": "PENDING", "is_confirmed": False, "status_msg": "",
                     "cancel_pending": False, "cancel_error": None, "ref": ref, "front": self.front,
                     "session": self.session, "cancel_request_id": None, "pending_finish": False,
                     "expected_traded": 0, "finish_status": None, "finish_msg": ""}  # fmt: skip
            self.native_orders[oid] = child
            self.ref_orders[(self.front, self.session, ref)] = oid
            children.append((child, FLAG_BY_OFFSET[word]))
        results = []
        for child, flag in children:
            child["request_id"] = self.request_id + 1
            rid, code = self._request("OrderInsert", {
                "InstrumentID": instrument_id, "ExchangeID": exchange, "OrderRef": child["ref"],
                "Direction": "0" if direction == "BUY" else "1", "CombOffsetFlag": flag, "CombHedgeFlag": "1",
                "OrderPriceType": "2", "LimitPrice": limit_price, "VolumeTotalOriginal": child["volume_original"],
                "TimeCondition": "3", "VolumeCondition": "1", "MinVolume": 1, "ContingentCondition": "1",
                "ForceCloseReason": "0", "IsAutoSuspend": 0, "UserForceClose": 0})  # fmt: skip
            child["request_id"] = rid
            results.append(TradingResult("SUBMITTED", child["order_id"]))
        record = self.p[symbol]
        for side in ("long", "short"):
            his, today = self._free_parts(symbol, side)
            record[f"available_{side}"] = his + today
            record[f"frozen_{side}"] = record[f"pos_{side}"] - his - today
        for child, _ in children:
            if child["order_id"] in self.native_orders:
                order = self.o[child["order_id"]]
                order["order_sys_id"] = child["exchange_order_id"].strip() or None
                for key in ("volume_original", "volume_traded", "volume_left", "status", "status_msg",
                            "cancel_pending", "cancel_error"):
                    order[key] = child[key]
        self.pending.add("account")
        self.dirty = True
        self.changed.set()
        return results


GUARD = TradingGuard(self_trade=True, max_cancels=1000, max_orders_per_second=10**9, max_lots=100, repeat_ms=10,
                     warn_orders=1000, warn_cancels=500, warn_cancelled=500, warn_trades=1000, warn_refused=10)


def native_orders_session(guard=None):
    s = trading.Trading(CONFIG, 5, {}, native_factory=lambda config, directory: Bridge(), guard=guard)
    s.directory = "/flow/bench"
    s._open_native()
    s.phase, s.session_status, s.front, s.session = "ready", "READY", 1, 42
    for symbol in SYMBOLS:
        s.instruments[symbol] = INSTRUMENT
        s.p[symbol] = position_record(symbol)
    s.position_ready = True
    return s


# ---- measuring ------------------------------------------------------------------

def time_commit(make, size, rounds):
    best = math.inf
    session = make()
    fill(session, size)
    session.commit({})  # the first publication creates every view
    for r in range(rounds):
        change_some(session, size, r)
        changes: dict = {}
        gc.disable()
        try:
            start = time.perf_counter()
            session.commit(changes)
            best = min(best, time.perf_counter() - start)
        finally:
            gc.enable()
    return best, session


def time_insert(session, calls, rounds):
    best = math.inf
    prices = [3000.0 + n for n in range(calls * rounds)]  # a new price each call: no repeats

    def drive(coroutine):
        try:
            coroutine.send(None)
        except StopIteration as stop:
            return stop.value
        raise AssertionError("insert suspended")

    for r in range(rounds):
        gc.disable()
        try:
            start = time.perf_counter()
            for price in prices[r * calls:(r + 1) * calls]:
                drive(session.insert("SHFE.rb2610", "BUY", "OPEN", 1, price))
            best = min(best, (time.perf_counter() - start) / calls)
        finally:
            gc.enable()
        session.o.clear(), session.native_orders.clear(), session.ref_orders.clear()
    return best


def native_commit_session():
    return trading.Trading(CONFIG, 5, {}, native_factory=lambda config, directory: None)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7, help="timed commits (and insert rounds) per side; best is kept")
    parser.add_argument("--json", metavar="FILE", help="also write the rows to FILE as JSON")
    args = parser.parse_args(argv)
    rows = []

    print(f"{'hot path':<46} {'native us':>10} {'python us':>10} {'ratio':>8} {'goal':>7}")
    ok = True
    for size in (2000, 10000):
        native, native_session = time_commit(native_commit_session, size, args.rounds)
        base, base_session = time_commit(PySession, size, args.rounds)
        assert len(native_session.orders) == len(base_session.orders) == size
        assert len(native_session.trades) == len(base_session.trades) == size
        ratio = base / native
        ok &= ratio >= 20
        print(f"{f'commit, {size} orders + {size} trades, 1% changed':<46} {native * 1e6:10.1f} {base * 1e6:10.1f} "
              f"{ratio:7.2f}x {'  20.0x':>7}  {'ok' if ratio >= 20 else 'below goal'}")  # fmt: skip
        rows.append({"hot_path": f"commit, {size} orders + {size} trades, 1% changed", "torvo_us": native * 1e6,
                     "baseline_us": base * 1e6, "ratio": ratio, "target": ">= 20x", "met": ratio >= 20})
    # guard off and on in turns, so that both see the same load of the machine
    plain_session, guarded_session = native_orders_session(), native_orders_session(GUARD)
    native = guarded = math.inf
    for _ in range(5):
        native = min(native, time_insert(plain_session, 2000, args.rounds))
        guarded = min(guarded, time_insert(guarded_session, 2000, args.rounds))
    base = time_insert(PyOrders(), 2000, args.rounds)
    print(f"{'insert, one OPEN order':<46} {native * 1e6:10.2f} {base * 1e6:10.2f} {base / native:7.2f}x {'-':>7}")
    rows.append({"hot_path": "insert, one OPEN order", "torvo_us": native * 1e6, "baseline_us": base * 1e6,
                 "ratio": base / native, "target": None, "met": None})
    assert guarded_session.counters()["symbols"]["SHFE.rb2610"]["refused"] == 0
    ratio = guarded / native
    ok &= ratio <= 1.1
    print(f"{'insert, one OPEN order, guard on':<46} {guarded * 1e6:10.2f} {native * 1e6:10.2f} {ratio:7.2f}x "
          f"{'  1.1x':>7}  {'ok' if ratio <= 1.1 else 'above goal'}")  # fmt: skip
    rows.append({"hot_path": "insert, one OPEN order, guard on", "torvo_us": guarded * 1e6,
                 "baseline_us": native * 1e6, "ratio": ratio, "target": "<= 1.1x the time", "met": ratio <= 1.1})
    if not ok:
        print("some figures miss their goal (the machine may be loaded: run again)")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump(rows, out, ensure_ascii=False, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
