"""Trading: construction, attributes, cache reset, start/close and the run loop
against a fake bridge, with controlled time."""

import asyncio
import gc
import math
import os
import weakref

import pytest

from torvo import trading
from torvo.data import ExError
from torvo.errors import Recovery
from torvo.ledger import Account, LiveMap, Order, Position
from trading_support import (  # noqa: F401  (fixtures)
    CONFIG,
    Factory,
    Tracker,
    clock,
    factory,
    fast,
    logged_in,
    make_session,
    until,
)

GENERIC = "交易连接不可用，请检查账户配置或稍后重新连接。"


# ---- construction ---------------------------------------------------------


def test_constructor_with_config(clock, factory):
    objects = {}
    s = trading.Trading(CONFIG, 5, objects, native_factory=factory)
    assert (s.config, s.timeout, s.objects, s.factory) == (CONFIG, 5, objects, factory)
    assert s.objects is objects
    assert isinstance(s.account, Account) and s.account.account_id == "u-1"
    assert s.session_status == s.published_status == "SYNCING"
    assert isinstance(s.positions, LiveMap) and s.positions.item_type is Position
    assert isinstance(s.orders, LiveMap) and s.orders.item_type is Order
    assert s.trades == [] and s.trade_views == {}
    assert list(objects.items()) == [
        (id(s.account), s.account),
        (id(s.positions), s.positions),
        (id(s.orders), s.orders),
        (id(s.trades), s.trades),
    ]
    assert s.a == s.account._values and s.a is not s.account._values
    for name in ("p", "o", "t", "native_orders", "instruments", "ref_orders", "system_orders",
                 "pending_trades", "live_trade_buffer", "order_revisions", "phase_data"):  # fmt: skip
        assert getattr(s, name) == {}, name
    assert s.trade_before == set() and s.pending == set()
    assert s.position_candidate is None and s.position_ready is False and s.inflight is None
    assert s.sync_index == 0 and s.last_query == -math.inf and s.last_account_refresh == 0.0
    assert (s.request_id, s.order_ref, s.revision, s.front, s.session, s.day) == (0, 0, 0, 0, 0, "")
    assert (s.phase, s.phase_id, s.phase_time) == ("connecting", None, 1000.0)
    assert (s.task, s.native, s.error, s.directory, s.published_position_time) == (None,) * 5
    assert s.dirty is False and s.reset_pending is False
    assert isinstance(s.changed, asyncio.Event) and not s.changed.is_set()
    assert isinstance(s.recovery, Recovery) and s.recovery.label == "交易连接" and s.recovery.limit is None
    q = s.query_recovery
    assert (q.label, q.limit, q.window) == ("账户查询", 3, 120)


def test_constructor_without_config(clock):
    s = trading.Trading(None, 5, {})
    assert s.session_status == s.published_status == "ERROR"
    assert s.account.account_id is None
    assert s.factory is trading.Native
    s.start()  # does nothing without a config (and needs no event loop)
    assert s.task is None


def test_constructor_arguments():
    with pytest.raises(TypeError):
        trading.Trading(CONFIG, 5, {}, Factory())  # native_factory is keyword-only
    with pytest.raises(TypeError):
        trading.Trading(CONFIG, 5)
    with pytest.raises(TypeError):
        trading.Trading(CONFIG, "5", {})
    s = trading.Trading(config=CONFIG, timeout=2.5, objects={})
    assert s.timeout == 2.5


@pytest.mark.parametrize(
    "name, value",
    [
        ("timeout", 7), ("timeout", 0.5), ("a", {"x": 1}), ("p", {}), ("trades", [1]),
        ("trade_before", {1}), ("pending", {"account"}), ("position_ready", True),
        ("inflight", {"id": 3}), ("inflight", None), ("position_candidate", {}),
        ("sync_index", 4), ("last_query", 12.5), ("request_id", 99), ("order_ref", 12),
        ("revision", 3), ("front", 7), ("session", 9), ("day", "20240105"), ("phase", "sync"),
        ("phase_id", 17), ("phase_id", None), ("phase_time", 3.0), ("dirty", True),
        ("reset_pending", True), ("task", None), ("native", None), ("directory", "/tmp/x"),
        ("published_position_time", 123), ("session_status", "READY"), ("config", None),
    ],
)  # fmt: skip
def test_attributes_are_assignable(clock, factory, name, value):
    s = make_session(factory)
    setattr(s, name, value)
    assert getattr(s, name) == value


