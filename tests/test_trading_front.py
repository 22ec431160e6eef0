"""End to end: a session with the real bridge logs in against the fake front
and starts its snapshot queries."""

import asyncio

import pytest

from torvo import trading
from torvo.ledger import CtpAccount

pytest.importorskip("torvo._relay")


def test_login_against_the_fake_front(front, tmp_path, monkeypatch):
    monkeypatch.setattr(trading, "mkdtemp", lambda prefix: str(tmp_path))
    config = CtpAccount("9999", "u-1", "secret", front.url, "app-1", "auth-1")

    async def in_thread(call, *args):
        return await asyncio.get_running_loop().run_in_executor(None, call, *args)

    async def main():
        session = trading.Trading(config, 10, {})
        session.start()
        try:
            await in_thread(front.accept, 10.0)
            auth = await in_thread(front.recv, 10.0)
            assert auth["name"] == "ReqAuthenticate"
            assert auth["fields"]["AppID"] == b"app-1" and auth["fields"]["UserID"] == b"u-1"
            front.send("OnRspAuthenticate", {}, request_id=auth["request_id"])
            login = await in_thread(front.recv, 10.0)
            assert login["name"] == "ReqUserLogin" and login["fields"]["Password"] == b"secret"
            front.send(
                "OnRspUserLogin",
                {"TradingDay": "20240105", "FrontID": 3, "SessionID": 77, "MaxOrderRef": "  41"},
                request_id=login["request_id"],
            )
            confirm = await in_thread(front.recv, 10.0)
            assert confirm["name"] == "ReqSettlementInfoConfirm"
            front.send("OnRspSettlementInfoConfirm", {}, request_id=confirm["request_id"])
            query = await in_thread(front.recv, 10.0)
            assert query["name"] == "ReqQryInstrument"
            assert (session.phase, session.day, session.front, session.session, session.order_ref) == (
                "sync", "20240105", 3, 77, 41)  # fmt: skip
            assert session.inflight["kind"] == "instruments" and session.error is None
        finally:
            await session.close()
        assert session.native is None and session.task.cancelled()

    asyncio.run(main())
