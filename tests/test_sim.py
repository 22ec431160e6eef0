"""The simulated front through the real bridge: login, queries, matching,
rejections, the book, market messages, faults and the command line."""

import copy
import json
import math
import os
import re
import signal
import socket
import subprocess
import sys
import time

import pytest

from relay_support import flow_path
from torvo import _relay
from torvo.data import Serial, decode
from torvo.sim import DEFAULT_WORLD, Simulator, load_world
from torvo.sim import market as sim_market
from torvo.sim import server as sim_server
from torvo.sim.wire import KIND_CALLBACK, KIND_REQUEST, LENGTH, Char, decode_frame, encode_frame, \
    request_fields

DAY = "20260105"
RB = "SHFE.rb2610"


def sim_world(**changes):
    """The demo world, held still, with three lots on every book level and no
    query limit."""
    world = copy.deepcopy(DEFAULT_WORLD)
    world.update(trading_day=DAY, query_rate=0, market={"interval": 0, "sizes": [3, 3]})
    world.update(changes)
    return world


class Client:
    """A bridge session on the simulator, with the session's request fields."""

    def __init__(self, sim, directory):
        self.account = sim.account()
        self.handle = _relay.create(sim.url, flow_path(directory))
        self.request_id = 0
        self.queue = []
        self.until(lambda e: e["name"] == "FrontConnected")

    def until(self, done, timeout=10.0):
        """Events up to and including the first one `done` accepts."""
        deadline = time.monotonic() + timeout
        while True:
            for index, event in enumerate(self.queue):
                if done(event):
                    taken, self.queue = self.queue[:index + 1], self.queue[index + 1:]
                    return taken
            if time.monotonic() > deadline:
                raise AssertionError(f"timed out; got {self.queue!r}")
            self.queue += _relay.poll(self.handle)
            time.sleep(0.002)

    def request(self, method, fields=None):
        self.request_id += 1
        base = {"BrokerID": self.account["broker_id"], "InvestorID": self.account["user_id"],
                "UserID": self.account["user_id"]}
        assert _relay.request(self.handle, method, {**base, **(fields or {})},
                              self.request_id) == 0
        return self.request_id

    def call(self, method, fields=None):
        """Events up to the last response to a request."""
        rid = self.request(method, fields)
        return self.until(lambda e: e.get("request_id") == rid and e.get("last"))

    def login(self):
        a = self.account
        assert self.call("Authenticate", {"AppID": a["app_id"], "AuthCode": a["auth_code"]}
                         )[-1]["error"]["ErrorID"] == 0
        login = self.call("UserLogin", {"Password": a["password"]})[-1]
        assert login["error"]["ErrorID"] == 0
        assert self.call("SettlementInfoConfirm")[-1]["error"]["ErrorID"] == 0
        self.session = login["data"]["SessionID"]
        return login["data"]

    def insert(self, ref, symbol, direction, offset, volume, price, **extra):
        exchange, instrument = symbol.split(".", 1)
        fields = {"InstrumentID": instrument, "ExchangeID": exchange, "OrderRef": str(ref),
                  "Direction": direction, "CombOffsetFlag": offset, "CombHedgeFlag": "1",
                  "OrderPriceType": "2", "LimitPrice": price, "VolumeTotalOriginal": volume,
                  "TimeCondition": "3", "VolumeCondition": "1", "MinVolume": 1,
                  "ContingentCondition": "1", "ForceCloseReason": "0"}
        return self.request("OrderInsert", {**fields, **extra})

    def close(self):
        _relay.close(self.handle)


def named(events, *names):
    return [e for e in events if e["name"] in names]


@pytest.fixture
def sim():
    with Simulator(sim_world()) as running:
        yield running


@pytest.fixture
def client(sim, tmp_path):
    c = Client(sim, tmp_path)
    c.login()
    yield c
    c.close()


