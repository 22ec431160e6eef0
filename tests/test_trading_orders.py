"""Trading: order submission (readiness and argument checks, the plan of a
close split into close-yesterday and close-today on SHFE and INE, the records
and the OrderInsert request, failures of the hand-over) and cancellation."""

import asyncio
import math

import pytest

from torvo import trading
from torvo.data import ExError
from torvo.ledger import Order, TradingResult, empty_position
from trading_support import clock, connected, factory, make_session  # noqa: F401  (fixtures)

NOW = 1_700_000_000_000  # the wall clock of the `clock` fixture, in ms
SYM, INE, OTHER = "SHFE.cu2501", "INE.sc2503", "DCE.m2505"
GENERIC = [TradingResult("REJECTED", None, "报单参数无效或可平持仓不足，未提交")]
NOT_SENT = TradingResult("REJECTED", None, "未发送：前一笔委托提交失败")
UNKNOWN = "报单提交结果不明，等待柜台回报"
IDENTITY = ["BrokerID", "InvestorID", "UserID"]  # added to every request
CHILD_KEYS = (
    "order_id parent symbol direction offset exchange_order_id close_type volume_original volume_traded "
    "volume_left status is_confirmed status_msg cancel_pending cancel_error ref front session "
    "cancel_request_id pending_finish expected_traded finish_status finish_msg request_id"
).split()


class Bridge:
    """The open bridge: each request answers the next scripted code, or raises it."""

    def __init__(self, *script):
        self.script, self.requests = list(script), []

    def request(self, method, data, request_id):
        self.requests.append((method, dict(data), request_id))
        item = self.script.pop(0) if self.script else 0
        if isinstance(item, BaseException):
            # A fresh copy: the shared parameter would keep this call's frames,
            # and with them the test's session, alive until exit.
            raise type(item)(*item.args)
        return item


@pytest.fixture
def s(clock, factory):
    session = make_session(factory)
    connected(session, factory)
    session.phase, session.session_status, session.published_status = "ready", "READY", "READY"
    session.front, session.session, session.order_ref, session.request_id = 1, 42, 7, 20
    for symbol in (SYM, INE, OTHER):
        session.instruments[symbol] = dict(IsTrading=1, PriceTick=10.0, MinLimitOrderVolume=1, MaxLimitOrderVolume=100)
        session.p[symbol] = empty_position(symbol, 1)
    session.position_ready = True
    session.native, session.dirty = Bridge(), False
    session.changed.clear()
    return session


def hold(s, symbol, long=(0, 0), short=(0, 0)):
    record = s.p[symbol]
    for side, (his, today) in (("long", long), ("short", short)):
        record.update({f"pos_{side}_his": his, f"pos_{side}_today": today, f"pos_{side}": his + today})
    record["pos"] = record["pos_long"] - record["pos_short"]
    s._recompute_frozen(1, symbol=symbol)
    s.dirty = False


def insert(s, symbol=SYM, direction="BUY", offset="OPEN", volume=1, price=70010.0):
    return asyncio.run(s.insert(symbol, direction, offset, volume, price))


def untouched(s):
    assert s.native.requests == [] and s.order_ref == 7 and not s.dirty
    assert s.o == {} and s.native_orders == {} and s.ref_orders == {}


@pytest.mark.parametrize("state", [{"phase": "sync"}, {"session_status": "SYNCING"}, {"reset_pending": True}])
def test_insert_refused_while_not_ready(s, state):
    for name, value in state.items():
        setattr(s, name, value)
    for volume in (1, 0):  # readiness comes before the argument checks
        assert insert(s, volume=volume) == [TradingResult("REJECTED", None, "交易账户未就绪，报单未提交")]
    untouched(s)
    with pytest.raises(ExError, match="^交易账户尚未 READY，请调用 wait_update 等待同步完成$"):
        asyncio.run(s._insert(SYM, "BUY", "OPEN", 1, 70010.0))


class Lots(int):
    pass


def set_instrument(**fields):
    return lambda s: s.instruments[SYM].update(fields)


