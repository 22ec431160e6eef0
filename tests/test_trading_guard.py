"""Trading: FAK and FOK orders on the wire, the guard's limits at their
edges (nothing registered, nothing sent when refused), pause and resume,
cancel_all, and the counts of the day, through the scripted fake bridge."""

import asyncio

import pytest

from torvo import trading
from torvo.ledger import TradingGuard, TradingResult, empty_position
from trading_support import clock, connected, factory  # noqa: F401  (fixtures)
from trading_support import CONFIG

DAY = "20240105"
SYM, OTHER = "SHFE.cu2501", "DCE.m2505"
GENERIC = [TradingResult("REJECTED", None, "报单参数无效或可平持仓不足，未提交")]


class Bridge:
    def __init__(self):
        self.requests = []

    def request(self, method, data, request_id):
        self.requests.append((method, dict(data), request_id))
        return 0


def session(factory, guard=None):
    s = trading.Trading(CONFIG, 5, {}, native_factory=factory, guard=guard)
    s.directory = "/flow/test"
    connected(s, factory)
    s.phase, s.session_status, s.published_status, s.day = "ready", "READY", "READY", DAY
    s.front, s.session, s.order_ref, s.request_id = 1, 42, 7, 20
    for symbol in (SYM, OTHER):
        s.instruments[symbol] = dict(IsTrading=1, PriceTick=10.0, MinLimitOrderVolume=1, MaxLimitOrderVolume=100)
        s.p[symbol] = empty_position(symbol, 1)
    s.position_ready = True
    s.native = Bridge()
    return s


@pytest.fixture
def make(clock, factory):
    return lambda guard=None: session(factory, guard)


def insert(s, symbol=SYM, direction="BUY", offset="OPEN", volume=1, price=70010.0, **kw):
    return asyncio.run(s.insert(symbol, direction, offset, volume, price, **kw))


def sent(s):
    return [fields for method, fields, _ in s.native.requests if method == "OrderInsert"]


def confirm(s, oid, status="3", traded=0):
    """An order return of one of the session's orders: numbered by the exchange, with `status`."""
    child = s.native_orders[oid]
    exchange, instrument = child["symbol"].split(".")
    s._order({
        "TradingDay": DAY, "FrontID": 1, "SessionID": 42, "OrderRef": child["ref"], "OrderSysID": f"  {child['ref']}",
        "ExchangeID": exchange, "InstrumentID": instrument, "Direction": "0" if child["direction"] == "BUY" else "1",
        "CombOffsetFlag": "0", "CombHedgeFlag": "1", "LimitPrice": s.o[oid]["limit_price"],
        "VolumeTotalOriginal": child["volume_original"], "VolumeTraded": traded, "OrderStatus": status,
        "OrderSubmitStatus": "3", "InsertDate": DAY, "InsertTime": "09:30:00"})  # fmt: skip


def resting(s, direction, price, symbol=SYM):
    [result] = insert(s, symbol, direction, "OPEN", 1, price)
    confirm(s, result.order_id)
    return result.order_id


def untouched_by(s, call):
    """`call()` is refused by the guard: nothing registered, nothing sent."""
    before = (len(s.native.requests), s.order_ref, dict(s.o), dict(s.native_orders))
    out = call()
    assert (len(s.native.requests), s.order_ref, dict(s.o), dict(s.native_orders)) == before
    return out


# ---- FAK and FOK ----------------------------------------------------------------------------


@pytest.mark.parametrize("advanced, conditions", [(None, ("3", "1")), ("FAK", ("1", "1")), ("FOK", ("1", "3"))])
def test_advanced_sets_the_time_and_volume_conditions_of_every_exchange_order(make, advanced, conditions):
    s = make()
    s.p[SYM].update(pos_long=5, pos_long_his=2, pos_long_today=3, pos=5)
    s._recompute_frozen(1, symbol=SYM)
    assert [r.status for r in insert(s, SYM, "SELL", "CLOSE", 5, advanced=advanced)] == ["SUBMITTED"] * 2
    assert [(f["TimeCondition"], f["VolumeCondition"]) for f in sent(s)] == [conditions] * 2
    assert [f["CombOffsetFlag"] for f in sent(s)] == ["4", "3"]
    assert all(len(s.o[oid]) == 14 for oid in ("1:42:8", "1:42:9"))  # the order record gains no field