def test_login_chain_checks_app_id_and_password_and_keeps_the_default_query_rate(tmp_path):
    with Simulator(sim_world(query_rate=1)) as sim:
        c = Client(sim, tmp_path)
        try:
            a = c.account
            assert c.call("QryOrder")[-1]["error"] == {"ErrorID": 6, "ErrorMsg": "CTP:还没有登录"}
            # The greeting keeps the library to one query a second.
            assert _relay.request(c.handle, "QryTrade", {}, 99) == -3
            refused = c.call("Authenticate", {"AppID": "other", "AuthCode": a["auth_code"]})[-1]
            assert refused["error"] == {"ErrorID": 63, "ErrorMsg": "CTP:客户端认证失败"}
            assert c.call("UserLogin", {"Password": a["password"]})[-1]["error"]["ErrorID"] == 64
            c.call("Authenticate", {"AppID": a["app_id"], "AuthCode": a["auth_code"]})
            wrong = c.call("UserLogin", {"Password": "nope"})[-1]
            assert wrong["error"] == {"ErrorID": 3, "ErrorMsg": "CTP:不合法的登录"}
            data = c.call("UserLogin", {"Password": a["password"]})[-1]["data"]
            assert data["TradingDay"] == DAY and data["FrontID"] == 1
            assert data["SessionID"] > 0 and data["MaxOrderRef"] == "0"
            # Orders wait for the settlement confirmation.
            c.insert(1, RB, "0", "0", 1, 3501.0)
            events = c.until(lambda e: e["name"] == "ErrRtnOrderInsert")
            assert [e["name"] for e in events] == ["RspOrderInsert", "ErrRtnOrderInsert"]
            assert events[0]["error"]["ErrorID"] == 42
            assert c.call("SettlementInfoConfirm")[-1]["data"]["InvestorID"] == a["user_id"]
        finally:
            c.close()


def test_queries_answer_in_records_with_the_fields_the_session_reads(sim, client):
    instruments = client.call("QryInstrument")
    assert [e["last"] for e in instruments] == [False] * 8 + [True]
    rows = {f"{e['data']['ExchangeID']}.{e['data']['InstrumentID']}": e["data"] for e in instruments}
    assert {s.split(".")[0] for s in rows} == {"SHFE", "INE", "DCE", "CZCE", "CFFEX"}
    assert rows["DCE.m2609-C-3000"]["ProductClass"] == "2"
    assert rows["CFFEX.IF2609"] == {
        "ExchangeID": "CFFEX", "InstrumentID": "IF2609", "ProductClass": "1", "IsTrading": 1,
        "PriceTick": 0.2, "MinLimitOrderVolume": 1, "MaxLimitOrderVolume": 20}
    assert rows["SHFE.wr2610"]["IsTrading"] == 0
    # An empty result is one response without data.
    assert [(e["data"], e["last"]) for e in client.call("QryOrder")] == [(None, True)]

    client.insert(1, RB, "0", "0", 2, 3501.0)     # fills at once: two of today's lots
    client.until(lambda e: e["name"] == "RtnTrade")
    positions = [e["data"] for e in client.call("QryInvestorPosition")]
    brief = [(p["ExchangeID"], p["PosiDirection"], p["PositionDate"], p["Position"],
              p["TodayPosition"], p["YdPosition"], p["HedgeFlag"], p["TradingDay"])
             for p in positions]
    assert brief == [("DCE", "3", "1", 3, 0, 3, "1", DAY),
                     ("SHFE", "2", "1", 2, 2, 0, "1", DAY),
                     ("SHFE", "2", "2", 5, 0, 5, "1", DAY)]
    funds = client.call("QryTradingAccount", {"CurrencyID": "CNY"})
    assert len(funds) == 1 and funds[0]["last"]
    row, book = funds[0]["data"], sim.book("demo")
    assert (row["AccountID"], row["CurrencyID"], row["TradingDay"]) == ("demo", "CNY", DAY)
    assert (row["Balance"], row["Available"], row["CurrMargin"], row["Commission"]) == (
        book["balance"], book["available"], book["margin"], book["commission"])