def reserve_short(s):  # a working buy close larger than the short position: inconsistent reservations
    s.native_orders["x"] = {"symbol": SYM, "direction": "BUY", "offset": "CLOSE", "status": "ALIVE",
                            "volume_left": 2, "close_type": "TODAY"}  # fmt: skip


CLOSE = {"direction": "SELL", "offset": "CLOSE"}
MISTAKES = {
    "volume True": {"volume": True}, "volume 0": {"volume": 0}, "volume 2**31": {"volume": 2147483648},
    "volume float": {"volume": 1.0}, "volume int subclass": {"volume": Lots(1)}, "price True": {"price": True},
    "price 0": {"price": 0}, "price -1": {"price": -1.0}, "price nan": {"price": math.nan},
    "price inf": {"price": math.inf}, "price 1e100": {"price": 1e100}, "price text": {"price": "70010"},
    "symbol without exchange": {"symbol": "cu2501"}, "symbol not text": {"symbol": 5},
    "direction": {"direction": "buy"}, "offset close today": {"offset": "CLOSE_TODAY"},
    "unknown instrument": {"symbol": "SHFE.al2501"}, "above the maximum lots": {"volume": 101},
    "close with no position": {"direction": "BUY", "offset": "CLOSE"},
    "empty instrument": ({}, lambda s: s.instruments.__setitem__(SYM, {})),
    "not trading": ({}, set_instrument(IsTrading=0)), "no tick": ({}, lambda s: s.instruments[SYM].pop("PriceTick")),
    "off the tick": ({"price": 10.1}, set_instrument(PriceTick=0.2)),
    "below the minimum lots": ({"volume": 1}, set_instrument(MinLimitOrderVolume=2)),
    "split part above the maximum": (dict(CLOSE, volume=5), lambda s: (hold(s, SYM, long=(1, 9)),
                                                                       set_instrument(MaxLimitOrderVolume=3)(s))),
    "close more than free": (dict(CLOSE, volume=6), lambda s: hold(s, SYM, long=(2, 3))),
    "inconsistent reservations": ({}, reserve_short),
}  # fmt: skip


@pytest.mark.parametrize("case", list(MISTAKES))
def test_insert_argument_mistakes_are_one_generic_rejection(s, case):
    args, setup = MISTAKES[case] if isinstance(MISTAKES[case], tuple) else (MISTAKES[case], None)
    if setup:
        setup(s)
    assert insert(s, **args) == GENERIC
    s.native_orders.pop("x", None)  # the inconsistent reservation made by the setup
    untouched(s)


@pytest.mark.parametrize(
    "args, tick",
    [({"volume": 2147483647}, 10.0), ({"price": 35}, 5.0), ({"price": 10.2}, 0.2), ({"price": 12.345}, 0),
     ({"price": 12.345}, -1.0), ({"volume": 100}, 10.0)],
)  # fmt: skip
def test_insert_accepts_edge_arguments(s, args, tick):
    s.instruments[SYM].update(PriceTick=tick, MaxLimitOrderVolume=2147483647 if args.get("volume", 0) > 100 else 100)
    assert insert(s, **args) == [TradingResult("SUBMITTED", "1:42:8")]
    _, fields, _ = s.native.requests[0]
    assert (fields["VolumeTotalOriginal"], fields["LimitPrice"]) == (args.get("volume", 1), args.get("price", 70010.0))


@pytest.mark.parametrize(
    "raised, caught",
    [(ValueError, True), (TypeError, True), (OverflowError, True), (BufferError, True), (KeyError, True),
     (RuntimeError, False), (ZeroDivisionError, False), (ExError, False), (AttributeError, False)],
)  # fmt: skip
def test_only_the_argument_family_of_exceptions_becomes_a_rejection(s, monkeypatch, raised, caught):
    monkeypatch.setattr(trading, "check_symbol", lambda symbol: (_ for _ in ()).throw(raised("detail")))
    if caught:
        assert insert(s) == GENERIC
    else:
        with pytest.raises(raised, match="detail"):
            insert(s)
    untouched(s)


