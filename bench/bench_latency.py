"""Time from sending an order to seeing its trade: the raw bridge against the session; idle CPU of sessions.

Run from the project root (after building the modules in place):

    PYTHONPATH=. python bench/bench_latency.py [--orders N] [--blocks N] [--idle S] [--json FILE]

The front is `python -m torvo.sim` in its own process, with a still market
(no random walk) whose every book level holds 1000 lots, so each order below
crosses and fills its one lot at once.  The orders are one-lot crossing
orders on DCE.m2609, bought to open and sold to close in turn.  Three paths
take turns in blocks, in one run, on three accounts of their own (a front
sends an account's returns to every session of that account):

1. raw bridge: `_relay.request("OrderInsert")` on a session logged in by
   hand, then `_relay.poll` in a tight loop until the "RtnTrade" comes: the
   floor, the bridge and the front with nothing in between;
2. session, books: `await s.insert(...)`, then a tight loop of
   `await asyncio.sleep(0)` until the order's record in `s.o` says "FILLED";
3. session, changed: `await s.insert(...)`, then await `s.changed` (and
   clear it) until it is set with the order "FILLED" in `s.o`: what the
   user-facing layer's `wait_update` waits on, before its commit.

Paths 2 and 3 run twice: with the bridge's wake-up (the session awaits it
between passes) and without it (a bridge module without `wakeup`, so the
session sleeps 10 ms between passes, as it did before the wake-up).  The time
is from just before the request or `insert` to the moment the path sees the
fill; p50, p90 and p99 are reported.

Idle CPU: 1 and then 50 READY sessions in one process, with and without the
wake-up, left alone for `--idle` seconds (10 by default); the process's CPU
time over that span per session (the front runs in its own process).  Each
side is measured twice, in the order with, without, without, with, and the
two are averaged.

Targets: the session's p50 at most 1.3 x the raw bridge's p50 and its p90 at
most 1.5 x the raw p90 (path 2 and path 3, with the wake-up); the idle CPU per
session with the wake-up no higher than without it.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import copy
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time
import types

try:
    from torvo import _relay, trading
    from torvo.ledger import CtpAccount
    from torvo.sim import DEFAULT_WORLD
except ImportError as exc:
    sys.exit(f"bench_latency: {exc}; build the modules in place and run with PYTHONPATH=.")

SYMBOL = "DCE.m2609"
# Inside the limit band (2950 +- 5%), across every level of the book.
BUY_PRICE, SELL_PRICE = 3050.0, 2850.0
ACCOUNTS = ["raw", "books", "changed", "idle"]


def world() -> dict:
    w = copy.deepcopy(DEFAULT_WORLD)
    w["market"] = {"interval": 0, "sizes": [1000, 1000]}
    template = w["accounts"][0]
    w["accounts"] = [dict(template, user_id=name, positions=[], balance=1e9) for name in ACCOUNTS]
    return w


@contextlib.contextmanager
def front(directory: pathlib.Path):
    """`python -m torvo.sim` on a free port; yields its URL."""
    path = directory / "world.json"
    path.write_text(json.dumps(world()), encoding="utf-8")
    process = subprocess.Popen([sys.executable, "-m", "torvo.sim", "--port", "0", "--world", str(path)],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        line = process.stdout.readline()
        if not line.startswith("listening on "):
            raise RuntimeError(f"the simulator did not start: {line!r}")
        # Its log of every order is read and dropped, so the pipe never fills.
        drain = subprocess.Popen(["cat"], stdin=process.stdout, stdout=subprocess.DEVNULL)
        yield line.split()[-1]
    finally:
        process.terminate()
        process.wait()
        with contextlib.suppress(NameError):
            drain.wait()


def account(url: str, user: str) -> CtpAccount:
    a = next(a for a in DEFAULT_WORLD["accounts"])
    return CtpAccount(broker_id=a["broker_id"], user_id=user, password=a["password"], app_id=a["app_id"],
                      auth_code=a["auth_code"], front_url=url)


def percentiles(samples: list[float]) -> dict:
    s = sorted(samples)

    def at(q: float) -> float:
        return s[min(len(s) - 1, int(q * len(s)))] * 1e6

    return {"p50": at(0.50), "p90": at(0.90), "p99": at(0.99), "n": len(s)}


def order_fields(user: str, ref: int, buy: bool) -> dict:
    exchange, instrument = SYMBOL.split(".")
    price = BUY_PRICE if buy else SELL_PRICE
    return {"BrokerID": "9999", "InvestorID": user, "UserID": user, "InstrumentID": instrument,
            "ExchangeID": exchange, "OrderRef": str(ref), "Direction": "0" if buy else "1",
            "CombOffsetFlag": "0" if buy else "1", "CombHedgeFlag": "1", "OrderPriceType": "2",
            "LimitPrice": price, "VolumeTotalOriginal": 1, "TimeCondition": "3", "VolumeCondition": "1",
            "MinVolume": 1, "ContingentCondition": "1", "ForceCloseReason": "0", "IsAutoSuspend": 0,
            "UserForceClose": 0}


class RawSession:
    """A bridge session logged in by hand, polled in a tight loop."""

    def __init__(self, url: str, directory: str) -> None:
        self.user = "raw"
        os.makedirs(directory, exist_ok=True)
        self.handle = _relay.create(url, os.fsencode(directory + os.sep))
        self.request_id = 0
        self.until(lambda e: e["name"] == "FrontConnected")
        a = DEFAULT_WORLD["accounts"][0]
        self.call("Authenticate", {"AppID": a["app_id"], "AuthCode": a["auth_code"]})
        login = self.call("UserLogin", {"Password": a["password"]})
        self.ref = int(login["data"]["MaxOrderRef"] or 0)
        self.call("SettlementInfoConfirm", {})

    def until(self, done) -> dict:
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            for event in _relay.poll(self.handle):
                if done(event):
                    return event
        raise RuntimeError("raw bridge: no answer within 10 s")

    def call(self, method: str, fields: dict) -> dict:
        self.request_id += 1
        rid = self.request_id
        base = {"BrokerID": "9999", "InvestorID": self.user, "UserID": self.user}
        _relay.request(self.handle, method, {**base, **fields}, rid)
        event = self.until(lambda e: e.get("request_id") == rid and e.get("last"))
        if event["error"]["ErrorID"]:
            raise RuntimeError(f"raw bridge: {method} refused: {event['error']}")
        return event

    def fill(self, buy: bool) -> float:
        self.ref += 1
        self.request_id += 1
        fields = order_fields(self.user, self.ref, buy)
        poll, handle = _relay.poll, self.handle
        start = time.perf_counter()
        _relay.request(handle, "OrderInsert", fields, self.request_id)
        while True:
            for event in poll(handle):
                if event["name"] == "RtnTrade":
                    return time.perf_counter() - start
                if event["name"] == "ErrRtnOrderInsert":
                    raise RuntimeError(f"raw bridge: order refused: {event['error']}")

    def close(self) -> None:
        _relay.close(self.handle)


def without_wakeup(config, directory):
    """A bridge whose module has no `wakeup`: the session sleeps 10 ms
    between passes.  The module's own functions are called, as before."""
    native = trading.Native(config, directory)
    native.module = types.SimpleNamespace(request=_relay.request, poll=_relay.poll, close=_relay.close)
    return native


