"""The run loop's wait between passes: woken by the bridge, never losing an
event, never starving the user's coroutines; and the session under uvloop."""

from __future__ import annotations

import asyncio
import collections
import socket
import time

import pytest

from sim_support import account, committed, ready, until
from torvo import trading
from torvo.sim import Simulator
from trading_support import CONFIG, Tracker


class WakingBridge:
    """A fake bridge with the real bridge's wake-up contract: a byte into a
    socket pair when an event lands in the empty queue.  `after_take` runs
    inside poll, after the queue was taken, as a vendor thread may."""

    def __init__(self, config, directory) -> None:
        self.reader, self.writer = socket.socketpair()
        self.reader.setblocking(False)
        self.queue: list[dict] = []
        self.taken: list[int] = []  # sizes of the non-empty batches polled
        self.after_take = None
        self.closed = False

    def push(self, event: dict) -> None:
        was_empty = not self.queue
        self.queue.append(event)
        if was_empty:
            self.writer.send(b"\x01")

    def wakeup(self):
        return self.reader

    def request(self, method, data, request_id):
        return 0

    def poll(self):
        batch, self.queue = self.queue, []
        if batch:
            self.taken.append(len(batch))
        if self.after_take is not None:
            self.after_take()
        return batch

    def close(self):
        self.closed = True
        self.reader.close()
        self.writer.close()


class Bridges(collections.UserList):
    def __call__(self, config, directory):
        bridge = WakingBridge(config, directory)
        self.append(bridge)
        return bridge


class NoTimerLoop(asyncio.SelectorEventLoop):
    """The 10 ms timer of the run loop's wait never fires: a session on this
    loop moves only when the bridge wakes it."""

    def call_later(self, delay, callback, *args, context=None):
        if getattr(callback, "__name__", "") == "_wake":
            delay = 3600.0
        return super().call_later(delay, callback, *args, context=context)


def session_on(bridges: Bridges) -> trading.Trading:
    s = trading.Trading(CONFIG, 5, {}, native_factory=bridges)
    s.directory = "/flow/test"
    s.recovery = Tracker()
    s.query_recovery = Tracker()
    return s


def run_without_timer(main):
    loop = NoTimerLoop()
    try:
        return loop.run_until_complete(asyncio.wait_for(main(), 10))
    finally:
        loop.close()


async def turns_until(condition, seconds: float = 5.0) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not reached"
        await asyncio.sleep(0.001)


async def started_session() -> tuple[Bridges, trading.Trading]:
    """A session started on the running loop, once it has opened its first bridge."""
    bridges = Bridges()
    s = session_on(bridges)
    s.start()
    await turns_until(lambda: bridges)
    return bridges, s


def test_an_event_queued_between_the_poll_and_the_wait_wakes_the_session():
    async def main():
        bridges, s = await started_session()
        bridge = bridges[0]
        # The first poll that takes something is followed, before the loop
        # waits, by one more event from the "vendor thread".
        late = iter([{"name": "FrontConnected"}])

        def after_take():
            if bridge.taken:
                bridge.push(next(late, None) or {"name": "Unknown"})
                bridge.after_take = None

        bridge.after_take = after_take
        bridge.push({"name": "Unknown"})
        await turns_until(lambda: s.phase == "authenticate")
        assert bridge.taken[:2] == [1, 1]
        await s.close()

    run_without_timer(main)


def test_a_burst_is_drained_in_one_pass_and_sets_changed_in_it():
    async def main():
        bridges, s = await started_session()
        s.changed.clear()
        for _ in range(100):
            bridges[0].push({"name": "Unknown"})
        bridges[0].push({"name": "FrontConnected"})
        await asyncio.wait_for(s.changed.wait(), 5)
        assert bridges[0].taken == [101] and s.phase == "authenticate"
        await s.close()

    run_without_timer(main)


def test_a_flood_of_events_never_starves_the_other_tasks():
    async def main():
        bridges, s = await started_session()
        bridge = bridges[0]
        # Every poll finds one more event queued behind it.
        bridge.after_take = lambda: bridge.push({"name": "Unknown"})
        bridge.push({"name": "Unknown"})
        turns = 0
        deadline = time.monotonic() + 0.3
        while time.monotonic() < deadline:
            await asyncio.sleep(0)
            turns += 1
        bridge.after_take = None
        polls = len(bridge.taken)
        assert polls > 50 and turns > 50
        # Passes and the other task take turns: neither runs far ahead.
        assert 0.25 < polls / turns < 4
        await s.close()

    run_without_timer(main)