def test_crossing_order_fills_in_several_trades_and_the_book_follows(sim, client, tmp_path):
    rid = client.insert(7, RB, "0", "0", 5, 3501.0)    # best ask 3501, 3 lots
    events = client.until(lambda e: e["name"] == "RtnTrade")
    orders = [e["data"] for e in named(events, "RtnOrder")]
    assert [(o["OrderSubmitStatus"], o["OrderStatus"], o["VolumeTraded"]) for o in orders] == [
        ("0", "a", 0), ("3", "3", 0), ("3", "1", 3)]
    sys_id = orders[1]["OrderSysID"]
    assert re.fullmatch(r" +\d+", sys_id) and len(sys_id) == 12 and orders[0]["OrderSysID"] == ""
    first = orders[-1]
    assert (first["FrontID"], first["OrderRef"], first["CombHedgeFlag"], first["TradingDay"],
            first["VolumeTotal"]) == (1, "7", "1", DAY, 2)
    assert re.fullmatch(r"\d{8}", first["InsertDate"]) and re.fullmatch(r"\d\d:\d\d:\d\d",
                                                                        first["InsertTime"])
    assert not any(e.get("request_id") == rid for e in events)   # no response on success
    # The rest rests at 3501 and fills at its own price when the ask comes down.
    sim.set_price(RB, 3499.0)
    events = client.until(lambda e: e["name"] == "RtnTrade")
    assert [(e["name"], e["data"].get("OrderStatus")) for e in events] == [
        ("RtnOrder", "0"), ("RtnTrade", None)]
    trades = [e["data"] for e in named(events, "RtnTrade")]
    assert (trades[0]["Price"], trades[0]["Volume"], trades[0]["OffsetFlag"],
            trades[0]["HedgeFlag"], trades[0]["OrderSysID"]) == (3501.0, 2, "0", "1", sys_id)

    # A close of two of today's lots, its trade pushed ahead of the order's returns.
    sim.trade_before_order()
    client.insert(8, RB, "1", "3", 2, 3498.0)       # the best bid
    events = client.until(lambda e: e["name"] == "RtnOrder" and e["data"]["OrderStatus"] == "0")
    assert [(e["name"], e["data"].get("OrderStatus")) for e in events] == [
        ("RtnOrder", "a"), ("RtnTrade", None), ("RtnOrder", "3"), ("RtnOrder", "0")]
    assert events[1]["data"]["OffsetFlag"] == "3"

    book = sim.book("demo")
    local = f"1:{first['SessionID']}:7"
    assert {k: book["orders"][local][k] for k in ("status", "volume_original", "volume_traded")} \
        == {"status": "FILLED", "volume_original": 5, "volume_traded": 5}
    assert len(book["trades"]) == 3 and all(t[1] == t[1].strip() for t in book["trades"])
    assert book["positions"][RB] == {"pos": 8, "pos_long": 8, "pos_long_today": 3,
                                     "pos_long_his": 5, "pos_short": 0, "pos_short_today": 0,
                                     "pos_short_his": 0}
    # 5 bought at 3501, 2 sold at 3498, the last price; earlier lots at 3500.
    position_profit = 10 * (5 * (3498 - 3500) + 3 * (3498 - 3501))
    close_profit = 10 * 2 * (3498 - 3501)
    assert book["position_profit"] == position_profit and book["close_profit"] == close_profit
    assert book["balance"] == pytest.approx(1000000 + position_profit + close_profit - 7 * 1.5)
    margin = 0.1 * 10 * (5 * 3500 + 3 * 3501 + 3 * 2950)
    assert book["margin"] == pytest.approx(margin)
    assert book["available"] == pytest.approx(book["balance"] - margin)

    # The next session of the account continues the order references.
    (tmp_path / "other").mkdir()
    other = Client(sim, tmp_path / "other")
    try:
        data = other.login()
        assert data["MaxOrderRef"] == "8" and data["SessionID"] != first["SessionID"]
    finally:
        other.close()


def test_resting_order_freezes_funds_and_cancels_by_exchange_order_number(sim, client):
    before = sim.book("demo")["available"]
    client.insert(1, RB, "0", "0", 2, 3490.0)      # below the ask: rests
    accepted = client.until(lambda e: e["name"] == "RtnOrder" and e["data"]["OrderStatus"] == "3")
    sys_id = accepted[-1]["data"]["OrderSysID"]
    book = sim.book("demo")
    assert (book["frozen_margin"], book["frozen_commission"]) == (6980.0, 3.0)
    assert book["available"] == before - 6983.0

    # The number goes back exactly as received, blanks and all.
    cancel = {"ExchangeID": "SHFE", "OrderSysID": sys_id, "ActionFlag": "0",
              "InstrumentID": "rb2610"}
    client.request("OrderAction", cancel)
    events = client.until(lambda e: e["name"] == "RtnOrder" and e["data"]["OrderStatus"] == "5")
    assert [(e["data"]["OrderSubmitStatus"], e["data"]["OrderStatus"]) for e in events] == [
        ("1", "3"), ("3", "5")]
    book = sim.book("demo")
    order, = book["orders"].values()
    assert (order["status"], order["volume_traded"]) == ("CANCELLED", 0)
    assert book["available"] == before and book["frozen_margin"] == 0
    sim.set_price(RB, 3480.0)                      # a cancelled order no longer fills
    assert sim.book("demo")["trades"] == {}
    # A second cancel finds the order finished; an unknown number finds nothing.
    client.request("OrderAction", cancel)
    finished = client.until(lambda e: e["name"] == "ErrRtnOrderAction")[-1]
    assert finished["error"]["ErrorID"] == 26 and finished["data"]["OrderSysID"] == sys_id
    unknown = client.call("OrderAction", {**cancel, "OrderSysID": "999"})[-1]
    assert (unknown["name"], unknown["error"]["ErrorID"]) == ("RspOrderAction", 25)