async def ready_session(url: str, user: str, factory=trading.Native) -> trading.Trading:
    s = trading.Trading(account(url, user), 10, {}, native_factory=factory)
    s.start()
    deadline = time.monotonic() + 60
    while not (s.session_status == "READY" and s.phase == "ready"):
        if time.monotonic() > deadline or s.error is not None:
            raise RuntimeError(f"session {user} not READY: {s.session_status} {s.error!r}")
        await asyncio.sleep(0.05)
    s.commit({})
    return s


async def fill_in_books(s: trading.Trading, buy: bool) -> float:
    price = BUY_PRICE if buy else SELL_PRICE
    start = time.perf_counter()
    [result] = await s.insert(SYMBOL, "BUY" if buy else "SELL", "OPEN" if buy else "CLOSE", 1, price)
    record = s.o[result.order_id]
    while record["status"] != "FILLED":
        if record["status"] == "REJECTED":
            raise RuntimeError(f"order refused: {record['status_msg']}")
        await asyncio.sleep(0)
        record = s.o.get(result.order_id, record)
    return time.perf_counter() - start


async def fill_seen_by_wait_update(s: trading.Trading, buy: bool) -> float:
    price = BUY_PRICE if buy else SELL_PRICE
    s.changed.clear()
    start = time.perf_counter()
    [result] = await s.insert(SYMBOL, "BUY" if buy else "SELL", "OPEN" if buy else "CLOSE", 1, price)
    while True:
        await s.changed.wait()
        s.changed.clear()
        status = s.o[result.order_id]["status"]
        if status == "FILLED":
            elapsed = time.perf_counter() - start
            s.commit({})  # as the user layer would, outside the time
            return elapsed
        if status == "REJECTED":
            raise RuntimeError("order refused")


