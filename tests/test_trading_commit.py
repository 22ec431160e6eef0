"""Trading: the commit of the private books into the published views (the
change report keyed by identity number, removals after a reset, the objects
registry) and position views handed out on demand."""

import math

import pytest

from torvo.ledger import Order, Position, Trade, empty_position
from trading_support import factory, make_session  # noqa: F401  (fixtures)

SYM, OTHER = "SHFE.cu2501", "DCE.m2505"
FORMAT = "^symbol 格式应为 交易所.合约，例如 SHFE.rb2610 或 DCE.a2611-C-3700$"


@pytest.fixture
def s(factory):
    session = make_session(factory)
    session.phase, session.session_status, session.published_status = "ready", "READY", "READY"
    session.dirty = True
    return session


def order(oid, status="ALIVE", **extra):
    values = dict(order_id=oid, order_sys_id=None, symbol=SYM, direction="BUY", offset="OPEN", limit_price=70010.0,
                  volume_original=2, volume_traded=0, volume_left=2, status=status, status_msg="",
                  cancel_pending=False, cancel_error=None, insert_time=5)  # fmt: skip
    return dict(values, **extra)


def trade(tid, volume=1):
    return dict(trade_id=tid, order_sys_id="100", symbol=SYM, direction="BUY", offset="OPEN", price=70010.0,
                volume=volume, trade_time=None)  # fmt: skip


def publish(s, expected=True):
    changes = {}
    s.dirty = True
    s.changed.set()
    assert s.commit(changes) is expected
    assert not s.dirty and not s.changed.is_set()
    return changes


def registry_is_exact(s):
    published = [s.account, s.positions, s.orders, s.trades, *s.positions.values(), *s.orders.values(), *s.trades]
    assert s.objects == {id(obj): obj for obj in published}


def set_fields(values):
    return {k for k, v in values.items() if v is not None}


def test_commit_without_a_pending_change(s):
    s.dirty, s.session_status, s.o["1:42:8"], changes = False, "DISCONNECTED", order("1:42:8"), {"kept": {"x"}}
    s.changed.set()
    assert s.commit(changes) is False and changes == {"kept": {"x"}} and s.changed.is_set()
    assert s.published_status == "READY" and len(s.orders) == 0


@pytest.mark.parametrize(
    "published, status, expected",
    [("READY", "DISCONNECTED", True), ("READY", "ERROR", True), ("SYNCING", "SYNCING", False),
     ("DISCONNECTED", "SYNCING", True)],
)  # fmt: skip
def test_commit_outside_ready_publishes_only_the_status(s, published, status, expected):
    s.o["1:42:8"], s.a["balance"] = order("1:42:8"), 100.0
    s.p[SYM] = dict(empty_position(SYM, 1), pos_long=1)
    publish(s)
    held = s.orders["1:42:8"]
    s.o["1:42:8"]["status"], s.a["balance"], s.p[SYM]["pos_long"] = "FILLED", 200.0, 3
    s.o["1:42:9"], s.t[key("T1")] = order("1:42:9"), trade("T1")
    s.published_status, s.session_status, s.reset_pending = published, status, True
    assert publish(s, expected) == {}
    assert s.published_status == status and s.reset_pending
    assert (held.status, s.account.balance, s.positions[SYM].pos_long) == ("ALIVE", 100.0, 1)
    assert list(s.orders) == ["1:42:8"] and s.trades == [] and s.trade_views == {}
    registry_is_exact(s)


def test_becoming_ready_publishes_even_without_changes(s):
    s.published_status = "SYNCING"
    assert publish(s) == {id(s.account): set()} and s.published_status == "READY"


def test_orders_added_changed_and_revisited(s):
    values = s.o["1:42:8"] = order("1:42:8")
    s.a["balance"] = 100.0
    changes = publish(s)
    record = s.orders["1:42:8"]
    assert type(record) is Order and record._values == values and s.objects[id(record)] is record
    assert changes[id(record)] == set_fields(values) and changes[id(s.orders)] == set_fields(values) | {"__members__"}
    assert changes[id(s.account)] == {"balance"} and s.account.balance == 100.0
    values.update(status="FILLED", volume_traded=2, volume_left=0, limit_price=70010)  # 70010 equals 70010.0
    changes = publish(s)
    assert s.orders["1:42:8"] is record and record.status == "FILLED"  # a user holding it sees the update
    expected = {"status", "volume_traded", "volume_left"}
    assert changes[id(record)] == expected and changes[id(s.orders)] == expected
    changes = publish(s)
    assert changes[id(record)] == set() and changes[id(s.orders)] == set()
    registry_is_exact(s)


def key(tid, direction="BUY"):
    """A trade's key in the books."""
    return ("SHFE", tid, direction)


def test_trades_created_and_changed(s):
    s.t[key("T2")] = trade("T2")
    names, changes = set_fields(s.t[key("T2")]), publish(s)
    (view,) = s.trades
    assert type(view) is Trade and s.trade_views == {key("T2"): view} and view._values == s.t[key("T2")]
    assert changes[id(view)] == names and changes[id(s.trades)] == names | {"__members__"}
    s.t[key("T2")]["volume"] = 3
    assert publish(s)[id(s.trades)] == {"volume"} and view.volume == 3
    s.t[key("T1")] = trade("T1")
    changes = publish(s)
    assert s.trades == [view, s.trade_views[key("T1")]]  # in order of first publication
    assert changes[id(s.trades)] == names | {"__members__"} and changes[id(view)] == set()
    assert id(s.trades) not in publish(s)  # nothing created or changed
    s.t[key("T1", "SELL")] = dict(trade("T1"), direction="SELL")  # a self-trade: one number, two trades
    publish(s)
    assert [(v.trade_id, v.direction) for v in s.trades] == [("T2", "BUY"), ("T1", "BUY"), ("T1", "SELL")]
    registry_is_exact(s)