@pytest.mark.parametrize(
    "name, value",
    [("a", None), ("a", []), ("pending", {}), ("inflight", []), ("phase_id", "3"), ("timeout", "5"),
     ("phase", 3), ("trades", ()), ("position_ready", 1), ("request_id", 1.5)],
)  # fmt: skip
def test_attributes_refuse_wrong_types(clock, factory, name, value):
    s = make_session(factory)
    with pytest.raises(TypeError):
        setattr(s, name, value)


def test_state_dicts_are_shared_with_python(clock, factory):
    s = make_session(factory)
    mine = {"x": 1}
    s.o = mine
    assert s.o is mine
    s._clear_cache("SYNCING")
    assert mine == {}  # cleared in place


def test_clear_cache(clock, factory):
    s = make_session(factory)
    s.positions._data["SHFE.rb2410"] = Position(symbol="SHFE.rb2410")
    s.o["x"] = 1
    s.pending.add("account")
    s.trade_before.add("t")
    s.inflight = {"id": 1}
    s.a["balance"] = 5.0
    s.request_id, s.last_query, s.day, s.phase = 12, 50.0, "20240105", "ready"
    s.phase_data["k"] = 1
    s.sync_index, s.revision, s.front, s.session, s.phase_id = 3, 4, 5, 6, 7
    s.position_ready, s.published_position_time, s.last_account_refresh = True, 9, 8.0
    s._clear_cache("DISCONNECTED")
    assert s.session_status == "DISCONNECTED"
    assert s.p == {"SHFE.rb2410": trading.empty_position("SHFE.rb2410")}
    assert s.o == {} and s.pending == set() and s.trade_before == set() and s.phase_data == {}
    assert s.a == Account(account_id="u-1")._values
    assert (s.inflight, s.position_candidate, s.position_ready, s.published_position_time) == (None,) * 2 + (False, None)
    assert (s.sync_index, s.revision, s.front, s.session, s.phase_id, s.last_account_refresh) == (0, 0, 0, 0, None, 0.0)
    assert s.reset_pending and s.dirty and s.changed.is_set()
    # kept
    assert (s.request_id, s.last_query, s.day, s.phase) == (12, 50.0, "20240105", "ready")


def test_touch_and_status(clock, factory):
    s = make_session(factory)
    s._status("READY")
    assert s.session_status == "READY" and s.dirty and s.changed.is_set()


def test_open_and_close_native(clock, factory, monkeypatch):
    made = []
    monkeypatch.setattr(trading, "mkdtemp", lambda prefix: made.append(prefix) or f"/flow/{len(made)}")
    s = make_session(factory)
    s.directory = None
    s._open_native()
    s._open_native()
    assert made == ["torvo-ctp-"]
    assert [n.directory for n in factory.opened] == ["/flow/1", "/flow/1"]
    assert factory.opened[0].config is CONFIG
    native = s.native
    s._close_native()
    assert native.closed == 1 and s.native is None
    s._close_native()  # nothing open: nothing to do
    assert native.closed == 1


# ---- start, close and the run loop -----------------------------------------


def run(coroutine):
    return asyncio.run(coroutine)


def test_start_twice_and_after_close(clock, fast, factory):
    async def main():
        s = make_session(factory)
        s.start()
        task = s.task
        s.start()
        assert s.task is task
        await until(lambda: factory.polls >= 3)
        await s.close()
        assert task.cancelled() and s.task is task
        s.start()
        assert s.task is task
        await s.close()  # a second close is harmless
        return s

    s = run(main())
    assert factory.opened[0].closed == 1 and s.native is None


def test_close_never_started(clock, factory):
    s = make_session(factory)
    run(s.close())
    run(s.close())
    assert s.task is None and factory.opened == []


@pytest.mark.filterwarnings("ignore:coroutine 'Trading.run' was never awaited")
def test_start_needs_a_running_loop(clock, factory):
    s = make_session(factory)
    with pytest.raises(RuntimeError):
        s.start()
    assert s.task is None


