"""The simulated world: instruments, accounts and market settings.

`load_world` takes a JSON file, a JSON text or a dict of the structure
described in the package docstring, fills the defaults and checks every
value; `DEFAULT_WORLD` is the built-in demo world in the same structure.
"""

from __future__ import annotations

import copy
import datetime
import json
import math
import os
import re
from dataclasses import dataclass, field
from typing import NoReturn

__all__ = ["DEFAULT_WORLD", "World", "InstrumentInfo", "AccountInfo", "load_world", "TZ"]

TZ = datetime.timezone(datetime.timedelta(hours=8))

EXCHANGES = ("SHFE", "INE", "DCE", "CZCE", "CFFEX")

# Exchanges that keep today's and earlier positions apart: a plain close
# there closes earlier lots only, and position rows come in two parts.
SPLIT_EXCHANGES = ("SHFE", "INE")

# The market keeps prices as whole numbers of ticks; a world's prices stay
# within this many ticks of zero.
MAX_TICKS = 10**12


def _demo_instrument(symbol, name, tick, multiple, margin, commission, pre, **extra):
    info = {"symbol": symbol, "name": name, "price_tick": tick, "volume_multiple": multiple,
            "margin_ratio": margin, "commission": commission, "pre_settlement": pre}
    info.update(extra)
    return info


DEFAULT_WORLD: dict = {
    "trading_day": None,
    "front_id": 1,
    "query_rate": 1,
    "market": {"interval": 0.3, "sizes": [1, 30]},
    "instruments": [
        _demo_instrument("SHFE.rb2610", "螺纹钢2610", 1.0, 10, 0.10, 1.5, 3500.0,
                         open_interest=1523400),
        _demo_instrument("SHFE.cu2608", "沪铜2608", 10.0, 5, 0.12, 9.0, 78000.0,
                         max_volume=200, open_interest=186000),
        _demo_instrument("SHFE.wr2610", "线材2610", 1.0, 10, 0.10, 1.5, 3900.0,
                         is_trading=False),
        _demo_instrument("INE.sc2609", "原油2609", 0.1, 1000, 0.15, 20.0, 520.0,
                         max_volume=100, open_interest=42000),
        _demo_instrument("DCE.m2609", "豆粕2609", 1.0, 10, 0.10, 1.5, 2950.0,
                         open_interest=1980000),
        _demo_instrument("DCE.m2609-C-3000", "豆粕2609购3000", 0.5, 10, 0.15, 1.0, 85.0,
                         product_class="2", limit_ratio=0.5, max_volume=100,
                         open_interest=56000),
        _demo_instrument("CZCE.SR609", "白糖609", 1.0, 10, 0.08, 3.0, 5800.0,
                         open_interest=420000),
        _demo_instrument("CZCE.TA609", "PTA609", 2.0, 5, 0.08, 3.0, 5000.0,
                         open_interest=1250000),
        _demo_instrument("CFFEX.IF2609", "沪深300指数2609", 0.2, 300, 0.12, 23.0, 3900.0,
                         limit_ratio=0.1, max_volume=20, open_interest=165000),
    ],
    "accounts": [
        {
            "broker_id": "9999",
            "user_id": "demo",
            "password": "demo-pass",
            "app_id": "torvo_sim_1.0",
            "auth_code": "0000000000000000",
            "balance": 1000000.0,
            "max_order_ref": 0,
            "positions": [
                {"symbol": "SHFE.rb2610", "long": 5},
                {"symbol": "DCE.m2609", "short": 3},
            ],
        },
    ],
}


@dataclass
class InstrumentInfo:
    symbol: str
    exchange: str
    instrument_id: str
    name: str
    product_class: str
    price_tick: float
    volume_multiple: int
    margin_ratio: float
    commission: float
    pre_settlement: float
    limit_ratio: float
    price: float
    pre_close: float
    min_volume: int
    max_volume: int
    is_trading: bool
    open_interest: int


@dataclass
class AccountInfo:
    broker_id: str
    user_id: str
    password: str
    app_id: str
    auth_code: str
    balance: float
    max_order_ref: int
    positions: list = field(default_factory=list)   # (symbol, long lots, short lots)


@dataclass
class World:
    trading_day: str
    front_id: int
    query_rate: int
    interval: float
    sizes: tuple
    instruments: dict      # symbol -> InstrumentInfo, in file order
    accounts: dict         # user id -> AccountInfo
    self_trade: bool = False   # an account's own crossing orders match each other


