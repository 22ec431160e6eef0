"""Trading: the order and trade books (order and trade returns, deferred
finishes, parked trades) and the local position book (trade arithmetic,
reservations of working closes, frozen and available quantities).

TORVO_BOOKS_MODEL=1 runs the same tests against the plain-Python model in
books_model.py instead of the session."""

import math
import os
import random

import pytest

import books_model
from torvo import trading
from torvo.ledger import Order, Trade, empty_position
from trading_support import clock, factory, make_session  # noqa: F401  (fixtures)

MODEL = os.environ.get("TORVO_BOOKS_MODEL") == "1"
BOOKS = books_model.Books if MODEL else trading.Trading

DAY = "20240105"
NOW = 1_700_000_000_000  # the wall clock of the `clock` fixture, in ms
T0930, T0931 = 1_704_418_200_000, 1_704_418_260_000  # 2024-01-05 09:30 and 09:31 in UTC+8
SYM, OTHER = "SHFE.cu2501", "DCE.m2505"
OID8, OID9 = "1:42:8", "1:42:9"


def key(tid, exchange="SHFE", direction="BUY"):
    """A trade's key in the books."""
    return (exchange, tid, direction)


def sys_key(number, exchange="SHFE"):
    """An order's exchange number as the books key it."""
    return (exchange, number)

CHILD_FIELDS = (
    "order_id parent symbol direction offset exchange_order_id close_type volume_original "
    "volume_traded volume_left status is_confirmed status_msg cancel_pending cancel_error ref "
    "front session cancel_request_id pending_finish expected_traded finish_status finish_msg"
).split()


@pytest.fixture
def s(clock, factory, monkeypatch):
    if MODEL:
        monkeypatch.setattr(books_model, "time", clock)
        books = books_model.Books()
    else:
        books = make_session(factory)
    books.day, books.front, books.session, books.phase = DAY, 1, 42, "ready"
    return books


def order_row(ref="8", sys="", status="3", *, submit="3", volume=5, traded=0, offset="0", direction="0",
              symbol=SYM, **extra):  # fmt: skip
    exchange, instrument = symbol.split(".")
    row = {
        "TradingDay": DAY, "FrontID": 1, "SessionID": 42, "OrderRef": ref, "OrderSysID": sys,
        "ExchangeID": exchange, "InstrumentID": instrument, "Direction": direction, "CombOffsetFlag": offset,
        "CombHedgeFlag": "1", "LimitPrice": 70000.0, "VolumeTotalOriginal": volume, "VolumeTraded": traded,
        "OrderStatus": status, "OrderSubmitStatus": submit, "InsertDate": DAY, "InsertTime": "09:30:00",
    }  # fmt: skip
    return dict(row, **extra)


def trade_row(tid, sys, volume=1, *, direction="0", offset="0", symbol=SYM, **extra):
    exchange, instrument = symbol.split(".")
    row = {
        "TradingDay": DAY, "TradeID": f"  {tid}", "OrderSysID": sys, "ExchangeID": exchange,
        "InstrumentID": instrument, "Direction": direction, "OffsetFlag": offset, "HedgeFlag": "1",
        "Price": 70010.0, "Volume": volume, "TradeDate": DAY, "TradeTime": "09:31:00",
    }  # fmt: skip
    return dict(row, **extra)


def accept(s, ref="8", sys="100", **fields):
    s._order(order_row(ref, sys, **fields))
    return s.native_orders[f"1:42:{ref}"]


def submitted(s, oid, direction="SELL", offset="CLOSE", close_type="UNSPECIFIED", status="PENDING", left=5,
              symbol=SYM):  # fmt: skip
    """Registers an order as order submission does (plus the state under test)."""
    values = [oid, oid, symbol, direction, offset, "", close_type, left, 0, left, status, False, "", False, None,
              oid.split(":")[-1], 1, 42, None, False, 0, None, ""]  # fmt: skip
    child = s.native_orders[oid] = dict(zip(CHILD_FIELDS, values), request_id=11)
    s.o[oid] = dict({k: child.get(k) for k in Order.fields}, order_sys_id=None, limit_price=70500.0, insert_time=5)
    s.ref_orders[(1, 42, child["ref"])] = oid
    return child


def position(s, symbol=SYM, long=(0, 0), short=(0, 0)):
    record = s.p[symbol] = empty_position(symbol, 1)
    for side, (his, today) in (("long", long), ("short", short)):
        record.update({f"pos_{side}_his": his, f"pos_{side}_today": today, f"pos_{side}": his + today,
                       f"available_{side}": his + today})  # fmt: skip
    record["pos"] = record["pos_long"] - record["pos_short"]
    return record


def free(s, symbol=SYM, side="long"):
    try:
        return s._free_parts(symbol, side)
    except BufferError as exc:
        assert str(exc) == "有效平仓委托冻结量超过本地持仓"
        return "refused"


# ---- speculative business ---------------------------------------------------


@pytest.mark.parametrize(
    "method, row, speculative",
    [("_is_spec_order", {"CombHedgeFlag": "1"}, True), ("_is_spec_order", {"CombHedgeFlag": "11"}, True),
     ("_is_spec_order", {"CombHedgeFlag": "31"}, False), ("_is_spec_order", {"CombHedgeFlag": "2"}, False),
     ("_is_spec_order", {"CombHedgeFlag": ""}, False), ("_is_spec_order", {"CombHedgeFlag": None}, False),
     ("_is_spec_order", {}, False), ("_is_spec_trade", {"HedgeFlag": "1"}, True),
     ("_is_spec_trade", {"HedgeFlag": "11"}, False), ("_is_spec_trade", {"HedgeFlag": "3"}, False),
     ("_is_spec_trade", {"HedgeFlag": None}, False), ("_is_spec_trade", {}, False)],
)  # fmt: skip
def test_speculative_business(s, method, row, speculative):
    assert getattr(BOOKS, method)(row) is speculative and getattr(s, method)(row) is speculative


def test_hedge_trade_is_ignored_before_any_check(s):
    row = trade_row("", "100", 0, HedgeFlag="3", TradingDay="20240108")
    assert s._trade(row, update_position=True) is False
    assert (s.t, s.pending_trades, s.p, s.dirty) == ({}, {}, {}, False)