@pytest.mark.parametrize("advanced", ["fak", "GFD", "", 1, True, b"FAK"])
def test_other_advanced_values_are_an_argument_error(make, advanced):
    s = make()
    assert untouched_by(s, lambda: insert(s, advanced=advanced)) == GENERIC


class Text(str):
    pass


def test_a_str_subclass_advanced_counts_as_its_text(make):
    s = make()
    insert(s, advanced=Text("FOK"))
    assert (sent(s)[0]["TimeCondition"], sent(s)[0]["VolumeCondition"]) == ("1", "3")


# ---- the limits -----------------------------------------------------------------------------


def test_guard_must_be_a_trading_guard_and_is_validated():
    with pytest.raises(TypeError, match="guard 必须是 TradingGuard 或 None"):
        trading.Trading(CONFIG, 5, {}, guard={"max_lots": 1})
    for bad in ({"max_lots": 0}, {"repeat_ms": True}, {"max_cancels": 2**31}, {"warn_trades": 1.0}):
        with pytest.raises(ValueError, match=f"^{next(iter(bad))} 必须是 1 到 2147483647 之间的 int 或 None$"):
            TradingGuard(**bad)
    with pytest.raises(ValueError, match="^self_trade 必须是 bool$"):
        TradingGuard(self_trade=1)
    with pytest.raises(TypeError):
        TradingGuard(True)  # keyword-only
    with pytest.raises(AttributeError):
        TradingGuard().max_lots = 3  # frozen
    assert TradingGuard(max_lots=2147483647).max_lots == 2147483647


def test_lots_per_order_at_the_edge(make):
    s = make(TradingGuard(max_lots=3))
    assert insert(s, volume=3)[0].status == "SUBMITTED"
    [refused] = untouched_by(s, lambda: insert(s, volume=4))
    assert refused == TradingResult("REJECTED", None, "单笔报单手数超过风控上限（max_lots=3 手），未提交")


def test_order_rate_at_the_edge(make, clock):
    s = make(TradingGuard(max_orders_per_second=2))
    assert insert(s, price=70010.0)[0].status == "SUBMITTED"
    clock.now += 0.5
    assert insert(s, price=70020.0)[0].status == "SUBMITTED"
    clock.now += 0.499
    [refused] = untouched_by(s, lambda: insert(s, price=70030.0))
    assert refused.message == "报单频率超过风控上限（max_orders_per_second=2 笔/秒），未提交"
    clock.now += 0.001  # the first order is a second old
    assert insert(s, price=70030.0)[0].status == "SUBMITTED"
    assert insert(s, price=70040.0)[0].status == "REJECTED"  # the second is not


def test_repeated_orders_within_the_window(make, clock):
    s = make(TradingGuard(repeat_ms=500))
    assert insert(s, volume=2)[0].status == "SUBMITTED"
    clock.now += 0.499
    [refused] = untouched_by(s, lambda: insert(s, volume=2, price=70010))  # 70010 == 70010.0
    assert refused.message == "与 500 毫秒内已发送的报单重复（repeat_ms），未提交"
    for other in ({"volume": 3}, {"price": 70020.0}, {"direction": "SELL"}, {"symbol": OTHER}):
        assert insert(s, **{"volume": 2, **other})[0].status == "SUBMITTED", other
    clock.now += 0.001
    assert insert(s, volume=2)[0].status == "SUBMITTED"
    assert insert(s, volume=2)[0].status == "REJECTED"  # the window starts again from the latest


def test_the_repeat_memory_sweeps_only_what_left_the_window(make, clock):
    s = make(TradingGuard(repeat_ms=1000))
    s.instruments[SYM]["MaxLimitOrderVolume"] = 1000
    for lots in range(1, 101):  # past the first sweeps, half of them a window ago
        clock.now += 0.02
        assert insert(s, volume=lots)[0].status == "SUBMITTED"
    assert [insert(s, volume=lots)[0].status for lots in (1, 2, 49, 51, 52, 99, 100)] == ["SUBMITTED"] * 3 + [
        "REJECTED"] * 4  # fmt: skip


