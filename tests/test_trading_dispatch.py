"""Trading: event dispatch after login (re-attributed errors, query responses,
pushed returns, rejected inserts and cancels) and the completion of the login
snapshots (instruments, orders, the two trade queries around the positions,
positions and funds)."""

import math
import sys

import pytest

from torvo import trading
from torvo.data import ExError
from torvo.ledger import Order, Position, empty_position
from trading_support import clock, factory, logged_in, make_session, response  # noqa: F401  (fixtures)

DAY = "20240105"
NOW = 1_700_000_000_000  # the wall clock of the `clock` fixture, in ms
SYM, OTHER, INE = "SHFE.cu2501", "DCE.m2505", "INE.sc2503"
OID8, OID9, OID10 = "1:42:8", "1:42:9", "1:42:10"


@pytest.fixture
def s(clock, factory):
    session = make_session(factory)
    logged_in(session, factory, clock, DAY)  # phase "sync", phase_id 3, front 1, session 42
    session.instruments.update({SYM: {"ProductClass": "1"}, OTHER: {"ProductClass": "1"}, INE: {}})
    session.dirty = False
    return session


def child(s, ref, request_id, cancel_request_id=None, *, sys="", direction="SELL", offset="CLOSE", volume=5,
          traded=0):  # fmt: skip
    """Registers an order as order submission does: child, order record, reference (and number)."""
    oid = f"1:42:{ref}"
    record = s.native_orders[oid] = {
        "order_id": oid, "parent": oid, "symbol": SYM, "direction": direction, "offset": offset,
        "exchange_order_id": sys, "close_type": None if offset == "OPEN" else "UNSPECIFIED",
        "volume_original": volume, "volume_traded": traded, "volume_left": volume - traded, "status": "ALIVE",
        "is_confirmed": True, "status_msg": "", "cancel_pending": cancel_request_id is not None,
        "cancel_error": None, "ref": ref, "front": 1, "session": 42, "cancel_request_id": cancel_request_id,
        "pending_finish": False, "expected_traded": traded, "finish_status": None, "finish_msg": "",
        "request_id": request_id,
    }  # fmt: skip
    s.o[oid] = dict({k: record.get(k) for k in Order.fields}, order_sys_id=sys.strip() or None, limit_price=1.0)
    s.ref_orders[(1, 42, ref)] = oid
    if sys.strip():
        s.system_orders[("SHFE", sys.strip())] = oid
    return record


def key(tid, direction="BUY"):
    """A trade's key in the books."""
    return ("SHFE", tid, direction)


def order_row(ref="8", sys="100", status="3", **extra):
    return dict({"TradingDay": DAY, "FrontID": 1, "SessionID": 42, "OrderRef": ref, "OrderSysID": sys,
                 "ExchangeID": "SHFE", "InstrumentID": "cu2501", "Direction": "0", "CombOffsetFlag": "0",
                 "CombHedgeFlag": "1", "LimitPrice": 1.0, "VolumeTotalOriginal": 5, "VolumeTraded": 0,
                 "OrderStatus": status, "OrderSubmitStatus": "3", "InsertDate": DAY, "InsertTime": "09:30:00"},
                **extra)  # fmt: skip


def trade_row(tid, sys="100", volume=1, **extra):
    return dict({"TradingDay": DAY, "TradeID": tid, "OrderSysID": sys, "ExchangeID": "SHFE", "InstrumentID": "cu2501",
                 "Direction": "0", "OffsetFlag": "0", "HedgeFlag": "1", "Price": 1.0, "Volume": volume,
                 "TradeDate": DAY, "TradeTime": "09:31:00"}, **extra)  # fmt: skip


def pos_row(symbol, direction="2", position=0, today=0, date="2", **extra):
    exchange, instrument = symbol.split(".")
    row = {"ExchangeID": exchange, "InstrumentID": instrument, "HedgeFlag": "1", "PosiDirection": direction,
           "Position": position, "TodayPosition": today, "PositionDate": date, "TradingDay": DAY}  # fmt: skip
    return dict(row, **extra)