# ---- new orders and identity ------------------------------------------------


def test_new_order_is_created_and_confirmed_by_one_return(s):
    s._order(order_row(sys="  100"))
    order, child = s.o[OID8], s.native_orders[OID8]
    assert list(order) == list(Order.fields) and list(child) == CHILD_FIELDS
    assert order == dict(zip(Order.fields, [OID8, "100", SYM, "BUY", "OPEN", 70000.0, 5, 0, 5, "ALIVE", "", False,
                                            None, T0930]))  # fmt: skip
    assert child == dict(zip(CHILD_FIELDS, [OID8, OID8, SYM, "BUY", "OPEN", "  100", None, 5, 0, 5, "ALIVE", True,
                                            "", False, None, "8", 1, 42, None, False, 0, None, ""]))  # fmt: skip
    assert s.ref_orders == {(1, 42, "8"): OID8} and s.system_orders == {sys_key("100"): OID8}
    assert (s.revision, s.order_revisions, s.dirty, s.pending) == (1, {OID8: 1}, True, {"account"})
    s._order(order_row(sys="  100", status="1"))  # the same state again: no change
    assert s.native_orders[OID8] is child and s.o[OID8] is order and s.revision == 1
    s.phase, s.pending = "sync", set()  # funds are refreshed only in the ready phase
    s._order(order_row(sys="  100", status="5"))
    assert s.pending == set() and child["status"] == "CANCELLED"


@pytest.mark.parametrize(
    "comb, extra, direction, offset, close_type, side",
    [("3", {}, "1", "CLOSE_TODAY", "TODAY", "SELL"), ("4", {}, "x", "CLOSE_YESTERDAY", "HISTORY", "SELL"),
     ("2", {}, "0", "CLOSE", "UNSPECIFIED", "BUY"),
     ("", {"OffsetFlag": "3"}, "0", "CLOSE_TODAY", "UNSPECIFIED", "BUY")],
)  # fmt: skip
def test_offset_direction_and_close_type_of_a_new_order(s, comb, extra, direction, offset, close_type, side):
    child = accept(s, offset=comb, direction=direction, **extra)
    assert (child["offset"], child["close_type"], child["direction"]) == (offset, close_type, side)
    assert (s.o[OID8]["offset"], s.o[OID8]["direction"]) == (offset, side)


def test_identity_by_reference_and_by_system_id(s):
    child = accept(s, sys="")
    assert s.system_orders == {} and s.o[OID8]["order_sys_id"] is None
    accept(s, sys="100")
    assert s.system_orders == {sys_key("100"): OID8} and s.o[OID8]["order_sys_id"] == "100"
    s._order(order_row("99", "\u3000\x1c100\t\n", FrontID=3, SessionID=7))  # by its number alone, str.strip's blanks
    assert list(s.native_orders) == [OID8] and s.ref_orders[(3, 7, "99")] == OID8
    assert (child["front"], child["session"], child["ref"]) == (3, 7, "99")
    assert s._child({"FrontID": 3, "SessionID": 7, "OrderRef": "99"}) is child
    assert s._child({"OrderRef": 8}) is child  # the session's own front and session, str(ref)
    assert s._by_ref("8") is child and s._by_ref(8) is child and s._by_ref("9") is None
    s.ref_orders[(1, 42, "77")] = "gone"
    assert s._by_ref("77") is None
    s.front, s.session = 3, 7
    assert s._by_ref(99) is child


def test_system_id_conflicts(s):
    accept(s, "8", "100")
    accept(s, "9", "200")
    with pytest.raises(BufferError, match="^同一个 CTP OrderSysID 关联到不同订单$"):
        s._order(order_row("8", "200"))
    with pytest.raises(BufferError, match="^已有订单的 CTP OrderSysID 发生变化$"):
        s._order(order_row("8", "300"))
    s._order(order_row("8", "  100  "))  # blanks around the same number are no change
    assert s.system_orders == {sys_key("100"): OID8, sys_key("200"): OID9}


# ---- statuses -----------------------------------------------------------------


@pytest.mark.parametrize(
    "submit, code, status, message",
    [("4", "5", "REJECTED", "报单被拒绝"), ("4", "0", "REJECTED", "报单被拒绝"),
     ("0", "2", "CANCELLED", "剩余委托已不再排队"), ("0", "4", "CANCELLED", "剩余委托已不再排队"),
     ("5", "5", "CANCELLED", "剩余委托已不再排队"), ("0", "1", "ALIVE", ""), ("0", "a", "ALIVE", ""),
     (None, "3", "ALIVE", "")],
)  # fmt: skip
def test_status_of_a_return(s, submit, code, status, message):
    row = order_row(sys="100", status=code, submit=submit)
    if submit is None:
        del row["OrderSubmitStatus"]
    s._order(row)
    child = s.native_orders[OID8]
    assert (child["status"], child["status_msg"], child["pending_finish"]) == (status, message, False)
    assert (s.o[OID8]["status"], s.o[OID8]["status_msg"]) == (status, message)


ALIVE, CANCEL = {"status": "3"}, {"status": "5"}
REJECT, FILL = {"status": "5", "submit": "4"}, {"status": "0", "traded": 5}


@pytest.mark.parametrize(
    "first, then, status",
    [("FILLED", ALIVE, "FILLED"), ("FILLED", CANCEL, "FILLED"), ("FILLED", REJECT, "FILLED"),
     ("REJECTED", CANCEL, "REJECTED"), ("REJECTED", FILL, "REJECTED"), ("REJECTED", ALIVE, "REJECTED"),
     ("CANCELLED", ALIVE, "CANCELLED"), ("CANCELLED", FILL, "CANCELLED"), ("CANCELLED", REJECT, "REJECTED")],
)  # fmt: skip
def test_terminal_statuses_are_sticky(s, first, then, status):
    child = accept(s)
    if first == "FILLED":
        s._trade(trade_row("T1", "100", 5), update_position=False)
    else:
        s._order(order_row(sys="100", **(CANCEL if first == "CANCELLED" else REJECT)))
    assert child["status"] == first
    before, revision = dict(child), s.revision
    s._order(order_row(sys="100", **then))
    assert child["status"] == s.o[OID8]["status"] == status
    if status == first:
        assert child == before and s.revision == revision
    else:
        assert child["status_msg"] == "报单被拒绝" and s.revision == revision + 1


