"""The session under the faults real fronts produce, through the real bridge
and stand-in library against the simulated front: each fault at each point
where it can hit (login phases, the six steps of the login snapshot, and
while ready with working and partly filled orders).  After every return to
READY the session's books and the user's views equal the front's truth.

The default run takes a representative sample of the matrix;
TORVO_FAULTS=all runs all of it.  The session's monotonic clock runs a few
times faster than real time (its one-query-a-second pacing and time limits
with it), against a front without a query limit."""

from __future__ import annotations

import asyncio
import os
import time

import pytest

from sim_support import FastClock, account, books_equal_front, committed, ready, until, views_equal_books
from torvo import trading
from torvo.sim import STEPS, Simulator

pytestmark = pytest.mark.nosanitize  # seconds of real time per case

SYMBOL = "SHFE.rb2610"
SPEED = float(os.environ.get("TORVO_FAULTS_SPEED", "4"))

LOGIN_PHASES = ("authenticate", "login", "settlement")
# The front's heartbeats in these tests: a 0.2 s interval, a 1 s limit.
HEARTBEAT, HEARTBEAT_LIMIT = 0.2, 1.0
FROZEN = 1.5  # seconds a freeze lasts: past the limit
# (fault, point): every fault at every point where it can hit.
MATRIX = (
    [("drop", point) for point in LOGIN_PHASES + STEPS]
    + [("busy 90", step) for step in STEPS]
    + [("busy 154", step) for step in STEPS]
    + [("refused login 90", "login"), ("delayed responses", "login")]
    + [("freeze", point) for point in LOGIN_PHASES + STEPS]
    + [(fault, "ready") for fault in ("drop", "trade before order", "re-pushed returns", "unknown RspError",
                                      "busy account query", "new trading day", "freeze",
                                      "front refusal then drop")]
)  # fmt: skip
SAMPLE = [
    ("drop", "login"), ("drop", "positions"), ("busy 90", "trades_after"), ("busy 154", "orders"),
    ("refused login 90", "login"), ("drop", "ready"), ("trade before order", "ready"),
    ("re-pushed returns", "ready"), ("new trading day", "ready"), ("freeze", "settlement"),
    ("freeze", "trades_before"), ("freeze", "ready"), ("front refusal then drop", "ready"),
]  # fmt: skip
CASES = MATRIX if os.environ.get("TORVO_FAULTS") == "all" else SAMPLE


@pytest.fixture
def sim(monkeypatch):
    monkeypatch.setattr(trading, "time", FastClock(SPEED))
    lines: list[str] = []
    with Simulator(seed=5, log=lines.append, heartbeat=HEARTBEAT, heartbeat_timeout=HEARTBEAT_LIMIT) as s:
        s.hold()
        s.set_query_rate(0)
        s.lines = lines
        yield s


def arm_login_fault(sim, fault, point):
    if fault == "drop":
        sim.drop(point)
    elif fault.startswith("busy"):
        sim.fail_queries(1, code=int(fault.split()[1]), at=point)
    elif fault == "refused login 90":
        sim.refuse_logins(1, code=90)
    elif fault == "delayed responses":
        sim.delay_responses(0.3)
    elif fault == "freeze":
        sim.freeze(FROZEN, at=point)


async def settle(s, sim, what):
    """READY again, a ready commit, and every invariant."""
    await until(lambda: ready(s), timeout=60, what=what)
    await committed(s, lambda c: s.published_status == "READY", what)
    books_equal_front(s, sim)
    views_equal_books(s)


async def working_orders(s, sim):
    """A resting buy and a buy partly filled (more than the best ask's size)."""
    book = sim.market_message(SYMBOL)
    tick = s.instruments[SYMBOL]["PriceTick"]
    [rest] = await s.insert(SYMBOL, "BUY", "OPEN", 1, book["b"][0][0] - 20 * tick)
    ask, size = book["a"][0]
    [part] = await s.insert(SYMBOL, "BUY", "OPEN", size + 1, ask)
    assert rest.status == part.status == "SUBMITTED"
    await committed(s, lambda c: s.orders.get(part.order_id) is not None
                    and s.orders[part.order_id].volume_traded == size, "the partial fill")  # fmt: skip
    assert s.orders[rest.order_id].status == "ALIVE" and s.orders[part.order_id].status == "ALIVE"
    return rest.order_id, part.order_id, ask, tick


