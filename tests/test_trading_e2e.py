"""The session as users run it: the default bridge and stand-in library over
TCP against the simulated front, from login to READY, inserting and
cancelling orders, committing into the user's views, following pushed
returns, and resynchronising after a drop."""

from __future__ import annotations

import asyncio
import time

import pytest

from sim_support import account, books_equal_front, committed, ready, until
from torvo import _relay, trading
from torvo.sim import Simulator

SYMBOL = "SHFE.rb2610"


@pytest.fixture
def sim():
    lines: list[str] = []
    with Simulator(seed=3, log=lines.append) as s:
        s.hold()
        s.lines = lines
        yield s


def test_ready_orders_commit_and_resynchronisation_after_a_drop(sim):
    async def main():
        s = trading.Trading(account(sim), 10, {})
        start = time.monotonic()
        s.start()
        await until(lambda: ready(s), what="READY")
        # Six queries at least a second apart.
        assert 4.5 < time.monotonic() - start < 12
        assert {"SHFE.rb2610", "DCE.m2609"} <= set(s.instruments)
        assert s.p[SYMBOL]["pos_long_his"] == 5 and s.a["balance"] is not None
        books_equal_front(s, sim)

        changes: dict[int, set[str]] = {}
        assert s.commit(changes)
        held = s.position_view(SYMBOL)
        assert (held.pos_long, held.available_long) == (5, 5)

        # A buy that crosses the market fills at once.
        ask = sim.market_message(SYMBOL)["a"][0][0]
        [result] = await s.insert(SYMBOL, "BUY", "OPEN", 2, ask)
        assert result.status == "SUBMITTED"
        order = result.order_id
        changes = await committed(s, lambda c: s.orders[order].status == "FILLED", "the fill")
        assert "status" in changes[id(s.orders[order])] and "status" in changes[id(s.orders)]
        assert {"pos_long", "pos_long_today"} <= changes[id(held)]
        assert (held.pos_long, held.pos_long_today, held.available_long) == (7, 2, 7)
        assert len(s.trades) >= 1 and "__members__" in changes[id(s.trades)]
        books_equal_front(s, sim)

        # Closing 6 of 5 earlier and 2 of today's lots: two exchange orders.
        bid = sim.market_message(SYMBOL)["b"][0][0]
        results = await s.insert(SYMBOL, "SELL", "CLOSE", 6, bid)
        assert [r.status for r in results] == ["SUBMITTED", "SUBMITTED"]
        assert [s.o[r.order_id]["offset"] for r in results] == ["CLOSE_YESTERDAY", "CLOSE_TODAY"]
        assert [s.o[r.order_id]["volume_original"] for r in results] == [5, 1]
        await committed(s, lambda c: all(s.orders[r.order_id].status == "FILLED" for r in results), "the close")
        assert (held.pos_long, held.pos_long_today, held.available_long) == (1, 1, 1)
        books_equal_front(s, sim)

        # A resting order, then its cancellation.
        [rest] = await s.insert(SYMBOL, "BUY", "OPEN", 1, bid - 50 * s.instruments[SYMBOL]["PriceTick"])
        # Cancellable once the exchange has numbered it (returns arrive one by one).
        await committed(s, lambda c: s.orders[rest.order_id].status == "ALIVE"
                        and s.orders[rest.order_id].order_sys_id, "the resting order")  # fmt: skip
        resting = s.orders[rest.order_id]
        [cancel] = s.cancel(rest.order_id)
        assert cancel.status == "SUBMITTED"
        await committed(s, lambda c: resting.status == "CANCELLED", "the cancellation")
        assert s.cancel(rest.order_id) == []
        books_equal_front(s, sim)
        directory = s.directory

        sim.drop()
        await until(lambda: s.session_status != "READY", what="the drop")
        await until(lambda: ready(s), what="READY again")
        books_equal_front(s, sim)
        assert s.p[SYMBOL]["pos_long"] == 1 and s.directory == directory
        # The records the user holds are the ones the first ready commit updates.
        await committed(s, lambda c: s.published_status == "READY", "the ready commit")
        assert s.orders[rest.order_id] is resting and s.position_view(SYMBOL) is held
        assert resting.status == "CANCELLED" and held.pos_long == 1
        await s.close()

    asyncio.run(main())


def test_a_trade_between_the_two_trade_queries_repeats_them(sim, tmp_path):
    """A second session of the account fills an order while the positions
    are queried: the two trade queries disagree, the session takes both and
    the positions again, and reaches READY with the trade counted once."""
    other = _relay.create(sim.url, bytes(tmp_path) + b"/")

    async def main():
        s = trading.Trading(account(sim), 10, {})
        s.start()
        rewound = []
        await until(lambda: s.phase == "sync" and s.sync_index == 3, what="the positions query")
        # Log the second session in and fill an order through it.
        cfg = s.config
        steps = [("Authenticate", {"AppID": cfg.app_id, "AuthCode": cfg.auth_code}),
                 ("UserLogin", {"Password": cfg.password}), ("SettlementInfoConfirm", {})]
        await until(lambda: any(e["name"] == "FrontConnected" for e in _relay.poll(other)), what="connect")
        base = {"BrokerID": cfg.broker_id, "InvestorID": cfg.user_id, "UserID": cfg.user_id}
        for rid, (method, fields) in enumerate(steps, 1000):
            assert _relay.request(other, method, {**base, **fields}, rid) == 0
            await until(lambda: any(e.get("request_id") == rid for e in _relay.poll(other)), what=method)
        ask = sim.market_message(SYMBOL)["a"][0][0]
        assert _relay.request(other, "OrderInsert", {
            **base, "InstrumentID": "rb2610", "ExchangeID": "SHFE", "OrderRef": "900000", "Direction": "0",
            "CombOffsetFlag": "0", "CombHedgeFlag": "1", "OrderPriceType": "2", "LimitPrice": float(ask),
            "VolumeTotalOriginal": 1, "TimeCondition": "3", "VolumeCondition": "1", "MinVolume": 1,
            "ContingentCondition": "1", "ForceCloseReason": "0", "IsAutoSuspend": 0, "UserForceClose": 0}, 1100) == 0
        while not ready(s):
            if s.phase == "sync" and s.sync_index == 2 and not rewound and s.trade_before:
                rewound.append(True)
            await asyncio.sleep(0.01)
        assert rewound, "the session did not take the trade queries again"
        assert s.p[SYMBOL]["pos_long"] == 6 and len(s.t) == 1
        books_equal_front(s, sim)
        await s.close()

    try:
        asyncio.run(main())
    finally:
        _relay.close(other)


def test_a_drop_during_sync_and_refused_logins(sim):
    async def main():
        sim.drop("sync")
        s = trading.Trading(account(sim), 10, {})
        s.start()
        await until(lambda: ready(s), timeout=25, what="READY after the drop")
        books_equal_front(s, sim)
        await s.close()

        # A wrong password ends the session: one login, no retry loop.
        bad = trading.Trading(account(sim, password="wrong"), 10, {})
        bad.start()
        await until(lambda: bad.session_status == "ERROR", what="ERROR")
        await asyncio.sleep(1.5)
        assert str(bad.error) == "交易连接不可用，请检查账户配置或稍后重新连接。"
        assert bad.task.done()
        await bad.close()

    asyncio.run(main())
    refused = [line for line in sim.lines if "refused (wrong password)" in line]
    assert len(refused) == 1, sim.lines