def test_trades_completing_an_order_fill_it_whatever_the_return_said(s):
    child = accept(s)
    s._order(order_row(sys="100", status="5"))
    s._trade(trade_row("T1", "100", 5), update_position=False)
    assert (child["status"], child["status_msg"], child["volume_left"]) == ("FILLED", "全部成交", 0)


@pytest.mark.parametrize("rebuild", ["child", "record", "both"])
def test_records_rebuilt_by_hand_are_read_by_name(s, rebuild):
    child = accept(s)
    (rebuilt if rebuild != "record" else dict.update)(child, volume_traded=1)
    (rebuilt if rebuild != "child" else dict.update)(s.o[OID8], status_msg="x")
    s._trade(trade_row("T1", "100", 3), update_position=False)
    s._order(order_row(sys="100", status="1", traded=4))
    record = s.o[OID8]
    assert (child["volume_traded"], child["volume_left"], child["status"], child["expected_traded"]) == (4, 1, "ALIVE", 4)
    assert (record["volume_traded"], record["volume_left"], record["status"], record["status_msg"]) == (4, 1, "ALIVE", "")


class Watched(dict):
    """A record that notes the keys written and popped through its own methods."""

    def __init__(self, record):
        super().__init__(record)
        self.written, self.popped = set(), []

    def __setitem__(self, key, value):
        self.written.add(key)
        super().__setitem__(key, value)

    def pop(self, key, *default):
        self.popped.append(key)
        return super().pop(key, *default)


def test_dict_subclass_records_are_written_through_their_own_methods(s):
    s.native_orders[OID8] = child = Watched(accept(s))
    s.o[OID8] = record = Watched(s.o[OID8])
    s._order(order_row(sys="100", status="0"))  # all traded: the finish waits for the trades
    assert {"pending_finish", "finish_status", "finish_msg", "expected_traded"} <= child.written
    s._trade(trade_row("T1", "100", 5), update_position=False)
    assert (child["status"], child["volume_left"], "finish_status" in child) == ("FILLED", 0, False)
    assert child.popped == ["finish_status", "finish_msg"]
    assert {"status", "volume_traded", "volume_left"} <= record.written and record["status"] == "FILLED"


def test_a_repeated_return_changes_nothing_in_a_dict_subclass_record(s):
    s.native_orders[OID8] = child = Watched(accept(s))
    s._order(order_row(sys="100", status="3"))
    revision, child.written = s.revision, set()
    s._order(order_row(sys="100", status="3"))  # the same return again: equal values count as unchanged
    assert s.revision == revision and child["status"] == "ALIVE"


def test_stale_query_rows_are_ignored(s):
    child = accept(s, sys="")
    s._trade(trade_row("T1", "100", 2), update_position=False)  # parked: no order has "100" yet
    s.order_revisions[OID8] = 9
    before = dict(child)
    s._order(order_row(sys="100", status="5"), query_revision=7)
    assert child == before and s.revision == 1 and list(s.pending_trades) == [key("T1")]
    assert s.system_orders == {sys_key("100"): OID8}  # identity is settled before the age test
    s._order(order_row(sys="100", status="5", traded=2), 9)  # not newer than the query: applied
    assert (child["status"], child["volume_traded"], s.order_revisions[OID8]) == ("CANCELLED", 2, 2)
    s._order(order_row(sys="100", status="5", traded=2))  # writes the released finish keys back
    s.pending_trades[key("T7")], revision = trade_row("T7", "100", 1), s.revision
    s._order(order_row(sys="100", status="5", traded=2))  # no change, yet parked trades are replayed
    assert (s.pending_trades, child["volume_traded"], s.revision) == ({}, 3, revision)
    s._order(order_row("5", "500"), query_revision=0)  # an order the books do not know
    assert s.native_orders["1:42:5"]["status"] == "ALIVE"


# ---- deferred finishes and cancellations --------------------------------------


def test_all_traded_return_waits_for_the_trades(s):
    child = accept(s)
    s._trade(trade_row("T1", "100", 3), update_position=False)
    child["status_msg"] = "排队中"
    s._order(order_row(sys="100", status="0", traded=0))  # all traded: at least the ordered volume is owed
    assert (child["status"], child["pending_finish"], child["expected_traded"]) == ("ALIVE", True, 5)
    assert (child["finish_status"], child["finish_msg"], child["status_msg"]) == ("FILLED", "全部成交", "排队中")
    assert s.o[OID8]["status"] == "ALIVE"
    revision = s.revision
    s._order(order_row(sys="100", status="1", traded=3))  # working return while held: ignored
    assert s.revision == revision and child["pending_finish"]
    s._trade(trade_row("T2", "100", 1), update_position=False)
    assert child["status"] == "ALIVE" and child["pending_finish"]
    s._trade(trade_row("T3", "100", 1), update_position=False)
    assert (child["status"], child["status_msg"], child["pending_finish"]) == ("FILLED", "全部成交", False)
    assert "finish_status" not in child and "finish_msg" not in child
    assert (s.o[OID8]["status"], s.o[OID8]["volume_left"]) == ("FILLED", 0)
    s._order(order_row(sys="100", **FILL))  # the next return writes both keys again
    assert (child["finish_status"], child["finish_msg"], s.revision) == (None, "", revision + 1)


def test_cancel_waits_for_the_counted_trades(s):
    child = accept(s)
    child.update(cancel_pending=True, cancel_request_id=3)
    s._trade(trade_row("T1", "100", 1), update_position=False)
    s._order(order_row(sys="100", status="5", traded=2))
    assert (child["status"], child["finish_status"], child["status_msg"]) == ("ALIVE", "CANCELLED", "")
    assert child["cancel_pending"] is False  # a terminal return settles the cancellation
    s._trade(trade_row("T2", "100", 1), update_position=False)
    assert (child["status"], child["status_msg"], child["volume_left"]) == ("CANCELLED", "剩余委托已不再排队", 3)
    assert "finish_status" not in child and s.o[OID8]["status"] == "CANCELLED"


