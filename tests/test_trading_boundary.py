"""What a hostile caller can hand the session: orders after close, time limits
that cannot work, odd change reports, and odd objects for the books."""

from __future__ import annotations

import asyncio
import math

import pytest

from test_trading_orders import INE, SYM, Bridge, insert, s  # noqa: F401
from torvo import trading
from torvo.ledger import TradingResult
from trading_support import CONFIG, clock, factory, fast, make_session, until  # noqa: F401

NOT_READY_INSERT = [TradingResult("REJECTED", None, "交易账户未就绪，报单未提交")]


def close(session) -> None:
    session.native = None  # the recording bridge has no close()
    asyncio.run(session.close())


def test_a_closed_session_takes_no_more_orders_and_says_so(s):
    close(s)
    assert s.session_status == "DISCONNECTED" and s.dirty and s.changed.is_set()
    assert insert(s) == NOT_READY_INSERT
    assert s.o == {}
    # The status reaches the user with the next commit.
    assert s.commit({}) and s.published_status == "DISCONNECTED"


def test_cancel_after_close_is_refused_as_not_ready(s):
    insert(s, INE, "BUY", "OPEN", 2)
    child = s.native_orders["1:42:8"]
    child.update(is_confirmed=True, exchange_order_id=" 100 ", status="ALIVE")
    s._aggregate(child)
    close(s)
    assert s.cancel("1:42:8") == [TradingResult("REJECTED", "1:42:8", "交易账户未就绪，撤单未提交")]


def test_close_keeps_an_error_status(s):
    s._status("ERROR")
    close(s)
    assert s.session_status == "ERROR"


def test_start_does_nothing_after_close(clock, fast, factory):  # noqa: F811
    async def main():
        never = make_session(factory)
        await never.close()
        never.start()
        assert never.task is None
        ran = make_session(factory)
        ran.start()
        await until(lambda: factory.polls >= 2)
        await ran.close()
        task = ran.task
        ran.task = None  # even with the task forgotten
        ran.start()
        assert ran.task is None and task.cancelled()

    asyncio.run(main())
    assert len(factory.opened) == 1


@pytest.mark.parametrize("timeout", [0, -1, 0.0, math.nan, math.inf, -math.inf])
def test_time_limits_that_cannot_work_are_refused(timeout):
    with pytest.raises(ValueError, match="^timeout 必须是大于 0 的有限秒数$"):
        trading.Trading(CONFIG, timeout, {})


@pytest.mark.parametrize("timeout", [1e-3, 5, 2.5, 10**6])
def test_working_time_limits_are_taken(timeout):
    assert trading.Trading(CONFIG, timeout, {}).timeout == timeout


def test_setting_a_bad_timeout_keeps_the_old_one(clock, factory):  # noqa: F811
    session = make_session(factory, timeout=5)
    with pytest.raises(ValueError):
        session.timeout = math.nan
    assert session.timeout == 5


@pytest.mark.parametrize("odd", [frozenset(), [], (), "x", 0])
def test_a_change_report_with_other_values_than_sets_is_a_type_error(s, odd):
    s.o["k"] = {"order_id": "k", "status": "ALIVE"}
    s.dirty = True
    with pytest.raises(TypeError, match="set"):
        s.commit({id(s.orders): odd})
    assert not s.dirty  # a failed commit leaves dirty false, as any failed commit


def test_a_change_report_of_set_subclasses_is_filled(s):
    class Names(set):
        pass

    report = Names()
    s.o["k"] = {"order_id": "k", "status": "ALIVE"}
    s.dirty = True
    changes = {id(s.orders): report}
    assert s.commit(changes) and "__members__" in report


class Hostile(str):
    """A str whose hash and equality fail once armed, as they would inside the books."""

    armed = False

    def __hash__(self):
        if Hostile.armed:
            raise RuntimeError("hash")
        return str.__hash__(self)

    def __eq__(self, other):
        if Hostile.armed:
            raise RuntimeError("eq")
        return str.__eq__(self, other)


class Price(float):
    def __eq__(self, other):
        raise RuntimeError("eq")

    __hash__ = float.__hash__


@pytest.fixture
def hostile():
    yield
    Hostile.armed = False


def test_only_exact_values_reach_the_books(s, hostile):
    [result] = insert(s, Hostile(SYM), Hostile("BUY"), Hostile("OPEN"), 1, Price(70010.0))
    assert result.status == "SUBMITTED"
    Hostile.armed = True
    for record in (s.o[result.order_id], s.native_orders[result.order_id]):
        for key in ("symbol", "direction", "offset", "order_id"):
            assert type(record[key]) is str, key
    assert type(s.o[result.order_id]["limit_price"]) is float
    assert all(type(key) is str for key in s.o)
    changes: dict = {}
    assert s.commit(changes)
    assert type(s.orders[result.order_id].symbol) is str


def test_cancel_and_position_view_take_str_subclasses_as_plain_text(s, hostile):
    insert(s, INE, "BUY", "OPEN", 2)
    child = s.native_orders["1:42:8"]
    child.update(is_confirmed=True, exchange_order_id=" 100 ", status="ALIVE")
    s._aggregate(child)
    s.native = Bridge()
    [result] = s.cancel(Hostile("1:42:8"))
    assert result.status == "SUBMITTED" and type(result.order_id) is str
    view = s.position_view(Hostile(SYM))
    Hostile.armed = True
    assert all(type(key) is str for key in s.positions) and s.position_view(SYM) is view


@pytest.mark.parametrize("direction, offset", [(Hostile("HOLD"), "OPEN"), ("BUY", Hostile("OPENX")), (1, "OPEN")])
def test_odd_words_are_refused_before_the_books(s, direction, offset):
    [result] = insert(s, SYM, direction, offset)
    assert result.status == "REJECTED" and s.o == {}
