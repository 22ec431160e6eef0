"""The session as users run it: the default bridge and stand-in library over
TCP against the simulated front, from login to READY, following pushed
orders and trades, and resynchronising after a drop."""

from __future__ import annotations

import asyncio
import time

import pytest

from torvo import _relay, trading
from torvo.ledger import CtpAccount
from torvo.sim import Simulator

SYMBOL = "SHFE.rb2610"


def account(sim, **changes) -> CtpAccount:
    fields = dict(Simulator.DEMO_ACCOUNT, front_url=sim.url)
    fields.update(changes)
    return CtpAccount(**fields)


async def until(predicate, timeout=15.0, what="condition"):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        await asyncio.sleep(0.02)


def ready(s):
    return s.session_status == "READY" and s.phase == "ready"


def books_equal_front(s, sim):
    """The session's orders, trades and positions against the front's book."""
    book = sim.book(s.config.user_id)
    assert set(s.o) == set(book["orders"])
    for oid, order in book["orders"].items():
        mine = s.o[oid]
        assert (mine["status"], mine["volume_original"], mine["volume_traded"]) == (
            order["status"], order["volume_original"], order["volume_traded"]), oid
    assert set(s.t) == set(book["trades"])
    for symbol, front in book["positions"].items():
        mine = s.p[symbol]
        for key, value in front.items():
            assert mine[key] == value, (symbol, key)
    for symbol, mine in s.p.items():
        if symbol not in book["positions"] and mine["pos_long"] is not None:
            assert mine["pos_long"] == mine["pos_short"] == 0, symbol


def buy_request(s, sim, volume=2):
    """A crossing buy sent through the session's own request path."""
    ask = sim.market_message(SYMBOL)["a"][0][0]
    s.order_ref += 1
    exchange, instrument = SYMBOL.split(".")
    return s._request("OrderInsert", {
        "InstrumentID": instrument, "ExchangeID": exchange, "OrderRef": str(s.order_ref), "Direction": "0",
        "CombOffsetFlag": "0", "CombHedgeFlag": "1", "OrderPriceType": "2", "LimitPrice": float(ask),
        "VolumeTotalOriginal": volume, "TimeCondition": "3", "VolumeCondition": "1", "MinVolume": 1,
        "ContingentCondition": "1", "ForceCloseReason": "0", "IsAutoSuspend": 0, "UserForceClose": 0})


@pytest.fixture
def sim():
    lines: list[str] = []
    with Simulator(seed=3, log=lines.append) as s:
        s.hold()
        s.lines = lines
        yield s


def test_ready_follows_pushed_returns_and_resynchronises_after_a_drop(sim):
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

        rid, code = buy_request(s, sim)
        assert code == 0
        await until(lambda: any(o["status"] == "FILLED" for o in s.o.values()), what="the fill")
        assert s.p[SYMBOL]["pos_long"] == 7 and s.p[SYMBOL]["pos_long_today"] == 2
        books_equal_front(s, sim)
        directory = s.directory

        sim.drop()
        await until(lambda: s.session_status != "READY", what="the drop")
        await until(lambda: ready(s), what="READY again")
        books_equal_front(s, sim)
        assert s.p[SYMBOL]["pos_long"] == 7 and s.directory == directory
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
