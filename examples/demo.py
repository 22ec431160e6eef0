"""A tour of torvo against the simulated exchange front `torvo.sim`.

The demo starts a `Simulator` in this process on a free loopback port and runs
a `Trading` session against it through the bridge and the stand-in trader
library, as a user's program does.  It shows, in plain-text tables:

1. the login phases and snapshot queries as they pass, then the account, the
   positions and the instruments once the session is READY;
2. a buy that crosses the market, its order going to FILLED and the position
   growing, with the change report of every commit by record and field name;
3. a close on SHFE of lots held partly from earlier days and partly from
   today, sent as two orders (close yesterday, then close today);
4. a resting order well below the market, then its cancellation;
5. a dropped connection and the session resynchronising to the same books,
   with the records the user holds still the same objects;
6. quotes decoded into `Quote`, bars merged into a K-line `Serial`, and a
   candlestick chart of the series saved as a PNG (when matplotlib is there).

`wait_update` below stands for the package's user-facing layer: it waits for
the session's `changed` event and commits the private state into the
read-only records the user holds.

Run it with ./demo.sh, or after installing the package:

    python examples/demo.py [--short] [--chart FILE]

--short (or TORVO_DEMO_SHORT=1) skips the pauses that only make the run
pleasant to watch; the login snapshot's query pacing (about 6 s) remains.
"""

from __future__ import annotations

import argparse
import asyncio
import math
import os
import sys
import tempfile
import textwrap
import time
import unicodedata
from datetime import datetime

from torvo import _relay, data, trading
from torvo.ledger import CtpAccount, Order, Position, Trade
from torvo.sim import Simulator

SYMBOL = "SHFE.rb2610"
QUOTED = ("SHFE.rb2610", "SHFE.cu2608", "INE.sc2609", "DCE.m2609", "CZCE.SR609", "CFFEX.IF2609")
SHORT = False


# -- output ---------------------------------------------------------------------

def _width(text: str) -> int:
    """Columns a text takes in a terminal (CJK characters take two)."""
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def _pad(text: str, width: int, right: bool) -> str:
    gap = " " * (width - _width(text))
    return gap + text if right else text + gap


def _decimals(value: float) -> int:
    text = f"{value:.4f}".rstrip("0")
    return len(text) - text.index(".") - 1


def _cell(value, decimals: int = 0, grouped: bool = False) -> str:
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, float):
        if math.isnan(value):
            return "-"
        return f"{value:,.{decimals}f}" if grouped else f"{value:.{decimals}f}"
    return str(value)


def table(headers, rows, *, indent: str = "  ", money: bool = False) -> None:
    """Prints rows as aligned columns; numbers align right, floats of a column
    with the same decimals (thousands grouped with `money`).  A cell may hold
    several lines (separated by newlines)."""
    columns = range(len(headers))
    decimals = [max([_decimals(row[i]) for row in rows
                     if isinstance(row[i], float) and math.isfinite(row[i])], default=0)
                for i in columns]
    cells = [[_cell(v, decimals[i], money).split("\n") for i, v in enumerate(row)]
             for row in rows]
    numeric = [any(row[i] is not None for row in rows)
               and all(isinstance(row[i], (int, float)) and not isinstance(row[i], bool)
                       for row in rows if row[i] is not None)
               for i in columns]
    widths = [max([_width(h)] + [_width(line) for row in cells for line in row[i]])
              for i, h in enumerate(headers)]
    print(indent + "  ".join(_pad(h, w, r) for h, w, r in zip(headers, widths, numeric)).rstrip())
    print(indent + "  ".join("-" * w for w in widths))
    for row in cells:
        for k in range(max(len(c) for c in row)):
            parts = [c[k] if k < len(c) else "" for c in row]
            print(indent + "  ".join(_pad(p, w, r) for p, w, r in zip(parts, widths, numeric)).rstrip())


def heading(number: int, title: str) -> None:
    print(f"\n{number}. {title}")
    print("   " + "=" * _width(title))


def clock(ms: int | None) -> str:
    if not ms:
        return "-"
    return datetime.fromtimestamp(ms / 1000, trading.TZ).strftime("%H:%M:%S")