def default_trading_day(now: datetime.datetime | None = None) -> str:
    """Today's date in UTC+8, a Saturday or Sunday moved on to Monday."""
    day = (now or datetime.datetime.now(TZ)).astimezone(TZ).date()
    while day.weekday() >= 5:
        day += datetime.timedelta(days=1)
    return day.strftime("%Y%m%d")


class _Checker:
    def __init__(self, where: str, info: dict, allowed: set):
        if not isinstance(info, dict):
            raise ValueError(f"world: {where} must be an object")
        unknown = sorted(set(info) - allowed)
        if unknown:
            raise ValueError(f"world: {where}: unknown key {unknown[0]!r}")
        self.where, self.info = where, info

    def fail(self, key: str, what: str) -> NoReturn:
        raise ValueError(f"world: {self.where}: {key} must be {what}")

    def text(self, key, default=..., *, limit=None, pattern=None):
        value = self.info.get(key, default)
        if value is ...:
            self.fail(key, "given")
        if not isinstance(value, str) or not value or "\0" in value:
            self.fail(key, "a non-empty text")
        try:
            size = len(value.encode("gb18030"))
        except UnicodeEncodeError:
            self.fail(key, "a text the wire can carry (GB18030)")
        if limit is not None and size > limit:
            self.fail(key, f"at most {limit} bytes")
        if pattern is not None and not re.fullmatch(pattern, value):
            self.fail(key, f"of the form {pattern}")
        return value

    def number(self, key, default=..., *, low=None, positive=False, high=None):
        value = self.info.get(key, default)
        if value is ...:
            self.fail(key, "given")
        if isinstance(value, bool) or not isinstance(value, (int, float)) \
                or not math.isfinite(value):
            self.fail(key, "a number")
        if positive and value <= 0:
            self.fail(key, "a positive number")
        if low is not None and value < low:
            self.fail(key, f"at least {low}")
        if high is not None and value > high:
            self.fail(key, f"at most {high}")
        return float(value)

    def on_tick(self, key, value: float, tick: float) -> None:
        ticks = value / tick
        if not 1 - 1e-6 <= ticks <= MAX_TICKS:
            self.fail(key, f"from 1 to {MAX_TICKS} price ticks")
        if abs(ticks - round(ticks)) > 1e-6:
            self.fail(key, "on the price tick")

    def integer(self, key, default=..., *, low=0, high=2**31 - 1):
        value = self.info.get(key, default)
        if value is ...:
            self.fail(key, "given")
        if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
            self.fail(key, f"an integer from {low} to {high}")
        return value

    def flag(self, key, default):
        value = self.info.get(key, default)
        if not isinstance(value, bool):
            self.fail(key, "true or false")
        return value


def _instrument(info) -> InstrumentInfo:
    where = f"instrument {info.get('symbol')!r}" if isinstance(info, dict) else "instrument"
    c = _Checker(where, info, {"symbol", "name", "product_class", "price_tick", "volume_multiple",
                               "margin_ratio", "commission", "pre_settlement", "limit_ratio",
                               "price", "pre_close", "min_volume", "max_volume", "is_trading",
                               "open_interest"})
    symbol = c.text("symbol", pattern=r"[A-Z]+\.[A-Za-z0-9\-]+")
    exchange, instrument_id = symbol.split(".", 1)
    if exchange not in EXCHANGES:
        c.fail("symbol", "on one of " + ", ".join(EXCHANGES))
    if len(instrument_id) > 30:
        c.fail("symbol", "an instrument code of at most 30 characters")
    tick = c.number("price_tick", positive=True)
    pre = c.number("pre_settlement", positive=True)
    c.on_tick("pre_settlement", pre, tick)
    price = c.number("price", pre, positive=True)
    c.on_tick("price", price, tick)
    pre_close = c.number("pre_close", pre, positive=True)
    if not 0.5 <= pre_close / tick <= MAX_TICKS:
        c.fail("pre_close", f"from 1 to {MAX_TICKS} price ticks")
    min_volume = c.integer("min_volume", 1, low=1)
    max_volume = c.integer("max_volume", 1000, low=min_volume)
    product_class = info.get("product_class", "1")
    if product_class not in ("1", "2"):
        c.fail("product_class", '"1" (future) or "2" (option)')
    return InstrumentInfo(
        symbol=symbol, exchange=exchange, instrument_id=instrument_id,
        name=c.text("name", instrument_id, limit=20), product_class=product_class,
        price_tick=tick, volume_multiple=c.integer("volume_multiple", low=1),
        margin_ratio=c.number("margin_ratio", 0.1, positive=True),
        commission=c.number("commission", 0.0, low=0.0), pre_settlement=pre,
        limit_ratio=c.number("limit_ratio", 0.05, positive=True, high=1.0), price=price,
        pre_close=pre_close, min_volume=min_volume,
        max_volume=max_volume, is_trading=c.flag("is_trading", True),
        open_interest=c.integer("open_interest", 0))