@pytest.mark.parametrize(
    "request_id, submit, code, pending, error, message",
    [(3, "5", "3", False, "撤单被拒绝", "排队中"), (None, "5", "3", True, "旧", "排队中"),
     (3, "3", "3", True, "旧", ""), (3, "5", "5", False, None, "剩余委托已不再排队")],
)  # fmt: skip
def test_cancel_outcome_of_a_return(s, request_id, submit, code, pending, error, message):
    child = accept(s)
    child.update(cancel_pending=True, cancel_request_id=request_id, cancel_error="旧", status_msg="排队中")
    s._aggregate(child)
    s._order(order_row(sys="100", status=code, submit=submit))
    assert (child["cancel_pending"], child["cancel_error"], child["status_msg"]) == (pending, error, message)
    assert (s.o[OID8]["cancel_pending"], s.o[OID8]["cancel_error"]) == (pending, error)


def test_price_and_insert_time_are_taken_once(s):
    child = submitted(s, OID8, "BUY", "OPEN", None)
    s._order(order_row("8", "100", LimitPrice=71000.0, InsertTime="10:00:00"))
    assert s.native_orders[OID8] is child and (child["status"], child["request_id"]) == ("ALIVE", 11)
    assert (s.o[OID8]["limit_price"], s.o[OID8]["insert_time"]) == (70500.0, 5)
    s._order(order_row("9", LimitPrice=math.nan, InsertTime=""))
    assert (s.o[OID9]["limit_price"], s.o[OID9]["insert_time"]) == (None, None)
    s._order(order_row("9", LimitPrice=70100.0))
    assert (s.o[OID9]["limit_price"], s.o[OID9]["insert_time"]) == (70100.0, T0930)


def test_aggregate(s):
    a, b = submitted(s, OID8), submitted(s, OID9)
    a.update(exchange_order_id=" 77 ", volume_traded=2, volume_left=3, status="ALIVE", status_msg="m",
             cancel_pending=True, cancel_error="e")  # fmt: skip
    b.update(exchange_order_id="   ", status="CANCELLED")
    s.o[OID8]["symbol"] = "kept"
    s._aggregate(a)
    assert s.o[OID8] == dict(s.o[OID8], order_sys_id="77", volume_traded=2, volume_left=3, status="ALIVE",
                             status_msg="m", cancel_pending=True, cancel_error="e", symbol="kept")  # fmt: skip
    assert s.o[OID9]["status"] == "PENDING"
    s._aggregate()
    assert (s.o[OID9]["status"], s.o[OID9]["order_sys_id"]) == ("CANCELLED", None)


# ---- trades -----------------------------------------------------------------


@pytest.mark.parametrize("ready", [False, True])
def test_parked_trades_are_replayed_by_the_return_that_links_them(s, ready):
    s.position_ready = ready
    record = dict(position(s))
    first, second = trade_row("T1", "  100", 2), trade_row("T2", "100", 1)
    for row in (first, trade_row("T9", "200"), second, first, trade_row("T5", "")):
        assert s._trade(row, update_position=ready) is False
    assert list(s.pending_trades) == [key(t) for t in ("T1", "T9", "T2", "T5")] and s.pending_trades[key("T1")] == first
    accept(s, sys="")
    assert len(s.pending_trades) == 4  # no number, nothing replayed
    child = accept(s, sys="100")
    assert list(s.t) == [key("T1"), key("T2")] and list(s.pending_trades) == [key("T9"), key("T5")]
    assert (child["volume_traded"], s.o[OID8]["volume_left"]) == (3, 2)
    expected = dict(record, pos_long=3, pos_long_today=3, pos=3, available_long=3, updated_at=NOW)
    assert s.p[SYM] == (expected if ready else record)


def test_parked_store_is_bounded(s):
    s.pending_trades.update({key(f"x{i}"): {} for i in range(32767)})
    assert s._trade(trade_row("T1", "100"), update_position=False) is False
    with pytest.raises(BufferError, match="^未关联订单的成交暂存队列已满$"):
        s._trade(trade_row("T2", "100"), update_position=False)
    assert s._trade(trade_row("T1", "100"), update_position=False) is False  # already parked


def test_trade_record_and_duplicates(s):
    child = accept(s)
    for call in (lambda: s._trade(trade_row("T1", "100")), lambda: s._trade(trade_row("T1", "100"), True)):
        with pytest.raises(TypeError):  # update_position is keyword-only and required
            call()
    assert s._trade(trade_row("T1", " 100 ", 2), update_position=False) is True
    assert list(s.t[key("T1")]) == list(Trade.fields)
    assert s.t[key("T1")] == dict(zip(Trade.fields, ["T1", "100", SYM, "BUY", "OPEN", 70010.0, 2, T0931]))
    before, s.dirty, s.pending = dict(child), False, set()
    assert s._trade(trade_row("T1 ", "100", 2), update_position=False) is False
    assert (child, len(s.t), s.dirty, s.pending) == (before, 1, False, set())


def test_numbers_repeated_on_two_exchanges(s):
    shfe, dce = accept(s, "8", "100"), accept(s, "9", " 100", symbol=OTHER)
    assert s.system_orders == {sys_key("100"): OID8, sys_key("100", "DCE"): OID9}
    assert s._trade(trade_row("T1", "100", 2), update_position=False) is True
    assert s._trade(trade_row("T1", "100", 3, symbol=OTHER), update_position=False) is True
    assert list(s.t) == [key("T1"), key("T1", "DCE")] and (shfe["volume_traded"], dce["volume_traded"]) == (2, 3)
    assert [t["symbol"] for t in s.t.values()] == [SYM, OTHER]
    s._order(order_row("9", "100", symbol=OTHER, status="5", traded=3))  # known by its exchange's number
    assert (shfe["status"], dce["status"]) == ("ALIVE", "CANCELLED")