async def pause(seconds: float) -> None:
    """A pause for the reader; none in short mode."""
    if not SHORT:
        await asyncio.sleep(seconds)


# -- the user-facing layer --------------------------------------------------------

async def wait_update(session: trading.Trading, changes: dict, timeout: float = 10.0) -> bool:
    """Waits for the session to change, then commits its private state into
    the user's records; `changes` receives the change report."""
    await asyncio.wait_for(session.changed.wait(), timeout)
    return session.commit(changes)


def record_name(session: trading.Trading, obj) -> str:
    if obj is session.account:
        return "Account"
    if obj is session.positions:
        return "positions"
    if obj is session.orders:
        return "orders"
    if obj is session.trades:
        return "trades"
    if isinstance(obj, Order):
        return f"Order {obj.order_id}"
    if isinstance(obj, Position):
        return f"Position {obj.symbol}"
    if isinstance(obj, Trade):
        return f"Trade {obj.trade_id}"
    return type(obj).__name__


def report(session: trading.Trading, changes: dict, number: int) -> None:
    """The change report of one commit by record and field names: the
    identity numbers are mapped back through the session's `objects`."""
    rows = []
    for key, fields in changes.items():
        if not fields:
            continue
        obj = session.objects.get(key)
        name = record_name(session, obj) if obj is not None else f"(unregistered id {key})"
        ordered = sorted(fields, key=lambda f: (f != "__members__", f))
        rows.append((name, "\n".join(textwrap.wrap(", ".join(ordered), 72))))
    if rows:
        print(f"  commit {number}: status {session.published_status}")
        table(["record", "changed fields"], rows, indent="    ")
    else:
        print(f"  commit {number}: status {session.published_status}, no field changed")


class Commits:
    """Runs `wait_update` until a condition holds, printing each report."""

    def __init__(self, session: trading.Trading):
        self.session = session
        self.count = 0

    async def until(self, condition, what: str, timeout: float = 15.0) -> None:
        deadline = time.monotonic() + timeout
        while True:
            changes: dict[int, set[str]] = {}
            try:
                committed = await wait_update(self.session, changes,
                                              max(0.01, deadline - time.monotonic()))
            except asyncio.TimeoutError:
                raise SystemExit(f"demo: timed out waiting for {what}") from None
            if committed:
                self.count += 1
                report(self.session, changes, self.count)
            if condition():
                return


# -- the parts of the tour -----------------------------------------------------------

def submitted(results) -> list[str]:
    """The order ids of insert or cancel results, all of which must have been
    handed to the front."""
    for r in results:
        print(f"  -> {r.status} {r.order_id or ''}{'  ' + r.message if r.message else ''}")
    if not results or any(r.status != "SUBMITTED" or r.order_id is None for r in results):
        raise SystemExit("demo: the request was not submitted")
    return [r.order_id for r in results]


def account_table(session: trading.Trading) -> None:
    a = session.account
    table(["account", "trading day", "balance", "available", "margin", "commission",
           "close profit"],
          [(a.account_id, a.trading_day, a.balance, a.available, a.margin, a.commission,
            a.close_profit)], money=True)


def positions_table(session: trading.Trading) -> None:
    table(["position", "long", "long today", "free long", "short", "short today", "free short"],
          [(p.symbol, p.pos_long, p.pos_long_today, p.available_long, p.pos_short,
            p.pos_short_today, p.available_short) for p in session.positions.values()])


def orders_table(session: trading.Trading, order_ids) -> None:
    rows = []
    for oid in order_ids:
        o = session.orders.get(oid)
        if o is not None:
            rows.append((o.order_id, o.symbol, o.direction, o.offset, o.limit_price,
                         o.volume_original, o.volume_traded, o.volume_left, o.status,
                         o.status_msg))
    table(["order", "symbol", "side", "offset", "price", "lots", "traded", "left", "status",
           "message"], rows)