def _account(info, instruments) -> AccountInfo:
    where = f"account {info.get('user_id')!r}" if isinstance(info, dict) else "account"
    c = _Checker(where, info, {"broker_id", "user_id", "password", "app_id", "auth_code",
                               "balance", "max_order_ref", "positions"})
    account = AccountInfo(
        broker_id=c.text("broker_id", limit=10), user_id=c.text("user_id", limit=12),
        password=c.text("password", limit=40), app_id=c.text("app_id", limit=32),
        auth_code=c.text("auth_code", limit=16),
        balance=c.number("balance", 1000000.0, low=0.0),
        max_order_ref=c.integer("max_order_ref", 0))
    positions = info.get("positions", [])
    if not isinstance(positions, list):
        c.fail("positions", "a list")
    seen = set()
    for item in positions:
        p = _Checker(f"{where}: position", item, {"symbol", "long", "short"})
        symbol = p.text("symbol")
        if symbol not in instruments:
            p.fail("symbol", "a symbol of the world's instruments")
        if symbol in seen:
            p.fail("symbol", "listed once")
        seen.add(symbol)
        account.positions.append((symbol, p.integer("long", 0), p.integer("short", 0)))
    return account


def load_world(source=None) -> World:
    """The world of a JSON file path, a JSON text or a dict (None: the demo
    world).  Raises ValueError naming the first bad entry."""
    try:
        if source is None:
            info = copy.deepcopy(DEFAULT_WORLD)
        elif isinstance(source, dict):
            info = copy.deepcopy(source)
        elif isinstance(source, (str, os.PathLike)):
            text = str(source)
            if isinstance(source, str) and text.lstrip().startswith("{"):
                info = json.loads(text)
            else:
                with open(source, encoding="utf-8") as f:
                    info = json.load(f)
        else:
            raise TypeError("world must be None, a dict, a JSON text or a file path")
    except RecursionError:
        raise ValueError("world: nested too deeply") from None
    c = _Checker("top level", info, {"trading_day", "front_id", "query_rate", "market",
                                      "self_trade", "instruments", "accounts"})
    day = info.get("trading_day")
    day = default_trading_day() if day is None else c.text("trading_day", pattern=r"[0-9]{8}")
    market = info.get("market", {})
    m = _Checker("market", market, {"interval", "sizes", "self_trade"})
    self_trade = False
    for checker, where in ((c, info), (m, market)):
        if "self_trade" in where:
            if type(where["self_trade"]) is not bool:
                checker.fail("self_trade", "true or false")
            self_trade = self_trade or where["self_trade"]
    sizes = market.get("sizes", [1, 30])
    if (not isinstance(sizes, list) or len(sizes) != 2
            or not all(type(v) is int for v in sizes) or not 1 <= sizes[0] <= sizes[1]):
        m.fail("sizes", "two integers [low, high] with 1 <= low <= high")
    instruments: dict = {}
    raw = info.get("instruments")
    if not isinstance(raw, list) or not raw:
        c.fail("instruments", "a non-empty list")
    for item in raw:
        instrument = _instrument(item)
        if instrument.symbol in instruments:
            raise ValueError(f"world: instrument {instrument.symbol!r} listed twice")
        instruments[instrument.symbol] = instrument
    accounts: dict = {}
    raw = info.get("accounts")
    if not isinstance(raw, list) or not raw:
        c.fail("accounts", "a non-empty list")
    for item in raw:
        account = _account(item, instruments)
        if account.user_id in accounts:
            raise ValueError(f"world: account {account.user_id!r} listed twice")
        accounts[account.user_id] = account
    return World(trading_day=day, front_id=c.integer("front_id", 1, low=1),
                 query_rate=c.integer("query_rate", 1), interval=m.number("interval", 0.3, low=0.0),
                 sizes=tuple(sizes), instruments=instruments, accounts=accounts,
                 self_trade=self_trade)