def test_run_loop_polls_every_10_ms_and_hands_events_in_order(clock, fast, factory):
    from trading_support import response

    # one batch whose second record answers the request the first one caused
    factory.batches.extend([[], [{"name": "FrontConnected"}, response("RspAuthenticate", 1)], []])

    async def main():
        s = make_session(factory)
        s.start()
        await until(lambda: factory.polls >= 5)
        await s.close()
        return s

    s = run(main())
    assert factory.methods == ["Authenticate", "UserLogin"]
    assert s.phase == "login"
    assert s.recovery.calls[0] == "begin"
    assert s.recovery.calls.count("check") >= 5  # the status is not READY
    assert set(fast.sleeps) == {0.01}
    assert s.error is None and s.session_status == "DISCONNECTED"  # closed for good


def test_run_loop_ticks_with_the_monotonic_clock(clock, fast, factory):
    async def main():
        s = make_session(factory, timeout=5)
        s.start()
        await until(lambda: factory.polls >= 2)
        clock.now += 5  # exactly the limit: no reconnection yet
        await until(lambda: factory.polls >= 4)
        assert len(factory.opened) == 1
        clock.now += 0.001
        await until(lambda: len(factory.opened) == 2)
        await s.close()
        return s

    s = run(main())
    assert s.recovery.calls.count("fail") == 1
    assert fast.sleeps.count(1) == 1


@pytest.mark.parametrize("error", [BufferError("CTP 回调队列已满"), TimeoutError(), ConnectionError(), OSError("x")])
def test_retryable_failure_reconnects_with_the_same_directory(clock, fast, factory, monkeypatch, error):
    monkeypatch.setattr(trading, "mkdtemp", lambda prefix: "/flow/only")

    async def main():
        s = make_session(factory)
        s.directory = None  # made on the first open, then reused
        logged_in(s, factory, clock)  # opens the first bridge and logs in
        s.last_query = clock.now  # no snapshot query in the first pass
        kept = (s.request_id, s.order_ref, s.day)
        assert kept == (3, 7, "20240105")
        factory.batches.extend([[], error])
        s.start()
        await until(lambda: len(factory.opened) == 2)
        assert s.recovery.calls[:3] == ["begin", "check", "check"]
        assert s.recovery.calls.count("fail") == 1
        assert (s.request_id, s.order_ref, s.day) == kept
        assert s.session_status == "SYNCING" and s.phase == "connecting" and s.reset_pending
        assert s.phase_time == clock.now
        assert factory.opened[0].closed == 1
        # 1 s pause, then the 10 ms pass pause, before the new bridge opens
        assert fast.sleeps[-2:] == [1, 0.01] or fast.sleeps[-3:-1] == [1, 0.01]
        # The reason of the reconnection is kept, with its time, through the
        # reset and the new bridge; only the next failure replaces it.
        assert s.last_failure == (error, int(clock.wall * 1000))
        s._clear_cache("SYNCING")
        assert s.last_failure[0] is error
        factory.batches.append(TimeoutError("the next one"))
        await until(lambda: len(factory.opened) == 3)
        assert type(s.last_failure[0]) is TimeoutError and str(s.last_failure[0]) == "the next one"
        await s.close()
        return s

    s = run(main())
    assert [n.directory for n in factory.opened] == ["/flow/only", "/flow/only", "/flow/only"]
    assert s.error is None
    error.__traceback__ = None  # the shared parameter would keep the test's frames alive


@pytest.mark.parametrize("error", [RuntimeError("boom"), ExError("bad"), KeyError("name")])
def test_other_failure_ends_in_error_with_the_bridge_left_open(clock, fast, factory, error):
    async def main():
        s = make_session(factory)
        factory.batches.append(error)
        s.start()
        await until(lambda: s.task.done())
        assert s.task.result() is None
        assert isinstance(s.error, ExError) and str(s.error) == GENERIC and s.error.args == (GENERIC,)
        assert s.error.__cause__ is error  # the reason, behind the generic message
        assert s.last_failure is None  # no reconnection happened
        assert s.session_status == "ERROR" and s.dirty
        assert s.native is factory.opened[0] and factory.opened[0].closed == 0
        polls = factory.polls
        await asyncio.sleep(0)
        assert factory.polls == polls  # no longer polled
        await s.close()
        return s

    s = run(main())
    assert factory.opened[0].closed == 1 and s.native is None
    error.__traceback__ = None  # the shared parameter would keep the test's frames alive


