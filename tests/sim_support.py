"""Helpers for running `Trading` sessions as users do, over TCP through the
real bridge and stand-in library, against the simulated front."""

from __future__ import annotations

import asyncio
import time

from torvo.ledger import CtpAccount
from torvo.sim import Simulator


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


def ready(s) -> bool:
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
    for key, trade in book["trades"].items():
        mine = s.t[key]
        assert (mine["volume"], mine["price"], mine["order_sys_id"]) == (
            trade["volume"], trade["price"], trade["order_sys_id"]), key
        # tied to the order the front filled, found by its own exchange's number
        assert s.system_orders[(key[0], mine["order_sys_id"])] == trade["order_id"], key
    for symbol, front in book["positions"].items():
        mine = s.p[symbol]
        for key, value in front.items():
            assert mine[key] == value, (symbol, key)
    for symbol, mine in s.p.items():
        if symbol not in book["positions"] and mine["pos_long"] is not None:
            assert mine["pos_long"] == mine["pos_short"] == 0, symbol


async def committed(s, condition, what, timeout=15.0):
    """Commits as the user-facing layer does (wait for `changed`, then
    commit) until `condition(changes)` holds; returns that commit's changes."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            await asyncio.wait_for(s.changed.wait(), max(0.01, deadline - time.monotonic()))
        except asyncio.TimeoutError:
            raise AssertionError(f"timed out waiting for {what}") from None
        changes: dict[int, set[str]] = {}
        s.commit(changes)
        if condition(changes):
            return changes


def views_equal_books(s):
    """After a ready commit: every order, trade and position published once,
    with the books' values."""
    assert set(s.orders) == set(s.o)
    for oid, record in s.o.items():
        view = s.orders[oid]
        assert all(getattr(view, k) == v for k, v in record.items() if k in view.fields), oid
    keys = [(view.symbol.split(".")[0], view.trade_id, view.direction) for view in s.trades]
    assert len(keys) == len(set(keys)) and set(keys) == set(s.t) and set(s.trade_views) == set(s.t)
    assert all(s.trade_views[key] is view for key, view in zip(keys, s.trades))
    for symbol, record in s.p.items():
        view = s.positions[symbol]
        assert all(getattr(view, k) == record[k] for k in view.fields), symbol
    registered = set(s.objects)
    assert {id(v) for v in s.orders.values()} <= registered and {id(v) for v in s.trades} <= registered


class FastClock:
    """The `time` binding of torvo.trading with the monotonic clock running
    `speed` times faster: the session's one-query-a-second pacing and its
    time limits shrink alike; the wall clock stays true."""

    def __init__(self, speed: float) -> None:
        self.speed = speed
        self.origin = time.monotonic()

    def monotonic(self) -> float:
        return self.origin + (time.monotonic() - self.origin) * self.speed

    def time(self) -> float:
        return time.time()
