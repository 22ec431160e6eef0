"""A simulated trading front: accounts, instruments, a market and matching.

`torvo.sim` speaks the wire protocol of the stand-in trader library
(vendor/PROTOCOL.md), so a bridge session or a `Trading` session logs in to
it as to a broker's front.  Pure Python, standard library only.

In process::

    from torvo.sim import Simulator

    with Simulator(seed=7) as sim:
        account = CtpAccount(**sim.account())     # the demo account, front_url = sim.url
        ...
        sim.set_price("SHFE.rb2610", 3512)       # move the market at will
        sim.book("demo")                          # the front's own record of the account

The simulator runs its asyncio loop on a thread of its own; every method may
be called from any thread.  From the command line::

    python -m torvo.sim [--host H] [--port N] [--world FILE] [--seed N]

prints ``listening on tcp://H:PORT`` first, then one line per login, order,
trade and fault, until interrupted.

The front
---------

- Greeting: ``QueryRate`` of the world (default 1 query a second, as a real
  front; 0 for no limit).
- Slow readers: a connection whose library falls `MAX_BEHIND_FRAMES`
  (100000) frames or `MAX_BEHIND_BYTES` (64 MiB) behind in reading what the
  front sends is closed, as a front disconnects a reader that cannot keep up;
  the log says "connection N: the library fell N frames (N bytes) behind in
  reading, closing".  Frames held back by a freeze or delayed responses
  count too, far below the limit.
- Login: "Authenticate" checks broker, user, app id and auth code;
  "UserLogin" checks the password and answers TradingDay, FrontID, a new
  SessionID and MaxOrderRef, the account's highest order reference so far
  (across sessions); "SettlementInfoConfirm" must come before orders.
- Queries (QryInstrument, QryOrder, QryTrade, QryInvestorPosition,
  QryTradingAccount) answer from the account's book, one record per row with
  is_last on the last; an empty result is one response without data.
  Position rows of SHFE and INE come apart: today's lots (PositionDate "1")
  and earlier lots ("2"); elsewhere one row per side with TodayPosition.
- Orders are limit orders (OrderPriceType "2", CombHedgeFlag "1").  An order
  that crosses fills at the best opposite price, up to that level's size; the
  rest rests and fills at its own price when the market reaches it.  Each
  fill is one trade: an RtnOrder with the traded volume, then an RtnTrade.
  Orders match the simulated market only, never each other, unless the
  world turns self-trade on (below).  TimeCondition
  "1" (immediate) cancels what does not fill at once, and with
  VolumeCondition "3" fills all or nothing.
- Returns of an accepted order: RtnOrder with OrderSubmitStatus "0" and
  OrderStatus "a" (at the front), then "3"/"3" with its OrderSysID (queueing),
  then "1" (part traded) or "0" (all traded); a cancel gives "1"/"撤单已提交"
  then OrderStatus "5".  Each exchange numbers its own orders (OrderSysID)
  and its own trades (TradeID) from 1 every trading day, so orders and trades
  on two exchanges share numbers.  OrderSysID and TradeID are right-aligned in
  12 characters on SHFE and INE.
- Refusals by the front come as OnRspOrderInsert and OnErrRtnOrderInsert with
  the error; refusals by the exchange as RtnOrder with OrderSubmitStatus "4"
  (after the front's "0") and OnErrRtnOrderInsert:

  ==== ===================================== ============================
  code message                               when
  ==== ===================================== ============================
  42   CTP:结算结果未确认                    front: settlement not confirmed
  22   CTP:不允许重复报单                    front: OrderRef used before
  16   CTP:找不到合约                        front: unknown instrument
  15   CTP:报单字段有误                      front: price type, direction,
                                             offset, hedge, price or volume;
                                             a field of the wrong type or
                                             too long for its buffer; an
                                             OrderRef other than digits
                                             (padded with spaces at most to
                                             12 characters) below
                                             999999999999
  37   CTP:报单数量超出合约限价单范围        front: volume outside
                                             [MinLimitOrderVolume, Max...]
  31   CTP:资金不足                          front: margin and commission
                                             above the available funds
  30   CTP:平仓量超过持仓量                  front: closing more than the
                                             free lots of the side
  50   CTP:平今仓位不足                      front: close today (3) above
                                             the free today's lots
  51   CTP:平昨仓位不足                      front: close yesterday (4), or
                                             a plain close (1) on SHFE/INE,
                                             above the free earlier lots
  33   CTP:合约当前不能交易                  exchange: IsTrading 0
  35   CTP:报单价格不是最小变动价位的整数倍  exchange: price off the tick
  36   CTP:报单价格超出涨跌停板              exchange: outside the band
  ==== ===================================== ============================

  A blank OrderRef takes the account's MaxOrderRef + 1.  A refused order's
  reference counts as used, unless it is one refused for itself.
  Cancels (ReqOrderAction, ActionFlag "0", by ExchangeID and OrderSysID): a
  field of the wrong type or size is answered by OnRspOrderAction 15, an
  unknown order is answered by OnRspOrderAction 25 "CTP:撤单找不到相应报单",
  a finished one by OnErrRtnOrderAction 26
  "CTP:报单已全成交或已撤销，不能再撤".
- Funds: Balance = previous balance + CloseProfit + PositionProfit -
  Commission; Available = Balance - CurrMargin - FrozenMargin -
  FrozenCommission.  Margin is the entry price x volume multiple x margin
  ratio (earlier lots enter at the previous settlement); working open orders
  freeze margin at their limit price, every working order its commission.
  Options are margined like futures here.
- Market data: `Simulator.market_message(symbol)` gives the current quote in
  the message format `torvo.data.decode(message, symbol, quote=True)` reads
  (five levels a side), `Simulator.bar_message(symbol, period)` the current
  bar for `torvo.data.decode(message, symbol)` and `Serial.update`.

Faults (methods of `Simulator`): `drop(phase=None)` now or at "authenticate",
"login", "settlement", "sync" or a step of the login snapshot (`STEPS`:
"instruments", "orders", "trades_before", "positions", "trades_after",
"account", a connection's first six queries); `refuse_logins(n, code=90)`;
`fail_queries(n, code=90, at=None)` (90 or 154: try again later; `at`, a
step, only that step's queries);
`delay_responses(seconds)`; `trade_before_order(n)`; `repush(at="login")`,
the day's order returns and trades again after every login;
`set_trading_day(day)`; `rsp_error(code)` with a request id never used.

World files
-----------

A JSON object; every key but "instruments" and "accounts" is optional, and
the built-in demo world (`DEFAULT_WORLD`) has the same structure::

    {
      "trading_day": "20260105",       # default: today in UTC+8 (weekends: Monday)
      "front_id": 1,
      "query_rate": 1,                 # queries a second announced; 0: no limit
      "self_trade": false,             # also accepted inside "market"
      "market": {
        "interval": 0.3,               # seconds between random-walk steps; 0: still
        "sizes": [1, 30]               # lots per book level, drawn from this range
      },
      "instruments": [{
        "symbol": "SHFE.rb2610",       # exchange SHFE, INE, DCE, CZCE or CFFEX
        "name": "螺纹钢2610",
        "product_class": "1",          # "1" future, "2" option
        "price_tick": 1.0,
        "volume_multiple": 10,
        "margin_ratio": 0.1,           # default 0.1
        "commission": 1.5,             # CNY per lot, default 0
        "pre_settlement": 3500.0,      # the band is pre_settlement x (1 +- limit_ratio)
        "limit_ratio": 0.05,           # default 0.05, at most 1
        "price": 3500.0,               # first last price, default pre_settlement
        "pre_close": 3500.0,           # default pre_settlement
        "min_volume": 1, "max_volume": 1000,
        "is_trading": true,
        "open_interest": 0
      }],
      "accounts": [{
        "broker_id": "9999", "user_id": "demo", "password": "demo-pass",
        "app_id": "torvo_sim_1.0", "auth_code": "0000000000000000",
        "balance": 1000000.0,          # CNY at the end of the previous day
        "max_order_ref": 0,            # highest order reference used so far
        "positions": [                 # lots carried from earlier days
          {"symbol": "SHFE.rb2610", "long": 5, "short": 0}
        ]
      }]
    }

(The comments above are explanations; JSON itself has none.)

`load_world` refuses, with a ValueError naming the entry, every value the
front could not serve: texts the wire cannot carry (not GB18030, or longer
than the field's buffer), prices off the tick or beyond 10^12 ticks, and
files nested too deeply to read.

"self_trade": true (at the top level or in "market"; default false) lets an
account's own orders match each other: an incoming order that crosses a
resting order of its own account, at a price at least as good as the
market's, fills against it first (best price, then oldest), at the resting
order's price.  Each such match is one exchange trade reported as two: an
RtnOrder and an RtnTrade for the resting order, then for the incoming one,
with one TradeID and opposite directions.  Both trades count in the
positions, the commission and the close profit, and in `book()`, whose
trades are keyed by (ExchangeID, TradeID, "BUY" or "SELL").
"""

from .server import MAX_BEHIND_BYTES, MAX_BEHIND_FRAMES, PHASES, STEPS, Server, Simulator
from .world import DEFAULT_WORLD, World, load_world

__all__ = ["Simulator", "Server", "DEFAULT_WORLD", "World", "load_world", "PHASES", "STEPS",
           "MAX_BEHIND_FRAMES", "MAX_BEHIND_BYTES"]