def test_self_trade_against_resting_orders_on_both_sides(make):
    s = make(TradingGuard(self_trade=True))
    sell = resting(s, "SELL", 70050.0)
    buy = resting(s, "BUY", 70000.0)
    [refused] = untouched_by(s, lambda: insert(s, SYM, "BUY", "OPEN", 1, 70050.0))
    assert refused.message == f"报单可能与本会话的挂单 {sell} 自成交（self_trade），未提交"
    assert untouched_by(s, lambda: insert(s, SYM, "SELL", "OPEN", 1, 70000.0))[0].message.endswith(
        f"{buy} 自成交（self_trade），未提交")
    assert insert(s, SYM, "BUY", "OPEN", 1, 70040.0)[0].status == "SUBMITTED"  # below the resting sell
    assert insert(s, OTHER, "BUY", "OPEN", 1, 70050.0)[0].status == "SUBMITTED"  # another symbol
    confirm(s, sell, status="5")  # cancelled: no longer in the way
    assert insert(s, SYM, "BUY", "OPEN", 1, 70060.0)[0].status == "SUBMITTED"
    assert insert(s, SYM, "SELL", "OPEN", 1, 70070.0)[0].status == "SUBMITTED"  # above every working buy
    assert insert(s, SYM, "SELL", "OPEN", 1, 70060.0)[0].status == "REJECTED"  # the unconfirmed buy counts


def test_cancels_per_symbol_at_the_edge(make):
    s = make(TradingGuard(max_cancels=2))
    ids = [resting(s, "BUY", 70000.0 - 10 * i) for i in range(3)]
    other = resting(s, "BUY", 70000.0, OTHER)
    assert [s.cancel(oid)[0].status for oid in ids[:2]] == ["SUBMITTED"] * 2
    requests = len(s.native.requests)
    assert s.cancel(ids[2]) == [TradingResult("REJECTED", ids[2], "撤单次数已达风控上限（max_cancels=2 次/合约/交易日），撤单未提交")]
    assert len(s.native.requests) == requests and s.native_orders[ids[2]]["cancel_pending"] is False
    assert s.cancel(other)[0].status == "SUBMITTED"
    assert s.cancel(ids[0]) == []  # already under way: cancel's own rule comes first


# ---- pause, cancel_all, counters ------------------------------------------------------------


def test_pause_refuses_inserts_but_not_cancels(make):
    s = make()
    oid = resting(s, "BUY", 70000.0)
    s.pause()
    assert s.paused and s.counters()["paused"] is True
    assert untouched_by(s, lambda: insert(s)) == [TradingResult("REJECTED", None, "交易已暂停（pause），报单未提交")]
    assert s.cancel(oid)[0].status == "SUBMITTED"
    s.resume()
    assert not s.paused and insert(s)[0].status == "SUBMITTED"
    assert s.counters()["symbols"][SYM]["refused"] == 1


def test_cancel_all_follows_cancels_rules(make):
    s = make()
    a, b = resting(s, "BUY", 70000.0), resting(s, "SELL", 70100.0)
    c = resting(s, "BUY", 70000.0, OTHER)
    [unconfirmed] = insert(s, price=69000.0)
    confirm(s, a, status="0", traded=1)  # filled
    assert s.cancel_all(OTHER) == [TradingResult("SUBMITTED", c)]
    # the buys, then the sells
    assert s.cancel_all() == [TradingResult("REJECTED", unconfirmed.order_id, "订单尚未确认，撤单未提交"),
                              TradingResult("SUBMITTED", b)]
    assert s.cancel_all() == [TradingResult("REJECTED", unconfirmed.order_id, "订单尚未确认，撤单未提交")]
    assert s.cancel_all("SHFE.al2501") == [] and s.cancel_all(5) == []
    s.session_status = "SYNCING"  # `a` waits for its trade: still working
    assert s.cancel_all(SYM) == [TradingResult("REJECTED", oid, "交易账户未就绪，撤单未提交")
                                 for oid in (a, unconfirmed.order_id, b)]


