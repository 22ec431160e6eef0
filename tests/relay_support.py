"""Helpers for the bridge tests: open a session against the fake front and
collect its events with a deadline."""

from __future__ import annotations

import contextlib
import os
import time

import pytest

from torvo import _relay


def flow_path(directory) -> bytes:
    return os.fsencode(str(directory) + os.sep)


def wait_events(handle, count: int, timeout: float = 10.0) -> list[dict]:
    """Polls until at least `count` events arrived; returns all of them."""
    events: list[dict] = []
    deadline = time.monotonic() + timeout
    while len(events) < count:
        events += _relay.poll(handle)
        if len(events) >= count:
            break
        if time.monotonic() > deadline:
            raise AssertionError(f"expected {count} events within {timeout} s, got {events!r}")
        time.sleep(0.002)
    return events


def wait_for(handle, name: str, timeout: float = 10.0) -> list[dict]:
    """Polls until an event called `name` arrived; returns every event up to
    and including it."""
    events: list[dict] = []
    deadline = time.monotonic() + timeout
    while not any(e["name"] == name for e in events):
        if time.monotonic() > deadline:
            raise AssertionError(f"no {name} within {timeout} s, got {events!r}")
        events += _relay.poll(handle)
        time.sleep(0.002)
    return events


def settle(front, handle) -> None:
    """Returns once the library has handed every frame sent so far to the
    bridge, without polling: the front drops the connection, and the library,
    which reads its stream in order, reconnects only after the disconnect.
    The reconnection is not greeted, so it adds no event beyond
    FrontDisconnected (and the library accepts no callback on it)."""
    front.drop()
    front.accept(greet=False, timeout=10.0)


@contextlib.contextmanager
def open_session(front, directory):
    """A bridge session on `front`, greeted, with FrontConnected already
    polled; closed on exit."""
    handle = _relay.create(front.url, flow_path(directory))
    try:
        front.accept()
        assert wait_events(handle, 1) == [{"name": "FrontConnected"}]
        yield handle
    finally:
        _relay.close(handle)


@pytest.fixture
def session(front, tmp_path):
    """An open, connected bridge session on the `front` fixture."""
    with open_session(front, tmp_path) as handle:
        yield handle