def test_missing_bridge_ends_in_error(clock, fast, monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "torvo._relay", None)
    monkeypatch.setattr(trading, "mkdtemp", lambda prefix: "/flow/x")

    async def main():
        s = trading.Trading(CONFIG, 5, {})
        s.recovery = Tracker()
        s.start()
        await until(lambda: s.task.done())
        return s

    s = run(main())
    assert str(s.error) == GENERIC and s.session_status == "ERROR" and s.native is None
    # The bridge module's own error, with the import failure behind it.
    assert isinstance(s.error.__cause__, ExError) and "torvo wheel" in str(s.error.__cause__)


@pytest.mark.parametrize("where", ["fail", "check"])
def test_failure_handling_errors(clock, fast, factory, where):
    async def main():
        s = make_session(factory)
        if where == "fail":
            # a tracker raising inside the failure handling ends the session,
            # even with a retryable type
            factory.batches.append(BufferError())
            s.recovery.raises["fail"] = TimeoutError("too many")
        else:
            # check raising TimeoutError during the login reconnects
            s.recovery.raises["check"] = TimeoutError("too many")
        s.start()
        await until(lambda: s.task.done() or len(factory.opened) >= 2)
        done = s.task.done()
        await s.close()
        return s, done

    s, done = run(main())
    if where == "fail":
        assert done and s.session_status == "ERROR" and str(s.error) == GENERIC
        assert type(s.error.__cause__) is TimeoutError and str(s.error.__cause__) == "too many"
        assert type(s.last_failure[0]) is BufferError
    else:
        assert not done and s.error is None and s.recovery.calls.count("fail") == 1


def test_begin_failure_leaves_run(clock, fast, factory):
    async def main():
        s = make_session(factory)
        s.recovery.raises["begin"] = ValueError("no")
        s.start()
        await until(lambda: s.task.done())
        return s

    s = run(main())
    with pytest.raises(ValueError, match="no"):
        s.task.result()
    assert factory.opened == [] and s.error is None


def test_cancellation_propagates_out_of_run(clock, fast, factory):
    async def main():
        s = make_session(factory)
        task = asyncio.create_task(s.run())
        await until(lambda: factory.polls >= 2)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        # cancelled during the 1 s pause of a reconnection too
        factory.batches.append(BufferError())
        task = asyncio.create_task(s.run())
        await until(lambda: 1 in fast.sleeps)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return s

    s = run(main())
    assert s.error is None


def test_a_closed_dropped_session_is_collected(clock, fast, factory):
    async def main():
        s = make_session(factory)
        s.start()
        await until(lambda: factory.polls >= 2)
        await s.close()
        return weakref.ref(s)

    ref = run(main())
    gc.collect()
    assert ref() is None


def test_a_running_session_left_behind_is_collected(clock, fast, factory):
    # session -> task -> coroutine -> session, with the coroutine suspended:
    # only the garbage collector can free it once the loop is gone.
    loop = asyncio.new_event_loop()
    loop.set_exception_handler(lambda loop, context: None)

    async def main():
        s = make_session(factory)
        s.start()
        await until(lambda: factory.polls >= 2)
        return weakref.ref(s), weakref.ref(s.task)

    ref, task_ref = loop.run_until_complete(main())
    loop.close()
    gc.collect()
    assert ref() is None and task_ref() is None


def test_flow_directory_is_a_real_temporary_directory(clock, factory):
    s = make_session(factory)
    s.directory = None
    s._open_native()
    try:
        assert os.path.isdir(s.directory)
        assert os.path.basename(s.directory).startswith("torvo-ctp-")
    finally:
        os.rmdir(s.directory)


def test_every_object_attribute_is_shown_to_the_gc(clock, factory):
    s = make_session(factory)
    s.task, s.native, s.error = object(), object(), ValueError("x")
    s.position_candidate, s.inflight, s.directory = {}, {"id": 1}, "/tmp/x"
    referents = {id(r) for r in gc.get_referents(s)}
    for name in dir(type(s)):
        if name.startswith("__") or callable(getattr(type(s), name, None)) and not isinstance(
                getattr(type(s), name), property):
            continue
        value = getattr(s, name)
        if value is None or isinstance(value, (bool, int, float)):
            continue
        assert id(value) in referents, name