def account_row(**extra):
    return dict({"AccountID": "u-1", "CurrencyID": "CNY", "TradingDay": DAY, "Balance": 100.0}, **extra)


def query(s, kind, rid=50, revision=0, rows=None):
    s.sync_index = trading.SYNC_STEPS.index(kind)
    s.inflight = record = {"id": rid, "kind": kind, "rows": [], "progress": 0.0, "revision": revision}
    if rows is not None:  # a finished query record, as handed to _complete
        s.inflight, record["rows"] = None, rows
    return record


def position(symbol, updated, **quantities):
    return dict(empty_position(symbol, updated), **quantities)


REJECTED = {"status": "REJECTED", "is_confirmed": True, "status_msg": "报单被拒绝", "pending_finish": False,
            "cancel_pending": False, "cancel_error": None}  # fmt: skip
REFUSED = {"status": "ALIVE", "cancel_pending": False, "cancel_error": "撤单被拒绝"}


def fields(record, expected):
    return {key: record[key] for key in expected}


# ---- RspError ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "ids, hit, effect",  # ids: (request_id, cancel_request_id) of orders 8 and 9; the error's rid is 7
    [(((7, None), (8, 7)), OID8, REJECTED), (((6, 7), (7, None)), OID8, REFUSED),
     (((7, 7), (8, None)), OID8, REJECTED), (((6, None), (7, 5)), OID9, REJECTED),
     (((6, 5), (8, 7)), OID9, REFUSED)],
)  # fmt: skip
def test_rsp_error_walks_the_children_in_order(s, ids, hit, effect):
    children = [child(s, ref, *pair) for ref, pair in zip(("8", "9"), ids)]
    query(s, "orders", rid=7)  # a child wins over the query in flight
    copies = [dict(c) for c in children]
    s.event(response("RspError", 7, code=15, message="x"))
    for c, copy in zip(children, copies):
        if c["order_id"] == hit:
            assert fields(c, effect) == effect
            order = {k: v for k, v in effect.items() if k in Order.fields}
            assert fields(s.o[hit], order) == order
        else:
            assert c == copy
    assert s.inflight is not None and s.dirty


@pytest.mark.parametrize(
    "kind, code, message",
    [("positions", 90, None), ("account", 154, None), ("positions", 91, "CTP 持仓查询失败（错误码：91）：无此权限"),
     ("trades_after", 3, "CTP 复查成交查询失败（错误码：3）：无此权限"),
     ("account", 0, "CTP 资金查询失败（错误码：0）：无此权限")],
)  # fmt: skip
def test_rsp_error_of_the_query_in_flight(s, clock, kind, code, message):
    query(s, kind, rid=60)
    event = response("RspError", 60, code=code, message="无此权限")
    if message is None:  # flow control: the same step is sent again later
        s.event(event)
        assert s.last_query == clock.now + 1 and s.recovery.calls == ["fail"]
    else:
        with pytest.raises(ExError) as info:
            s.event(event)
        assert info.value.args == (message,)
    assert s.inflight is None and s.sync_index == trading.SYNC_STEPS.index(kind)


@pytest.mark.parametrize(
    "rid, code, message",
    [(3, 5, "CTP 会话错误（错误码：5）：会话失效"), (3, 0, None), (99, 3, "收到无法归属请求的 CTP 错误（错误码：3）"),
     (99, 0, None), (7, 0, None), (0, -1, "收到无法归属请求的 CTP 错误（错误码：-1）")],
)  # fmt: skip
def test_rsp_error_of_the_login_step_or_of_nothing(s, rid, code, message):
    children = [child(s, "8", 7), child(s, "10", 0, 0)]  # rid 0 never matches a child
    copies = [dict(c) for c in children]
    query(s, "orders", rid=7)  # code 0 for a child's request stops there: no query error
    event = response("RspError", rid, code=code, message="会话失效")
    if message is None:
        s.event(event)
    else:
        raised = ExError if rid == 3 else TimeoutError
        with pytest.raises(raised) as info:
            s.event(event)
        assert type(info.value) is raised and info.value.args == (message,)
    assert children == copies and s.inflight is not None