PLANS = {  # symbol, direction, (earlier, today) of the side closed, lots -> [(offset, lots, flag, close type)]
    "SHFE split": (SYM, "SELL", (2, 10), 5, [("CLOSE_YESTERDAY", 2, "4", "HISTORY"), ("CLOSE_TODAY", 3, "3", "TODAY")]),
    "SHFE earlier only": (SYM, "SELL", (3, 10), 3, [("CLOSE_YESTERDAY", 3, "4", "HISTORY")]),
    "SHFE today only": (SYM, "SELL", (0, 10), 3, [("CLOSE_TODAY", 3, "3", "TODAY")]),
    "INE buy close split": (INE, "BUY", (1, 4), 5, [("CLOSE_YESTERDAY", 1, "4", "HISTORY"),
                                                    ("CLOSE_TODAY", 4, "3", "TODAY")]),
    "other exchange": (OTHER, "SELL", (2, 10), 5, [("CLOSE", 5, "1", "UNSPECIFIED")]),
    "open": (SYM, "SELL", (2, 10), 4, [("OPEN", 4, "0", None)]),
}  # fmt: skip


@pytest.mark.parametrize("case", list(PLANS))
def test_order_plan_and_reservations(s, case):
    symbol, direction, parts, volume, plan = PLANS[case]
    side = "long" if direction == "SELL" else "short"
    hold(s, symbol, **{side: parts})
    offset = "OPEN" if plan[0][0] == "OPEN" else "CLOSE"
    ids = [f"1:42:{8 + i}" for i in range(len(plan))]
    assert insert(s, symbol, direction, offset, volume) == [TradingResult("SUBMITTED", oid) for oid in ids]
    assert s.order_ref == 7 + len(plan) and [m for m, _, _ in s.native.requests] == ["OrderInsert"] * len(plan)
    for (method, fields, rid), oid, (part, lots, flag, close_type) in zip(s.native.requests, ids, plan):
        ref = oid.split(":")[-1]
        assert (fields["OrderRef"], fields["CombOffsetFlag"], fields["VolumeTotalOriginal"]) == (ref, flag, lots)
        assert fields["Direction"] == ("0" if direction == "BUY" else "1")
        child = s.native_orders[oid]
        assert (child["offset"], child["close_type"], child["request_id"], child["ref"]) == (part, close_type, rid, ref)
        assert (s.o[oid]["offset"], s.o[oid]["volume_left"], s.ref_orders[(1, 42, ref)]) == (part, lots, oid)
    reserved = 0 if offset == "OPEN" else volume
    pos = s.p[symbol]
    assert (pos[f"frozen_{side}"], pos[f"available_{side}"]) == (reserved, sum(parts) - reserved)
    assert pos["updated_at"] == (1 if offset == "OPEN" else NOW)
    assert s.dirty and s.changed.is_set() and "account" in s.pending


def test_order_insert_request_and_initial_records(s):
    coro = s._insert(SYM, "BUY", "OPEN", 3, 70010.0)
    with pytest.raises(StopIteration) as done:  # no suspension point: settled on the first step
        coro.send(None)
    assert done.value.value == [TradingResult("SUBMITTED", "1:42:8")]
    ((method, fields, rid),) = s.native.requests
    assert (method, rid, s.request_id) == ("OrderInsert", 21, 21) and list(fields)[:3] == IDENTITY
    assert list(fields.items())[3:] == [
        ("InstrumentID", "cu2501"), ("ExchangeID", "SHFE"), ("OrderRef", "8"), ("Direction", "0"),
        ("CombOffsetFlag", "0"), ("CombHedgeFlag", "1"), ("OrderPriceType", "2"), ("LimitPrice", 70010.0),
        ("VolumeTotalOriginal", 3), ("TimeCondition", "3"), ("VolumeCondition", "1"), ("MinVolume", 1),
        ("ContingentCondition", "1"), ("ForceCloseReason", "0"), ("IsAutoSuspend", 0), ("UserForceClose", 0),
    ]  # fmt: skip
    oid = "1:42:8"
    assert list(s.o[oid].items()) == list(zip(Order.fields, [
        oid, None, SYM, "BUY", "OPEN", 70010.0, 3, 0, 3, "PENDING", "", False, None, NOW]))  # fmt: skip
    assert list(s.native_orders[oid].items()) == list(zip(CHILD_KEYS, [
        oid, oid, SYM, "BUY", "OPEN", "", None, 3, 0, 3, "PENDING", False, "", False, None, "8", 1, 42, None,
        False, 0, None, "", 21]))  # fmt: skip
    assert s.ref_orders == {(1, 42, "8"): oid} and s.dirty and "account" in s.pending


