"""FAK and FOK orders and the guard as users run them: through the real
bridge and stand-in library over TCP against the simulated front, which
matches both conditions, and across a dropped connection."""

from __future__ import annotations

import asyncio

import pytest

from sim_support import account, books_equal_front, ready, until
from torvo import trading
from torvo.ledger import TradingGuard
from torvo.sim import Simulator

SYMBOL = "SHFE.rb2610"


@pytest.fixture
def sim():
    with Simulator(seed=5) as s:
        s.hold()
        yield s


def finished(s, oid):
    return s.o[oid]["status"] in ("FILLED", "CANCELLED", "REJECTED")


async def confirmed(s, oid):
    await until(lambda: s.o[oid]["status"] == "ALIVE" and s.o[oid]["order_sys_id"], what=f"{oid} confirmed")


def test_fak_and_fok_against_the_market(sim):
    async def main():
        s = trading.Trading(account(sim), 10, {})
        s.start()
        await until(lambda: ready(s), what="READY")
        s.commit({})  # published: orders go out
        tick = s.instruments[SYMBOL]["PriceTick"]
        last = sim.market_message(SYMBOL)["a"][0][0] - tick
        sim.set_price(SYMBOL, last, size=3)  # the best ask, one tick up, holds 3 lots
        ask = last + tick

        # FAK larger than the best level: 3 fill, the other 2 are cancelled.
        [fak] = await s.insert(SYMBOL, "BUY", "OPEN", 5, ask, advanced="FAK")
        await until(lambda: finished(s, fak.order_id) and s.o[fak.order_id]["volume_traded"] == 3, what="the FAK")
        order = s.o[fak.order_id]
        assert (order["status"], order["volume_traded"], order["volume_left"]) == ("CANCELLED", 3, 2)

        # FOK larger than what is there at the price: nothing fills.
        sim.set_price(SYMBOL, last, size=3)
        [fok] = await s.insert(SYMBOL, "BUY", "OPEN", 4, last + tick, advanced="FOK")
        await until(lambda: finished(s, fok.order_id), what="the FOK")
        assert (s.o[fok.order_id]["status"], s.o[fok.order_id]["volume_traded"]) == ("CANCELLED", 0)
        # ... and one that can fill does, in full.
        [whole] = await s.insert(SYMBOL, "BUY", "OPEN", 3, last + tick, advanced="FOK")
        await until(lambda: finished(s, whole.order_id), what="the second FOK")
        assert s.o[whole.order_id]["status"] == "FILLED"

        # A FAK close that meets no bid, split into earlier and today's lots:
        # both parts are cancelled and their reservations released.
        held = s.p[SYMBOL]
        earlier, today = held["pos_long_his"], held["pos_long_today"]
        assert earlier > 0 and today > 0
        results = await s.insert(SYMBOL, "SELL", "CLOSE", earlier + today, last + 20 * tick, advanced="FAK")
        assert [s.o[r.order_id]["offset"] for r in results] == ["CLOSE_YESTERDAY", "CLOSE_TODAY"]
        assert held["frozen_long"] == earlier + today and held["available_long"] == 0
        await until(lambda: all(finished(s, r.order_id) for r in results), what="the FAK close")
        assert [s.o[r.order_id]["status"] for r in results] == ["CANCELLED", "CANCELLED"]
        assert (held["frozen_long"], held["available_long"]) == (0, earlier + today)
        books_equal_front(s, sim)
        await s.close()

    asyncio.run(main())


def test_the_guard_before_and_after_a_reconnection(sim):
    guard = TradingGuard(self_trade=True, max_cancels=2, max_lots=2, repeat_ms=600_000, warn_cancels=2)

    async def main():
        s = trading.Trading(account(sim), 10, {}, guard=guard)
        s.start()
        await until(lambda: ready(s), what="READY")
        s.commit({})  # published: orders go out
        tick = s.instruments[SYMBOL]["PriceTick"]
        quote = sim.market_message(SYMBOL)
        low, high = quote["b"][0][0] - 40 * tick, quote["a"][0][0] + 40 * tick
        [buy] = await s.insert(SYMBOL, "BUY", "OPEN", 2, low)
        [sell] = await s.insert(SYMBOL, "SELL", "OPEN", 1, high)
        [gone] = await s.insert(SYMBOL, "BUY", "OPEN", 1, low - tick)
        for result in (buy, sell, gone):
            await confirmed(s, result.order_id)
        cancelled = s.cancel(gone.order_id)
        assert cancelled[0].status == "SUBMITTED"
        await until(lambda: s.o[gone.order_id]["status"] == "CANCELLED", what="the cancellation")

        async def check_refusals():
            # self-trade against the resting orders on both sides, lots, a repeat of `buy`
            known = len(s.o)
            for args, limit in [((SYMBOL, "BUY", "OPEN", 1, high), "self_trade"),
                                ((SYMBOL, "SELL", "OPEN", 1, low), "self_trade"),
                                ((SYMBOL, "BUY", "OPEN", 3, low - 5 * tick), "max_lots"),
                                ((SYMBOL, "BUY", "OPEN", 2, low), "repeat_ms")]:  # fmt: skip
                [result] = await s.insert(*args)
                assert result.status == "REJECTED" and limit in result.message, (limit, result)
            assert len(s.o) == known

        await check_refusals()
        counts = s.counters()["symbols"][SYMBOL]
        assert (counts["orders"], counts["cancels"], counts["cancelled"], counts["refused"]) == (3, 1, 1, 4)

        sim.drop()
        await until(lambda: s.session_status != "READY", what="the drop")
        await until(lambda: ready(s), what="READY again")
        s.commit({})
        books_equal_front(s, sim)
        # The books came back from the login snapshot: so did the working
        # orders by symbol and the counts; the session's refusals stay.
        counts = s.counters()["symbols"][SYMBOL]
        assert (counts["orders"], counts["cancels"], counts["cancelled"], counts["refused"]) == (3, 1, 1, 4)
        await check_refusals()

        # The cancel limit counts the snapshot's cancelled order: one more, then no more.
        assert s.cancel(sell.order_id)[0].status == "SUBMITTED"
        assert s.counters()["symbols"][SYMBOL]["cancels_warning"] is True
        refused = s.cancel(buy.order_id)
        assert refused[0].status == "REJECTED" and "max_cancels=2" in refused[0].message
        assert s.o[buy.order_id]["cancel_pending"] is False
        await until(lambda: s.o[sell.order_id]["status"] == "CANCELLED", what="the last cancellation")
        # Nothing in the way any more on the sell side.
        [last] = await s.insert(SYMBOL, "BUY", "OPEN", 1, high)
        assert last.status == "SUBMITTED"
        await until(lambda: finished(s, last.order_id), what="the last order filled")
        books_equal_front(s, sim)
        await s.close()

    asyncio.run(main())