@pytest.mark.parametrize("reset", [True, False])
def test_records_not_reported_again(s, reset):
    s.o.update({oid: order(oid) for oid in ("1:42:8", "1:42:9", "1:42:10")})
    s.t.update({key(tid): trade(tid) for tid in ("T1", "T2", "T3")})
    publish(s)
    dropped, trades, (v1, v2, v3) = s.orders["1:42:9"], s.trades, s.trades
    del s.o["1:42:9"]  # an order is dropped whether or not a reset is pending
    s.t = {key("T3"): trade("T3", 4), key("T1"): trade("T1")}  # re-reported in another order, T2 missing
    s.reset_pending = reset
    changes = publish(s)
    assert list(s.orders) == ["1:42:8", "1:42:10"] and id(dropped) not in s.objects and dropped.status == "ALIVE"
    assert changes[id(s.orders)] == {"__members__"} and s.trades is trades and v3.volume == 4 and not s.reset_pending
    if reset:  # trades leave only with the reset
        assert trades == [v1, v3] and s.trade_views == {key("T1"): v1, key("T3"): v3} and id(v2) not in s.objects
        assert changes[id(trades)] == {"__members__", "volume"}
    else:
        assert trades == [v1, v2, v3] and list(s.trade_views) == [key("T1"), key("T2"), key("T3")]
        assert changes[id(trades)] == {"volume"}
    registry_is_exact(s)


def test_positions_publish_only_their_public_fields(s):
    record = s.p[SYM] = dict(empty_position(SYM, 7), pos_long=5, pos_long_his=2, pos_long_today=3, pos=5,
                             frozen_long=1, available_long=4)  # fmt: skip
    changes = publish(s)
    view = s.positions[SYM]
    assert type(view) is Position and view._values == {k: record[k] for k in Position.fields}
    names = set(Position.fields)
    assert changes[id(view)] == names and changes[id(s.positions)] == names | {"__members__"}
    record.update(pos_long_his=0, pos_long_today=5, frozen_long=2, updated_at=9)  # private keys only
    changes = publish(s)
    assert changes[id(view)] == {"pos_long_today"} and changes[id(s.positions)] == {"pos_long_today"}
    del s.p[SYM]
    changes = publish(s)
    assert s.positions[SYM] is view and view.pos_long_today == 5 and id(s.positions) not in changes
    registry_is_exact(s)


@pytest.mark.parametrize(
    "old, new, changed",
    [(math.nan, math.nan, False), (None, math.nan, True), (math.nan, None, True), (math.nan, 1.0, True),
     (1, 1.0, False), (None, None, False), ("1", 1, True)],
)  # fmt: skip
def test_update_view_reports_what_differs(s, old, new, changed):
    record = Order(order_id="x", limit_price=old, pos=3)
    changes = {id(record): {"status"}}
    result = s._update_view(record, {"limit_price": new, "order_id": "x", "pos": 4, "extra": 1}, changes)
    assert result == ({"limit_price"} if changed else set())
    assert changes == {id(record): {"status"} | result}
    assert record._values["limit_price"] is new and record.pos == 3 and "extra" not in record._values


def test_map_view_creates_registers_and_merges(s):
    changes = {id(s.orders): {"status"}}
    record = s._map_view(s.orders, "k", {"order_id": "k", "status": None, "private": 1}, changes)
    assert s.orders["k"] is record and type(record) is Order and s.objects[id(record)] is record
    assert changes == {id(record): {"order_id"}, id(s.orders): {"status", "order_id", "__members__"}}
    assert "private" not in record._values
    changes = {}
    assert s._map_view(s.orders, "k", {"status": "ALIVE"}, changes) is record
    assert changes == {id(record): {"status"}, id(s.orders): {"status"}}


@pytest.mark.parametrize("stamp, quantity", [(None, None), (1_700_000_000_000, 0)])
def test_position_view_on_demand(s, stamp, quantity):
    assert s.position_view(None) is s.positions
    s.published_position_time, s.dirty = stamp, False
    view = s.position_view(OTHER)
    assert type(view) is Position and s.positions[OTHER] is view and s.objects[id(view)] is view
    assert view._values == {k: (OTHER if k == "symbol" else quantity) for k in Position.fields}
    assert s.p[OTHER] == empty_position(OTHER, stamp) and not s.dirty
    s.p.clear()  # a view already handed out: returned as it is, the book is not filled in again
    assert s.position_view(OTHER) is view and s.p == {}
    held = s.p[SYM] = dict(empty_position(SYM, 1), pos_long=3)
    assert s.position_view(SYM).pos_long == quantity and s.p[SYM] is held and held["pos_long"] == 3
    assert not s.dirty
    changes = publish(s)
    assert s.positions[SYM].pos_long == 3 and "pos_long" in changes[id(s.positions[SYM])]
    registry_is_exact(s)


def test_position_view_checks_the_symbol(s):
    view = s.position_view(SYM)  # any well-formed symbol before the instrument list
    s.instruments[OTHER] = {"IsTrading": 1}
    for symbol in (SYM, "CZCE.SR505"):  # an existing view does not pass the check
        with pytest.raises(ValueError, match="^合约不存在或不是支持的期货或期权合约$"):
            s.position_view(symbol)
    assert s.positions[SYM] is view and "CZCE.SR505" not in s.positions and "CZCE.SR505" not in s.p
    for symbol in ("cu2501", "SHFE.cu 2501", "SHFE..cu", 5):
        with pytest.raises(ValueError, match=FORMAT):
            s.position_view(symbol)
    assert list(s.positions) == [SYM]