def test_counters_of_the_day_with_warnings(make, clock):
    s = make(TradingGuard(max_lots=5, warn_orders=3, warn_cancels=1, warn_cancelled=2, warn_trades=1,
                          warn_refused=2))  # fmt: skip
    a, b = resting(s, "BUY", 70000.0), resting(s, "BUY", 69990.0)
    insert(s, volume=6)
    s.cancel(a)
    confirm(s, a, status="5")
    s._trade({"TradingDay": DAY, "TradeID": " 1", "OrderSysID": "  " + b.split(":")[-1], "ExchangeID": "SHFE",
              "InstrumentID": "cu2501", "Direction": "0", "OffsetFlag": "0", "HedgeFlag": "1", "Price": 69990.0,
              "Volume": 1, "TradeDate": DAY, "TradeTime": "09:31:00"}, update_position=True)  # fmt: skip
    assert s.counters() == {"trading_day": DAY, "paused": False, "symbols": {SYM: {
        "orders": 2, "orders_warning": False, "cancels": 1, "cancels_warning": True, "cancelled": 1,
        "cancelled_warning": False, "trades": 1, "trades_warning": True, "refused": 1, "refused_warning": False}}}
    s.day = "20240108"  # a new trading day: the session's own counts start again
    assert s.counters()["symbols"][SYM]["refused"] == 0


def test_a_rebuild_of_the_books_counts_the_snapshots_cancelled_orders(make):
    s = make(TradingGuard(max_cancels=2, self_trade=True))
    a, b = resting(s, "BUY", 70000.0), resting(s, "SELL", 70100.0)
    s.cancel(a)
    s._clear_cache("SYNCING")  # a reconnection: the login snapshot fills the books again
    assert s.counters()["symbols"] == {}
    s.session_status, s.reset_pending = "READY", False
    s.instruments[SYM] = dict(IsTrading=1, PriceTick=10.0, MinLimitOrderVolume=1, MaxLimitOrderVolume=100)
    for oid, status in ((a, "5"), (b, "3")):
        s._order({"TradingDay": DAY, "FrontID": 1, "SessionID": 42, "OrderRef": oid.split(":")[-1],
                  "OrderSysID": "  " + oid.split(":")[-1], "ExchangeID": "SHFE", "InstrumentID": "cu2501",
                  "Direction": "0" if oid == a else "1", "CombOffsetFlag": "0", "CombHedgeFlag": "1",
                  "LimitPrice": 70000.0 if oid == a else 70100.0, "VolumeTotalOriginal": 1, "VolumeTraded": 0,
                  "OrderStatus": status, "OrderSubmitStatus": "3", "InsertDate": DAY, "InsertTime": "09:30:00"})
    s.phase = "sync"
    s.sync_index = 5
    s._complete({"kind": "account", "rows": [{"AccountID": "u-1", "CurrencyID": "CNY"}]})
    assert s.phase == "ready"
    row = s.counters()["symbols"][SYM]
    assert (row["orders"], row["cancels"], row["cancelled"]) == (2, 1, 1)
    assert insert(s, SYM, "BUY", "OPEN", 1, 70100.0)[0].message.startswith(f"报单可能与本会话的挂单 {b}")
    assert s.cancel(b)[0].status == "SUBMITTED"
    c = resting(s, "BUY", 69000.0)
    assert s.cancel(c)[0].status == "REJECTED"


def test_the_working_index_keeps_every_live_order_through_its_sweeps(make):
    s = make(TradingGuard(self_trade=True))
    s.instruments[SYM]["MaxLimitOrderVolume"] = 1000
    ids = [insert(s, price=60000.0 + 10 * n)[0].order_id for n in range(600)]  # past several sweeps
    for oid in ids[300:]:
        confirm(s, oid, status="5")  # the upper half cancelled
    s.native_orders.pop(ids[299])  # one gone without the index hearing of it
    for oid in ids[:299]:
        s.native_orders[oid]["is_confirmed"] = True
        s.native_orders[oid]["exchange_order_id"] = "1"
    assert insert(s, SYM, "SELL", "OPEN", 1, 60000.0 + 10 * 298)[0].status == "REJECTED"
    assert insert(s, SYM, "SELL", "OPEN", 1, 60000.0 + 10 * 299)[0].status == "SUBMITTED"
    assert [r.order_id for r in s.cancel_all(SYM)][:299] == ids[:299]
