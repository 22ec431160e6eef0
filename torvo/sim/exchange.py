"""The simulated front's books and matching: accounts, orders, trades,
positions and funds, and the rows and returns a front sends about them.

Everything here is synchronous and runs on the simulator's own thread.  The
exchange answers a requester through the `reply(name, data, error)` callable
it is given, and reports what it pushes to the sessions of an account through
`deliver(account, name, data, error)`.
"""

from __future__ import annotations

import datetime
import math
import random
from dataclasses import dataclass, field

from .market import Market
from .wire import Char
from .world import SPLIT_EXCHANGES, TZ, World

__all__ = ["Exchange", "Login", "ERRORS", "STATUS_WORDS"]

# Error codes and messages of the front; (0, "CTP:正确") accompanies success.
ERRORS = {
    "ok": (0, "CTP:正确"),
    "login_failed": (3, "CTP:不合法的登录"),
    "not_logged_in": (6, "CTP:还没有登录"),
    "bad_field": (15, "CTP:报单字段有误"),
    "no_instrument": (16, "CTP:找不到合约"),
    "duplicate_order": (22, "CTP:不允许重复报单"),
    "order_not_found": (25, "CTP:撤单找不到相应报单"),
    "order_finished": (26, "CTP:报单已全成交或已撤销，不能再撤"),
    "close_too_many": (30, "CTP:平仓量超过持仓量"),
    "no_money": (31, "CTP:资金不足"),
    "not_trading": (33, "CTP:合约当前不能交易"),
    "off_tick": (35, "CTP:报单价格不是最小变动价位的整数倍"),
    "out_of_band": (36, "CTP:报单价格超出涨跌停板"),
    "volume_range": (37, "CTP:报单数量超出合约限价单范围"),
    "not_confirmed": (42, "CTP:结算结果未确认"),
    "close_today_short": (50, "CTP:平今仓位不足"),
    "close_his_short": (51, "CTP:平昨仓位不足"),
    "auth_failed": (63, "CTP:客户端认证失败"),
    "not_authenticated": (64, "CTP:客户端未认证"),
    "query_busy": (90, "CTP:查询未就绪，请稍后重试"),
    "too_frequent": (154, "CTP:请求过于频繁，请稍后重试"),
}

# OrderStatus codes in the package's words ("a": not yet at the exchange).
STATUS_WORDS = {"a": "PENDING", "3": "ALIVE", "1": "ALIVE", "0": "FILLED",
                "5": "CANCELLED", "2": "CANCELLED", "4": "CANCELLED"}
OFFSET_WORDS = {"0": "OPEN", "1": "CLOSE", "3": "CLOSE_TODAY", "4": "CLOSE_YESTERDAY"}


# The request fields the insert and cancel paths read: text fields with the
# size of their buffer in bytes, char fields, and numbers.
_INSERT_TEXT = {"BrokerID": 11, "InvestorID": 13, "OrderRef": 13, "UserID": 16,
                "CombOffsetFlag": 5, "CombHedgeFlag": 5, "ExchangeID": 9, "InstrumentID": 81}
_INSERT_CHARS = ("OrderPriceType", "Direction", "TimeCondition", "VolumeCondition")
_CANCEL_TEXT = {"BrokerID": 11, "InvestorID": 13, "UserID": 16, "ExchangeID": 9,
                "OrderSysID": 21, "InstrumentID": 81}
_CANCEL_CHARS = ("ActionFlag",)
_QUERY_TEXT = ("BrokerID", "InvestorID", "ExchangeID", "OrderSysID", "InstrumentID", "CurrencyID")

# Order references run up to 12 digits; an account's highest one stays below
# this so that a session can always continue from it.
MAX_ORDER_REF = 999_999_999_999


def _sound(f: dict, texts: dict, chars: tuple) -> tuple[dict, bool]:
    """The fields with every text and char field of the wrong type or size
    replaced by an empty text, and whether all were sound."""
    out, sound = dict(f), True
    for key, size in texts.items():
        value = f.get(key, "")
        if not isinstance(value, str) or len(value.encode("gb18030", "replace")) > size:
            out[key], sound = "", False
    for key in chars:
        value = f.get(key, "")
        if not isinstance(value, str) or len(value) > 1 or value > "\xff":
            out[key], sound = "", False
    return out, sound


def order_ref_ok(ref: str) -> bool:
    """An order reference a session can continue from: digits (the wire's
    padding spaces around them allowed), at most 12 characters, below
    MAX_ORDER_REF."""
    digits = ref.strip(" ")
    return (len(ref) <= 12 and digits.isascii() and digits.isdigit()
            and int(digits) < MAX_ORDER_REF)


def _now():
    now = datetime.datetime.now(TZ)
    return now.strftime("%Y%m%d"), now.strftime("%H:%M:%S")


