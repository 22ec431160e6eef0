"""Soak: a long stream of order returns, trades and query rows from the
simulated front through the real bridge into a ready session (poll, event,
a commit every few thousand events), and bridge sessions opened and closed
over and over.  Memory stays flat after warm-up, no event is lost and order
is kept.

The default run is short; TORVO_SOAK_EVENTS (e.g. 1000000) and
TORVO_SOAK_SESSIONS (e.g. 10000) set the full run."""

from __future__ import annotations

import asyncio
import gc
import os
import resource
import threading
import time
import tracemalloc

import pytest

from sim_support import FastClock, account, committed, ready, until
from torvo import trading
from torvo.sim import Simulator
from torvo.sim.wire import Char

pytestmark = pytest.mark.nosanitize  # seconds of real time; memory figures mean nothing under ASan

EVENTS = int(os.environ.get("TORVO_SOAK_EVENTS", "30000"))
SESSIONS = int(os.environ.get("TORVO_SOAK_SESSIONS", "200"))
POOL = 200  # orders the stream keeps returning to, so the books stay the same size
BATCH = 5000  # events in flight at most: well below the bridge's queue limit
STREAMED = {"RtnOrder", "RtnTrade", "RspQryInvestorPosition"}  # the stream's events (the session's own account
# queries go on beside it)


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * (resource.getpagesize() // 1024)


class Counting:
    """The real bridge, with a count of the stream's events polled and a check that
    the order returns' sequence numbers (their StatusMsg) only go up."""

    def __init__(self, config, directory) -> None:
        self.native = trading.Native(config, directory)
        self.events = self.last = 0
        self.out_of_order = 0

    def request(self, method, data, request_id):
        return self.native.request(method, data, request_id)

    def poll(self):
        batch = self.native.poll()
        for event in batch:
            self.events += event["name"] in STREAMED
            if event["name"] == "RtnOrder" and event["data"]["OrderRef"].startswith("9"):
                seq = int(event["data"]["StatusMsg"])
                self.out_of_order += seq <= self.last
                self.last = seq
        return batch

    def close(self):
        self.native.close()


def stream(day, start, n):
    """Events start .. start + n: order returns of the pool, trades of its
    orders (each trade id repeats, so only its first arrival counts), and
    query rows no query asked for."""
    out = []
    for seq in range(start, start + n):
        k = (seq // 5) % POOL  # each five events: three returns of order k, its trade, a query row
        common = {"TradingDay": day, "ExchangeID": "SHFE", "InstrumentID": "rb2610",
                  "OrderSysID": f"{90000 + k:>12}"}
        if seq % 5 == 3:
            out.append(("OnRtnTrade", dict(common, TradeID=f"{80000 + k:>12}", Direction=Char("0"),
                                            OffsetFlag=Char("0"), HedgeFlag=Char("1"), Price=3500.0, Volume=1,
                                            TradeDate=day, TradeTime="09:30:00")))  # fmt: skip
        elif seq % 5 == 4:
            out.append(("OnRspQryInvestorPosition", {"InstrumentID": "rb2610", "ExchangeID": "SHFE",
                                                     "PosiDirection": Char("2"), "Position": seq}))  # fmt: skip
        else:
            out.append(("OnRtnOrder", dict(common, FrontID=7, SessionID=7, OrderRef=f"9{k:04d}", Direction=Char("0"),
                                            CombOffsetFlag="0", CombHedgeFlag="1", LimitPrice=3500.0,
                                            VolumeTotalOriginal=10, VolumeTraded=0, OrderStatus=Char("3"),
                                            OrderSubmitStatus=Char("3"), StatusMsg=str(seq), InsertDate=day,
                                            InsertTime="09:30:00")))  # fmt: skip
    return out


def push(sim, events):
    """One call per run of the same callback, in order."""
    run: list = []
    for name, row in events + [(None, None)]:
        if run and name != run[0][0]:
            sim.push(run[0][0], [r for _, r in run])
            run = []
        if name is not None:
            run.append((name, row))


def test_a_long_stream_keeps_memory_flat_and_loses_nothing(monkeypatch):
    monkeypatch.setattr(trading, "time", FastClock(4))
    with Simulator(seed=9) as sim:
        sim.hold()
        sim.set_query_rate(0)

        async def main():
            natives = []

            def factory(config, directory):
                natives.append(Counting(config, directory))
                return natives[-1]

            s = trading.Trading(account(sim), 10, {}, native_factory=factory)
            s.start()
            await until(lambda: ready(s), timeout=60, what="READY")
            await committed(s, lambda c: s.published_status == "READY", "the ready commit")
            bridge = natives[-1]
            base = bridge.events
            sent = 0
            started = time.monotonic()
            warm = min(EVENTS // 5, 20000)
            before = rss = None
            while sent < EVENTS:
                n = min(BATCH, EVENTS - sent)
                push(sim, stream(s.day, sent + 1, n))
                sent += n
                await until(lambda: bridge.events - base >= sent, timeout=60, what=f"{sent} events")
                s.commit({})
                if before is None and sent >= warm:
                    gc.collect()
                    tracemalloc.start()
                    before, rss = tracemalloc.get_traced_memory()[0], rss_kib()
            await asyncio.sleep(0.2)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - before
            tracemalloc.stop()
            rss_grown = rss_kib() - rss
            print(f"\nsoak: {sent} events in {time.monotonic() - started:.1f} s; after {warm} of warm-up "
                  f"tracemalloc {grown:+d} B, RSS {rss_grown:+d} KiB")
            assert bridge.events - base == sent and bridge.out_of_order == 0 and len(natives) == 1
            assert ready(s) and s.error is None
            ours = [oid for oid in s.o if oid.startswith("7:7:")]
            assert len(ours) == POOL and sum(1 for _, tid, _ in s.t if int(tid) >= 80000) == POOL
            assert grown < 256 * 1024, f"{grown} bytes kept over {sent - warm} events"
            assert rss_grown < 16 * 1024, f"RSS grew {rss_grown} KiB"
            await s.close()

        asyncio.run(main())


def test_bridge_sessions_opened_and_closed_do_not_grow(tmp_path):
    with Simulator(seed=9) as sim:
        config = account(sim)

        def cycle(n):
            for _ in range(n):
                native = trading.Native(config, str(tmp_path) + "/")
                native.close()
            # The front closes its side of each connection on its own thread.
            deadline = time.monotonic() + 10
            while sim.server.conns and time.monotonic() < deadline:
                time.sleep(0.01)

        warm = max(SESSIONS // 10, 20)
        cycle(warm)
        gc.collect()
        threads, fds, rss = threading.active_count(), len(os.listdir("/proc/self/fd")), rss_kib()
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        cycle(SESSIONS)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
        tracemalloc.stop()
        print(f"\nsoak: {SESSIONS} bridge sessions opened and closed; tracemalloc {grown:+d} B, "
              f"RSS {rss_kib() - rss:+d} KiB, threads {threading.active_count() - threads:+d}")
        # The front's event loop closes a finished connection's socket a turn
        # after it lets the connection go: give it a moment (a leak, one per
        # session, would never settle).
        deadline = time.monotonic() + 5
        while len(os.listdir("/proc/self/fd")) > fds and time.monotonic() < deadline:
            time.sleep(0.01)
        assert threading.active_count() == threads and len(os.listdir("/proc/self/fd")) <= fds
        assert grown < 64 * 1024, f"{grown} bytes kept over {SESSIONS} sessions"
        assert rss_kib() - rss < 8 * 1024
