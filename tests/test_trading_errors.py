"""Recovery, the retry tracker of the trading session; and a memory check of
the session's hot paths."""

import gc
import tracemalloc

import pytest

from torvo import errors
from torvo.errors import Recovery
from trading_support import Clock, Factory, logged_in, make_session, response


@pytest.fixture
def clock(monkeypatch):
    c = Clock(now=0.0)
    monkeypatch.setattr(errors, "time", c)
    return c


def test_without_limit_never_raises(clock):
    r = Recovery("交易连接")
    r.begin()
    for _ in range(1000):
        r.fail()
        r.check()
    r.success()


def test_limit_within_window(clock):
    r = Recovery("账户查询", 3, 120)
    r.begin()
    r.fail()
    r.fail()
    r.check()
    clock.now = 120.0
    r.fail()
    with pytest.raises(TimeoutError) as info:
        r.check()
    assert "账户查询" in str(info.value) and "3" in str(info.value)
    r.check()  # counting starts afresh
    r.fail()
    r.check()


def test_failures_outside_the_window_do_not_count(clock):
    r = Recovery("账户查询", 3, 120)
    r.fail()
    clock.now = 60.0
    r.fail()
    clock.now = 120.5  # the first failure is now older than the window
    r.fail()
    r.check()
    r.fail()
    with pytest.raises(TimeoutError):
        r.check()


def test_success_and_begin_reset_the_count(clock):
    r = Recovery("x", 2)
    r.fail()
    r.success()
    r.fail()
    r.check()
    r.begin()
    r.fail()
    r.check()
    r.fail()
    with pytest.raises(TimeoutError, match="^x连续失败 2 次$"):
        r.check()


@pytest.mark.parametrize(
    "args, error",
    [((1,), TypeError), (("x", 0), ValueError), (("x", 1.5), TypeError), (("x", True), TypeError),
     (("x", 2, 0), ValueError), (("x", 2, "5"), TypeError)],
)  # fmt: skip
def test_arguments_are_checked(args, error):
    with pytest.raises(error):
        Recovery(*args)


def test_login_and_tick_do_not_grow_memory(monkeypatch):
    from torvo import trading

    c = Clock()
    monkeypatch.setattr(trading, "time", c)
    factory = Factory()
    session = make_session(factory)

    def round_trip():
        factory.requests.clear()
        session.recovery.calls.clear()
        c.now += 10
        logged_in(session, factory, c)
        session.tick(c.now)  # a snapshot query
        session.tick(c.now + 0.5)
        session.event(response("RspQryInstrument", session.inflight["id"], {"x": 1}))
        session.event({"name": "FrontDisconnected"})
        session._close_native()
        factory.opened.clear()

    for _ in range(200):
        round_trip()
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(3000):
        round_trip()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 8192, grown