# ---- query responses --------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, rid, feeds",
    [("RspQryOrder", 50, True), ("RspQryInstrument", 50, True), ("RspQrySomethingNew", 50, True),
     ("RspQry", 50, True), ("RspQryOrder", 49, False), ("RspQr", 50, False), ("rspQryOrder", 50, False),
     ("XRspQryOrder", 50, False)],
)  # fmt: skip
def test_query_responses_by_name_and_request_id(s, clock, name, rid, feeds):
    record = query(s, "orders")
    clock.now += 2
    for data in ({"A": 1}, None, {}):  # empty responses add no row
        s.event(response(name, rid, data, last=False))
    if not feeds:  # not even an error or a last response is looked at
        s.event(response(name, rid, {"A": 1}, code=3))
        s.event(response(name, rid, {"A": 1}))
    assert s.inflight is record and record["rows"] == ([{"A": 1}] if feeds else [])
    assert record["progress"] == (clock.now if feeds else 0.0) and s.sync_index == 1


def test_last_response_completes_the_query(s, clock):
    record = query(s, "instruments")
    s.event(response("RspQryInstrument", 50, {"ExchangeID": "SHFE", "InstrumentID": "cu2501", "ProductClass": "1"},
                     last=False))  # fmt: skip
    assert s.inflight is record and s.sync_index == 0
    clock.now += 1
    s.event(response("RspQryInstrument", 50, {"ExchangeID": "DCE", "InstrumentID": "m2505", "ProductClass": "2"}))
    assert s.inflight is None and list(s.instruments) == [SYM, OTHER] and len(record["rows"]) == 2
    assert (s.sync_index, s.phase_time) == (1, clock.now)
    s.event(response("RspQryInstrument", 50, {"ExchangeID": "X", "InstrumentID": "y", "ProductClass": "1"}))
    assert list(s.instruments) == [SYM, OTHER] and s.sync_index == 1  # nothing in flight any more
    query(s, "positions")
    s.event(response("RspQryInvestorPosition", 50, None))  # an empty result
    assert s.position_candidate == {} and s.sync_index == 4


@pytest.mark.parametrize("code, raised", [(90, None), (91, ExError)])
def test_query_response_error_moves_progress_but_adds_no_row(s, clock, code, raised):
    record = query(s, "orders")
    clock.now += 2
    if raised:
        with pytest.raises(raised, match="^CTP 订单查询失败（错误码：91）：x$"):
            s.event(response("RspQryOrder", 50, order_row(), code=code, message="x"))
    else:
        s.event(response("RspQryOrder", 50, order_row(), code=code, message="x"))
    assert s.inflight is None and record["rows"] == [] and record["progress"] == clock.now
    assert s.native_orders == {} and s.sync_index == 1


# ---- pushed orders and trades ------------------------------------------------------------


@pytest.mark.parametrize("phase, applied", [("connecting", False), ("authenticate", False), ("login", False),
                                            ("settlement", False), ("sync", True), ("ready", True)])  # fmt: skip
def test_pushed_returns_only_in_sync_and_ready(s, phase, applied):
    s.phase = phase
    s.event(response("RtnOrder", 0, order_row()))
    s.event(response("RtnTrade", 0, trade_row("7")))
    assert (OID8 in s.o, key("7") in s.live_trade_buffer) == (applied, applied)


@pytest.mark.parametrize(
    "flag, order, trade",
    [("1", True, True), ("11", True, False), ("31", False, False), ("3", False, False), ("", False, False),
     (None, False, False)],
)  # fmt: skip
def test_pushed_returns_need_a_speculative_hedge_flag(s, flag, order, trade):
    s.event(response("RtnOrder", 0, order_row(CombHedgeFlag=flag)))
    s.event(response("RtnTrade", 0, trade_row("7" if trade else "", HedgeFlag=flag)))  # no key read when untracked
    assert (OID8 in s.native_orders, key("7") in s.live_trade_buffer) == (order, trade)


