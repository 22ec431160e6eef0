"""Per-event time of torvo._relay's poll and per-call time of its request, against their floors.

Run from the project root (after building the modules in place):

    PYTHONPATH=. python bench/bench_relay.py [--rounds N] [--json FILE]

poll: the library is fed "OnRtnOrder" frames over TCP by the test front
(tools/front.py), the front then drops the connection and waits for the
library to reconnect, so the whole batch (the order events between a
FrontConnected and a FrontDisconnected) is queued when `poll` is called, and
one `poll` returns it, as it would for a batch that piled up between two polls
of the session (every 10 ms: 1000 events are 100000 events a second, 10000
are a million).  The time of that call is divided by the number of order
events.  Every event is a 19-field order return that varies as a real stream
does: order numbers, order references, prices, volumes and session ids differ
from event to event and from round to round, insert times every few events;
the trading day, exchange, instrument (40 of them), flags and the Chinese
status message (five of them) repeat, as they do in a day's returns.  No field
is zero, so every field is converted and set.

poll floor: `_relay._floor_order_events(data, n)`, a C function in the module
that builds the same n event dictionaries the way `poll` does (a copy of the
event's dictionary shape with its name, a copy of the order record's shape
with the 19 values set under their interned keys, the zero "error"
dictionary, one list), but from the prebuilt values of one polled event: no
queue, no record read, no text decoded, no number made.  That is the work any
bridge must do to hand these dictionaries over.

request: `request(handle, "OrderInsert", fields, id)` with the 19 fields the
trading session sends (its 16 plus BrokerID, InvestorID and UserID) on a
session whose front has not greeted yet, so the library encodes the request
frame and returns -1 without a socket write (a send would add the same
kernel time to both sides).  request floor: `_relay._floor_request` with the
same arguments: the arguments taken with no checks, the 20 keys of the
request looked up in `fields` but not checked or converted, a zero record
handed to the same library call with the interpreter lock released and the
call counted against a concurrent close, as `request` does.

Each round refills the queue and times both sides, with a garbage collection
before every timed call; the best round of each side is kept.  Target: poll
at most 1.2 us per order event with batches of 1000 and of 10000 events;
request has no target and is reported against its floor.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import pathlib
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
try:
    from torvo import _relay
except ImportError:  # run from a source tree with the modules built in place
    sys.path.insert(0, str(ROOT))
    from torvo import _relay

from front import KIND_CALLBACK, KIND_GREETING, Char, Front, encode_frame  # noqa: E402

POLL_TARGET_US = 1.2
BATCHES = (1000, 10000)
REQUEST_CALLS = 20000

EXCHANGES = ["SHFE", "DCE", "CZCE", "CFFEX", "INE"]
INSTRUMENTS = [(EXCHANGES[i % 5], f"{'rb ag m SR IF'.split()[i % 5]}{2501 + i // 5}") for i in range(40)]
STATUS = [text.encode("gb18030") for text in ("全部成交", "部分成交还在队列中", "未成交还在队列中", "已撤单", "报单已提交")]


def order(n: int) -> dict:
    """The wire fields of the n-th order return (no field zero)."""
    exchange, instrument = INSTRUMENTS[n % len(INSTRUMENTS)]
    total = 2 + n % 9
    traded = 1 + n % (total - 1)
    seconds = 9 * 3600 + n // 4 % 20000
    return {
        "TradingDay": "20240102", "ExchangeID": exchange, "InstrumentID": instrument,
        "OrderSysID": f"{n + 1:>12}", "OrderRef": f"{n % 999983 + 1:>12}", "FrontID": 1 + n % 3,
        "SessionID": 1_800_000_000 + n, "Direction": Char("01"[n % 2]), "CombOffsetFlag": "013"[n % 3],
        "CombHedgeFlag": "1", "LimitPrice": 3500.0 + (n % 400) * 0.5, "VolumeTotalOriginal": total,
        "VolumeTraded": traded, "VolumeTotal": total - traded, "OrderStatus": Char("13"[n % 2]),
        "OrderSubmitStatus": Char("3"), "StatusMsg": STATUS[n % len(STATUS)], "InsertDate": "20240102",
        "InsertTime": f"{seconds // 3600:02}:{seconds // 60 % 60:02}:{seconds % 60:02}",
    }


def expected(wire: dict) -> dict:
    """The "data" the bridge must deliver for `wire`."""
    return {key: value.value.decode() if isinstance(value, Char)
            else value.decode("gb18030") if isinstance(value, bytes) else value for key, value in wire.items()}


GREETING = encode_frame(KIND_GREETING, "Greeting", data={"QueryRate": 0})

INSERT = {
    "InstrumentID": "rb2505", "ExchangeID": "SHFE", "OrderRef": "          17", "Direction": "0",
    "CombOffsetFlag": "0", "CombHedgeFlag": "1", "OrderPriceType": "2", "LimitPrice": 3500.0,
    "VolumeTotalOriginal": 2, "TimeCondition": "3", "VolumeCondition": "1", "MinVolume": 1,
    "ContingentCondition": "1", "ForceCloseReason": "0", "IsAutoSuspend": 0, "UserForceClose": 0,
    "BrokerID": "9999", "InvestorID": "00012345", "UserID": "00012345",
}


def timed(call, *args):
    gc.collect()
    start = time.perf_counter()
    result = call(*args)
    return time.perf_counter() - start, result


def measure_poll(front, handle, size: int, rounds: int, first: int):
    """Best per-event time of poll and of its floor, for batches of `size`."""
    best_poll = best_floor = math.inf
    for r in range(rounds):
        base = first + r * size
        wires = [order(base + k) for k in range(size)]
        frames = b"".join(encode_frame(KIND_CALLBACK, "OnRtnOrder", data=w) for w in wires)
        front.send_raw(GREETING + frames, framed=False)
        front.drop()
        front.accept(greet=False, timeout=10.0)  # every frame before the drop is queued now
        seconds, events = timed(_relay.poll, handle)
        names = [e["name"] for e in events]
        assert names == ["FrontConnected"] + ["RtnOrder"] * size + ["FrontDisconnected"], names[:3]
        for k in (0, size // 2, size - 1):
            assert events[1 + k]["data"] == expected(wires[k]), k
        data = events[1]["data"]
        del events
        best_poll = min(best_poll, seconds / size)
        seconds, events = timed(_relay._floor_order_events, data, size)
        assert len(events) == size and events[-1]["data"] == data
        del events
        best_floor = min(best_floor, seconds / size)
    return best_poll, best_floor


def measure_request(handle, rounds: int):
    """Best per-call time of request("OrderInsert") and of its floor."""
    def loop(call):
        fields, method = INSERT, "OrderInsert"
        for request_id in range(REQUEST_CALLS):
            call(handle, method, fields, request_id)
        return None

    best_request = best_floor = math.inf
    for _ in range(rounds):
        assert _relay.request(handle, "OrderInsert", INSERT, 1) == -1  # encoded, not sent
        best_request = min(best_request, timed(loop, _relay.request)[0] / REQUEST_CALLS)
        best_floor = min(best_floor, timed(loop, _relay._floor_request)[0] / REQUEST_CALLS)
    return best_request, best_floor


def row(rows, label, torvo, floor, target, met):
    """Prints one line and keeps it for --json (times in microseconds)."""
    rows.append({"hot_path": label, "torvo_us": torvo * 1e6, "baseline_us": floor * 1e6,
                 "ratio": torvo / floor, "target": target, "met": met})
    goal = target or "-"
    verdict = "" if met is None else "ok" if met else "above goal"
    print(f"{label:<44} {torvo * 1e6:9.3f} {floor * 1e6:9.3f} {torvo / floor:7.2f}x {goal:>9}  {verdict}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9, help="batches (and request loops) per side; best is kept")
    parser.add_argument("--json", metavar="FILE", help="also write the rows to FILE as JSON")
    args = parser.parse_args(argv)

    # ratio: torvo's time over the floor's.
    print(f"{'hot path':<44} {'torvo us':>9} {'floor us':>9} {'ratio':>8} {'goal':>9}")
    rows: list[dict] = []
    with tempfile.TemporaryDirectory(prefix="torvo-bench-") as flow, Front() as front:
        handle = _relay.create(front.url, os.fsencode(flow + os.sep))
        try:
            front.accept(greet=False)
            first = 0
            for size in BATCHES:
                poll, floor = measure_poll(front, handle, size, args.rounds, first)
                first += size * args.rounds
                row(rows, f"poll, 19-field order event, {size} a batch", poll, floor,
                    f"<= {POLL_TARGET_US} us", poll <= POLL_TARGET_US * 1e-6)
            request, floor = measure_request(handle, args.rounds)
            row(rows, "request OrderInsert, 19 fields", request, floor, None, None)
        finally:
            _relay.close(handle)
    if not all(r["met"] is not False for r in rows):
        print("some figures miss their goal (the machine may be loaded: run again)")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(rows, ensure_ascii=False, indent=1) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
