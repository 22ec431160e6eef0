"""Repeated polls and requests leave no memory and no references behind."""

import gc
import sys
import tracemalloc

import pytest

from front import Char
from relay_support import session, wait_events  # noqa: F401
from torvo import _relay

ORDER = {
    "TradingDay": "20240102", "ExchangeID": "SHFE", "InstrumentID": "rb2505", "OrderSysID": "  123",
    "OrderRef": "17", "FrontID": 1, "SessionID": -5, "Direction": Char("0"), "CombOffsetFlag": "0",
    "CombHedgeFlag": "1", "LimitPrice": 3500.0, "VolumeTotalOriginal": 2, "VolumeTraded": 1,
    "VolumeTotal": 1, "OrderStatus": Char("1"), "OrderSubmitStatus": Char("3"),
    "StatusMsg": "部分成交".encode("gb18030") + b"\xff", "InsertDate": "20240102", "InsertTime": "09:00:01",
}
INSERT = {
    "BrokerID": "9999", "InvestorID": "00001", "OrderRef": "17", "UserID": "00001", "OrderPriceType": "2",
    "Direction": "0", "CombOffsetFlag": "0", "CombHedgeFlag": "1", "LimitPrice": 3500, "VolumeTotalOriginal": 2,
    "TimeCondition": "3", "VolumeCondition": "1", "MinVolume": 1, "ContingentCondition": "1",
    "ForceCloseReason": "0", "IsAutoSuspend": 0, "UserForceClose": 0, "ExchangeID": "SHFE",
    "CurrencyID": "CNY", "InstrumentID": "螺纹钢2505",
}
BATCH = 20


def rounds(front, handle, count):
    for n in range(count):
        for _ in range(BATCH):
            front.send("OnRtnOrder", ORDER)
        front.send("OnRspQryOrder", None, request_id=n, error=(1, "无"))
        events = wait_events(handle, BATCH + 1)
        assert len(events) == BATCH + 1
        assert _relay.request(handle, "OrderInsert", INSERT, n) == 0
        front.recv()
        with pytest.raises(ValueError):
            _relay.request(handle, "OrderInsert", {"InstrumentID": "钢" * 41}, n)
        with pytest.raises(TypeError):
            _relay.request(handle, "OrderInsert", {"MinVolume": 1.5}, n)
        with pytest.raises(ValueError):
            _relay.request(handle, "Nope", {}, n)
        assert _relay.poll(handle) == []


def test_poll_and_request_do_not_grow(front, session):
    front.send("OnRtnOrder", ORDER)
    [event] = wait_events(session, 1)
    name, key = event["name"], next(iter(event["data"]))
    rounds(front, session, 20)  # warm caches up

    gc.collect()
    refs = sys.getrefcount(name), sys.getrefcount(key)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        rounds(front, session, 300)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 4096, f"{grown} bytes kept after 300 rounds"
    assert (sys.getrefcount(name), sys.getrefcount(key)) == refs