def test_each_exchange_numbers_its_own_orders_and_trades(sim, client):
    for ref, symbol, price in ((1, RB, 3503.0), (2, "DCE.m2609", 2953.0), (3, RB, 3503.0)):
        client.insert(ref, symbol, "0", "0", 1, price)   # crossing: filled at once
        client.until(lambda e: e["name"] == "RtnTrade")
    trades = sim.book("demo")["trades"]
    assert list(trades) == [("SHFE", "1", "BUY"), ("DCE", "1", "BUY"), ("SHFE", "2", "BUY")]
    assert [t["order_sys_id"] for t in trades.values()] == ["1", "1", "2"]
    rows = client.call("QryTrade")
    assert [(e["data"]["ExchangeID"], e["data"]["TradeID"].strip()) for e in rows] == [
        ("SHFE", "1"), ("DCE", "1"), ("SHFE", "2")]


@pytest.mark.parametrize("where", [None, "top", "market"])
def test_self_trade_is_off_unless_the_world_turns_it_on(tmp_path, where):
    world = sim_world()
    if where == "top":
        world["self_trade"] = True
    elif where == "market":
        world["market"]["self_trade"] = True
    with Simulator(world) as sim:
        client = Client(sim, tmp_path)
        client.login()
        before = sim.book("demo")
        client.insert(1, RB, "0", "0", 2, 3500.0)      # between the bid and the ask: rests
        client.until(lambda e: e["name"] == "RtnOrder" and e["data"]["OrderStatus"] == "3")
        client.insert(2, RB, "1", "0", 3, 3500.0)      # crosses the account's own buy only
        events = client.until(lambda e: e["name"] == "RtnOrder" and e["data"]["OrderRef"] == "2"
                              and e["data"]["OrderStatus"] in ("3", "1"))
        book = sim.book("demo")
        if where is None:
            assert book["trades"] == {} and not named(events, "RtnTrade")
            client.close()
            return
        events += client.until(lambda e: e["name"] == "RtnTrade" and e["data"]["OrderRef"] == "2")
        seen = [(e["name"], e["data"]["OrderRef"], e["data"].get("TradeID", "").strip(),
                 e["data"]["Direction"]) for e in named(events, "RtnOrder", "RtnTrade")[-4:]]
        assert seen == [("RtnOrder", "1", "", "0"), ("RtnTrade", "1", "1", "0"),
                        ("RtnOrder", "2", "", "1"), ("RtnTrade", "2", "1", "1")]
        assert {k: (t["volume"], t["price"]) for k, t in book["trades"].items()} == {
            ("SHFE", "1", "BUY"): (2, 3500.0), ("SHFE", "1", "SELL"): (2, 3500.0)}
        statuses = {o["order_id"].split(":")[-1]: (o["status"], o["volume_traded"])
                    for o in book["orders"].values()}
        assert statuses == {"1": ("FILLED", 2), "2": ("ALIVE", 2)}
        assert (book["positions"][RB]["pos_long_today"], book["positions"][RB]["pos_short_today"]) == (2, 2)
        assert book["commission"] == before["commission"] + 4 * 1.5
        client.close()


FRONT, EXCHANGE = "front", "exchange"


@pytest.mark.parametrize("order, code, where", [
    (("SHFE.rb9999", "0", "0", 1, 3500.0), (16, "CTP:找不到合约"), FRONT),
    ((RB, "0", "0", 1001, 3500.0), (37, "CTP:报单数量超出合约限价单范围"), FRONT),
    (("SHFE.cu2608", "0", "0", 200, 78000.0), (31, "CTP:资金不足"), FRONT),
    ((RB, "1", "1", 8, 3499.0), (30, "CTP:平仓量超过持仓量"), FRONT),
    # Five earlier and two of today's lots: a plain close of six needs today's.
    ((RB, "1", "1", 6, 3499.0), (51, "CTP:平昨仓位不足"), FRONT),
    ((RB, "1", "3", 3, 3499.0), (50, "CTP:平今仓位不足"), FRONT),
    (("SHFE.wr2610", "0", "0", 1, 3900.0), (33, "CTP:合约当前不能交易"), EXCHANGE),
    ((RB, "0", "0", 1, 3500.5), (35, "CTP:报单价格不是最小变动价位的整数倍"), EXCHANGE),
    ((RB, "0", "0", 1, 3676.0), (36, "CTP:报单价格超出涨跌停板"), EXCHANGE),
], ids=["instrument", "volume", "funds", "close-too-many", "plain-close-of-today",
        "close-today", "not-trading", "tick", "band"])
