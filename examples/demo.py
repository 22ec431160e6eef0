"""A tour of torvo's native core against a scripted trading front.

The front (tools/front.py) listens on a loopback port and answers the login
chain the way a broker's front would.  A `Trading` session connects to it
through the stand-in trader library, authenticates, logs in, confirms the
settlement statement and starts the login snapshot queries; the demo prints
each step as the session takes it.  It then decodes a market-data message into
a `Quote` and feeds bars into a K-line `Serial`.

Run it with ./demo.sh, or after installing the package:

    python examples/demo.py
"""

from __future__ import annotations

import asyncio
import os
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))

from front import Char, Front  # noqa: E402

from torvo import _relay, data, ledger, trading  # noqa: E402


def serve(front: Front, stop: threading.Event) -> None:
    """Answers the login steps and the first snapshot query, then idles."""
    front.accept(timeout=10)
    while not stop.is_set():
        try:
            request = front.recv(timeout=0.2)
        except TimeoutError:
            continue
        except (ConnectionError, OSError):
            return
        name, rid = request["name"], request["request_id"]
        fields = request["fields"]
        print(f"  front <- {name} (request {rid})")
        if name == "ReqAuthenticate":
            front.send("OnRspAuthenticate", {"BrokerID": fields["BrokerID"], "UserID": fields["UserID"],
                                             "AppID": fields["AppID"]}, request_id=rid, error=(0, ""))
        elif name == "ReqUserLogin":
            front.send("OnRspUserLogin", {"TradingDay": "20261209", "FrontID": 1, "SessionID": 42,
                                          "MaxOrderRef": "100"}, request_id=rid, error=(0, "正确"))
        elif name == "ReqSettlementInfoConfirm":
            front.send("OnRspSettlementInfoConfirm", {"BrokerID": fields["BrokerID"],
                                                      "InvestorID": fields["InvestorID"]}, request_id=rid)
        elif name == "ReqQryInstrument":
            front.send("OnRspQryInstrument", {"ExchangeID": "SHFE", "InstrumentID": "rb2610",
                                              "ProductClass": Char("1"), "IsTrading": 1, "PriceTick": 1.0,
                                              "MinLimitOrderVolume": 1, "MaxLimitOrderVolume": 500},
                       request_id=rid)


async def trading_tour(front: Front) -> None:
    print("Trading session")
    account = ledger.CtpAccount(broker_id="9999", user_id="000001", password="secret",
                                app_id="demo_app_1.0", auth_code="0000000000000000",
                                front_url=front.url)
    print(f"  account: {account}")
    objects: dict[int, object] = {}
    session = trading.Trading(account, 10.0, objects)
    session.start()
    seen = None
    loop = asyncio.get_running_loop()
    deadline = loop.time() + 15
    while loop.time() < deadline:
        if session.phase != seen:
            seen = session.phase
            print(f"  phase: {seen} (status {session.session_status})")
        if session.inflight is not None:
            kind = session.inflight["kind"]
            print(f"  snapshot query in flight: {kind} ({trading.QUERY_LABELS[kind]})")
            break
        await asyncio.sleep(0.02)
    print(f"  trading day {session.day!r}, front {session.front}, session {session.session}")
    await session.close()
    print(f"  closed; {len(objects)} published objects registered")
    try:
        session.account.balance = 1e9  # published records are read-only
    except AttributeError as error:
        print(f"  account records are read-only: {error}")


def market_data_tour() -> None:
    print("\nMarket data")
    message = {"s": "SHFE.rb2610", "t": 1765245600000, "d": "20261209",
               "o": 3120, "h": 3150, "l": 3101, "c": 3144, "v": 182344, "m": 5.7e9, "oi": 1.9e6,
               "ps": 3118, "pc": 3117, "up": 3367, "dn": 2869,
               "b": [[3143, 12], [3142, 40]], "a": [[3144, 7], [3145, 33]]}
    fields = data.decode(message, "SHFE.rb2610", quote=True)
    quote = data.Quote("SHFE.rb2610", **fields)
    print(f"  quote: last {quote.last_price}, best bid {quote.bids[0]}, best ask {quote.asks[0]}")

    serial = data.Serial("SHFE.rb2610", "1m", 5)
    for minute in range(3):
        bar = data.decode({"s": "SHFE.rb2610", "t": 1765245600000 + 60000 * minute, "d": "20261209",
                           "o": 3120 + minute, "h": 3125 + minute, "l": 3118, "c": 3122 + minute,
                           "v": 100, "m": 3.1e6, "oi": 1.9e6}, "SHFE.rb2610")
        serial.update([bar])
    revised = dict(bar, close=3130.0, high=3130.0)
    changed = serial.update([revised])
    print(f"  newest bar revised, changed columns: {sorted(changed)}")
    print(serial.frame.to_string())


def main() -> None:
    print(f"trader library: {_relay.version()}")
    with Front(query_rate=0) as front:
        stop = threading.Event()
        server = threading.Thread(target=serve, args=(front, stop), daemon=True)
        server.start()
        asyncio.run(trading_tour(front))
        stop.set()
        server.join(timeout=2)
    market_data_tour()


if __name__ == "__main__":
    main()