def test_live_trade_buffer_before_positions_are_ready(s):
    first = trade_row("7")
    s.event(response("RtnTrade", 0, first))
    s.event(response("RtnTrade", 0, trade_row(" 7 ", volume=2)))  # the same key: the first copy stays
    assert s.live_trade_buffer == {key("7"): first}
    s.live_trade_buffer.update((key(f"k{i}"), {}) for i in range(32766))
    s.event(response("RtnTrade", 0, trade_row("8")))  # the 32768th
    s.event(response("RtnTrade", 0, trade_row("8", volume=3)))  # repeated while full: never raises
    with pytest.raises(BufferError) as info:
        s.event(response("RtnTrade", 0, trade_row("9")))
    assert info.value.args == ("登录期间的成交回报暂存队列已满",)
    assert len(s.live_trade_buffer) == 32768 and key("9") not in s.live_trade_buffer
    assert s.live_trade_buffer[key("8")]["Volume"] == 1 and s.t == {} and s.pending_trades == {}


def test_live_trade_after_positions_are_ready_moves_the_book(s):
    s.position_ready = True
    c = child(s, "8", 11, sys="100", direction="BUY", offset="OPEN")
    s.p[SYM] = empty_position(SYM, 1)
    s.event(response("RtnTrade", 0, trade_row("7", volume=2)))
    assert s.live_trade_buffer == {} and list(s.t) == [key("7")] and c["volume_traded"] == 2
    assert (s.p[SYM]["pos_long"], s.p[SYM]["pos_long_today"]) == (2, 2)


# ---- rejected inserts and cancels -----------------------------------------------------------


@pytest.mark.parametrize("name", ["RspOrderInsert", "ErrRtnOrderInsert"])
def test_rejected_insert_updates_child_order_and_frozen(s, name):
    s.phase = "ready"
    s.p[SYM] = position(SYM, 1, pos_long=5, pos_long_his=5, pos=5, frozen_long=3, available_long=2)
    c = child(s, "8", 11, 12, traded=2)
    c.update(pending_finish=True, expected_traded=4, cancel_error="x", finish_status="CANCELLED")
    s.event(response(name, 0, {"OrderRef": "8"}, code=31, message="资金不足"))
    assert fields(c, REJECTED) == REJECTED and c["expected_traded"] == 2 and c["volume_traded"] == 2
    order = {k: v for k, v in REJECTED.items() if k in Order.fields}
    assert fields(s.o[OID8], order) == order
    assert fields(s.p[SYM], ["frozen_long", "available_long", "updated_at"]) == {
        "frozen_long": 0, "available_long": 5, "updated_at": NOW}  # fmt: skip
    assert s.pending == {"account"} and s.dirty


class Noted(dict):
    """A child that keeps what its update() was given."""

    def update(self, *args, **fields):
        self.updated = dict(*args, **fields)
        super().update(*args, **fields)


def test_rejected_insert_updates_a_dict_subclass_child_through_its_update(s):
    s.native_orders[OID8] = c = Noted(child(s, "8", 11))
    s.event(response("ErrRtnOrderInsert", 0, {"OrderRef": "8"}, code=31))
    assert c.updated["status"] == c["status"] == s.o[OID8]["status"] == "REJECTED"


@pytest.mark.parametrize(
    "data, rid, code, hit",
    [({"OrderRef": "9"}, 11, 31, OID9), ({"OrderRef": 9}, 0, 31, OID9),
     ({"OrderRef": "8", "FrontID": 5, "SessionID": 6}, 0, 31, OID8), ({"OrderRef": "77"}, 12, 31, OID9),
     ({}, 12, 31, OID9), (None, 11, 31, OID8), ({"OrderRef": "77"}, 0, 31, None), ({}, 0, 31, None),
     ({}, 13, 31, None), ({"OrderRef": "8"}, 11, 0, None)],
)  # fmt: skip
def test_rejected_insert_lookup(s, data, rid, code, hit):
    children = {OID8: child(s, "8", 11), OID9: child(s, "9", 12), OID10: child(s, "10", 0)}
    copies = {oid: dict(c) for oid, c in children.items()}
    s.event(response("ErrRtnOrderInsert", rid, data, code=code))
    for oid, c in children.items():
        assert c["status"] == ("REJECTED" if oid == hit else "ALIVE") and (oid == hit or c == copies[oid])