def test_self_trade_is_two_trades(s):
    position(s)
    s.position_ready = True
    buy, sell = accept(s, "8", "100"), accept(s, "9", "101", direction="1")
    assert s._trade(trade_row("T1", "100", 2), update_position=True) is True
    assert s._trade(trade_row("T1", "101", 2, direction="1"), update_position=True) is True
    assert s._trade(trade_row(" T1", "101", 2, direction="1"), update_position=True) is False  # seen
    assert list(s.t) == [key("T1"), key("T1", direction="SELL")]
    assert [t["trade_id"] for t in s.t.values()] == ["T1", "T1"]
    assert (buy["volume_traded"], sell["volume_traded"]) == (2, 2)
    assert (s.p[SYM]["pos_long"], s.p[SYM]["pos_short"], s.p[SYM]["pos"]) == (2, 2, 0)


def test_parked_trade_waits_for_an_order_of_its_own_exchange(s):
    parked = trade_row("T1", "100", 2, symbol=OTHER)
    s._trade(parked, update_position=False)
    shfe = accept(s, "8", "100")  # the same number on another exchange
    assert s.pending_trades == {key("T1", "DCE"): parked} and s.t == {} and shfe["volume_traded"] == 0
    dce = accept(s, "9", "100", symbol=OTHER)
    assert s.pending_trades == {} and list(s.t) == [key("T1", "DCE")] and dce["volume_traded"] == 2
    # A trade without its exchange is tied to no exchange's order.
    row = trade_row("T2", "100")
    del row["ExchangeID"]
    assert s._trade(row, update_position=False) is False and list(s.pending_trades) == [("", "T2", "BUY")]


class MyInt(int):
    pass


@pytest.mark.parametrize("volume", [0, -1, 1.0, True, False, "1", None, MyInt(1)])
def test_trade_volume_must_be_a_positive_int(s, volume):
    child = accept(s)
    with pytest.raises(BufferError, match="^成交数量无效$"):
        s._trade(trade_row("T1", "100", volume), update_position=False)
    assert child["volume_traded"] == 0 and s.t == {}


def test_over_fill_by_trade_and_by_return(s):
    child = accept(s, volume=5)
    with pytest.raises(BufferError, match="^成交数量超过订单原始数量$"):
        s._trade(trade_row("T1", "100", 6), update_position=False)
    assert child["volume_traded"] == 6  # not rolled back
    other = accept(s, "9", "200", volume=5)
    s._trade(trade_row("T2", "200", 3), update_position=False)
    with pytest.raises(BufferError, match="^成交数量超过订单原始数量$"):
        s._order(order_row("9", "200", volume=2))
    assert other["volume_original"] == 2


def test_changed_trading_day(s):
    with pytest.raises(TimeoutError, match="^订单回报的交易日发生变化$"):
        s._order(order_row(TradingDay="20240108"))
    assert s.o == s.native_orders == {}
    row = order_row("9", "200")
    del row["TradingDay"]
    s._order(row)
    accept(s, TradingDay="")
    s._trade(trade_row("T1", "100"), update_position=False)
    for tid in ("T1", "T2"):  # checked before the duplicate test
        with pytest.raises(TimeoutError, match="^成交回报的交易日发生变化$"):
            s._trade(trade_row(tid, "100", TradingDay="20240104"), update_position=False)


@pytest.mark.parametrize("tid", ["", " \t ", None])
def test_trade_without_trade_id(s, tid):
    row = trade_row("x", "100", TradeID=tid)
    if tid is None:
        del row["TradeID"]
    for call in (lambda: s._trade(row, update_position=False), lambda: s._trade_id(row)):
        with pytest.raises(BufferError, match="^CTP 成交回报缺少 TradeID$"):
            call()
    assert s._trade_id({"TradeID": " \t12 \n"}) == ("", "12", "SELL")  # no exchange, no direction
    assert s._trade_id(trade_row(" 12", "", direction="1", symbol=OTHER)) == ("DCE", "12", "SELL")


@pytest.mark.parametrize(
    "key", ["OrderStatus", "VolumeTotalOriginal", "CombOffsetFlag", "FrontID", "SessionID", "OrderRef", "ExchangeID",
            "InstrumentID", "T:Volume", "T:Direction", "T:OffsetFlag", "T:Price", "T:TradeDate", "T:TradeTime",
            "T:InstrumentID"],
)  # fmt: skip
def test_missing_required_key(s, key):
    if key.startswith("T:"):
        accept(s)
        key, row = key[2:], trade_row("T1", "100")
        call = lambda: s._trade(row, update_position=False)  # noqa: E731
    else:
        row = order_row(sys="100")
        call = lambda: s._order(row)  # noqa: E731
    del row[key]
    with pytest.raises(KeyError) as info:
        call()
    assert info.value.args == (key,)


# ---- position arithmetic ------------------------------------------------------


@pytest.mark.parametrize(
    "direction, flag, volume, after",
    [("1", "1", 4, (0, 1, 1, 1)), ("1", "6", 4, (0, 1, 1, 1)), ("1", "1", 5, (0, 0, 1, 1)),
     ("1", "3", 3, (2, 0, 1, 1)), ("1", "4", 2, (0, 3, 1, 1)), ("0", "1", 2, (2, 3, 0, 0)),
     ("0", "3", 1, (2, 3, 1, 0)), ("0", "0", 2, (2, 5, 1, 1)), ("1", "0", 2, (2, 3, 1, 3)),
     ("1", "1", 6, "平仓成交数量超过本地持仓"), ("0", "4", 3, "平仓成交数量超过本地持仓"),
     ("1", "3", 4, "平仓成交数量超过本地对应今昨仓"), ("1", "4", 3, "平仓成交数量超过本地对应今昨仓"),
     ("0", "4", 2, "平仓成交数量超过本地对应今昨仓")],
)  # fmt: skip
def test_trade_moves_the_position(s, direction, flag, volume, after):
    position(s, long=(2, 3), short=(1, 1))
    row = trade_row("T1", "100", volume, direction=direction, offset=flag)
    if isinstance(after, str):
        with pytest.raises(BufferError, match=f"^{after}$"):
            s._apply_position_trade(row)
        return
    s._apply_position_trade(row)
    rec = s.p[SYM]
    lh, lt, sh, st = after
    assert (rec["pos_long_his"], rec["pos_long_today"], rec["pos_short_his"], rec["pos_short_today"]) == after
    assert (rec["pos_long"], rec["pos_short"], rec["updated_at"]) == (lh + lt, sh + st, NOW)
    assert rec["pos"] == lh + lt - sh - st