async def watch_login(session: trading.Trading, started: float, limit: float = 30.0) -> None:
    """Prints the login phases and snapshot steps as the session takes them,
    until it is READY (at most `limit` seconds after `started`)."""
    seen = None
    while True:
        phase, status = session.phase, session.session_status
        if phase == "sync":
            done = session.sync_index
            kind = session.inflight["kind"] if session.inflight else None
            if kind is not None:
                step = f"querying {kind} ({trading.QUERY_LABELS[kind]})"
            else:
                step = f"{done}/{len(trading.SYNC_STEPS)} snapshots taken"
        else:
            step = trading.PHASE_LABELS.get(phase, "")
        now = (phase, status, step)
        if now != seen:
            seen = now
            print(f"  {time.monotonic() - started:6.2f} s  phase {phase:<13} status {status:<12} "
                  f"{step}".rstrip())
        if status == "ERROR":
            raise SystemExit(f"demo: the session failed: {session.error}")
        if status == "READY" and phase == "ready":
            return
        if time.monotonic() - started > limit:
            raise SystemExit(f"demo: the session was not READY within {limit:g} s")
        await asyncio.sleep(0.005)


async def login(session: trading.Trading, commits: Commits) -> None:
    heading(1, "Login: connect, authenticate, log in, confirm, six snapshot queries")
    started = time.monotonic()
    session.start()
    await watch_login(session, started)
    print(f"  READY after {time.monotonic() - started:.1f} s (the session spaces its snapshot "
          f"queries a second apart)")
    await commits.until(lambda: session.published_status == "READY", "the ready commit")
    print()
    account_table(session)
    print()
    positions_table(session)
    print()
    rows = [(symbol, {"1": "future", "2": "option"}.get(i["ProductClass"], i["ProductClass"]),
             i["PriceTick"], i["MinLimitOrderVolume"], i["MaxLimitOrderVolume"],
             bool(i["IsTrading"])) for symbol, i in list(session.instruments.items())[:6]]
    table(["instrument", "class", "tick", "min lots", "max lots", "trading"], rows)
    print(f"  ({len(session.instruments)} instruments in all)")


async def buy(session: trading.Trading, sim: Simulator, commits: Commits) -> str:
    heading(2, f"A buy that crosses the market: {SYMBOL} BUY OPEN 2 at the best ask")
    ask = sim.market_message(SYMBOL)["a"][0][0]
    funds = session.account.updated_at
    print(f"  session.insert(\"{SYMBOL}\", \"BUY\", \"OPEN\", 2, {ask:g}), the best ask:")
    [order] = submitted(await session.insert(SYMBOL, "BUY", "OPEN", 2, ask))
    # The fill, and the funds the session queries again after it.
    await commits.until(lambda: order in session.orders and session.orders[order].status == "FILLED"
                        and session.account.updated_at != funds, "the fill")
    print()
    orders_table(session, [order])
    print()
    positions_table(session)
    print()
    account_table(session)
    return order


async def close(session: trading.Trading, sim: Simulator, commits: Commits) -> list[str]:
    held = session.positions[SYMBOL]
    long, today = held.pos_long or 0, held.pos_long_today or 0
    lots = long - today + 1
    heading(3, f"A close on SHFE: SELL CLOSE {lots} of {long} long lots "
               f"({long - today} from earlier days, {today} from today)")
    bid = sim.market_message(SYMBOL)["b"][0][0]
    funds = session.account.updated_at
    print(f"  session.insert(\"{SYMBOL}\", \"SELL\", \"CLOSE\", {lots}, {bid:g}), the best bid:")
    ids = submitted(await session.insert(SYMBOL, "SELL", "CLOSE", lots, bid))
    print(f"  one call, {len(ids)} exchange orders: SHFE closes earlier and today's lots "
          f"apart")
    await commits.until(lambda: all(i in session.orders and session.orders[i].status == "FILLED"
                                    for i in ids) and session.account.updated_at != funds,
                        "the close")
    print()
    orders_table(session, ids)
    print()
    positions_table(session)
    print()
    account_table(session)
    return ids