@pytest.mark.parametrize(
    "data, rid, hit",
    [({"ExchangeID": "SHFE", "OrderSysID": "  100 "}, 0, OID8), ({"ExchangeID": "SHFE", "OrderSysID": "100"}, 21, OID8),
     ({"ExchangeID": "SHFE", "OrderSysID": "100"}, 22, None), ({"ExchangeID": "SHFE", "OrderSysID": "100"}, 20, None),
     ({"ExchangeID": "DCE", "OrderSysID": "100"}, 0, None), ({"OrderSysID": "100"}, 0, None),  # another exchange's
     ({"ExchangeID": "DCE", "OrderSysID": "100"}, 22, OID9),
     ({"OrderSysID": "999"}, 22, OID9), ({"OrderSysID": "  "}, 22, OID9),
     (None, 21, OID8), ({"FrontID": 1, "SessionID": 42, "OrderRef": 9}, 0, OID9),
     ({"FrontID": 1, "SessionID": 42, "OrderRef": "9"}, 21, OID8),
     ({"FrontID": 1, "SessionID": 42, "OrderRef": "9"}, 30, None),
     ({"FrontID": 2, "SessionID": 42, "OrderRef": "9"}, 0, None), ({"OrderRef": "9"}, 0, None),
     ({"OrderRef": ""}, 0, None), ({}, 0, None)],
)  # fmt: skip
def test_rejected_cancel_lookup(s, data, rid, hit):
    children = {OID8: child(s, "8", 11, 21, sys="100"), OID9: child(s, "9", 12, 22, sys="200")}
    copies = {oid: dict(c) for oid, c in children.items()}
    s.event(response("RspOrderAction", rid, data, code=26, message="已成交"))
    for oid, c in children.items():
        if oid == hit:
            assert fields(c, REFUSED) == REFUSED and fields(s.o[oid], REFUSED) == REFUSED and s.dirty
        else:
            assert c == copies[oid] and s.o[oid]["cancel_pending"] is True


@pytest.mark.parametrize(
    "name, pending, cancel_id, code, refused",
    [("ErrRtnOrderAction", True, 21, 26, True), ("ErrRtnOrderAction", True, 21, 0, False),
     ("RspOrderAction", True, 21, 0, False), ("RspOrderAction", False, 21, 26, False),
     ("RspOrderAction", True, None, 26, False)],
)  # fmt: skip
def test_rejected_cancel_needs_an_error_and_a_pending_cancel(s, name, pending, cancel_id, code, refused):
    c = child(s, "8", 11, cancel_id, sys="100")
    c["cancel_pending"] = pending
    copy, order = dict(c), dict(s.o[OID8])
    s.event(response(name, 0, {"ExchangeID": "SHFE", "OrderSysID": "100"}, code=code))
    s.event(response(name, 21, {}, code=code))
    if refused:
        assert fields(c, REFUSED) == REFUSED and s.dirty
    else:
        assert (c, s.o[OID8], s.dirty) == (copy, order, False)


# ---- completion: instruments, orders, trades ------------------------------------------------


def test_instruments_keep_futures_and_options(s):
    rows = [{"ExchangeID": "SHFE", "InstrumentID": "cu2501", "ProductClass": "1", "n": 1},
            {"ExchangeID": "DCE", "InstrumentID": "m2505-C-3000", "ProductClass": "2"},
            {"ExchangeID": "SSE", "InstrumentID": "510050", "ProductClass": "3"},
            {"InstrumentID": "SR", "ProductClass": "4"},
            {"ExchangeID": "CZCE", "InstrumentID": "SR501"},
            {"ExchangeID": "SHFE", "InstrumentID": "cu2501", "ProductClass": "1", "n": 2},
            {"ExchangeID": "SHFE", "InstrumentID": "cu2501", "ProductClass": "3", "n": 3}]  # fmt: skip
    s._complete(query(s, "instruments", rows=rows))
    assert s.instruments == {SYM: rows[5], "DCE.m2505-C-3000": rows[1]} and list(s.instruments)[0] == SYM