def test_trade_on_a_symbol_without_a_record(s):
    s._apply_position_trade(trade_row("T1", "1", 3, symbol=OTHER))
    assert list(s.p[OTHER]) == list(empty_position(OTHER, 0))
    assert s.p[OTHER] == dict(empty_position(OTHER, NOW), pos_long=3, pos_long_today=3, pos=3)
    with pytest.raises(BufferError, match="^平仓成交数量超过本地持仓$"):
        s._apply_position_trade(trade_row("T2", "1", 1, offset="1", symbol="CZCE.SR505"))
    assert s.p["CZCE.SR505"] == empty_position("CZCE.SR505", NOW)


# ---- reservations of working closes ---------------------------------------------


def S(close_type, left, status="ALIVE", offset="CLOSE", direction="SELL", symbol=SYM):
    return (direction, offset, close_type, status, left, symbol)


@pytest.mark.parametrize(
    "children, expected",
    [([], (2, 3)), ([S("UNSPECIFIED", 3), S("TODAY", 1, offset="CLOSE_TODAY")], (0, 1)),
     ([S("UNSPECIFIED", 1, "PENDING")], (1, 3)), ([S("UNSPECIFIED", 5)], (0, 0)),
     ([S("UNSPECIFIED", 6)], "refused"), ([S(None, 3)], (0, 2)), ([S("TODAY", 4)], "refused"),
     ([S("HISTORY", 3, offset="CLOSE_YESTERDAY")], "refused"), ([S("HISTORY", 2, offset="CLOSE_TODAY")], (0, 3)),
     ([S("HISTORY", 1), S("UNSPECIFIED", 2)], (0, 2)), ([S("UNSPECIFIED", 2), S("HISTORY", 1)], "refused"),
     ([S("HISTORY", 3), S("UNSPECIFIED", 1)], "refused"),
     ([S("UNSPECIFIED", 9, direction="BUY"), S("TODAY", 9, offset="OPEN"), S(None, 9, offset="OPEN"),
       S("TODAY", 9, symbol=OTHER)] + [S("TODAY", 9, status) for status in ("FILLED", "CANCELLED", "REJECTED")],
      (2, 3))],
)  # fmt: skip
def test_free_parts_of_working_closes(s, children, expected):
    position(s, long=(2, 3))
    for i, (direction, offset, close_type, status, left, symbol) in enumerate(children):
        submitted(s, f"1:42:{9 - i}", direction, offset, close_type, status, left, symbol)  # books keep their order
    assert free(s) == expected


def test_free_parts_of_the_short_side_and_unknown_positions(s):
    position(s, short=(1, 1))
    submitted(s, OID8, "BUY", "CLOSE_TODAY", "TODAY", "ALIVE", 1)
    submitted(s, OID9, "SELL", "CLOSE", "UNSPECIFIED", "ALIVE", 9)
    assert free(s, side="short") == (1, 0) and free(s, OTHER) == (0, 0)
    for record in (empty_position(SYM), {}):
        s.p[SYM] = record
        assert free(s) == free(s, side="short") == (0, 0)


def copies(s):
    s.native_orders = {oid: dict(child) for oid, child in s.native_orders.items()}


def cancel_b(s, a, b):
    s._order(order_row("9", "200", "5", volume=2, direction="1", offset="1"))


def cancel_b_by_hand_and_back(s, a, b):
    b["status"] = "CANCELLED"
    assert free(s) == (2, 2)
    b["status"] = "ALIVE"


def rebuilt(record, **changes):
    """The record refilled in place in reverse key order, with equal keys that are other objects."""
    items = [(key.encode().decode(), value) for key, value in reversed(record.items())]
    record.clear()
    record.update(items, **changes)
    return record


EDITS = {  # name: (change, free (his, today) of the long side afterwards)
    "a volume_left": (lambda s, a, b: a.update(volume_left=0), (0, 3)),
    "b volume_left": (lambda s, a, b: b.update(volume_left=1), (1, 2)),
    "b cancelled": (lambda s, a, b: b.update(status="CANCELLED"), (2, 2)),
    "b cancelled and back": (cancel_b_by_hand_and_back, (0, 2)),
    "b symbol": (lambda s, a, b: b.update(symbol=OTHER), (2, 2)),
    "b opening": (lambda s, a, b: b.update(offset="OPEN"), (2, 2)),
    "b close type": (lambda s, a, b: b.update(close_type="TODAY"), (2, 0)),
    "inserted last": (lambda s, a, b: submitted(s, "h", close_type="HISTORY", status="ALIVE", left=1), "refused"),
    "inserted first": (lambda s, a, b: setattr(s, "native_orders", {"h": dict(b, order_id="h", close_type="HISTORY",
                                                                          volume_left=1), **s.native_orders}),
                       (0, 1)),  # fmt: skip
    "new dict, old child edited": (lambda s, a, b: (copies(s), b.update(volume_left=0)), (0, 2)),
    "new dict, copy edited": (lambda s, a, b: (copies(s), s.native_orders[OID8].update(volume_left=0)), (0, 3)),
    "b replaced": (lambda s, a, b: s.native_orders.__setitem__(OID9, dict(b, status="CANCELLED")), (2, 2)),
    "b deleted": (lambda s, a, b: s.native_orders.pop(OID9), (2, 2)),
    "cleared": (lambda s, a, b: s.native_orders.clear(), (2, 3)),
    "b keys reordered": (lambda s, a, b: rebuilt(b, volume_left=1), (1, 2)),
    "position edited": (lambda s, a, b: s.p[SYM].update(pos_long_his=5), (3, 2)),
    "position rebuilt": (lambda s, a, b: s.p.__setitem__(SYM, rebuilt(dict(s.p[SYM]), pos_long_his=5)), (3, 2)),
    "position replaced": (lambda s, a, b: setattr(s, "p", {SYM: dict(s.p[SYM], pos_long_his=0, pos_long_today=4)}),
                          (0, 1)),  # fmt: skip
    "b traded": (lambda s, a, b: s._trade(trade_row("T1", "200", 1, direction="1", offset="1"),
                                          update_position=False), (1, 2)),  # fmt: skip
    "b cancelled by return": (cancel_b, (2, 2)),
    # A finished order is never reopened: once the session itself has made a
    # child terminal, it leaves the index, so a status edited back to working
    # by hand is not seen (terminal statuses are sticky in the books).
}