async def rest_and_cancel(session: trading.Trading, sim: Simulator, commits: Commits) -> str:
    tick = session.instruments[SYMBOL]["PriceTick"]
    bid = sim.market_message(SYMBOL)["b"][0][0]
    price = bid - 50 * tick
    heading(4, f"A resting order: BUY OPEN 1 at {price:g}, 50 ticks below the best bid; "
               f"then its cancellation")
    print(f"  session.insert(\"{SYMBOL}\", \"BUY\", \"OPEN\", 1, {price:g}):")
    [order] = submitted(await session.insert(SYMBOL, "BUY", "OPEN", 1, price))
    # Cancellable once the exchange has numbered it: the front's returns
    # arrive one by one, the exchange's number in the second.
    await commits.until(lambda: order in session.orders and session.orders[order].status == "ALIVE"
                        and bool(session.orders[order].order_sys_id), "the resting order")
    last = sim.market_message(SYMBOL)["c"]
    sim.set_price(SYMBOL, last - 5 * tick, size=20)
    print(f"  the market falls 5 ticks to {last - 5 * tick:g}: the best ask "
          f"{sim.market_message(SYMBOL)['a'][0][0]:g} is still above the order, which rests")
    orders_table(session, [order])
    await pause(0.8)
    print(f"  session.cancel(\"{order}\"):")
    submitted(session.cancel(order))
    await commits.until(lambda: session.orders[order].status == "CANCELLED", "the cancellation")
    print()
    orders_table(session, [order])
    return order


def compare_books(session: trading.Trading, sim: Simulator, user_id: str) -> bool:
    """The user's committed records against the front's own book."""
    book = sim.book(user_id)
    rows = []
    orders_ok = set(session.orders) == set(book["orders"]) and all(
        (o.status, o.volume_original, o.volume_traded, o.offset)
        == (f["status"], f["volume_original"], f["volume_traded"], f["offset"])
        for oid, f in book["orders"].items() for o in [session.orders[oid]])
    rows.append(("orders", len(session.orders), len(book["orders"]), orders_ok))
    mine = {(t.symbol.split(".")[0], t.trade_id, t.direction): (t.volume, t.price) for t in session.trades}
    front = {tid: (t["volume"], t["price"]) for tid, t in book["trades"].items()}
    rows.append(("trades", len(mine), len(front), mine == front))
    keys = ("pos_long", "pos_long_today", "pos_short", "pos_short_today")
    positions_ok = all(getattr(session.positions[symbol], k) == p[k]
                       for symbol, p in book["positions"].items() for k in keys
                       if symbol in session.positions) and set(book["positions"]) <= set(
        session.positions)
    rows.append(("positions", len(session.positions), len(book["positions"]), positions_ok))
    table(["book", "session", "front", "equal"], rows)
    return orders_ok and mine == front and positions_ok


async def drop_and_resync(session: trading.Trading, sim: Simulator, commits: Commits) -> None:
    heading(5, "A dropped connection: the front cuts the line, the session logs in again")
    held_orders = dict(session.orders.items())
    held_trades = list(session.trades)
    held_position = session.position_view(SYMBOL)
    held_account = session.account
    started = time.monotonic()
    before = session.last_failure
    sim.drop()
    print("  sim.drop(): every connection closed by the front")
    deadline = started + 10
    while session.session_status == "READY" and session.phase == "ready":
        if time.monotonic() > deadline:
            raise SystemExit("demo: the session did not notice the dropped connection")
        await asyncio.sleep(0.005)
    # Why: the session keeps the exception of its latest reconnection.
    while session.last_failure is before:
        await asyncio.sleep(0.005)
    error, at = session.last_failure
    print(f"  the reason (session.last_failure): {type(error).__name__}: {error}, at "
          f"{datetime.fromtimestamp(at / 1000, trading.TZ):%H:%M:%S.%f}"[:-3])
    # What the user layer publishes meanwhile: the status only; every record
    # keeps the data of the last ready commit.
    await commits.until(lambda: True, "the status commit")
    await watch_login(session, started)
    print(f"  READY again after {time.monotonic() - started:.1f} s")
    await commits.until(lambda: session.published_status == "READY", "the ready commit")
    print()
    equal = compare_books(session, sim, Simulator.DEMO_ACCOUNT["user_id"])
    same = (all(session.orders.get(oid) is o for oid, o in held_orders.items())
            and len(session.trades) == len(held_trades)
            and all(a is b for a, b in zip(session.trades, held_trades))
            and session.position_view(SYMBOL) is held_position and session.account is held_account)
    print(f"  resynchronised: books {'equal' if equal else 'DIFFERENT from'} the front's "
          f"(sim.book); the user's records are {'the same objects' if same else 'NEW objects'} "
          f"({len(held_orders)} orders, {len(held_trades)} trades, the position, the account)")
    if not (equal and same):
        raise SystemExit("demo: the session did not resynchronise to the front's books")