def test_orders_snapshot_is_applied_with_its_revision(s):
    s._complete(query(s, "orders", revision=0, rows=[order_row(), order_row("9", "200", CombHedgeFlag="3")]))
    assert list(s.native_orders) == [OID8] and s.order_revisions == {OID8: 1}
    s._complete(query(s, "orders", revision=0, rows=[order_row(status="5")]))  # sent before order 8 changed
    assert s.native_orders[OID8]["status"] == "ALIVE"
    s._complete(query(s, "orders", revision=1, rows=[order_row(status="5")]))
    assert s.native_orders[OID8]["status"] == "CANCELLED"


def prepared(s, clock):
    """Runs the first trade query (trades 1 and 2) and the position query."""
    c = child(s, "8", 11, sys="100", direction="BUY", offset="OPEN", volume=10)
    s.trade_before = {key("old")}
    s._complete(query(s, "trades_before", rows=[trade_row("1"), trade_row("5", HedgeFlag="3"), trade_row(" 2 ")]))
    assert s.trade_before == {key("1"), key("2")} == set(s.t) and c["volume_traded"] == 2
    assert s.p == {symbol: empty_position(symbol) for symbol in s.positions}  # positions not moved
    assert s.sync_index == 3
    clock.wall = 1_700_000_001.0
    s._complete(query(s, "positions", rows=[pos_row(OTHER, "2", 3, 1), pos_row(INE, "3", 0, 0, "1")]))
    assert s.sync_index == 4 and list(s.position_candidate) == [OTHER, INE]
    clock.wall, clock.now = 1_700_000_002.0, clock.now + 7


@pytest.mark.parametrize(
    "extra, buffered, parked, rewinds",
    [(["3"], [], False, True), ([], ["9"], False, True), ([], [], True, True), ([], ["2"], False, False),
     ([" 3 "], [], False, True)],
)  # fmt: skip
def test_trades_after_rewinds_or_publishes(s, clock, extra, buffered, parked, rewinds):
    prepared(s, clock)
    for tid in buffered:
        s.live_trade_buffer[key(tid)] = trade_row(tid)
    if parked:
        s.pending_trades[key("p")] = trade_row("p", "555")
    rows = [trade_row(t) for t in ["1", "2", *extra]] + [trade_row("5", HedgeFlag="2")]  # not tracked
    s._complete(query(s, "trades_after", rows=rows))
    after = {key(t.strip()) for t in ["1", "2", *extra]}
    assert s.trade_before == after and set(s.t) == after and s.phase_time == clock.now
    if rewinds:
        assert (s.sync_index, s.position_candidate, s.position_ready) == (2, None, False)
        assert s.p == {} and s.published_position_time is None
        assert len(s.live_trade_buffer) == len(buffered)  # kept for the repeated queries
    else:
        assert (s.sync_index, s.position_candidate, s.position_ready) == (5, None, True)
        assert s.live_trade_buffer == {} and s.published_position_time == NOW + 2000


@pytest.mark.parametrize("keys", [["1"], ["1", "3"], []])
def test_trades_after_losing_a_trade_reconnects(s, clock, keys):
    prepared(s, clock)
    candidate = s.position_candidate
    with pytest.raises(TimeoutError) as info:
        s._complete(query(s, "trades_after", rows=[trade_row(t) for t in keys]))
    assert info.value.args == ("登录期间成交查询结果回退，需要重建会话",)
    assert (s.p, s.position_ready, s.position_candidate, s.sync_index) == ({}, False, candidate, 4)


