"""Exchange numbers that repeat, end to end: the session through the real
bridge and stand-in library against the simulated front, which numbers
orders and trades per exchange as exchanges do.  Fills on two exchanges
share their OrderSysID and TradeID; a self-trade reports one TradeID twice,
a buy and a sell.  After every READY (the first and the one after a dropped
connection) the books and the user's views equal the front's book: every
trade once, each tied to its own order, positions and traded volumes right."""

from __future__ import annotations

import asyncio

import pytest

from sim_support import FastClock, account, books_equal_front, committed, ready, until, views_equal_books
from torvo import trading
from torvo.sim import DEFAULT_WORLD, Simulator

pytestmark = pytest.mark.nosanitize  # seconds of real time per case

SHFE, DCE = "SHFE.rb2610", "DCE.m2609"


@pytest.fixture
def fast(monkeypatch):
    monkeypatch.setattr(trading, "time", FastClock(4))


def start(world=None):
    sim = Simulator(world, seed=11)
    sim.__enter__()
    sim.hold()
    sim.set_query_rate(0)
    return sim


async def ready_and_published(s, sim):
    await until(lambda: ready(s), timeout=20, what="READY")
    books_equal_front(s, sim)
    await committed(s, lambda c: s.published_status == "READY", "the ready commit")
    views_equal_books(s)


async def filled(s, results):
    await committed(s, lambda c: all(s.orders[r.order_id].status == "FILLED" for r in results), "the fills")


async def dropped_and_back(s, sim):
    """A dropped connection; READY again with the same books as the front."""
    views = dict(s.trade_views)
    sim.drop()
    await until(lambda: s.session_status != "READY", what="the drop")
    await ready_and_published(s, sim)
    assert all(s.trade_views[key] is view for key, view in views.items())  # the user's records kept


def test_fills_on_two_exchanges_with_the_same_numbers(fast):
    sim = start()

    async def main():
        s = trading.Trading(account(sim), 10, {})
        s.start()
        await ready_and_published(s, sim)
        results = []
        for symbol in (SHFE, DCE):  # the first order and trade of the day on each exchange
            ask = sim.market_message(symbol)["a"][0][0]
            results += await s.insert(symbol, "BUY", "OPEN", 2, ask)
        await filled(s, results)
        book = sim.book(s.config.user_id)
        assert set(book["trades"]) == {("SHFE", "1", "BUY"), ("DCE", "1", "BUY")}
        assert [s.o[r.order_id]["order_sys_id"] for r in results] == ["1", "1"]
        assert s.system_orders == {("SHFE", "1"): results[0].order_id, ("DCE", "1"): results[1].order_id}
        books_equal_front(s, sim)
        views_equal_books(s)
        assert [t.trade_id for t in s.trades] == ["1", "1"] and len(s.trades) == 2
        # demo positions: SHFE 5 long earlier lots, DCE 3 short earlier lots
        assert (s.p[SHFE]["pos_long"], s.p[SHFE]["pos_long_today"], s.p[DCE]["pos_long"]) == (7, 2, 2)
        assert [s.o[r.order_id]["volume_traded"] for r in results] == [2, 2]

        await dropped_and_back(s, sim)
        assert len(s.t) == len(s.trades) == 2 and (s.p[SHFE]["pos_long"], s.p[DCE]["pos_long"]) == (7, 2)

        # A second order on each: its number again on both, its trade too.
        results = []
        for symbol in (DCE, SHFE):
            bid = sim.market_message(symbol)["b"][0][0]
            results += await s.insert(symbol, "SELL", "CLOSE", 1, bid)
        assert [r.status for r in results] == ["SUBMITTED"] * 2, results
        await filled(s, results)
        assert {key[:2] for key in s.t} == {("SHFE", "1"), ("DCE", "1"), ("SHFE", "2"), ("DCE", "2")}
        books_equal_front(s, sim)
        await committed(s, lambda c: len(s.trades) == 4, "the second trades")
        views_equal_books(s)
        await dropped_and_back(s, sim)
        assert len(s.t) == 4 and (s.p[SHFE]["pos_long"], s.p[DCE]["pos_long"]) == (6, 1)
        await s.close()

    try:
        asyncio.run(main())
    finally:
        sim.__exit__(None, None, None)


def test_a_self_trade_counts_both_trades(fast):
    sim = start(dict(DEFAULT_WORLD, self_trade=True))

    async def main():
        s = trading.Trading(account(sim), 10, {})
        s.start()
        await ready_and_published(s, sim)
        before = sim.book(s.config.user_id)
        last = sim.market_message(DCE)["c"]  # above the best bid, below the best ask: rests
        [buy] = await s.insert(DCE, "BUY", "OPEN", 2, last)
        await committed(s, lambda c: s.orders[buy.order_id].status == "ALIVE"
                        and s.orders[buy.order_id].order_sys_id, "the resting buy")  # fmt: skip
        [sell] = await s.insert(DCE, "SELL", "OPEN", 2, last)  # meets the account's own buy first
        await filled(s, [buy, sell])
        book = sim.book(s.config.user_id)
        assert set(book["trades"]) == {("DCE", "1", "BUY"), ("DCE", "1", "SELL")}
        assert {key: t["order_id"] for key, t in book["trades"].items()} == {
            ("DCE", "1", "BUY"): buy.order_id, ("DCE", "1", "SELL"): sell.order_id}
        assert book["commission"] == pytest.approx(before["commission"] + 4 * 1.5)
        books_equal_front(s, sim)
        await committed(s, lambda c: len(s.trades) == 2, "both trades")
        views_equal_books(s)
        assert sorted((t.trade_id, t.direction, t.offset, t.volume) for t in s.trades) == [
            ("1", "BUY", "OPEN", 2), ("1", "SELL", "OPEN", 2)]
        # 3 short carried, 2 long and 2 short of today
        assert (s.p[DCE]["pos_long"], s.p[DCE]["pos_short"], s.p[DCE]["pos_short_today"], s.p[DCE]["pos"]) == (
            2, 5, 2, -3)
        assert [s.o[o.order_id]["volume_traded"] for o in (buy, sell)] == [2, 2]

        await dropped_and_back(s, sim)
        assert len(s.t) == len(s.trades) == 2 and (s.p[DCE]["pos_long"], s.p[DCE]["pos_short"]) == (2, 5)
        await s.close()

    try:
        asyncio.run(main())
    finally:
        sim.__exit__(None, None, None)
