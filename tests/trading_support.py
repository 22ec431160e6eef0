"""Helpers for the trading-session tests: a fake bridge handed in through
`native_factory`, a controlled clock, a fast asyncio stand-in and a recording
retry tracker."""

from __future__ import annotations

import asyncio
import collections
import types

import pytest

from torvo import trading
from torvo.ledger import CtpAccount

CONFIG = CtpAccount("9999", "u-1", "secret", "tcp://127.0.0.1:1", "app-1", "auth-1")


class Clock:
    """Stands in for the `time` binding of torvo.trading."""

    def __init__(self, now: float = 1000.0, wall: float = 1_700_000_000.0) -> None:
        self.now = now
        self.wall = wall

    def monotonic(self) -> float:
        return self.now

    def time(self) -> float:
        return self.wall


class FakeNative:
    """One bridge session: records requests, answers with scripted result
    codes, and hands out scripted poll batches (an exception in the script is
    raised by poll)."""

    def __init__(self, factory: Factory, config, directory) -> None:
        self.factory = factory
        self.config = config
        self.directory = directory
        self.requests: list[tuple[str, dict, int]] = []
        self.closed = 0

    def request(self, method, data, request_id):
        self.requests.append((method, dict(data), request_id))
        self.factory.requests.append((method, dict(data), request_id))
        codes = self.factory.codes
        return codes.popleft() if codes else 0

    def poll(self):
        self.factory.polls += 1
        script = self.factory.batches
        if not script:
            return []
        item = script.popleft()
        if isinstance(item, BaseException):
            raise item
        return item

    def close(self):
        self.closed += 1


class Factory:
    """`native_factory` for Trading: every call opens a new FakeNative."""

    def __init__(self) -> None:
        self.opened: list[FakeNative] = []
        self.requests: list[tuple[str, dict, int]] = []
        self.codes: collections.deque = collections.deque()
        self.batches: collections.deque = collections.deque()
        self.polls = 0
        self.error: BaseException | None = None

    def __call__(self, config, directory):
        if self.error is not None:
            raise self.error
        native = FakeNative(self, config, directory)
        self.opened.append(native)
        return native

    @property
    def methods(self) -> list[str]:
        return [method for method, _, _ in self.requests]


class Tracker:
    """A retry tracker that records its calls; `raises` maps a method name to
    an exception it raises (once)."""

    def __init__(self) -> None:
        self.calls: list[str] = []
        self.raises: dict[str, BaseException] = {}

    def _call(self, name: str) -> None:
        self.calls.append(name)
        exc = self.raises.pop(name, None)
        if exc is not None:
            raise exc

    def begin(self) -> None:
        self._call("begin")

    def check(self) -> None:
        self._call("check")

    def fail(self) -> None:
        self._call("fail")

    def success(self) -> None:
        self._call("success")


class FastAsyncio:
    """Stands in for the `asyncio` binding of torvo.trading: sleeps are
    recorded and last one turn of the event loop."""

    def __init__(self) -> None:
        self.sleeps: list[float] = []

    async def sleep(self, delay, result=None):
        self.sleeps.append(delay)
        await asyncio.sleep(0)
        return result

    def __getattr__(self, name):
        return getattr(asyncio, name)


@pytest.fixture
def clock(monkeypatch) -> Clock:
    c = Clock()
    monkeypatch.setattr(trading, "time", c)
    return c


@pytest.fixture
def fast(monkeypatch) -> FastAsyncio:
    f = FastAsyncio()
    monkeypatch.setattr(trading, "asyncio", f)
    return f


@pytest.fixture
def factory() -> Factory:
    return Factory()


def make_session(factory: Factory, timeout: float = 5, config=CONFIG, trackers: bool = True):
    session = trading.Trading(config, timeout, {}, native_factory=factory)
    session.directory = "/flow/test"  # no temporary directory made by the tests
    if trackers:
        session.recovery = Tracker()
        session.query_recovery = Tracker()
    return session


def connected(session, factory: Factory):
    """Opens the fake bridge as the run loop would."""
    session._open_native()
    return factory.opened[-1]


def logged_in(session, factory: Factory, clock: Clock, day: str = "20240105"):
    """Runs the login chain up to the phase "sync"."""
    connected(session, factory)
    session.event({"name": "FrontConnected"})
    session.event(response("RspAuthenticate", session.phase_id))
    session.event(
        response(
            "RspUserLogin",
            session.phase_id,
            {"TradingDay": day, "FrontID": 1, "SessionID": 42, "MaxOrderRef": "7"},
        )
    )
    session.event(response("RspSettlementInfoConfirm", session.phase_id))
    assert session.phase == "sync"


def response(name, request_id, data=None, *, last=True, code=0, message=""):
    return {
        "name": name,
        "data": data,
        "error": {"ErrorID": code, "ErrorMsg": message},
        "request_id": request_id,
        "last": last,
    }


async def until(condition, turns: int = 5000) -> None:
    """Lets the event loop turn until `condition()` holds."""
    for _ in range(turns):
        if condition():
            return
        await asyncio.sleep(0)
    raise AssertionError("condition not reached")


namespace = types.SimpleNamespace