def test_publishing_positions(s, clock):
    for symbol in (SYM, "DCE.gone", OTHER):
        s.positions._data[symbol] = Position(symbol=symbol)
    s.p = {symbol: empty_position(symbol) for symbol in s.positions}
    prepared(s, clock)
    s._complete(query(s, "trades_after", rows=[trade_row("1"), trade_row("2")]))
    assert list(s.p) == [SYM, "DCE.gone", OTHER, INE]
    assert s.p == {
        SYM: empty_position(SYM, NOW + 2000),  # no longer held
        "DCE.gone": empty_position("DCE.gone", None),  # no longer tradable
        OTHER: position(OTHER, NOW + 2000, pos_long=3, pos_long_today=1, pos_long_his=2, pos=3, available_long=3),
        INE: empty_position(INE, NOW + 1000),  # a zero row: the frozen recomputation changed nothing
    }
    assert (s.phase, s.sync_index, s.position_ready, s.published_position_time) == ("sync", 5, True, NOW + 2000)


def test_sixth_completion_makes_the_session_ready(s, clock):
    query(s, "account")
    clock.now += 3
    s.event(response("RspQryTradingAccount", 50, account_row()))
    assert (s.phase, s.session_status, s.sync_index, s.phase_time) == ("ready", "READY", 6, clock.now)
    assert s.recovery.calls == ["success"] and s.query_recovery.calls == ["success"] and s.dirty


def test_account_completion_while_ready_keeps_phase_and_index(s, clock):
    s.phase, s.sync_index, s.phase_time = "ready", 6, 5.0
    clock.now += 3
    s._complete({"id": 51, "kind": "account", "rows": [account_row()], "progress": 0.0, "revision": 0})
    assert (s.phase, s.sync_index, s.phase_time, s.session_status) == ("ready", 6, 5.0, "SYNCING")
    assert s.recovery.calls == [] and s.query_recovery.calls == ["success"]
    assert s.last_account_refresh == clock.now and s.dirty


# ---- positions -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "rows, expected",
    [([pos_row(SYM, "2", 3, 3, "1"), pos_row(SYM, "2", 2, 0, "2")],
      {SYM: dict(pos_long=5, pos_long_today=3, pos_long_his=2, pos=5)}),
     ([pos_row(INE, "3", 4, 0, "1"), pos_row(INE, "3", 2, 2, "2")],
      {INE: dict(pos_short=6, pos_short_today=4, pos_short_his=2, pos=-6)}),
     ([pos_row(OTHER, "2", 4, 1, "1"), pos_row(OTHER, "3", 7, 7, "2"), pos_row(OTHER, "2", 1, 0)],
      {OTHER: dict(pos_long=5, pos_long_today=1, pos_long_his=4, pos_short=7, pos_short_today=7, pos=-2)}),
     ([pos_row("SSE.510050", "3", 0, 0)], {"SSE.510050": {}}),
     ([pos_row(OTHER, "1", 5, HedgeFlag="2", TradingDay="20240108"), pos_row(OTHER, "2", 5, HedgeFlag=None)], {}),
     ([pos_row(OTHER, "2", 1, 1, TradingDay=""), {**pos_row(SYM, "2", 1, 0), "TradingDay": None}],
      {OTHER: dict(pos_long=1, pos_long_today=1, pos=1), SYM: dict(pos_long=1, pos_long_his=1, pos=1)})],
)  # fmt: skip
def test_positions_rows(s, rows, expected):
    result = s._positions(rows, 123)
    assert result == {symbol: position(symbol, 123, **q) for symbol, q in expected.items()}
    assert list(result) == list(expected)


