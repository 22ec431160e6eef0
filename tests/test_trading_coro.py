"""The coroutine adapter: native coroutines driven by asyncio and by hand
through the coroutine protocol (via the module's private `_probe` hook, which
awaits each awaitable in turn and returns the tuple of the results)."""

import asyncio
import collections.abc
import gc
import sys
import types
import weakref

import pytest

from torvo import trading

probe = trading._probe


async def value_after(delay, value):
    await asyncio.sleep(delay)
    return value


async def failing():
    await asyncio.sleep(0)
    raise ValueError("inner")


class Plain:
    """An awaitable whose iterator has neither send nor throw nor close."""

    def __init__(self, steps, result):
        self.steps, self.result = steps, result

    def __await__(self):
        return iter_then_return(self.steps, self.result)


class iter_then_return:
    def __init__(self, steps, result):
        self.left, self.result = steps, result

    def __iter__(self):
        return self

    def __next__(self):
        if self.left:
            self.left -= 1
            return None
        raise StopIteration(self.result)


def test_asyncio_sees_a_coroutine():
    c = probe([])
    assert asyncio.iscoroutine(c)
    assert isinstance(c, collections.abc.Coroutine)
    assert c.__await__() is c and iter(c) is c
    c.close()
    run = trading.Trading(None, 5, {}).run()
    assert (run.__name__, run.__qualname__) == ("run", "Trading.run")
    assert trading._Coroutine.__name__ == "_Coroutine"
    run.close()


def test_results_and_tuple_return_value():
    async def main():
        return await probe([value_after(0.001, 1), asyncio.sleep(0, "z"), value_after(0, (1, 2)), Plain(2, "p")])

    assert asyncio.run(main()) == (1, "z", (1, 2), "p")


def test_return_value_leaves_as_stop_iteration_value():
    c = probe([Plain(0, (3, 4))])
    with pytest.raises(StopIteration) as info:
        c.send(None)
    assert info.value.value == ((3, 4),)
    with pytest.raises(RuntimeError, match="cannot reuse"):
        c.send(None)


def test_only_what_the_awaitable_yields_goes_up():
    loop = asyncio.new_event_loop()
    try:
        future = loop.create_future()
        c = probe([future, Plain(1, "after")])
        assert c.send(None) is future  # the Future itself, for the Task
        assert c.cr_await is not None and not c.cr_running
        future.set_result("done")
        assert c.send(None) is None  # the bare yield of the plain iterator
        with pytest.raises(StopIteration) as info:
            c.send(None)
        assert info.value.value == ("done", "after")
    finally:
        loop.close()


def test_exceptions_surface_at_the_await():
    async def main():
        caught = await probe([failing(), value_after(0, 2)], ValueError)
        assert isinstance(caught[0], ValueError) and caught[1] == 2
        with pytest.raises(ValueError, match="inner"):
            await probe([failing()], KeyError)

    asyncio.run(main())


def test_not_awaitable():
    c = probe([42])
    with pytest.raises(TypeError, match="can't be used in 'await' expression"):
        c.send(None)


def test_throw_before_the_first_send():
    c = probe([Plain(1, 1)])
    with pytest.raises(asyncio.CancelledError):
        c.throw(asyncio.CancelledError())
    with pytest.raises(RuntimeError, match="cannot reuse"):
        c.send(None)


def test_throw_forms():
    for args in [(KeyError,), (KeyError, "k"), (KeyError, KeyError("k")), (KeyError("k"),)]:
        c = probe([Plain(3, 1)], KeyError)
        c.send(None)
        assert c.send(None) is None
        # the plain iterator has no throw: the exception goes straight to the body
        with pytest.raises(StopIteration) as info:
            c.throw(*args)
        assert isinstance(info.value.value[0], KeyError)
    c = probe([Plain(3, 1)])
    c.send(None)
    with pytest.raises(TypeError):
        c.throw(42)
    with pytest.raises(TypeError):
        c.throw(KeyError("k"), "extra")
    c.close()


def test_throw_goes_through_the_awaited_coroutine():
    seen = []

    async def inner():
        try:
            await asyncio.sleep(10)
        except ValueError as e:
            seen.append(e)
            return "handled"

    loop = asyncio.new_event_loop()
    try:
        async def main():
            c = probe([inner()])
            fut = c.send(None)
            with pytest.raises(StopIteration) as info:
                c.throw(ValueError("v"))
            assert info.value.value == ("handled",)
            assert isinstance(fut, asyncio.Future)

        loop.run_until_complete(main())
    finally:
        loop.close()
    assert len(seen) == 1