def test_close_stops_the_wait_and_releases_the_bridge():
    async def main():
        bridges, s = await started_session()
        await asyncio.sleep(0.01)
        await s.close()
        await asyncio.sleep(0)
        assert bridges[0].closed and s.native is None
        # Neither the run loop nor its receive on the wake-up is left behind.
        left = [t for t in asyncio.all_tasks()
                if t.get_coro().__qualname__.endswith(("sock_recv", "Trading.run"))]  # fmt: skip
        assert all(t.done() for t in left), left

    run_without_timer(main)


def test_a_reconnection_awaits_the_new_bridge_not_the_old_one():
    async def main():
        bridges, s = await started_session()
        old = bridges[0]

        def overflow():
            old.after_take = None
            raise BufferError("CTP 回调队列已满")

        old.after_take = overflow
        old.push({"name": "Unknown"})
        # The reset sleeps 1 s, then opens a new bridge and awaits its wake-up.
        await turns_until(lambda: len(bridges) == 2)
        assert old.closed and old.reader.fileno() == -1
        bridges[1].push({"name": "FrontConnected"})
        await turns_until(lambda: s.phase == "authenticate")
        await s.close()

    run_without_timer(main)


def test_a_bridge_without_a_wakeup_keeps_the_ten_millisecond_pass():
    class Plain:
        polls = 0

        def __init__(self, config, directory):
            pass

        def poll(self):
            Plain.polls += 1
            return []

        def close(self):
            pass

    async def main():
        s = trading.Trading(CONFIG, 5, {}, native_factory=Plain)
        s.directory = "/flow/test"
        s.recovery = Tracker()
        s.start()
        await asyncio.sleep(0.2)
        await s.close()
        # About 20 passes in 0.2 s; a busy loop would make thousands.
        assert 5 <= Plain.polls <= 40

    asyncio.run(main())


@pytest.fixture
def sim():
    with Simulator(seed=3) as running:
        yield running


def test_the_session_trades_under_uvloop(sim):
    uvloop = pytest.importorskip("uvloop")

    async def main():
        s = trading.Trading(account(sim), 10, {})
        s.start()
        try:
            await until(lambda: ready(s), timeout=30, what="READY")
            s.commit({})
            ask = sim.market_message("DCE.m2609")["a"][0][0]
            [result] = await s.insert("DCE.m2609", "BUY", "OPEN", 1, ask)
            await committed(s, lambda c: getattr(s.orders.get(result.order_id), "status", None) == "FILLED",
                            "the fill")
        finally:
            await s.close()
        assert s.native is None

    uvloop.run(main())


def test_a_wakeup_socket_that_ends_falls_back_to_the_timed_pass():
    async def main():
        bridges, s = await started_session()
        await asyncio.sleep(0.02)
        bridges[0].writer.close()  # the reader meets the end of the stream
        await asyncio.sleep(0.05)
        polls = len(bridges[0].taken)
        bridges[0].after_take = lambda: bridges[0].taken.append(0)  # count every poll
        await asyncio.sleep(0.3)
        await s.close()
        # About 30 passes in 0.3 s, not a spin of thousands.
        assert 5 <= len(bridges[0].taken) - polls <= 60

    loop = asyncio.new_event_loop()
    errors: list = []
    loop.set_exception_handler(lambda loop, context: errors.append(context))
    try:
        loop.run_until_complete(main())
    finally:
        loop.close()
    assert errors == []  # no receive's exception left unretrieved


def test_a_bridge_replaced_under_the_run_loop_is_the_one_awaited():
    async def main():
        bridges, s = await started_session()
        await asyncio.sleep(0.01)
        # Closed from outside the run loop: its wait ends, and the next pass
        # opens a new bridge whose wake-up moves the session.
        s._close_native()
        await turns_until(lambda: len(bridges) == 2)
        bridges[1].push({"name": "FrontConnected"})
        await turns_until(lambda: s.phase == "authenticate")
        # Replaced without closing (the old one still wakes the loop once):
        # the new bridge's socket is the one awaited from then on.
        s.native = None
        bridges[1].push({"name": "Unknown"})
        await turns_until(lambda: len(bridges) == 3)
        s.phase = "connecting"
        bridges[2].push({"name": "FrontConnected"})
        await turns_until(lambda: s.phase == "authenticate")
        await s.close()

    run_without_timer(main)


def test_a_second_run_on_another_loop_awaits_that_loop():
    bridges = Bridges()
    s = session_on(bridges)

    async def first():
        task = asyncio.ensure_future(s.run())
        await turns_until(lambda: bridges)
        await asyncio.sleep(0.01)
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
        s._close_native()

    async def second():
        task = asyncio.ensure_future(s.run())
        await turns_until(lambda: len(bridges) == 2)
        bridges[1].push({"name": "FrontConnected"})
        await turns_until(lambda: s.phase == "authenticate")
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
        s._close_native()

    run_without_timer(first)
    run_without_timer(second)
    assert s.error is None
