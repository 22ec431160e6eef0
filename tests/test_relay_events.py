"""Event records: shapes, key orders and the conversion of vendor fields."""

import math

import pytest

from front import Char
from relay_support import session, wait_events  # noqa: F401
from torvo import _relay

EVENT_KEYS = ["name", "data", "error", "request_id", "last"]

# Data keys of each record in dictionary order: a number is a text buffer of
# that many bytes, "c" a single character, "i" an int, "f" a float.
ORDER = ("TradingDay:9 ExchangeID:9 InstrumentID:81 OrderSysID:21 OrderRef:13 FrontID:i SessionID:i "
         "Direction:c CombOffsetFlag:5 CombHedgeFlag:5 LimitPrice:f VolumeTotalOriginal:i VolumeTraded:i "
         "VolumeTotal:i OrderStatus:c OrderSubmitStatus:c StatusMsg:81 InsertDate:9 InsertTime:9")
TRADE = ("TradingDay:9 ExchangeID:9 InstrumentID:81 OrderSysID:21 OrderRef:13 TradeID:21 Direction:c "
         "OffsetFlag:c HedgeFlag:c Price:f Volume:i TradeDate:9 TradeTime:9")
POSITION = ("TradingDay:9 ExchangeID:9 InstrumentID:81 HedgeFlag:c PosiDirection:c PositionDate:c Position:i "
            "TodayPosition:i YdPosition:i LongFrozen:i ShortFrozen:i PositionProfit:f UseMargin:f")
ACCOUNT = ("AccountID:13 CurrencyID:4 TradingDay:9 Balance:f Available:f CurrMargin:f FrozenMargin:f "
           "Commission:f FrozenCommission:f CloseProfit:f PositionProfit:f Deposit:f Withdraw:f")
INSTRUMENT = ("ExchangeID:9 InstrumentID:81 ProductClass:c IsTrading:i PriceTick:f MinLimitOrderVolume:i "
              "MaxLimitOrderVolume:i")
INPUT_ORDER = "InstrumentID:81 ExchangeID:9 OrderRef:13"
ACTION = "InstrumentID:81 ExchangeID:9 OrderSysID:21"

# (callback, event name, data keys, is a return callback)
EVENTS = [
    ("OnRspAuthenticate", "RspAuthenticate", "BrokerID:11 UserID:16 AppID:33", False),
    ("OnRspUserLogin", "RspUserLogin", "TradingDay:9 FrontID:i SessionID:i MaxOrderRef:13", False),
    ("OnRspSettlementInfoConfirm", "RspSettlementInfoConfirm", "BrokerID:11 InvestorID:13", False),
    ("OnRspQryOrder", "RspQryOrder", ORDER, False),
    ("OnRtnOrder", "RtnOrder", ORDER, True),
    ("OnRspQryTrade", "RspQryTrade", TRADE, False),
    ("OnRtnTrade", "RtnTrade", TRADE, True),
    ("OnRspQryInvestorPosition", "RspQryInvestorPosition", POSITION, False),
    ("OnRspQryTradingAccount", "RspQryTradingAccount", ACCOUNT, False),
    ("OnRspQryInstrument", "RspQryInstrument", INSTRUMENT, False),
    ("OnRspOrderInsert", "RspOrderInsert", INPUT_ORDER, False),
    ("OnErrRtnOrderInsert", "ErrRtnOrderInsert", INPUT_ORDER, True),
    ("OnRspOrderAction", "RspOrderAction", ACTION, False),
    ("OnErrRtnOrderAction", "ErrRtnOrderAction", ACTION, True),
]
# Return callbacks with no response information of their own.
NO_RSP_INFO = {"OnRtnOrder", "OnRtnTrade"}


def parse(spec):
    return [tuple(item.split(":")) for item in spec.split()]


def sample(fields):
    """Distinct wire values for every field, and the values the event must
    carry for them."""
    wire, expected = {}, {}
    for n, (key, kind) in enumerate(fields):
        if kind == "c":
            wire[key], expected[key] = Char(chr(65 + n)), chr(65 + n)
        elif kind == "i":
            wire[key] = expected[key] = (n + 1) * (-1) ** n * 1000
        elif kind == "f":
            wire[key] = expected[key] = n + 0.25
        else:
            text = (key * 3)[: int(kind) - 1]
            wire[key] = expected[key] = text
    return wire, expected