def _money(value: float) -> float:
    return round(value + 0.0, 2) + 0.0


@dataclass
class Leg:
    """One part (today's or earlier lots) of a position side."""
    lots: int = 0
    cost: float = 0.0       # sum of the entry prices of the lots held

    def take(self, lots: int) -> float:
        """Removes `lots` lots; returns their entry cost."""
        cost = self.cost * lots / self.lots
        self.lots -= lots
        self.cost = 0.0 if self.lots == 0 else self.cost - cost
        return cost


@dataclass
class Side:
    today: Leg = field(default_factory=Leg)
    his: Leg = field(default_factory=Leg)
    yd: int = 0             # earlier lots at the start of the day
    traded: bool = False    # traded today (its rows are reported even at 0 lots)


@dataclass
class Login:
    """One logged-in session of an account."""
    account: "Account"
    front: int
    session: int
    confirmed: bool = False


@dataclass
class Order:
    account: "Account"
    seq: int
    front: int
    session: int
    ref: str
    symbol: str
    direction: str          # "0" buy, "1" sell
    comb_offset: str
    comb_hedge: str
    price: float
    volume: int
    time_condition: str
    volume_condition: str
    insert_date: str
    insert_time: str
    price_n: int | None = None
    traded: int = 0
    status: str = "a"
    submit: str = "0"
    msg: str = ""
    sys_id: str = ""        # as sent, padded on the exchanges that pad it
    at_front_only: bool = False   # refused by the front: never at the exchange
    reserve_his: int = 0    # closing lots still reserved, earlier and today's
    reserve_today: int = 0

    @property
    def flag(self) -> str:
        return self.comb_offset[:1]

    @property
    def left(self) -> int:
        return self.volume - self.traded

    @property
    def alive(self) -> bool:
        return self.submit != "4" and self.status in ("a", "1", "3")

    @property
    def local_id(self) -> str:
        return f"{self.front}:{self.session}:{self.ref}"

    @property
    def buy(self) -> bool:
        return self.direction == "0"

    @property
    def side(self) -> str:
        """The position side the order opens or closes."""
        opens = self.flag == "0"
        return "long" if self.buy == opens else "short"


class Account:
    def __init__(self, info):
        self.info = info
        self.user_id = info.user_id
        self.pre_balance = info.balance
        self.deposit = 0.0
        self.withdraw = 0.0
        self.close_profit = 0.0
        self.commission = 0.0
        self.max_order_ref = info.max_order_ref
        self.sides: dict[tuple[str, str], Side] = {}
        self.orders: dict[str, Order] = {}          # by local id, in arrival order
        self.by_sys: dict[tuple[str, str], Order] = {}
        # by (ExchangeID, stripped TradeID, "BUY" or "SELL"): every exchange
        # numbers its own trades, and a self-trade is two trades of one number
        self.trades: dict[tuple[str, str, str], dict] = {}
        self.journal: list[tuple[str, dict, tuple | None]] = []

    def side(self, symbol: str, side: str) -> Side:
        key = (symbol, side)
        if key not in self.sides:
            self.sides[key] = Side()
        return self.sides[key]

    def new_day(self):
        self.close_profit = self.commission = self.deposit = self.withdraw = 0.0
        self.orders.clear()
        self.by_sys.clear()
        self.trades.clear()
        self.journal.clear()