@pytest.mark.parametrize("fault, point", CASES, ids=[f"{f}@{p}" for f, p in CASES])
def test_fault_then_ready_with_nothing_lost(sim, fault, point):
    async def main():
        s = trading.Trading(account(sim), 10, {})
        if point != "ready":
            arm_login_fault(sim, fault, point)
        s.start()
        await settle(s, sim, f"READY after {fault} at {point}")
        directory = s.directory
        if point != "ready":
            hit = {"drop": f"dropped at {point}", "refused login 90": "refused with 90",
                   "delayed responses": "responses delayed", "freeze": f"reached {point}"}.get(
                       fault, f"answered with error {fault[-3:].strip()}")
            assert any(hit in line for line in sim.lines), sim.lines  # the fault did strike
            if fault == "delayed responses":
                sim.delay_responses(0)
            await s.close()
            return

        rest, part, ask, tick = await working_orders(s, sim)
        held = s.orders[part]
        refused = None
        if fault == "drop":
            sim.drop()
            await until(lambda: s.session_status != "READY", what="the drop")
        elif fault == "trade before order":
            sim.trade_before_order(1)
            [fill] = await s.insert(SYMBOL, "BUY", "OPEN", 1, ask + 5 * tick)  # through the next levels
            await until(lambda: s.o.get(fill.order_id, {}).get("status") == "FILLED", what="the parked trade")
        elif fault == "re-pushed returns":
            sim.repush("login")
            sim.drop()
            await until(lambda: s.session_status != "READY", what="the drop")
        elif fault == "unknown RspError":
            sim.rsp_error(1)
            await asyncio.sleep(0.5)
        elif fault == "busy account query":
            sim.fail_queries(2, code=90)
            await asyncio.sleep(12 / SPEED)  # at least two account refreshes
        elif fault == "new trading day":
            sim.set_trading_day()
            await until(lambda: s.session_status != "READY" or s.day == sim.trading_day, what="the new day")
        elif fault == "front refusal then drop":
            # An order the front refuses itself (31: the funds fall short)
            # never reaches the exchange nor the front's order query: after
            # a reconnection it leaves the books; the user's record keeps it.
            [big] = await s.insert(SYMBOL, "BUY", "OPEN", 1000, ask)
            await committed(s, lambda c: s.orders.get(big.order_id) is not None
                            and s.orders[big.order_id].status == "REJECTED", "the refusal")  # fmt: skip
            refused = s.orders[big.order_id]
            assert big.order_id not in sim.book(s.config.user_id)["orders"]
            sim.drop()
            await until(lambda: s.session_status != "READY", what="the drop")
        elif fault == "freeze":
            # A hung front: its socket stays open.  An order sent into it must
            # end as the front's book says once it is back.
            sim.freeze()
            frozen = time.monotonic()
            [blind] = await s.insert(SYMBOL, "BUY", "OPEN", 1, ask + 5 * tick)
            assert blind.status == "SUBMITTED"
            await until(lambda: s.session_status != "READY", what="the silent front noticed")
            noticed = time.monotonic() - frozen
            assert noticed <= HEARTBEAT_LIMIT + HEARTBEAT + 0.5, noticed  # 0.5 s: the loop and a loaded machine
            sim.thaw()
        await settle(s, sim, f"READY after {fault} while ready")
        assert s.directory == directory
        if refused is not None:
            assert refused.order_id not in s.o and refused.order_id not in s.orders
            assert (refused.status, refused.volume_original, refused.volume_traded) == ("REJECTED", 1000, 0)
        if fault != "new trading day":
            # The user's records are the ones updated, and the working
            # orders still fill after the fault.
            assert s.orders[part] is held
            sim.set_price(SYMBOL, ask - 5 * tick)  # the market comes down through the rest
            await committed(s, lambda c: s.orders[part].status == "FILLED", "the rest of the partial fill")
            books_equal_front(s, sim)
            assert s.orders[rest].status == "ALIVE"
        await s.close()

    asyncio.run(main())


@pytest.mark.parametrize("wrong", [{"password": "wrong"}, {"app_id": "other-app"}], ids=["password", "app id"])
def test_refused_credentials_end_in_error_without_a_login_loop(sim, wrong):
    async def main():
        s = trading.Trading(account(sim, **wrong), 10, {})
        s.start()
        await until(lambda: s.session_status == "ERROR", what="ERROR")
        await asyncio.sleep(3 / SPEED + 0.5)
        assert s.task.done() and str(s.error) == "交易连接不可用，请检查账户配置或稍后重新连接。"
        await s.close()

    asyncio.run(main())
    attempts = [line for line in sim.lines if "refused" in line or "authenticat" in line.lower()]
    assert len(attempts) == 1, sim.lines