def quote_tables(sim: Simulator) -> None:
    rows = []
    for symbol in QUOTED:
        q = data.Quote(symbol, **data.decode(sim.market_message(symbol), symbol, quote=True))
        rows.append((q.symbol, q.last_price, q.bids[0][0] if q.bids else None,
                     q.asks[0][0] if q.asks else None, q.lower_limit, q.upper_limit,
                     q.pre_settlement, int(q.volume), clock(q.timestamp)))
    table(["quote", "last", "bid", "ask", "lower limit", "upper limit", "pre settle", "volume",
           "time"], rows)
    q = data.Quote(SYMBOL, **data.decode(sim.market_message(SYMBOL), SYMBOL, quote=True))
    print(f"\n  {SYMBOL} book, five levels a side:")
    depth = max(len(q.bids), len(q.asks))
    table(["bid lots", "bid", "ask", "ask lots"],
          [(q.bids[i][1] if i < len(q.bids) else None, q.bids[i][0] if i < len(q.bids) else None,
            q.asks[i][0] if i < len(q.asks) else None, q.asks[i][1] if i < len(q.asks) else None)
           for i in range(depth)])
    try:
        q.last_price = 0.0      # a Quote is a snapshot: its fields are read-only
    except AttributeError as error:
        print(f"  a Quote is a snapshot; writing a field raises AttributeError: {error}")


async def market_data(sim: Simulator, chart: str) -> None:
    heading(6, "Market data: quotes decoded into Quote, bars merged into a Serial")
    quote_tables(sim)
    period, length = "1m", 8
    serial = data.Serial(SYMBOL, period, length)
    print(f"\n  Serial({SYMBOL!r}, {period!r}, {length}), fed the current {period} bar after "
          f"every few random-walk steps (sim.step):")
    rows, revisions = [], []
    for feed in range(1, 9):
        steps = 4 if feed > 1 else 0
        if steps:
            sim.step(steps)
        bar = data.decode(sim.bar_message(SYMBOL, period), SYMBOL)
        changed = serial.update([bar])
        newest = serial.frame.iloc[-1]
        revisions.append((newest["open"], newest["high"], newest["low"], newest["close"]))
        rows.append((feed, steps, clock(bar["timestamp"]), bar["open"], bar["high"], bar["low"],
                     bar["close"], int(bar["volume"]),
                     ", ".join(c for c in data.BAR_COLUMNS if c in changed) or "-"))
        await pause(0.3)
    table(["feed", "steps", "bar", "open", "high", "low", "close", "volume",
           "changed columns of the last row"], rows)
    frame = serial.frame
    kept = frame[frame["timestamp"] > 0]
    print(f"\n  serial.frame: {len(frame)} rows, {len(kept)} with a bar (empty rows first, "
          f"the newest bar last)")
    if len(kept) == 1:
        print(f"  bars follow the clock: every feed above fell in one {period} bar and "
              f"revised it in place")
    table(["row", "bar", "trading day", "open", "high", "low", "close", "volume"],
          [(row, clock(int(r.timestamp)), r.trading_day, r.open, r.high, r.low, r.close,
            int(r.volume)) for row, r in zip(range(length - len(kept), length),
                                               kept.itertuples())])
    draw_chart(serial, revisions, chart)