SENT8 = TradingResult("SUBMITTED", "1:42:8")


@pytest.mark.parametrize(
    "script, results",
    [((-1,), [TradingResult("REJECTED", None, "报单未提交"), NOT_SENT]),
     ((TypeError("x"),), [TradingResult("REJECTED", None, "报单参数无效，未提交"), NOT_SENT]),
     ((ValueError("x"),), [TradingResult("REJECTED", None, "报单参数无效，未提交"), NOT_SENT]),
     ((OverflowError("x"),), [TradingResult("REJECTED", None, "报单参数无效，未提交"), NOT_SENT]),
     ((RuntimeError("x"),), [TradingResult("UNKNOWN", "1:42:8", UNKNOWN), NOT_SENT]),
     ((ConnectionError("x"),), [TradingResult("UNKNOWN", "1:42:8", UNKNOWN), NOT_SENT]),
     ((0, -3), [SENT8, TradingResult("REJECTED", None, "报单未提交")]),
     ((0, RuntimeError("x")), [SENT8, TradingResult("UNKNOWN", "1:42:9", UNKNOWN)])],
)  # fmt: skip
def test_failed_hand_over_of_a_split_close(s, script, results):
    hold(s, SYM, long=(2, 10))  # 5 lots: close-yesterday 2 ("1:42:8"), then close-today 3 ("1:42:9")
    s.native = Bridge(*script)
    assert insert(s, SYM, "SELL", "CLOSE", 5) == results
    assert len(s.native.requests) == len(script) and s.order_ref == 9 and s.request_id == 20 + len(script)
    kept = [oid for oid, result in zip(("1:42:8", "1:42:9"), results) if result.status != "REJECTED"]
    assert list(s.native_orders) == list(s.o) == kept
    assert s.ref_orders == {(1, 42, oid.split(":")[-1]): oid for oid in kept}
    for oid, result in zip(("1:42:8", "1:42:9"), results):
        if result.status == "UNKNOWN":  # it may have left: kept for a later order return, still PENDING
            child = s.native_orders[oid]
            assert (child["status_msg"], s.o[oid]["status_msg"], child["status"]) == (UNKNOWN, UNKNOWN, "PENDING")
            assert child["request_id"] == s.request_id
    frozen = sum({"1:42:8": 2, "1:42:9": 3}[oid] for oid in kept)
    assert (s.p[SYM]["frozen_long"], s.p[SYM]["available_long"]) == (frozen, 12 - frozen)
    assert s.dirty is s.changed.is_set() is ("account" in s.pending) is bool(kept)


# ---- cancel ---------------------------------------------------------------------------------


@pytest.fixture
def alive(s):
    """An inserted order on INE confirmed by the exchange as order " 100 "."""
    insert(s, INE, "BUY", "OPEN", 2)
    child = s.native_orders["1:42:8"]
    child.update(is_confirmed=True, exchange_order_id=" 100 ", status="ALIVE", cancel_error="撤单被拒绝")
    s._aggregate(child)
    s.native, s.dirty = Bridge(), False
    return child