@pytest.mark.parametrize(
    "row, raised, message",
    [(pos_row(OTHER, TradingDay="20240108"), TimeoutError, "持仓查询期间交易日发生变化"),
     (pos_row("SSE.510050", "1", 5, TradingDay="20240108"), TimeoutError, "持仓查询期间交易日发生变化"),
     (pos_row("SSE.510050", "1", 5), ExError, "持仓查询包含 SDK 不支持的合约类别"),
     (pos_row("SSE.510050", "1", 0), ExError, "持仓查询包含不支持的净持仓方向"),
     (pos_row(OTHER, "1", 1), ExError, "持仓查询包含不支持的净持仓方向"),
     (pos_row(OTHER, "", 1), ExError, "持仓查询包含不支持的净持仓方向"),
     (pos_row(OTHER, "2", 4, 5), ExError, "柜台持仓快照中的今昨仓数量无效"),
     (pos_row(OTHER, "2", -1, 0), ExError, "柜台持仓快照中的今昨仓数量无效"),
     (pos_row(OTHER, "3", 2, -1), ExError, "柜台持仓快照中的今昨仓数量无效"),
     (pos_row(SYM, "2", -2, 0, "1"), ExError, "柜台持仓快照中的今昨仓数量无效")],
)  # fmt: skip
def test_positions_refusals_publish_nothing(s, row, raised, message):
    with pytest.raises(raised) as info:
        s._positions([pos_row(SYM, "2", 1, 1), row], 123)
    assert type(info.value) is raised and info.value.args == (message,)
    s.position_candidate = kept = {SYM: empty_position(SYM, 1)}
    with pytest.raises(raised):
        s._complete(query(s, "positions", rows=[pos_row(SYM, "2", 1, 1), row]))
    assert (s.position_candidate, s.sync_index, s.p) == (kept, 3, {})


# ---- account -------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "rows, balance",
    [([account_row(CurrencyID="USD", Balance=1.0), account_row(Balance=2.0)], 2.0),
     ([{k: v for k, v in account_row(Balance=3.0).items() if k != "CurrencyID"}], 3.0),
     ([account_row(AccountID="u-2"), account_row(Balance=4.0, TradingDay="")], 4.0),
     ([account_row(), account_row()], None), ([], None), ([account_row(CurrencyID="USD")], None),
     ([account_row(CurrencyID="")], None), ([account_row(AccountID="u-2")], None),
     ([{k: v for k, v in account_row().items() if k != "AccountID"}], None)],
)  # fmt: skip
def test_account_rows_filter(s, clock, rows, balance):
    before = dict(s.a)
    if balance is None:
        with pytest.raises(ExError) as info:
            s._complete_account(rows, 123)
        assert info.value.args == ("完整资金查询中应恰好包含一个人民币账户",)
        assert s.a == before and s.last_account_refresh == 0.0
    else:
        s._complete_account(rows, 123)
        assert s.a["balance"] == balance and s.a["updated_at"] == 123


def test_account_values_and_stamps(s, clock):
    vendor = list(trading.ACCOUNT_FIELDS.values())
    clock.now += 4
    s._complete_account([account_row(**{field: float(i) for i, field in enumerate(vendor)})], 456)
    assert s.a == {"account_id": "u-1", "trading_day": DAY, "updated_at": 456,
                   **{name: float(i) for i, name in enumerate(trading.ACCOUNT_FIELDS)}}  # fmt: skip
    assert s.last_account_refresh == clock.now


@pytest.mark.parametrize(
    "value, stored",
    [(sys.float_info.max, None), (math.inf, None), (-math.inf, None), (math.nan, None), ("5", None),
     (1e100, None), (-1e100, None), (-9.9e99, -9.9e99), (True, True), (7, 7), (..., None)],
)  # fmt: skip
def test_account_values_must_be_finite(s, value, stored):
    s.a["available"] = 1.0
    row = account_row() if value is ... else account_row(Available=value)
    s._complete_account([row], 1)
    assert s.a["available"] is stored or s.a["available"] == stored
    assert type(s.a["available"]) is type(stored)


def test_account_of_another_day_publishes_nothing(s, clock):
    s._complete_account([account_row(Balance=5.0)], 1)
    before, refreshed = dict(s.a), s.last_account_refresh
    clock.now += 9
    with pytest.raises(TimeoutError) as info:
        s._complete(query(s, "account", rows=[account_row(Balance=6.0, TradingDay="20240108")]))
    assert info.value.args == ("资金查询期间交易日发生变化",)
    assert (s.a, s.last_account_refresh, s.sync_index, s.phase) == (before, refreshed, 5, "sync")
    assert s.query_recovery.calls == [] and s.recovery.calls == []