def test_rejections_come_as_the_front_or_the_exchange_gives_them(sim, client, order, code, where):
    client.insert(1, RB, "0", "0", 2, 3501.0)
    client.until(lambda e: e["name"] == "RtnTrade")
    before = sim.book("demo")
    rid = client.insert(2, *order)
    events = client.until(lambda e: e["name"] == "ErrRtnOrderInsert")
    error = {"ErrorID": code[0], "ErrorMsg": code[1]}
    if where == FRONT:
        assert [e["name"] for e in events] == ["RspOrderInsert", "ErrRtnOrderInsert"]
        assert events[0]["request_id"] == rid and events[0]["error"] == error
    else:
        assert [(e["name"], e["data"].get("OrderSubmitStatus")) for e in events] == [
            ("RtnOrder", "0"), ("RtnOrder", "4"), ("ErrRtnOrderInsert", None)]
        assert events[1]["data"]["StatusMsg"] == code[1] and events[1]["data"]["OrderSysID"] == ""
    assert events[-1]["error"] == error and events[-1]["data"]["OrderRef"] == "2"
    after = sim.book("demo")
    # The book lists what the order query lists: not what the front refused.
    if where == FRONT:
        assert f"1:{client.session}:2" not in after["orders"]
    else:
        assert after["orders"][f"1:{client.session}:2"]["status"] == "REJECTED"
    assert set(after["orders"]) == {f"1:{client.session}:{ref}" for ref in
                                    (e["data"]["OrderRef"] for e in client.call("QryOrder"))}
    assert (after["available"], after["positions"]) == (before["available"], before["positions"])


def test_market_messages_decode_and_stay_on_the_grid_inside_the_band():
    sim = Simulator(sim_world(market={"interval": 0, "sizes": [1, 30]}), seed=3)
    sim.step(200)
    for item in DEFAULT_WORLD["instruments"]:
        symbol, tick = item["symbol"], item["price_tick"]
        quote = decode(sim.market_message(symbol), symbol, quote=True)
        assert len(quote["bids"]) == len(quote["asks"]) == 5 and quote["trading_day"] == DAY
        prices = [p for p, _ in reversed(quote["bids"])] + [quote["last_price"]] + \
                 [p for p, _ in quote["asks"]]
        assert prices == sorted(prices) and len(set(prices)) == 11
        assert all(math.isclose(p / tick, round(p / tick), abs_tol=1e-7) for p in prices)
        assert quote["lower_limit"] < prices[0] and prices[-1] < quote["upper_limit"]
    series = Serial(RB, "1m", 3)
    changed = series.update([decode(sim.bar_message(RB, "1m"), RB)])
    assert series.frame["close"].iloc[-1] == decode(sim.market_message(RB), RB, quote=True)[
        "last_price"] and "close" in changed
    for bad in [("SHFE.rb2610", 3500.5), ("SHFE.rb2610", 3676.0), ("SHFE.xx", 1.0)]:
        with pytest.raises(ValueError):
            sim.set_price(*bad)
    with pytest.raises(ValueError):
        sim.bar_message(RB, "2m")


def test_a_bar_keeps_its_open_and_the_bars_count_every_traded_lot(monkeypatch):
    """Steps across three minutes of a clock of our own: a bar already sent
    keeps its open when the market moves on in it, and the minute bars add
    up to the day's volume and turnover (the step that opens a bar counts)."""
    minute = 1_767_225_600_000          # 2026-01-01 08:00 UTC+8, on a minute
    clock = [minute - 30_000]
    monkeypatch.setattr(sim_market, "_now_ms", lambda: clock[0])
    sim = Simulator(sim_world(market={"interval": 0, "sizes": [1, 30]}), seed=5)
    bars = []
    for n in range(3):
        clock[0] = minute + n * 60_000 + 1_000
        first = decode(sim.bar_message(RB, "1m"), RB)
        for _ in range(4):
            sim.step(1)
            clock[0] += 5_000
        bar = decode(sim.bar_message(RB, "1m"), RB)
        assert (bar["timestamp"], bar["open"]) == (first["timestamp"], first["open"])
        bars.append(bar)
    day = decode(sim.market_message(RB), RB, quote=True)
    assert sum(b["volume"] for b in bars) == day["volume"] > 0
    assert math.isclose(sum(b["turnover"] for b in bars), day["turnover"])