@pytest.mark.parametrize("edit", list(EDITS))
def test_free_parts_follow_every_change_of_the_books(s, edit):
    s.position_ready = True
    position(s, long=(2, 3))
    a = accept(s, "8", "100", volume=1, direction="1", offset="3")  # close today, 1 lot
    b = accept(s, "9", "200", volume=2, direction="1", offset="1")  # close, 2 lots
    assert free(s) == (0, 2) and s.p[SYM]["frozen_long"] == 3
    change, expected = EDITS[edit]
    change(s, a, b)
    assert free(s) == expected
    if expected != "refused":
        s._recompute_frozen(symbol=SYM)
        assert s.p[SYM]["available_long"] == sum(expected)


# ---- frozen and available quantities -----------------------------------------------


def test_recompute_frozen(s):
    rec = position(s, long=(2, 3), short=(1, 1))
    other = position(s, OTHER, long=(0, 1))
    s.p["CZCE.SR505"] = empty_position("CZCE.SR505")  # not established: skipped
    a = submitted(s, "1:42:1", close_type="UNSPECIFIED", status="ALIVE", left=3)
    submitted(s, "1:42:2", "SELL", "CLOSE_TODAY", "TODAY", "ALIVE", 1)
    submitted(s, "1:42:3", "BUY", "CLOSE_TODAY", "TODAY", "PENDING", 1)
    s._recompute_frozen(123)
    quantities = ("frozen_long", "available_long", "frozen_short", "available_short", "updated_at")
    assert tuple(rec[k] for k in quantities) == (4, 1, 1, 1, 123)
    assert other["updated_at"] == 1 and s.p["CZCE.SR505"] == empty_position("CZCE.SR505")
    s._recompute_frozen(456)  # nothing changes: no new stamp
    assert rec["updated_at"] == 123
    a["volume_left"] = 2
    s._recompute_frozen(0)
    assert (rec["frozen_long"], rec["updated_at"]) == (3, NOW)
    a["volume_left"] = 9
    s._recompute_frozen(789, symbol=OTHER)  # only the symbol asked for
    s._recompute_frozen(789, symbol="CFFEX.IF2501")  # no record: nothing, none created
    assert (rec["frozen_long"], "CFFEX.IF2501" in s.p) == (3, False)
    with pytest.raises(BufferError, match="^有效平仓委托冻结量超过本地持仓$"):
        s._recompute_frozen()


def test_returns_and_trades_move_the_reservations(s, clock):
    s.position_ready = True
    rec = position(s, long=(2, 3))
    accept(s, "8", "100", volume=4, direction="1", offset="1")
    assert (rec["frozen_long"], rec["available_long"], rec["updated_at"]) == (4, 1, NOW)
    s._trade(trade_row("T1", "100", 3, direction="1", offset="1"), update_position=True)
    assert (rec["pos_long_his"], rec["pos_long_today"], rec["frozen_long"], rec["available_long"]) == (0, 2, 1, 1)
    accept(s, "8", "100", status="5", volume=4, direction="1", offset="1", traded=3)
    assert (rec["frozen_long"], rec["available_long"]) == (0, 2)
    s.position_ready = False
    clock.wall += 1
    accept(s, "9", "101", volume=1, direction="1", offset="1")
    assert (rec["frozen_long"], rec["updated_at"]) == (0, NOW)


# ---- code run from inside the books -----------------------------------------------


class FirstHashFails:
    """Equal to `value`; its first hash raises."""

    def __init__(self, value):
        self.value, self.hashed = value, 0

    def __hash__(self):
        self.hashed += 1
        if self.hashed == 1:
            raise ValueError("first hash")
        return hash(self.value)

    def __eq__(self, other):
        return other == self.value


def hash_fails(s):
    child = accept(s)
    child["parent"] = FirstHashFails(OID8)
    with pytest.raises(ValueError, match="^first hash$"):
        s._order(order_row(sys="100", status="0", traded=5))
    assert child["parent"].hashed == 1  # the error comes through, not a second look-up


def index_rebuilt_between_sides(s):
    rec = position(s, long=(2, 3), short=(5, 5))
    for n in (9, 8, 7):
        submitted(s, f"1:42:{n}", "BUY", "CLOSE_TODAY", "TODAY", "ALIVE", 1)

    class Reenters:
        def __eq__(self, other):  # compared while the long side is written
            s.native_orders["1:42:1"] = {"offset": "OPEN", "status": "ALIVE", "symbol": SYM}
            s._free_parts(SYM, "long")  # rebuilds the index
            return False

        __hash__ = None

    rec["available_long"] = Reenters()
    s._recompute_frozen(1, symbol=SYM)
    assert (rec["frozen_short"], rec["available_short"]) == (3, 7)


def number_replaced_while_stripped(s):
    child, record = accept(s), s.o[OID8]
    record["order_sys_id"] = "".join(["100", "x" * 50])  # held by the record alone

    class Number(str):
        def strip(self):
            record["order_sys_id"] = None
            return "100" + "x" * 50

    child["exchange_order_id"] = Number(" 100 ")
    s._aggregate(child)
    assert record["order_sys_id"] == "100" + "x" * 50


@pytest.mark.parametrize("case", [hash_fails, index_rebuilt_between_sides, number_replaced_while_stripped])
def test_code_run_from_inside_the_books(s, case):
    case(s)  # the host's error or the right values, never a crash


# ---- randomized traffic against a full scan -------------------------------------------

SYMBOLS = (SYM, OTHER, "CZCE.SR505")
STATUSES = ("PENDING", "ALIVE", "FILLED", "CANCELLED", "REJECTED")
TERMINAL = ("FILLED", "CANCELLED", "REJECTED")


