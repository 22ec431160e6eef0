"""The simulated market of one instrument: last price, a five-level book on
the tick grid inside the price limit band, day statistics and bars.

Prices are kept as whole numbers of ticks, so a random walk never leaves the
grid; `price` turns a tick count back into a price.
"""

from __future__ import annotations

import math
import random
import time

__all__ = ["Market", "PERIODS", "LEVELS"]

LEVELS = 5

# Bar periods in milliseconds; bars start on multiples of the period in UTC+8.
PERIODS = {"1m": 60_000, "5m": 300_000, "10m": 600_000, "15m": 900_000, "30m": 1_800_000,
           "1h": 3_600_000, "4h": 14_400_000, "1d": 86_400_000}
_UTC8 = 8 * 3_600_000


def _now_ms() -> int:
    return int(time.time() * 1000)


def _bar_start(ms: int, period_ms: int) -> int:
    return (ms + _UTC8) // period_ms * period_ms - _UTC8


class Market:
    def __init__(self, info, rng: random.Random, sizes: tuple[int, int]):
        self.info = info
        self.rng = rng
        self.sizes = sizes
        self.tick = info.price_tick
        self.digits = max(0, -math.floor(math.log10(self.tick)) + 2)
        # The world's prices are on the grid (checked when it was loaded).
        self.reset_day(round(info.pre_settlement / self.tick), round(info.pre_close / self.tick),
                       round(info.price / self.tick), info.open_interest)

    # -- the grid ----------------------------------------------------------

    def price(self, n: int) -> float:
        return round(n * self.tick, self.digits)

    def ticks(self, price: float) -> int | None:
        """The tick count of a price on the grid, or None when it is off it."""
        n = price / self.tick
        if not math.isfinite(n) or not math.isclose(n, round(n), rel_tol=0, abs_tol=1e-7):
            return None
        return round(n)

    # -- the day -------------------------------------------------------------

    def reset_day(self, pre_settlement: int, pre_close: int, last: int, open_interest: int):
        """Starts a trading day around a previous settlement (tick counts)."""
        ratio = self.info.limit_ratio
        self.pre_settlement = pre_settlement
        self.pre_close = pre_close
        # The band edges, rounded inwards onto the grid.
        self.upper = math.floor(pre_settlement * (1 + ratio) + 1e-9)
        self.lower = max(1, math.ceil(pre_settlement * (1 - ratio) - 1e-9))
        self.last = min(max(last, self.lower), self.upper)
        self.open = self.high = self.low = self.last
        self.volume = 0
        self.turnover = 0.0
        self.open_interest = open_interest
        self.updated = _now_ms()
        self.bars: dict[str, dict] = {}
        self._refresh_book()
        self._touch_bars(self.updated)

    # -- moves ---------------------------------------------------------------

    def _refresh_book(self, size: int | None = None):
        def level_size():
            return size if size is not None else self.rng.randint(*self.sizes)
        self.bids = [[self.last - i, level_size()] for i in range(1, LEVELS + 1)
                     if self.last - i >= self.lower]
        self.asks = [[self.last + i, level_size()] for i in range(1, LEVELS + 1)
                     if self.last + i <= self.upper]

    def step(self):
        """One random-walk step: the last price moves by at most one tick
        (staying one tick inside the band), some volume trades, the book is
        drawn again around the new price."""
        move = self.rng.choices((-1, 0, 1), weights=(3, 4, 3))[0]
        low, high = self.lower + 1, self.upper - 1
        if low <= high:
            self.last = min(max(self.last + move, low), high)
        traded = self.rng.randint(0, 12)
        self._traded(self.last, traded)
        self.open_interest = max(0, self.open_interest + self.rng.randint(-traded, traded))
        self._refresh_book()

    def set_price(self, n: int, size: int | None = None):
        """Moves the last price to tick count `n` (inside the band) and draws
        the book around it, every level of `size` lots when given."""
        if not self.lower <= n <= self.upper:
            raise ValueError(f"{self.info.symbol}: price {self.price(n)} outside the limit band "
                             f"{self.price(self.lower)} .. {self.price(self.upper)}")
        self.last = n
        self.high = max(self.high, n)
        self.low = min(self.low, n)
        self.updated = _now_ms()
        self._touch_bars(self.updated)
        self._refresh_book(size)

    def _traded(self, n: int, volume: int):
        self.last = n
        self.high = max(self.high, n)
        self.low = min(self.low, n)
        turnover = self.price(n) * volume * self.info.volume_multiple
        self.volume += volume
        self.turnover += turnover
        self.updated = _now_ms()
        self._touch_bars(self.updated, volume, turnover)

    def trade(self, n: int, volume: int):
        """A simulated fill: the last price and the day's volume follow it;
        the book keeps its levels."""
        self._traded(n, volume)

    def best(self, buy: bool):
        """The best opposite level [ticks, size] for a buy (the best ask) or a
        sell (the best bid), or None when that side is empty."""
        side = self.asks if buy else self.bids
        return side[0] if side else None

    def consume(self, buy: bool, volume: int):
        side = self.asks if buy else self.bids
        side[0][1] -= volume
        if side[0][1] <= 0:
            del side[0]

    # -- bars ----------------------------------------------------------------

    def _touch_bars(self, now: int, volume: int = 0, turnover: float = 0.0):
        """Brings every period's bar up to time `now` and the last price.  A
        bar that starts here opens at the last price, with the day's volume and
        turnover before this event (`volume`, `turnover`: the event's own) as
        its base, so the event counts in it.  A bar never goes back to an
        earlier period (a clock that steps back leaves the current bar on)."""
        for period, length in PERIODS.items():
            start = _bar_start(now, length)
            bar = self.bars.get(period)
            if bar is None or start > bar["t"]:
                self.bars[period] = {"t": start, "o": self.last, "h": self.last, "l": self.last,
                                     "c": self.last, "v0": self.volume - volume,
                                     "m0": self.turnover - turnover}
            else:
                bar["h"] = max(bar["h"], self.last)
                bar["l"] = min(bar["l"], self.last)
                bar["c"] = self.last

    # -- messages ------------------------------------------------------------

    def quote_message(self, trading_day: str) -> dict:
        p = self.price
        return {
            "s": self.info.symbol, "t": self.updated, "d": trading_day,
            "o": p(self.open), "h": p(self.high), "l": p(self.low), "c": p(self.last),
            "v": self.volume, "m": round(self.turnover, 2), "oi": self.open_interest,
            "ps": p(self.pre_settlement), "pc": p(self.pre_close),
            "up": p(self.upper), "dn": p(self.lower),
            "b": [[p(n), size] for n, size in self.bids],
            "a": [[p(n), size] for n, size in self.asks],
        }

    def bar_message(self, period: str, trading_day: str) -> dict:
        if period not in PERIODS:
            raise ValueError(f"unknown bar period {period!r}; one of {', '.join(PERIODS)}")
        # A bar of the current period, also when the market has not moved.
        self._touch_bars(max(self.updated, _now_ms()))
        bar = self.bars[period]
        p = self.price
        return {"s": self.info.symbol, "t": bar["t"], "d": trading_day,
                "o": p(bar["o"]), "h": p(bar["h"]), "l": p(bar["l"]), "c": p(bar["c"]),
                "v": self.volume - bar["v0"], "m": round(self.turnover - bar["m0"], 2),
                "oi": self.open_interest}