def test_query_and_login_faults_and_an_unknown_request_id(sim, tmp_path):
    c = Client(sim, tmp_path)
    try:
        a = c.account
        c.call("Authenticate", {"AppID": a["app_id"], "AuthCode": a["auth_code"]})
        sim.refuse_logins(1)
        assert c.call("UserLogin", {"Password": a["password"]})[-1]["error"]["ErrorID"] == 90
        c.call("UserLogin", {"Password": a["password"]})
        sim.fail_queries(1, code=154)
        failed = c.call("QryTrade")
        assert [(e["data"], e["error"]["ErrorID"]) for e in failed] == [(None, 154)]
        assert c.call("QryTrade")[-1]["error"]["ErrorID"] == 0
        sim.rsp_error(7)
        error = c.until(lambda e: e["name"] == "RspError")[-1]
        assert error["error"]["ErrorID"] == 7 and error["request_id"] > c.request_id
        sim.delay_responses(0.3)
        start = time.monotonic()
        c.call("QryTrade")
        assert time.monotonic() - start >= 0.3
    finally:
        c.close()


def test_drop_at_login_then_the_day_is_pushed_again_and_a_new_day_rolls_over(sim, client):
    client.insert(1, RB, "0", "0", 2, 3501.0)
    pushed = client.until(lambda e: e["name"] == "RtnTrade")
    sim.repush("login")
    sim.drop("login")
    a = client.account
    client.request("UserLogin", {"Password": a["password"]})
    client.until(lambda e: e["name"] == "FrontDisconnected")
    client.until(lambda e: e["name"] == "FrontConnected")
    client.call("Authenticate", {"AppID": a["app_id"], "AuthCode": a["auth_code"]})
    rid = client.request("UserLogin", {"Password": a["password"]})
    again = client.until(lambda e: e["name"] == "RtnTrade")
    assert again[0]["request_id"] == rid
    assert [e["data"] for e in again[1:]] == [e["data"] for e in pushed]

    sim.set_trading_day("20260106")
    client.call("SettlementInfoConfirm")
    assert client.call("QryOrder")[-1]["data"] is None
    rows = [e["data"] for e in client.call("QryInvestorPosition")]
    assert [(r["ExchangeID"], r["PositionDate"], r["Position"], r["YdPosition"], r["TradingDay"])
            for r in rows] == [("DCE", "1", 3, 3, "20260106"), ("SHFE", "2", 7, 7, "20260106")]