class Exchange:
    def __init__(self, world: World, *, seed: int = 0, log=None):
        self.world = world
        self.day = world.trading_day
        self.rng = random.Random(seed)
        self.log = log or (lambda line: None)
        self.deliver = lambda account, name, data, error: None
        self.instruments = world.instruments
        self.markets = {symbol: Market(info, self.rng, world.sizes)
                        for symbol, info in world.instruments.items()}
        self.accounts = {user: Account(info) for user, info in world.accounts.items()}
        for account in self.accounts.values():
            for symbol, long_lots, short_lots in account.info.positions:
                pre = self.instruments[symbol].pre_settlement
                for name, lots in (("long", long_lots), ("short", short_lots)):
                    if lots:
                        side = account.side(symbol, name)
                        side.his = Leg(lots, pre * lots)
                        side.yd = lots
        self._seq = 0
        # Each exchange numbers its own orders and trades, from 1 every day.
        self._sys: dict[str, int] = {}
        self._trade_no: dict[str, int] = {}
        self._next_session = self.rng.randrange(100_000, 1_000_000)
        self._batch: list | None = None
        self.trades_first = 0       # fault: the next n trades go out before their order returns

    # -- pushes ----------------------------------------------------------------

    def _push(self, account: Account, name: str, data: dict, error=None):
        assert self._batch is not None, "pushes belong to an operation of _run"
        self._batch.append((account, name, data, error))

    def _run(self, action, *args, reply=None):
        """Runs one operation; hands its replies to `reply` (name, data,
        error), then sends what it pushed, in order, as a front answers a
        request before it pushes the returns the request caused."""
        self._batch = []
        try:
            replies = action(*args) or []
            if reply is not None:
                for name, data, error in replies:
                    reply(name, data, error)
        finally:
            batch, self._batch = self._batch, None
            for account, name, data, error in self._reorder(batch):
                account.journal.append((name, data, error))
                self.deliver(account, name, data, error)

    def _reorder(self, batch: list) -> list:
        """With the trade-first fault armed, moves the trades of an order before
        the first return of that order that carries its OrderSysID (the return
        that would let a session tie the trade to the order)."""
        if not self.trades_first:
            return batch
        out = list(batch)
        for index, item in enumerate(batch):
            if not self.trades_first:
                break
            if item[1] != "OnRtnTrade":
                continue
            number = (item[2]["ExchangeID"], item[2]["OrderSysID"])
            first = next((i for i, other in enumerate(out) if other[1] == "OnRtnOrder"
                          and (other[2]["ExchangeID"], other[2]["OrderSysID"]) == number), None)
            at = next(i for i, other in enumerate(out) if other is item)
            if first is not None and first < at:
                out.insert(first, out.pop(at))
                self.trades_first -= 1
                self.log(f"fault: trade {item[2]['TradeID'].strip()} pushed before its order return")
        return out

    # -- rows --------------------------------------------------------------------

    def order_row(self, o: Order) -> dict:
        info = self.instruments[o.symbol]
        account = o.account.info
        return {
            "BrokerID": account.broker_id, "InvestorID": account.user_id,
            "TradingDay": self.day, "ExchangeID": info.exchange, "InstrumentID": info.instrument_id,
            "OrderSysID": o.sys_id, "OrderRef": o.ref, "FrontID": o.front, "SessionID": o.session,
            "UserID": account.user_id, "OrderPriceType": Char("2"), "Direction": Char(o.direction),
            "CombOffsetFlag": o.comb_offset, "CombHedgeFlag": o.comb_hedge,
            "LimitPrice": float(o.price), "VolumeTotalOriginal": o.volume,
            "TimeCondition": Char(o.time_condition or "3"),
            "VolumeCondition": Char(o.volume_condition or "1"),
            "VolumeTraded": o.traded, "VolumeTotal": o.left if o.alive else 0,
            "OrderStatus": Char(o.status), "OrderSubmitStatus": Char(o.submit),
            "StatusMsg": o.msg, "InsertDate": o.insert_date, "InsertTime": o.insert_time,
        }

    def _push_order(self, o: Order):
        self._push(o.account, "OnRtnOrder", self.order_row(o))

    def _padded(self, exchange: str, number: int) -> str:
        return f"{number:>12}" if exchange in SPLIT_EXCHANGES else str(number)

    # -- login -------------------------------------------------------------------

    def authenticate(self, f: dict):
        """(reply data, error, account or None) of an authentication request."""
        data = {"BrokerID": f.get("BrokerID", ""), "UserID": f.get("UserID", ""),
                "AppID": f.get("AppID", "")}
        account = self.accounts.get(f.get("UserID", ""))
        if (account is None or account.info.broker_id != f.get("BrokerID")
                or account.info.app_id != f.get("AppID")
                or account.info.auth_code != f.get("AuthCode")):
            self.log(f"authenticate {f.get('UserID', '')!r}: refused (app id or auth code)")
            return data, ERRORS["auth_failed"], None
        return data, ERRORS["ok"], account

    def login(self, f: dict, authenticated: Account | None):
        """(login or None, reply data, error) of a login request."""
        user = f.get("UserID", "")
        account = self.accounts.get(user)
        date, clock = _now()
        data = {"TradingDay": self.day, "LoginTime": clock, "BrokerID": f.get("BrokerID", ""),
                "UserID": user, "SystemName": "TORVO-SIM"}
        if authenticated is None or authenticated is not account \
                or account.info.broker_id != f.get("BrokerID"):
            self.log(f"login {user!r}: refused (not authenticated)")
            return None, data, ERRORS["not_authenticated"]
        if account.info.password != f.get("Password"):
            self.log(f"login {user!r}: refused (wrong password)")
            return None, data, ERRORS["login_failed"]
        self._next_session += 1
        login = Login(account, self.world.front_id, self._next_session)
        data.update(FrontID=login.front, SessionID=login.session,
                    MaxOrderRef=str(account.max_order_ref))
        self.log(f"login {user}: front {login.front} session {login.session}, "
                 f"trading day {self.day}, MaxOrderRef {account.max_order_ref}")
        return login, data, ERRORS["ok"]

    def confirm(self, login: Login, f: dict) -> dict:
        login.confirmed = True
        date, clock = _now()
        return {"BrokerID": login.account.info.broker_id, "InvestorID": login.account.user_id,
                "ConfirmDate": date, "ConfirmTime": clock}

    # -- orders --------------------------------------------------------------------

    def _find_instrument(self, f: dict):
        exchange, instrument = f.get("ExchangeID", ""), f.get("InstrumentID", "")
        for info in self.instruments.values():
            if info.instrument_id == instrument and exchange in ("", info.exchange):
                return info
        return None

    def _free(self, account: Account, symbol: str, side: str) -> tuple[int, int]:
        """(earlier, today's) lots of a side not reserved by working closes."""
        s = account.sides.get((symbol, side))
        if s is None:
            return 0, 0
        his, today = s.his.lots, s.today.lots
        for o in account.orders.values():
            if o.alive and o.symbol == symbol and o.flag != "0" and o.side == side:
                his -= o.reserve_his
                today -= o.reserve_today
        return his, today

    def funds(self, account: Account) -> dict:
        margin = position_profit = frozen_margin = frozen_commission = 0.0
        for (symbol, side), s in account.sides.items():
            info = self.instruments[symbol]
            last = self.markets[symbol].price(self.markets[symbol].last)
            sign = 1 if side == "long" else -1
            for leg in (s.today, s.his):
                margin += leg.cost * info.volume_multiple * info.margin_ratio
                position_profit += sign * (last * leg.lots - leg.cost) * info.volume_multiple
        for o in account.orders.values():
            if o.alive:
                info = self.instruments[o.symbol]
                if o.flag == "0":
                    frozen_margin += o.price * o.left * info.volume_multiple * info.margin_ratio
                frozen_commission += info.commission * o.left
        balance = (account.pre_balance + account.deposit - account.withdraw
                   + account.close_profit + position_profit - account.commission)
        return {
            "PreBalance": _money(account.pre_balance), "Balance": _money(balance),
            "Available": _money(balance - margin - frozen_margin - frozen_commission),
            "CurrMargin": _money(margin), "FrozenMargin": _money(frozen_margin),
            "Commission": _money(account.commission),
            "FrozenCommission": _money(frozen_commission),
            "CloseProfit": _money(account.close_profit),
            "PositionProfit": _money(position_profit),
            "Deposit": _money(account.deposit), "Withdraw": _money(account.withdraw),
        }

    def insert(self, login: Login, f: dict, reply) -> None:
        self._run(self._insert, login, f, reply=reply)

    def _insert(self, login: Login, f: dict) -> list:
        account = login.account
        given_ref = f.get("OrderRef", "")
        f, sound = _sound(f, _INSERT_TEXT, _INSERT_CHARS)
        price, volume = f.get("LimitPrice", 0.0), f.get("VolumeTotalOriginal", 0)
        if isinstance(price, bool) or not isinstance(price, (int, float)) \
                or not math.isfinite(price):
            price, sound = 0.0, False
        if type(volume) is not int or not 0 < volume < 2**31:
            volume, sound = 0, False
        echo = {key: f.get(key, "") for key in (
            "BrokerID", "InvestorID", "OrderRef", "UserID", "InstrumentID", "ExchangeID",
            "CombOffsetFlag", "CombHedgeFlag")}
        echo.update(Direction=Char(f.get("Direction") or "\0"), LimitPrice=float(price),
                    VolumeTotalOriginal=volume)
        ref = given_ref if isinstance(given_ref, str) else ""
        if isinstance(given_ref, str) and not ref.strip():
            ref = str(account.max_order_ref + 1)
            echo["OrderRef"] = ref
        ref_ok = isinstance(given_ref, str) and order_ref_ok(ref)
        if ref_ok:
            account.max_order_ref = max(account.max_order_ref, int(ref))
        info = self._find_instrument(f)
        date, clock = _now()
        o = Order(account=account, seq=self._seq, front=login.front, session=login.session,
                  ref=ref, symbol=info.symbol if info else
                  f"{f.get('ExchangeID', '')}.{f.get('InstrumentID', '')}",
                  direction=f.get("Direction", ""), comb_offset=f.get("CombOffsetFlag", ""),
                  comb_hedge=f.get("CombHedgeFlag", ""), price=float(price), volume=volume,
                  time_condition=f.get("TimeCondition", ""),
                  volume_condition=f.get("VolumeCondition", ""),
                  insert_date=date, insert_time=clock)
        self._seq += 1

        def refuse(key: str) -> list:
            """Refused by the front: an error reply and an error return."""
            error = ERRORS[key]
            if ref_ok and o.local_id not in account.orders:
                o.status, o.submit, o.msg, o.at_front_only = "5", "4", error[1], True
                account.orders[o.local_id] = o
            self._push(account, "OnErrRtnOrderInsert", dict(echo), error)
            self.log(f"order {o.local_id} {o.symbol} {self._describe(o)}: refused, "
                     f"{error[0]} {error[1]}")
            return [("OnRspOrderInsert", echo, error)]

        if not login.confirmed:
            return refuse("not_confirmed")
        if not (sound and ref_ok):
            return refuse("bad_field")
        if o.local_id in account.orders:
            return refuse("duplicate_order")
        if info is None:
            return refuse("no_instrument")
        if (f.get("OrderPriceType") != "2" or o.direction not in ("0", "1")
                or o.flag not in OFFSET_WORDS or o.comb_hedge[:1] != "1"
                or not (math.isfinite(o.price) and o.price > 0) or o.volume <= 0):
            return refuse("bad_field")
        if not info.min_volume <= o.volume <= info.max_volume:
            return refuse("volume_range")
        if o.flag == "0":
            need = (o.price * o.volume * info.volume_multiple * info.margin_ratio
                    + info.commission * o.volume)
            if need > self.funds(account)["Available"] + 1e-9:
                return refuse("no_money")
        else:
            his, today = self._free(account, info.symbol, o.side)
            flag = o.flag
            if o.volume > his + today:
                return refuse("close_too_many")
            if flag == "3":
                if o.volume > today:
                    return refuse("close_today_short")
                o.reserve_today = o.volume
            elif flag == "4" or info.exchange in SPLIT_EXCHANGES:
                # A plain close on these exchanges closes earlier lots only.
                if o.volume > his:
                    return refuse("close_his_short")
                o.reserve_his = o.volume
            else:
                o.reserve_his = min(his, o.volume)
                o.reserve_today = o.volume - o.reserve_his

        # The front takes the order and passes it on to the exchange.
        account.orders[o.local_id] = o
        o.msg = "报单已提交"
        self._push_order(o)
        n = self.markets[info.symbol].ticks(o.price)
        refusal = None
        if not info.is_trading:
            refusal = "not_trading"
        elif n is None:
            refusal = "off_tick"
        elif not self.markets[info.symbol].lower <= n <= self.markets[info.symbol].upper:
            refusal = "out_of_band"
        if refusal:
            error = ERRORS[refusal]
            o.status, o.submit, o.msg = "5", "4", error[1]
            o.reserve_his = o.reserve_today = 0
            self._push_order(o)
            self._push(account, "OnErrRtnOrderInsert", dict(echo), error)
            self.log(f"order {o.local_id} {o.symbol} {self._describe(o)}: rejected by the "
                     f"exchange, {error[0]} {error[1]}")
            return []
        self._sys[info.exchange] = number = self._sys.get(info.exchange, 0) + 1
        o.price_n = n
        o.sys_id = self._padded(info.exchange, number)
        account.by_sys[(info.exchange, o.sys_id.strip())] = o
        o.status, o.submit, o.msg = "3", "3", "未成交"
        self._push_order(o)
        self.log(f"order {o.local_id} {o.symbol} {self._describe(o)}: accepted, "
                 f"OrderSysID {o.sys_id.strip()}")
        immediate = o.time_condition == "1"
        if immediate and o.volume_condition == "3":
            best = self.markets[info.symbol].best(o.buy)
            crosses = best is not None and (n >= best[0] if o.buy else n <= best[0])
            if not crosses or best[1] < o.volume:
                self._finish_cancel(o, "已撤单：全部成交条件未满足")
                return []
        if self.world.self_trade:
            self._match_own(o)
        self._match(o, resting=False)
        if immediate and o.alive:
            self._finish_cancel(o, "已撤单：剩余部分未成交")
        return []

    @staticmethod
    def _words(o: Order) -> str:
        side = {"0": "BUY", "1": "SELL"}.get(o.direction, repr(o.direction))
        return f"{side} {OFFSET_WORDS.get(o.flag, repr(o.comb_offset))}"

    def _describe(self, o: Order) -> str:
        return f"{self._words(o)} {o.volume} @ {o.price:g}"

    def _match(self, o: Order, *, resting: bool):
        """Fills `o` against the best opposite level, up to that level's size:
        at the level's price for an incoming order, at the order's own price
        for a resting one that the market has reached."""
        market = self.markets[o.symbol]
        best = market.best(o.buy)
        if best is None or not o.alive or o.price_n is None:
            return
        level, size = best
        if (o.price_n < level) if o.buy else (o.price_n > level):
            return
        volume = min(o.left, size)
        market.consume(o.buy, volume)
        self._fill(o, o.price_n if resting else level, volume)

    def _match_own(self, o: Order):
        """With self-trade on: fills `o` against the account's own resting
        orders it crosses, best price first, then oldest, each at the resting
        order's price, ahead of the market's level at that price.  One match
        is one exchange trade: two trades of one TradeID, a buy and a sell."""
        while o.alive:
            own = [r for r in o.account.orders.values()
                   if r is not o and r.alive and r.symbol == o.symbol and r.price_n is not None
                   and r.buy != o.buy and (r.price_n <= o.price_n if o.buy else r.price_n >= o.price_n)]
            if not own:
                return
            best = min(own, key=lambda r: (r.price_n if o.buy else -r.price_n, r.seq))
            market_best = self.markets[o.symbol].best(o.buy)
            if market_best is not None and (market_best[0] < best.price_n if o.buy
                                            else market_best[0] > best.price_n):
                return      # the market's price is better: it goes first
            volume = min(o.left, best.left)
            exchange = self.instruments[o.symbol].exchange
            self._trade_no[exchange] = number = self._trade_no.get(exchange, 0) + 1
            self.markets[o.symbol].trade(best.price_n, volume)
            self._fill(best, best.price_n, volume, number=number, tape=False)
            self._fill(o, best.price_n, volume, number=number, tape=False)
            self.log(f"self-trade {number} {o.symbol}: order {o.local_id} against {best.local_id}")

    def _fill(self, o: Order, n: int, volume: int, *, number: int | None = None, tape: bool = True):
        """One trade of `o`: `volume` lots at tick count `n`, numbered
        `number` (default: the exchange's next); `tape` False leaves the
        market's last price and volume to the caller."""
        account, info, market = o.account, self.instruments[o.symbol], self.markets[o.symbol]
        price = market.price(n)
        side = account.side(o.symbol, o.side)
        side.traded = True
        if o.flag == "0":
            side.today.lots += volume
            side.today.cost += price * volume
        else:
            from_his = min(o.reserve_his, volume)
            from_today = volume - from_his
            o.reserve_his -= from_his
            o.reserve_today -= from_today
            sign = 1 if o.side == "long" else -1
            for leg, lots in ((side.his, from_his), (side.today, from_today)):
                if lots:
                    cost = leg.take(lots)
                    account.close_profit += sign * (price * lots - cost) * info.volume_multiple
        account.commission += info.commission * volume
        if tape:
            market.trade(n, volume)
        o.traded += volume
        if o.left == 0:
            o.status, o.msg = "0", "全部成交"
        else:
            o.status, o.msg = "1", "部分成交"
        if number is None:
            self._trade_no[info.exchange] = number = self._trade_no.get(info.exchange, 0) + 1
        trade_id = self._padded(info.exchange, number)
        date, clock = _now()
        row = {
            "BrokerID": account.info.broker_id, "InvestorID": account.user_id,
            "TradingDay": self.day, "ExchangeID": info.exchange,
            "InstrumentID": info.instrument_id, "OrderSysID": o.sys_id, "OrderRef": o.ref,
            "UserID": account.user_id, "TradeID": trade_id, "Direction": Char(o.direction),
            "OffsetFlag": Char(o.flag), "HedgeFlag": Char("1"), "Price": float(price),
            "Volume": volume, "TradeDate": date, "TradeTime": clock,
        }
        account.trades[(info.exchange, trade_id.strip(), "BUY" if o.buy else "SELL")] = {
            "row": row, "order": o}
        self._push_order(o)
        self._push(account, "OnRtnTrade", row)
        self.log(f"trade {trade_id.strip()} {o.symbol} {self._words(o)} "
                 f"{volume} @ {price:g} (order {o.local_id}, {o.traded}/{o.volume})")

    def _finish_cancel(self, o: Order, message: str):
        o.status, o.submit, o.msg = "5", "3", message
        o.reserve_his = o.reserve_today = 0
        self._push_order(o)

    def cancel(self, login: Login, f: dict, reply) -> None:
        self._run(self._cancel, login, f, reply=reply)

    def _cancel(self, login: Login, f: dict) -> list:
        account = login.account
        f, sound = _sound(f, _CANCEL_TEXT, _CANCEL_CHARS)
        echo = {key: f.get(key, "") for key in (
            "BrokerID", "InvestorID", "ExchangeID", "OrderSysID", "UserID", "InstrumentID")}
        echo["ActionFlag"] = Char(f.get("ActionFlag") or "\0")
        if not sound:
            error = ERRORS["bad_field"]
            self.log(f"cancel: refused, {error[0]} {error[1]} (a field of the wrong type or size)")
            return [("OnRspOrderAction", echo, error)]
        sys_id = f.get("OrderSysID", "").strip()
        exchange = f.get("ExchangeID", "")
        o = account.by_sys.get((exchange, sys_id))
        if o is None:
            error = ERRORS["order_not_found"]
            self.log(f"cancel {exchange}:{sys_id!r}: refused, {error[0]} {error[1]}")
            return [("OnRspOrderAction", echo, error)]
        if f.get("ActionFlag") != "0":
            error = ERRORS["bad_field"]
            self.log(f"cancel of order {o.local_id}: refused, {error[0]} {error[1]}")
            return [("OnRspOrderAction", echo, error)]
        if not o.alive:
            error = ERRORS["order_finished"]
            self._push(account, "OnErrRtnOrderAction",
                       {"InstrumentID": self.instruments[o.symbol].instrument_id,
                        "ExchangeID": exchange, "OrderSysID": o.sys_id}, error)
            self.log(f"cancel of order {o.local_id}: refused, {error[0]} {error[1]}")
            return []
        o.submit, o.msg = "1", "撤单已提交"
        self._push_order(o)
        self._finish_cancel(o, "已撤单")
        self.log(f"cancel of order {o.local_id}: cancelled, {o.traded}/{o.volume} traded")
        return []

    # -- the market ------------------------------------------------------------------

    def _resting(self, symbol: str | None = None):
        orders = [o for account in self.accounts.values() for o in account.orders.values()
                  if o.alive and o.price_n is not None and symbol in (None, o.symbol)]
        return sorted(orders, key=lambda o: o.seq)

    def step(self):
        """One move of every market, then the resting orders it reaches."""
        def move():
            for market in self.markets.values():
                market.step()
            for o in self._resting():
                self._match(o, resting=True)
        self._run(move)

    def set_price(self, symbol: str, price: float, size: int | None = None):
        market = self._market(symbol)
        n = market.ticks(float(price))
        if n is None:
            raise ValueError(f"{symbol}: price {price} is not on the tick {market.tick:g}")
        if size is not None and (type(size) is not int or size < 1):
            raise ValueError("size must be a positive int")

        def move():
            market.set_price(n, size)
            for o in self._resting(symbol):
                self._match(o, resting=True)
        self._run(move)

    def _market(self, symbol: str) -> Market:
        try:
            return self.markets[symbol]
        except KeyError:
            raise ValueError(f"unknown symbol {symbol!r}") from None

    def quote_message(self, symbol: str) -> dict:
        return self._market(symbol).quote_message(self.day)

    def bar_message(self, symbol: str, period: str) -> dict:
        return self._market(symbol).bar_message(period, self.day)

    def set_trading_day(self, day: str):
        """Settles the day at the last prices and starts trading day `day`:
        today's lots join the earlier ones, working orders lapse, the day's
        orders and trades are cleared and every band is drawn again around the
        new previous settlement."""
        for account in self.accounts.values():
            funds = self.funds(account)
            account.pre_balance = funds["Balance"]
            for (symbol, _), s in account.sides.items():
                last = self.markets[symbol].price(self.markets[symbol].last)
                lots = s.today.lots + s.his.lots
                s.his, s.today, s.yd, s.traded = Leg(lots, last * lots), Leg(), lots, False
            account.new_day()
        for market in self.markets.values():
            market.reset_day(market.last, market.last, market.last, market.open_interest)
        self._sys.clear()
        self._trade_no.clear()
        self.log(f"fault: trading day {self.day} -> {day}")
        self.day = day

    # -- queries --------------------------------------------------------------------

    def query(self, login: Login, name: str, f: dict) -> list[dict]:
        """The rows of one query request, in the order a front sends them."""
        account = login.account
        if not all(isinstance(f.get(key, ""), str) for key in _QUERY_TEXT):
            return []
        investor = f.get("InvestorID", "")
        if investor and investor != account.user_id and name != "ReqQryInstrument":
            return []
        exchange, instrument = f.get("ExchangeID", ""), f.get("InstrumentID", "")

        def wanted(info) -> bool:
            return exchange in ("", info.exchange) and instrument in ("", info.instrument_id)

        if name == "ReqQryInstrument":
            return [self.instrument_row(info) for info in self.instruments.values() if wanted(info)]
        if name == "ReqQryOrder":
            sys_id = f.get("OrderSysID", "").strip()
            return [self.order_row(o) for o in account.orders.values()
                    if not o.at_front_only and wanted(self.instruments[o.symbol])
                    and sys_id in ("", o.sys_id.strip())]
        if name == "ReqQryTrade":
            return [dict(t["row"]) for t in account.trades.values()
                    if wanted(self.instruments[t["order"].symbol])]
        if name == "ReqQryInvestorPosition":
            return [row for row in self.position_rows(account)
                    if exchange in ("", row["ExchangeID"])
                    and instrument in ("", row["InstrumentID"])]
        if name == "ReqQryTradingAccount":
            if f.get("CurrencyID", "") not in ("", "CNY"):
                return []
            row = {"BrokerID": account.info.broker_id, "AccountID": account.user_id,
                   "CurrencyID": "CNY", "TradingDay": self.day}
            row.update(self.funds(account))
            return [row]
        raise ValueError(f"not a query: {name}")

    def instrument_row(self, info) -> dict:
        return {
            "ExchangeID": info.exchange, "InstrumentID": info.instrument_id,
            "InstrumentName": info.name, "ProductClass": Char(info.product_class),
            "IsTrading": int(info.is_trading), "PriceTick": float(info.price_tick),
            "MinLimitOrderVolume": info.min_volume, "MaxLimitOrderVolume": info.max_volume,
            "VolumeMultiple": info.volume_multiple,
            "LongMarginRatio": float(info.margin_ratio),
            "ShortMarginRatio": float(info.margin_ratio),
        }

    def position_rows(self, account: Account) -> list[dict]:
        """Position rows: per symbol and side one row, or on SHFE and INE a row
        of today's lots (PositionDate "1") apart from the earlier lots ("2").
        Sides that traded today are reported even when nothing is left."""
        rows = []
        for (symbol, side), s in sorted(account.sides.items()):
            info = self.instruments[symbol]
            last = self.markets[symbol].price(self.markets[symbol].last)
            sign = 1 if side == "long" else -1

            def row(date, legs, today, yd):
                lots = sum(leg.lots for leg in legs)
                cost = sum(leg.cost for leg in legs)
                return {
                    "BrokerID": account.info.broker_id, "InvestorID": account.user_id,
                    "TradingDay": self.day, "ExchangeID": info.exchange,
                    "InstrumentID": info.instrument_id, "HedgeFlag": Char("1"),
                    "PosiDirection": Char("2" if side == "long" else "3"),
                    "PositionDate": Char(date), "Position": lots, "TodayPosition": today,
                    "YdPosition": yd,
                    "PositionProfit": _money(sign * (last * lots - cost) * info.volume_multiple),
                    "UseMargin": _money(cost * info.volume_multiple * info.margin_ratio),
                }

            if info.exchange in SPLIT_EXCHANGES:
                if s.today.lots or s.traded:
                    rows.append(row("1", [s.today], s.today.lots, 0))
                if s.his.lots or s.yd:
                    rows.append(row("2", [s.his], 0, s.yd))
            elif s.today.lots or s.his.lots or s.yd or s.traded:
                rows.append(row("1", [s.today, s.his], s.today.lots, s.yd))
        return rows

    # -- the front's truth ---------------------------------------------------------------

    def book(self, user_id: str) -> dict:
        try:
            account = self.accounts[user_id]
        except KeyError:
            raise ValueError(f"unknown account {user_id!r}") from None
        orders = {}
        for o in account.orders.values():
            if o.at_front_only:     # as the order query: never at the exchange
                continue
            word = "REJECTED" if o.submit == "4" else STATUS_WORDS.get(o.status, "ALIVE")
            orders[o.local_id] = {
                "order_id": o.local_id, "order_sys_id": o.sys_id.strip() or None,
                "symbol": o.symbol, "direction": "BUY" if o.buy else "SELL",
                "offset": OFFSET_WORDS.get(o.flag, "CLOSE"), "limit_price": o.price,
                "volume_original": o.volume, "volume_traded": o.traded,
                "volume_left": o.left, "status": word, "status_msg": o.msg,
            }
        trades = {}
        for key, t in account.trades.items():
            row = t["row"]
            trades[key] = {
                "trade_id": key[1], "order_id": t["order"].local_id,
                "order_sys_id": row["OrderSysID"].strip(), "symbol": t["order"].symbol,
                "direction": "BUY" if row["Direction"] == Char("0") else "SELL",
                "offset": OFFSET_WORDS.get(row["OffsetFlag"].value.decode(), "CLOSE"),
                "price": row["Price"], "volume": row["Volume"],
            }
        positions: dict = {}
        for row in self.position_rows(account):
            symbol = f"{row['ExchangeID']}.{row['InstrumentID']}"
            p = positions.setdefault(symbol, {key: 0 for key in (
                "pos", "pos_long", "pos_long_today", "pos_long_his",
                "pos_short", "pos_short_today", "pos_short_his")})
            side = "long" if row["PosiDirection"] == Char("2") else "short"
            p[f"pos_{side}"] += row["Position"]
            p[f"pos_{side}_today"] += row["TodayPosition"]
            p[f"pos_{side}_his"] += row["Position"] - row["TodayPosition"]
        for p in positions.values():
            p["pos"] = p["pos_long"] - p["pos_short"]
        funds = self.funds(account)
        return {
            "trading_day": self.day, "orders": orders, "trades": trades, "positions": positions,
            "balance": funds["Balance"], "available": funds["Available"],
            "margin": funds["CurrMargin"], "frozen_margin": funds["FrozenMargin"],
            "commission": funds["Commission"], "frozen_commission": funds["FrozenCommission"],
            "close_profit": funds["CloseProfit"], "position_profit": funds["PositionProfit"],
            "max_order_ref": account.max_order_ref,
        }