async def idle_cpu(url: str, count: int, factory, seconds: float) -> float:
    """CPU seconds per session per second of `count` READY sessions left alone."""
    sessions = await asyncio.gather(*(ready_session(url, "idle", factory) for _ in range(count)))
    await asyncio.sleep(1.0)  # the funds queries after READY settle
    cpu, wall = time.process_time(), time.monotonic()
    await asyncio.sleep(seconds)
    used = (time.process_time() - cpu) / (time.monotonic() - wall)
    for s in sessions:
        await s.close()
    return used / count


async def measure(url: str, directory: str, orders: int, blocks: int, idle: float) -> dict:
    raw = RawSession(url, directory + "/raw")
    woken_books, woken_changed, slept_books, slept_changed = await asyncio.gather(
        ready_session(url, "books"), ready_session(url, "changed"),
        ready_session(url, "books", without_wakeup), ready_session(url, "changed", without_wakeup))
    woken = {"books": woken_books, "changed": woken_changed}
    slept = {"books": slept_books, "changed": slept_changed}
    samples: dict[str, list[float]] = {k: [] for k in ("raw", "books", "changed", "books_sleep", "changed_sleep")}
    per_block = max(2, orders // blocks // 2 * 2)
    for _ in range(blocks):
        for i in range(per_block):
            samples["raw"].append(raw.fill(i % 2 == 0))
        for i in range(per_block):
            samples["books"].append(await fill_in_books(woken["books"], i % 2 == 0))
        for i in range(per_block):
            samples["changed"].append(await fill_seen_by_wait_update(woken["changed"], i % 2 == 0))
        for i in range(per_block):
            samples["books_sleep"].append(await fill_in_books(slept["books"], i % 2 == 0))
        for i in range(per_block):
            samples["changed_sleep"].append(await fill_seen_by_wait_update(slept["changed"], i % 2 == 0))
    raw.close()
    for s in (*woken.values(), *slept.values()):
        await s.close()
    result = {name: percentiles(values) for name, values in samples.items()}
    result["idle"] = {}
    for count in (1, 50):
        # In turns, one order and then the other, against the drift of a
        # shared machine; the mean of the two of each.
        first = {"wakeup": await idle_cpu(url, count, trading.Native, idle),
                 "sleep": await idle_cpu(url, count, without_wakeup, idle)}
        second = {"sleep": await idle_cpu(url, count, without_wakeup, idle),
                  "wakeup": await idle_cpu(url, count, trading.Native, idle)}
        result["idle"][count] = {k: (first[k] + second[k]) / 2 for k in first}
    return result


def rows_of(result: dict) -> list[dict]:
    raw = result["raw"]
    rows = []

    def row(hot_path, torvo, baseline, ratio, target, met):
        rows.append({"hot_path": hot_path, "torvo_us": torvo, "baseline_us": baseline, "ratio": ratio,
                     "target": target, "met": met})

    for q in ("p50", "p90", "p99"):
        row(f"raw bridge, order to its trade, {q}", raw[q], None, None, None, None)
    for path, label in (("books", "session to FILLED in o"), ("changed", "session to changed with FILLED")):
        for q, limit in (("p50", 1.3), ("p90", 1.5), ("p99", None)):
            torvo = result[path][q]
            ratio = torvo / raw[q]
            row(f"{label}, {q}", torvo, raw[q], ratio, f"<= {limit}x the raw" if limit else None,
                ratio <= limit if limit else None)
        for q in ("p50", "p90"):
            row(f"  the same, 10 ms passes (before), {q}", result[path + "_sleep"][q], raw[q],
                result[path + "_sleep"][q] / raw[q], None, None)
    for count, cpu in result["idle"].items():
        torvo, before = cpu["wakeup"] * 1e6, cpu["sleep"] * 1e6
        row(f"idle CPU us/s per session, {count} READY", torvo, before, torvo / before,
            "<= 1x before (time)", torvo <= before * 1.05)
    return rows


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--orders", type=int, default=200, help="orders per path (default 200)")
    parser.add_argument("--blocks", type=int, default=10, help="blocks each path's orders come in")
    parser.add_argument("--idle", type=float, default=10.0, help="seconds of idle CPU measurement")
    parser.add_argument("--json", metavar="FILE", help="write the rows as JSON to FILE")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="torvo-latency-") as directory, front(pathlib.Path(directory)) as url:
        result = asyncio.run(measure(url, directory, args.orders, args.blocks, args.idle))
    rows = rows_of(result)
    for r in rows:
        ratio = "" if r["ratio"] is None else f"{r['ratio']:.2f}x"
        base = "" if r["baseline_us"] is None else f"{r['baseline_us']:10.1f}"
        print(f"{r['hot_path']:<52} {r['torvo_us']:10.1f} {base:>10} {ratio:>8}  {r['target'] or ''}")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(rows), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