@pytest.mark.parametrize("callback, name, spec, is_return", EVENTS, ids=[e[1] for e in EVENTS])
def test_event_record_shape(front, session, callback, name, spec, is_return):
    fields = parse(spec)
    wire, data = sample(fields)
    # Sent in reverse: the record's order is the bridge's, not the wire's.
    front.send(callback, dict(reversed(wire.items())), request_id=7, last=False, error=(12, "资金不足"))
    [event] = wait_events(session, 1)
    assert list(event) == EVENT_KEYS
    assert list(event["data"]) == [key for key, _ in fields]
    error = {"ErrorID": 0, "ErrorMsg": ""} if callback in NO_RSP_INFO else {"ErrorID": 12, "ErrorMsg": "资金不足"}
    assert list(event["error"]) == ["ErrorID", "ErrorMsg"]
    assert event == {
        "name": name,
        "data": data,
        "error": error,
        "request_id": 0 if is_return else 7,
        "last": True if is_return else False,
    }
    assert all(type(event["data"][k]) is float for k, kind in fields if kind == "f")
    assert event["last"] is (True if is_return else False)


@pytest.mark.parametrize("callback, name, spec, is_return", EVENTS, ids=[e[1] for e in EVENTS])
def test_event_without_data_record(front, session, callback, name, spec, is_return):
    front.send(callback, None, request_id=3, error=(31, "无此记录"))
    [event] = wait_events(session, 1)
    assert list(event) == EVENT_KEYS
    assert event["data"] is None
    assert event["error"] == ({"ErrorID": 0, "ErrorMsg": ""} if callback in NO_RSP_INFO
                              else {"ErrorID": 31, "ErrorMsg": "无此记录"})


def test_response_without_rsp_info_has_a_zero_error(front, session):
    front.send("OnRspQryOrder", {"OrderRef": "5"}, request_id=4)
    [event] = wait_events(session, 1)
    assert event["error"] == {"ErrorID": 0, "ErrorMsg": ""}


@pytest.mark.parametrize("error, expected", [
    ((-1, "登录失败"), {"ErrorID": -1, "ErrorMsg": "登录失败"}),
    (None, None),
])
def test_rsp_error_carries_its_info_as_data(front, session, error, expected):
    front.send("OnRspError", None, request_id=11, last=True, error=error)
    [event] = wait_events(session, 1)
    assert list(event) == EVENT_KEYS
    assert event["name"] == "RspError"
    assert event["data"] == expected
    assert event["error"] == (expected or {"ErrorID": 0, "ErrorMsg": ""})
    assert (event["request_id"], event["last"]) == (11, True)


@pytest.mark.parametrize("key, wire, expected", [
    ("InstrumentID", b"A" * 80, "A" * 80),
    ("InstrumentID", b"B" * 81, "B" * 81),                       # full buffer, no NUL
    ("InstrumentID", b"C" * 200, "C" * 81),                      # never past the buffer
    ("StatusMsg", "全部成交".encode("gb18030"), "全部成交"),
    ("StatusMsg", "\u20ac\U0001f600".encode("gb18030"), "\u20ac\U0001f600"),  # four-byte sequences
    ("StatusMsg", b"AB\x00CD", "AB"),                            # up to the first NUL
    ("StatusMsg", b"\x00rest", ""),
    ("StatusMsg", b"ok\xff\xfe!", b"ok\xff\xfe!".decode("gb18030", "replace")),
    ("StatusMsg", b"\x81" * 81, (b"\x81" * 81).decode("gb18030", "replace")),  # full, ends mid-character
    ("CombOffsetFlag", "中文".encode("gb18030") + b"\xb5", "中文\ufffd"),  # cut in a character
    ("Direction", Char(b"\x00"), "\x00"),
    ("Direction", Char(b"\xb0"), "\xb0"),
    ("OrderStatus", Char("a"), "a"),
    ("FrontID", -2**31, -2**31),
    ("SessionID", 2**31 - 1, 2**31 - 1),
    ("LimitPrice", float("inf"), float("inf")),
    ("LimitPrice", 1e-300, 1e-300),
], ids=lambda v: None)
def test_field_conversion(front, session, key, wire, expected):
    front.send("OnRtnOrder", {key: wire})
    [event] = wait_events(session, 1)
    value = event["data"][key]
    assert value == expected
    assert type(value) is type(expected)
    if isinstance(wire, bytes) and (b"\xff" in wire or wire.startswith(b"\x81")):
        assert "\ufffd" in value


def test_untouched_fields_are_zero_values(front, session):
    front.send("OnRtnOrder", {})
    [event] = wait_events(session, 1)
    for key, kind in parse(ORDER):
        expected = {"c": "\x00", "i": 0, "f": 0.0}.get(kind, "")
        assert event["data"][key] == expected, key


def test_special_floats(front, session):
    front.send("OnRspQryTradingAccount", {"Balance": float("nan"), "Available": -0.0}, request_id=1)
    [event] = wait_events(session, 1)
    assert math.isnan(event["data"]["Balance"])
    assert math.copysign(1.0, event["data"]["Available"]) == -1.0