def test_cancel_sends_order_action(s, alive):
    assert s.cancel("1:42:8") == [TradingResult("SUBMITTED", "1:42:8")]
    ((method, fields, rid),) = s.native.requests
    assert (method, rid) == ("OrderAction", 22) and list(fields)[:3] == IDENTITY
    assert list(fields.items())[3:] == [("InstrumentID", "sc2503"), ("ExchangeID", "INE"), ("OrderSysID", " 100 "),
                                        ("ActionFlag", "0")]  # fmt: skip
    assert (alive["cancel_request_id"], alive["cancel_pending"], alive["cancel_error"]) == (22, True, None)
    assert (s.o["1:42:8"]["cancel_pending"], s.o["1:42:8"]["cancel_error"], s.dirty) == (True, None, True)
    assert s.cancel("1:42:8") == [] and len(s.native.requests) == 1


def status(value):
    return lambda s, c: s.o["1:42:8"].update(status=value)


def published_only(value):  # the books were emptied by a reset: only the published record is left
    return lambda s, c: (s.o.clear(), s.native_orders.clear(),
                         s.orders._data.__setitem__("1:42:8", Order(order_id="1:42:8", status=value)))  # fmt: skip


NOT_READY, NOT_CONFIRMED = "交易账户未就绪，撤单未提交", "订单尚未确认，撤单未提交"


@pytest.mark.parametrize(
    "order_id, setup, message",
    [(8, None, None), (None, None, None), ("1:42:99", None, None), ("1:42:8", status("FILLED"), None),
     ("1:42:8", status("CANCELLED"), None), ("1:42:8", status("REJECTED"), None),
     ("1:42:8", lambda s, c: (status("FILLED")(s, c), setattr(s, "session_status", "SYNCING")), None),
     ("1:42:8", lambda s, c: c.update(pending_finish=True), None),
     ("1:42:8", lambda s, c: c.update(cancel_pending=True), None),
     ("1:42:8", lambda s, c: setattr(s, "session_status", "SYNCING"), NOT_READY),
     ("1:42:8", lambda s, c: setattr(s, "reset_pending", True), NOT_READY),
     ("1:42:8", lambda s, c: s.native_orders.clear(), NOT_CONFIRMED),
     ("1:42:8", lambda s, c: c.update(is_confirmed=False), NOT_CONFIRMED),
     ("1:42:8", lambda s, c: c.update(exchange_order_id=" \t "), NOT_CONFIRMED),
     ("1:42:8", published_only("ALIVE"), NOT_CONFIRMED), ("1:42:8", published_only("FILLED"), None),
     ("1:42:8", lambda s, c: (published_only("ALIVE")(s, c), setattr(s, "reset_pending", True)), NOT_READY)],
)  # fmt: skip
def test_cancel_answered_without_sending(s, alive, order_id, setup, message):
    if setup:
        setup(s, alive)
    before = dict(alive)
    expected = [] if message is None else [TradingResult("REJECTED", order_id, message)]
    assert s.cancel(order_id) == expected and s.native.requests == [] and alive == before and not s.dirty


@pytest.mark.parametrize(
    "outcome, result",
    [(-1, TradingResult("REJECTED", "1:42:8", "撤单未提交")),
     (TypeError("x"), TradingResult("REJECTED", "1:42:8", "撤单参数无效，未提交")),
     (ValueError("x"), TradingResult("REJECTED", "1:42:8", "撤单参数无效，未提交")),
     (OverflowError("x"), TradingResult("REJECTED", "1:42:8", "撤单参数无效，未提交")),
     (RuntimeError("x"), TradingResult("UNKNOWN", "1:42:8", "撤单提交结果不明，等待柜台回报"))],
)  # fmt: skip
def test_cancel_hand_over_failures(s, alive, outcome, result):
    s.native = Bridge(outcome)
    before = dict(alive)
    assert s.cancel("1:42:8") == [result] and s.request_id == 22
    if result.status == "REJECTED":
        assert alive == before and not s.dirty
    else:  # may have left: recorded as pending under the id it would have carried
        assert (alive["cancel_request_id"], alive["cancel_pending"], alive["cancel_error"]) == (22, True, None)
        assert s.o["1:42:8"]["cancel_pending"] is True and s.dirty
        assert s.cancel("1:42:8") == [] and len(s.native.requests) == 1