def test_command_line_prints_its_address_first_and_exits_on_interrupt(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    bad = subprocess.run([sys.executable, "-m", "torvo.sim", "--world", str(tmp_path / "none")],
                         env=env, capture_output=True, text=True, timeout=60)
    assert bad.returncode == 2 and "none" in bad.stderr
    world = tmp_path / "world.json"
    world.write_text(json.dumps(sim_world()), encoding="utf-8")
    child = subprocess.Popen([sys.executable, "-m", "torvo.sim", "--port", "0", "--world",
                              str(world)], env=env, stdout=subprocess.PIPE, text=True)
    try:
        first = child.stdout.readline()
        assert re.fullmatch(r"listening on tcp://127\.0\.0\.1:\d+\n", first)
        if sys.platform != "win32":
            child.send_signal(signal.SIGINT)
            assert child.wait(timeout=30) == 0
    finally:
        child.kill()
        child.wait()
        child.stdout.close()


@pytest.mark.parametrize("change, message", [
    ({"instruments": [dict(DEFAULT_WORLD["instruments"][0], price_tick=0)]}, "price_tick"),
    ({"instruments": [dict(DEFAULT_WORLD["instruments"][0], symbol="LME.cu")]}, "symbol"),
    ({"instruments": [dict(DEFAULT_WORLD["instruments"][0], price=3500.5)]}, "price"),
    ({"accounts": [dict(DEFAULT_WORLD["accounts"][0], positions=[{"symbol": "DCE.x"}])]},
     "symbol"),
    ({"accounts": [dict(DEFAULT_WORLD["accounts"][0], auth_code="x" * 17)]}, "auth_code"),
    ({"market": {"sizes": [0, 3]}}, "sizes"),
    ({"self_trade": 1}, "self_trade"),
    ({"market": {"interval": 0, "self_trade": "yes"}}, "self_trade"),
    ({"extra": 1}, "'extra'"),
    # What the market or the wire cannot hold: text outside GB18030 (every
    # instrument query would fail), prices beyond the tick grid's range.
    ({"instruments": [dict(DEFAULT_WORLD["instruments"][0], name="rb\ud800")]}, "name .*GB18030"),
    ({"accounts": [dict(DEFAULT_WORLD["accounts"][0], password="pass\udfff")]}, "password .*GB18030"),
    ({"instruments": [dict(DEFAULT_WORLD["instruments"][0], limit_ratio=1e308)]}, "limit_ratio"),
    ({"instruments": [dict(DEFAULT_WORLD["instruments"][0], price_tick=1e-308)]}, "pre_settlement"),
    ({"instruments": [dict(DEFAULT_WORLD["instruments"][0], price_tick=1e308)]}, "pre_settlement"),
    ({"instruments": [dict(DEFAULT_WORLD["instruments"][0], pre_close=1e308)]}, "pre_close"),
])
def test_world_entries_are_checked(change, message):
    with pytest.raises(ValueError, match=message):
        load_world(sim_world(**change))


def test_a_world_file_nested_too_deeply_is_one_line_refusal(tmp_path):
    deep = tmp_path / "deep.json"
    deep.write_text('{"market": ' + "[" * 100_000 + "]" * 100_000 + "}", encoding="utf-8")
    with pytest.raises(ValueError, match="nested too deeply"):
        load_world(deep)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    bad = subprocess.run([sys.executable, "-m", "torvo.sim", "--world", str(deep)],
                         env=env, capture_output=True, text=True, timeout=60)
    assert bad.returncode == 2 and bad.stderr.splitlines()[-1].endswith("world: nested too deeply")
    assert "Traceback" not in bad.stderr


class Raw:
    """A client speaking the wire itself: any field, of any type."""

    def __init__(self, sim, rcvbuf=None):
        host, port = sim.url[len("tcp://"):].rsplit(":", 1)
        self.sock = socket.socket()
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(10)
        self.sock.connect((host, int(port)))
        self.request_id = 0
        self.account = sim.account()

    def send(self, name, data):
        self.request_id += 1
        self.sock.sendall(encode_frame(KIND_REQUEST, name, request_id=self.request_id, data=data))

    def frame(self):
        def exactly(n):
            data = b""
            while len(data) < n:
                chunk = self.sock.recv(n - len(data))
                assert chunk, "the front closed the connection"
                data += chunk
            return data
        return decode_frame(exactly(LENGTH.unpack(exactly(LENGTH.size))[0]))

    def call(self, name, data):
        """The frames up to the last response to the request."""
        self.send(name, data)
        frames = []
        while not frames or frames[-1]["request_id"] != self.request_id or not frames[-1]["last"]:
            frames.append(self.frame())
        return [f for f in frames if f["kind"] == KIND_CALLBACK]

    def login(self):
        a = self.account
        who = {"BrokerID": a["broker_id"], "UserID": a["user_id"]}
        self.call("ReqAuthenticate", {**who, "AppID": a["app_id"], "AuthCode": a["auth_code"]})
        login = self.call("ReqUserLogin", {**who, "Password": a["password"]})[-1]
        assert login["error"][0] == 0
        self.call("ReqSettlementInfoConfirm", {"BrokerID": a["broker_id"], "InvestorID": a["user_id"]})
        return request_fields(login["data"])

    def insert(self, **changes):
        fields = {"BrokerID": "9999", "InvestorID": "demo", "OrderRef": "1", "UserID": "demo",
                  "OrderPriceType": Char("2"), "Direction": Char("0"), "CombOffsetFlag": "0",
                  "CombHedgeFlag": "1", "LimitPrice": 3400.0, "VolumeTotalOriginal": 1,
                  "TimeCondition": Char("3"), "VolumeCondition": Char("1"),
                  "ExchangeID": "SHFE", "InstrumentID": "rb2610"}
        fields.update(changes)
        self.send("ReqOrderInsert", fields)
        while True:
            frame = self.frame()
            if frame["name"] == "OnRtnOrder" and frame["data"]["OrderStatus"] == Char("a"):
                # taken by the front: no response
                return 0
            if frame["request_id"] == self.request_id:
                assert frame["name"] == "OnRspOrderInsert"
                return frame["error"]

    def close(self):
        self.sock.close()


@pytest.mark.parametrize("changes", [
    {"OrderRef": 7}, {"OrderRef": 7.0}, {"OrderRef": "1" * 30}, {"OrderRef": "999999999999"},
    {"OrderRef": "12a"}, {"OrderRef": "١٢"}, {"OrderRef": "+5"}, {"OrderRef": "  1234567890123"},
    {"VolumeTotalOriginal": math.inf}, {"VolumeTotalOriginal": 1e300},
    {"VolumeTotalOriginal": 2.0}, {"VolumeTotalOriginal": "1"}, {"LimitPrice": "3400"},
    {"CombOffsetFlag": 0}, {"CombHedgeFlag": 1}, {"Direction": "00"}, {"TimeCondition": 3},
    {"InstrumentID": 2610},
    {"ExchangeID": "SHFE" * 5}, {"UserID": 1.5},
])
def test_hostile_order_fields_are_refused_and_the_references_go_on(sim, changes):
    raw = Raw(sim)
    try:
        assert raw.login()["MaxOrderRef"] == "0"
        assert raw.insert(**changes) == (15, "CTP:报单字段有误".encode("gb18030"))
        # A refused order's reference counts as used, unless it is unusable.
        assert sim.book("demo")["max_order_ref"] == (0 if "OrderRef" in changes else 1)
        # The connection, the account and a later session all go on.
        assert raw.insert(OrderRef=" 2") == 0
        assert sim.book("demo")["max_order_ref"] == 2
    finally:
        raw.close()
    again = Raw(sim)
    try:
        assert again.login()["MaxOrderRef"] == "2"
        assert again.insert(OrderRef="") == 0
        assert sim.book("demo")["max_order_ref"] == 3
    finally:
        again.close()


def test_the_highest_order_reference_is_one_a_session_can_continue_from(sim):
    raw = Raw(sim)
    try:
        raw.login()
        assert raw.insert(OrderRef="999999999998") == 0
        assert raw.insert(OrderRef="")[0] == 15     # 999999999999: no next one
    finally:
        raw.close()
    assert sim.book("demo")["max_order_ref"] == 999999999998


@pytest.mark.parametrize("changes", [
    {"OrderSysID": 1}, {"ActionFlag": "00"}, {"ActionFlag": 0}, {"ExchangeID": None},
])
def test_hostile_cancel_fields_are_refused(sim, changes):
    raw = Raw(sim)
    try:
        raw.login()
        raw.insert(OrderRef="1")
        fields = {"BrokerID": "9999", "InvestorID": "demo", "UserID": "demo", "ExchangeID": "SHFE",
                  "OrderSysID": "           1", "ActionFlag": Char("0"), "InstrumentID": "rb2610"}
        fields.update(changes)
        fields = {k: v for k, v in fields.items() if v is not None}
        if changes.get("ExchangeID", "") is None:
            fields["ExchangeID"] = 9.5
        answer = raw.call("ReqOrderAction", fields)[-1]
        assert (answer["name"], answer["error"][0]) == ("OnRspOrderAction", 15)
        rows = raw.call("ReqQryOrder", {"BrokerID": "9999", "InvestorID": "demo", "OrderSysID": 1})
        assert rows[-1]["data"] is None and rows[-1]["error"] is None
        assert sim.book("demo")["orders"][f"1:{sim.server.exchange._next_session}:1"]["status"] == "ALIVE"
    finally:
        raw.close()


@pytest.mark.parametrize("limit", ["MAX_BEHIND_FRAMES", "MAX_BEHIND_BYTES"])
def test_a_library_that_does_not_read_is_disconnected(monkeypatch, limit):
    monkeypatch.setattr(sim_server, limit, 500 if limit == "MAX_BEHIND_FRAMES" else 20_000)
    lines = []
    with Simulator(sim_world(), log=lines.append) as sim:
        raw = Raw(sim, rcvbuf=4096)
        frame = encode_frame(KIND_REQUEST, "ReqQryOrder", request_id=1, data={"BrokerID": "9999"})
        with pytest.raises(OSError):
            for _ in range(200_000):
                raw.sock.sendall(frame)
        raw.close()
        deadline = time.monotonic() + 10
        while sim.server.conns and time.monotonic() < deadline:
            time.sleep(0.01)
        assert not sim.server.conns
        assert any(re.search(r"connection 1: the library fell \d+ frames \(\d+ bytes\) behind", line)
                   for line in lines), lines


def test_heartbeats_pass_responses_held_back_by_a_delay(tmp_path):
    # A slow response is not a silent front: with a delay past the library's
    # limit, the heartbeats still go out and the connection holds.
    with Simulator(sim_world(), heartbeat=0.2, heartbeat_timeout=1.0) as sim:
        c = Client(sim, tmp_path)
        c.login()
        sim.delay_responses(1.5)
        events = c.call("QryTradingAccount")
        assert [e["name"] for e in events] == ["RspQryTradingAccount"]
        sim.delay_responses(0)
        c.close()


@pytest.mark.parametrize("interval, limit", [(1.0, 1.0004), (0.0001, 1.0), (1.0, 3e6), (-1, 5)])
def test_heartbeat_settings_the_greeting_cannot_carry_are_refused(interval, limit):
    with pytest.raises(ValueError, match="heartbeat"):
        sim_server.Server(sim_world(), heartbeat=interval, heartbeat_timeout=limit)