def test_full_error_message_without_nul(front, session):
    front.send("OnRspOrderInsert", {"OrderRef": "9"}, request_id=2, error=(15, b"E" * 81))
    [event] = wait_events(session, 1)
    assert event["error"] == {"ErrorID": 15, "ErrorMsg": "E" * 81}


def test_event_keys_are_shared_strings(front, session):
    front.send("OnRtnOrder", {})
    front.send("OnRtnOrder", {})
    first, second = wait_events(session, 2)
    for a, b in zip(first["data"], second["data"]):
        assert a is b
    for a, b in zip(first, second):
        assert a is b
    assert first["name"] is second["name"]


def vendor_text(raw: bytes, size: int) -> str:
    """What a text field of `size` bytes filled with `raw` must read as."""
    return raw[:size].split(b"\0", 1)[0].decode("gb18030", "replace")


# Texts around the eight-byte steps of the scan, prefixes of one another,
# non-ASCII bytes first, last or only past the first eight, invalid and cut
# sequences, and a lone high byte.
EDGE_TEXTS = [b"", b"\x00tail", b"7", b"\xb0", b"ab", b"abcdefg", b"abcdefgh", b"abcdefghi", b"abcdefgh\x00i",
              b"abcdefghijklmno", b"abcdefghijklmnop", b"abcdefghijklmnopq", "中".encode("gb18030"),
              b"ABCDEFGH" + "中".encode("gb18030"), "中".encode("gb18030") + b"ABCDEFGH", b"ok\xff\xfe!",
              b"ok\xff\xfe", "部分成交".encode("gb18030")[:-1], b"\x81" * 81, b"Z" * 81, b"Y" * 120]


def test_texts_decode_alike_fresh_and_repeated(front, session):
    # Far more distinct texts than the bridge keeps decoded, each sent twice,
    # interleaved with the edge cases: every value must read as its own bytes,
    # whether decoded afresh or found again.
    distinct = [f"{n:>12}".encode() for n in range(1500)] + [f"已撤单{n}".encode("gb18030") for n in range(600)]
    texts = EDGE_TEXTS + [t for pair in zip(distinct, reversed(distinct)) for t in pair] + distinct + EDGE_TEXTS
    for text in texts:
        front.send("OnRtnOrder", {"StatusMsg": text, "OrderSysID": text, "TradingDay": text})
    events = wait_events(session, len(texts))
    assert len(events) == len(texts)
    for text, event in zip(texts, events):
        data = event["data"]
        assert (data["StatusMsg"], data["OrderSysID"], data["TradingDay"]) == (
            vendor_text(text, 81), vendor_text(text, 21), vendor_text(text, 9)), text
        assert type(data["StatusMsg"]) is str


def test_batches_keep_order_across_polls(front, session):
    # Batches that end inside a block of queued events and start the next
    # one in blocks handed back by the poll before.
    first = 0
    for size in (1, 63, 64, 65, 200, 129):
        for n in range(first, first + size):
            front.send("OnRspQryOrder", {"OrderRef": str(n)}, request_id=n, last=n % 2 == 0)
        events = wait_events(session, size)
        assert [(e["request_id"], e["data"]["OrderRef"], e["last"]) for e in events] == [
            (n, str(n), n % 2 == 0) for n in range(first, first + size)]
        first += size


def test_floor_hook_builds_what_poll_builds(front, session):
    front.send("OnRtnOrder", {key: value for key, value in sample(parse(ORDER))[0].items()})
    [event] = wait_events(session, 1)
    built = _relay._floor_order_events(event["data"], 3)
    assert built == [event] * 3
    assert [list(e) for e in built] == [list(event)] * 3
    assert all(list(e["data"]) == list(event["data"]) for e in built)
    assert _relay._floor_order_events(event["data"], 0) == []


@pytest.mark.parametrize("call, error", [
    (lambda s: _relay._floor_order_events({}, 1), KeyError),
    (lambda s: _relay._floor_order_events(None, 1), TypeError),
    (lambda s: _relay._floor_order_events({}, -1), ValueError),
    (lambda s: _relay._floor_request(s, "OrderInsert", {}), TypeError),
    (lambda s: _relay._floor_request(s, "OrderInsert", None, 1), TypeError),
    (lambda s: _relay._floor_request(s, "OrderInsert", {}, 2**40), OverflowError),
    (lambda s: _relay._floor_request(object(), "OrderInsert", {}, 1), ValueError),
], ids=range(7))
def test_floor_hooks_refuse_bad_arguments(session, call, error):
    with pytest.raises(error):
        call(session)