def _candles(ax, bars, labels) -> None:
    """(open, high, low, close) candles drawn with a line and a rectangle
    each: red when the close is at or above the open, green below."""
    from matplotlib.patches import Rectangle

    for x, (o, h, low, c) in enumerate(bars):
        colour = "#d62728" if c >= o else "#2ca02c"
        ax.vlines(x, low, h, color=colour, linewidth=1.2)
        ax.add_patch(Rectangle((x - 0.3, min(o, c)), 0.6, max(abs(c - o), 0.15),
                               facecolor=colour, edgecolor=colour))
    ax.set_xlim(-0.8, len(bars) - 0.2)
    ax.set_xticks(range(len(bars)), labels)
    if bars:
        low, high = min(b[2] for b in bars), max(b[1] for b in bars)
        margin = max((high - low) * 0.1, 1.0)
        ax.set_ylim(low - margin, high + margin)
    ax.grid(axis="y", alpha=0.3)


def draw_chart(serial: data.Serial, revisions: list[tuple], target: str) -> None:
    """The series' candles, and the newest bar as each feed left it."""
    try:
        import matplotlib
    except ImportError:
        print("\n  matplotlib is not installed: the candlestick chart is skipped "
              "(./demo.sh installs it into .venv)")
        return
    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    kept = serial.frame[serial.frame["timestamp"] > 0]
    fig, (series, feeds) = plt.subplots(1, 2, figsize=(10, 4.5), sharey=True,
                                        gridspec_kw={"width_ratios": [2, 3]})
    _candles(series, list(kept[["open", "high", "low", "close"]].itertuples(index=False)),
             [clock(int(t))[:5] for t in kept["timestamp"]])
    series.set_title(f"{serial.symbol} {serial.period}: the Serial "
                     f"({len(kept)} of {serial.length} rows)")
    series.set_ylabel("price")
    _candles(feeds, revisions, [str(n) for n in range(1, len(revisions) + 1)])
    feeds.set_title("the newest bar after each feed")
    feeds.set_xlabel("feed")
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(target)), exist_ok=True)
    fig.savefig(target, dpi=100)
    plt.close(fig)
    print(f"\n  candlestick chart saved to {target}")


# -- the tour -------------------------------------------------------------------------

async def tour(sim: Simulator, chart: str) -> None:
    objects: dict[int, object] = {}
    account = CtpAccount(**dict(Simulator.DEMO_ACCOUNT, front_url=sim.url))
    print(f"simulated front at {sim.url}, trading day {sim.trading_day}; "
          f"trader library {_relay.version()}")
    print(f"account {account.user_id} of broker {account.broker_id}")
    session = trading.Trading(account, 10, objects)
    commits = Commits(session)
    try:
        await login(session, commits)
        await pause(0.8)
        await buy(session, sim, commits)
        await pause(0.8)
        await close(session, sim, commits)
        await pause(0.8)
        await rest_and_cancel(session, sim, commits)
        await pause(0.8)
        await drop_and_resync(session, sim, commits)
        await pause(0.8)
        await market_data(sim, chart)
    finally:
        await session.close()
    print(f"\nsession closed; {len(objects)} records registered in `objects` "
          f"(account, positions, orders, trades and their records)")


def main(argv: list[str] | None = None) -> None:
    global SHORT
    parser = argparse.ArgumentParser(description="A tour of torvo against the simulated front.")
    parser.add_argument("--short", action="store_true",
                        help="no pauses for the reader (also TORVO_DEMO_SHORT=1)")
    parser.add_argument("--chart", default=os.path.join(tempfile.gettempdir(),
                                                        "torvo-demo-candles.png"),
                        help="where to save the candlestick chart (PNG)")
    parser.add_argument("--seed", type=int, default=7, help="seed of the simulated market")
    args = parser.parse_args(argv)
    SHORT = args.short or os.environ.get("TORVO_DEMO_SHORT", "") not in ("", "0")
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(line_buffering=True, errors="replace")
    with Simulator(seed=args.seed) as sim:
        sim.hold()                             # a still market: only the demo moves it
        sim.set_price(SYMBOL, 3500, size=20)   # twenty lots on every level of the book
        asyncio.run(tour(sim, args.chart))


if __name__ == "__main__":
    main()