def test_send_value_to_a_fresh_coroutine():
    c = probe([])
    with pytest.raises(TypeError, match="non-None"):
        c.send(1)
    c.close()


def test_close():
    finally_ran = []

    async def inner():
        try:
            await asyncio.sleep(10)
        finally:
            finally_ran.append(True)

    loop = asyncio.new_event_loop()
    try:
        c = probe([inner()])
        loop.run_until_complete(asyncio.sleep(0))

        async def start():
            c.send(None)

        loop.run_until_complete(start())
        assert c.close() is None
        assert finally_ran == [True]  # the awaited coroutine was closed first
        with pytest.raises(RuntimeError, match="cannot reuse"):
            c.send(None)
        assert c.close() is None
    finally:
        loop.close()
    probe([]).close()  # never started


def test_close_when_the_body_swallows_generator_exit():
    # the hook catches GeneratorExit and goes on to the next awaitable
    c = probe([Plain(1, 1), Plain(1, 2)], GeneratorExit)
    c.send(None)
    with pytest.raises(RuntimeError, match="ignored GeneratorExit"):
        c.close()


def test_stop_iteration_leaving_the_body_becomes_runtime_error():
    c = probe([Plain(2, 1)])
    c.send(None)
    with pytest.raises(RuntimeError, match="raised StopIteration") as info:
        c.throw(StopIteration("x"))
    assert isinstance(info.value.__cause__, StopIteration)


def test_task_cancellation_and_await_from_python():
    async def main():
        task = asyncio.create_task(probe([asyncio.sleep(10)]))
        await asyncio.sleep(0.001)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert task.cancelled()

        async def outer():
            return await probe([value_after(10, 1)])

        task = asyncio.create_task(outer())  # Python awaiting a native coroutine
        await asyncio.sleep(0.001)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return await asyncio.wait_for(probe([value_after(0, 5)]), 1)

    assert asyncio.run(main()) == (5,)


def test_a_suspended_coroutine_in_a_cycle_is_collected():
    class Forever:
        def __await__(self):
            while True:
                yield None

    waiter = Forever()
    c = probe([waiter])
    waiter.coroutine = c  # coroutine -> iterator -> waiter -> coroutine
    assert c.send(None) is None
    ref = weakref.ref(waiter)
    del waiter, c
    gc.collect()
    assert ref() is None


def test_driving_coroutines_does_not_grow_memory():
    import tracemalloc

    def once():
        c = probe([Plain(1, "a"), Plain(0, (1, 2))], KeyError)
        c.send(None)
        try:
            c.throw(KeyError("k"))
        except StopIteration as stop:
            assert stop.value[1] == (1, 2)
        c2 = probe([Plain(2, 1)])
        c2.send(None)
        c2.close()

    for _ in range(200):
        once()
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(5000):
        once()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    # Free lists and caches move by a few kilobytes either way; one object kept
    # per round would be 80 kB or more.
    assert grown < 16384, grown


class Holder:
    __slots__ = ("ref",)  # the collector does not clear slots: it must clear the coroutine


def test_a_coroutine_never_started_warns_also_when_it_dies_in_a_cycle():
    holder = Holder()
    coroutine = probe([], holder)
    holder.ref = coroutine  # coroutine -> its argument -> coroutine
    del coroutine, holder
    with pytest.warns(RuntimeWarning, match="coroutine '_probe' was never awaited"):
        gc.collect()


def test_a_coroutine_never_started_warns_as_python_does(monkeypatch):
    with pytest.warns(RuntimeWarning, match="coroutine '_probe' was never awaited"):
        probe([])
        gc.collect()
    # Closed, or driven to its end: no warning.
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        probe([]).close()
        assert run_to_end(probe([])) == ()
        # With warnings as errors the warning is reported as unraisable,
        # the process goes on.
        seen = []
        monkeypatch.setattr(sys, "unraisablehook", seen.append)
        probe([])
        assert len(seen) == 1 and seen[0].exc_type is RuntimeWarning


def run_to_end(c):
    try:
        c.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the coroutine did not finish")


@pytest.mark.filterwarnings("ignore:coroutine '_probe' was never awaited")
def test_arguments_are_kept_alive_and_shown_to_the_gc():
    step = Plain(0, "result")
    ref = weakref.ref(step)
    c = probe([step])
    del step
    gc.collect()
    assert ref() is not None
    # The argument list the body reads is among the coroutine's referents,
    # so a cycle through it is collectable.
    steps = [r for r in gc.get_referents(c) if isinstance(r, list) and r and r[0] is ref()]
    assert len(steps) == 1
    steps[0].append(c)
    del c, steps
    gc.collect()
    assert ref() is None