def scan(s, symbol, side):
    pos = s.p.get(symbol)
    if not pos or pos.get("pos_" + side) is None:
        return (0, 0)
    his, today = pos[f"pos_{side}_his"], pos[f"pos_{side}_today"]
    closing = "SELL" if side == "long" else "BUY"
    for c in s.native_orders.values():
        if c["symbol"] == symbol and c["direction"] == closing and c["offset"] != "OPEN" \
                and c["status"] not in ("FILLED", "CANCELLED", "REJECTED"):  # fmt: skip
            left, kind = c["volume_left"], c["close_type"]
            if kind == "TODAY":
                today -= left
            elif kind == "HISTORY":
                his -= left
            else:
                used = min(left, max(his, 0))
                his, today = his - used, today - (left - used)
    return "refused" if min(his, today) < 0 else (his, today)


def test_a_cancelled_close_reported_rejected_with_lots_to_come_reserves_again(s):
    s.position_ready = True
    position(s, long=(3, 4))
    accept(s, "8", "100", direction="1", offset="1", volume=5, status="5")  # a close of 5, cancelled
    assert free(s) == scan(s, SYM, "long") == (3, 4)
    s._order(order_row("8", "100", "5", submit="4", direction="1", offset="1", volume=5, traded=1))
    assert s.native_orders["1:42:8"]["status"] == "ALIVE"  # held until the traded lot arrives
    assert free(s) == scan(s, SYM, "long") == (0, 2)


def test_a_filled_order_is_not_reopened_by_a_return_counting_more_lots(s):
    accept(s, "8", "100", volume=1)
    s._trade(trade_row("T1", "100", 1), update_position=False)
    s._order(order_row("8", "100", "0", volume=1, traded=2))
    child = s.native_orders["1:42:8"]
    assert (child["status"], child["pending_finish"], s.o["1:42:8"]["status"]) == ("FILLED", False, "FILLED")


def test_free_parts_match_a_full_scan_under_random_traffic(s):
    rng = random.Random(20240105)
    s.position_ready = True
    for symbol in SYMBOLS:
        position(s, symbol, long=(rng.randint(0, 9), rng.randint(0, 9)), short=(rng.randint(0, 9), rng.randint(0, 9)))
    live = []  # [ref, sys, symbol, direction, flag, volume, traded, linked]
    trades = hand = 0
    for step in range(4000):
        roll = rng.random()
        try:
            if roll < 0.2 or not live:  # a new order, mostly within what is free to close
                ref, symbol, direction, flag = str(step), rng.choice(SYMBOLS), rng.choice("01"), rng.choice("0134")
                parts = scan(s, symbol, "long" if direction == "1" else "short")
                cap = 0 if flag == "0" or parts == "refused" else {"3": parts[1], "4": parts[0]}.get(flag, sum(parts))
                flag = flag if cap > 0 else "0"
                order = [ref, f"S{ref}", symbol, direction, flag, rng.randint(1, min(cap, 4) if cap else 4), 0,
                         rng.random() < 0.7]  # fmt: skip
                if roll < 0.03:  # registered by submission, found later by its reference
                    close_type = {"0": None, "3": "TODAY", "4": "HISTORY"}.get(flag, "UNSPECIFIED")
                    submitted(s, f"1:42:{ref}", "BUY" if direction == "0" else "SELL", books_model.OFFSET_BY_FLAG[flag],
                              close_type, "PENDING", order[5], symbol)  # fmt: skip
                rejected = rng.random() < 0.08
                if not rejected:
                    live.append(order)
                s._order(order_row(ref, order[1] if order[7] else "", "5" if rejected else "3",
                                   submit="4" if rejected else "3", volume=order[5], offset=flag, direction=direction,
                                   symbol=symbol))  # fmt: skip
            elif roll < 0.55:  # a partial or full fill, parked while the order has no number
                order = rng.choice(live)
                ref, sys, symbol, direction, flag, volume, traded, linked = order
                if traded < volume:
                    lots = rng.randint(1, volume - traded)
                    order[6], trades = traded + lots, trades + 1
                    s._trade(trade_row(f"T{trades}", sys, lots, direction=direction, offset=flag, symbol=symbol),
                             update_position=True)  # fmt: skip
            elif roll < 0.75:  # all traded (held until the trades come), cancelled, or cancel refused
                order = live.pop(rng.randrange(len(live)))
                ref, sys, symbol, direction, flag, volume, traded, linked = order
                kind = rng.random()
                status, submit, reported = ("0", "3", volume) if kind < 0.3 else ("5", "3", traded) if kind < 0.85 \
                    else ("3", "5", traded)  # fmt: skip
                order[7] = True
                if status == "0" or submit == "5":
                    live.append(order)  # still owes trades, or still working
                s._order(order_row(ref, sys, status, submit=submit, volume=volume, traded=reported, offset=flag,
                                   direction=direction, symbol=symbol))  # fmt: skip
            elif roll < 0.85:  # a working return again, live or as a possibly stale query row
                order = rng.choice(live)
                ref, sys, symbol, direction, flag, volume, traded, linked = order
                order[7] = True
                s._order(order_row(ref, sys, rng.choice("13"), volume=volume, traded=traded, offset=flag,
                                   direction=direction, symbol=symbol),
                         query_revision=s.revision - rng.randint(0, 3) if roll < 0.8 else None)  # fmt: skip
            elif roll < 0.95:  # a child edited in place
                child = s.native_orders[rng.choice(list(s.native_orders))]
                if rng.random() < 0.5:
                    child["volume_left"] = rng.randint(0, child["volume_left"] + (rng.random() < 0.2))
                elif child["status"] not in TERMINAL:
                    child["status"] = rng.choice(STATUSES)  # finished orders are never reopened
            elif roll < 0.97:  # a child inserted by hand
                hand += 1
                submitted(s, f"h{hand}", rng.choice(("BUY", "SELL")), rng.choice(("CLOSE", "CLOSE_TODAY", "OPEN")),
                          rng.choice(("TODAY", "HISTORY", "UNSPECIFIED", None)), rng.choice(STATUSES),
                          rng.randint(0, 1), rng.choice(SYMBOLS))  # fmt: skip
            else:  # the book replaced by a new dict, sometimes in another order
                items = list(s.native_orders.items())
                if rng.random() < 0.5:
                    rng.shuffle(items)
                s.native_orders = dict(items)
        except BufferError:
            pass
        for symbol in SYMBOLS:
            for side in ("long", "short"):
                assert free(s, symbol, side) == scan(s, symbol, side), (step, symbol, side)
