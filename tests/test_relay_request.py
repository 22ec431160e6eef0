"""Requests: the ten request names, the records that reach the front and the
checks on every field value."""

import types

import pytest

from front import Front
from relay_support import open_session, session, wait_for  # noqa: F401
from torvo import _relay

# Keys of each request in the order they are read: a number is a text buffer
# of that many bytes, "c" a single character, "i" an int, "f" a float.
REQUESTS = {
    "Authenticate": "BrokerID:11 UserID:16 AuthCode:17 AppID:33",
    "UserLogin": "BrokerID:11 UserID:16 Password:41",
    "SettlementInfoConfirm": "BrokerID:11 InvestorID:13 CurrencyID:4",
    "QryOrder": "BrokerID:11 InvestorID:13 ExchangeID:9 OrderSysID:21 InstrumentID:81",
    "QryTrade": "BrokerID:11 InvestorID:13 ExchangeID:9 InstrumentID:81",
    "QryInvestorPosition": "BrokerID:11 InvestorID:13 ExchangeID:9 InstrumentID:81",
    "QryTradingAccount": "BrokerID:11 InvestorID:13 CurrencyID:4",
    "QryInstrument": "ExchangeID:9 InstrumentID:81",
    "OrderInsert": (
        "BrokerID:11 InvestorID:13 OrderRef:13 UserID:16 OrderPriceType:c Direction:c CombOffsetFlag:5 "
        "CombHedgeFlag:5 LimitPrice:f VolumeTotalOriginal:i TimeCondition:c VolumeCondition:c MinVolume:i "
        "ContingentCondition:c ForceCloseReason:c IsAutoSuspend:i UserForceClose:i ExchangeID:9 "
        "CurrencyID:4 InstrumentID:81"),
    "OrderAction": ("BrokerID:11 InvestorID:13 ExchangeID:9 OrderSysID:21 ActionFlag:c LimitPrice:f "
                    "UserID:16 InstrumentID:81"),
}
FIELDS = {method: [tuple(item.split(":")) for item in spec.split()] for method, spec in REQUESTS.items()}
TEXT_FIELDS = [(method, key, int(kind)) for method, fields in FIELDS.items()
               for key, kind in fields if kind.isdigit()]

ZERO = (b"", b"\x00", 0, 0.0)
TOO_LONG = "超出 CTP 字段长度或包含 NUL 字符"


def sent(front, handle, method, fields, request_id=1):
    """Sends a request that must succeed; returns the record's fields as the
    front received them."""
    assert _relay.request(handle, method, fields, request_id) == 0
    frame = front.recv()
    assert (frame["name"], frame["request_id"]) == ("Req" + method, request_id)
    return frame["fields"]


def refused(handle, method, fields, error, message=None):
    with pytest.raises(error, match=message):
        _relay.request(handle, method, fields, 1)


@pytest.mark.parametrize("method", REQUESTS)
def test_empty_dict_sends_an_all_zero_record(front, session, method):
    record = sent(front, session, method, {}, request_id=40)
    assert {key for key, _ in FIELDS[method]} <= record.keys()
    assert {key: value for key, value in record.items() if value not in ZERO} == {}


@pytest.mark.parametrize("method", REQUESTS)
def test_every_field_reaches_the_front(front, session, method):
    values, expected = {}, {}
    for n, (key, kind) in enumerate(FIELDS[method]):
        if kind == "c":
            values[key], expected[key] = chr(49 + n), chr(49 + n).encode()
        elif kind == "i":
            values[key] = expected[key] = -n * 1000 - 1
        elif kind == "f":
            values[key] = expected[key] = n + 0.5
        else:
            values[key] = ("中" + key)[: int(kind) - 3]
            expected[key] = values[key].encode("gb18030")
    record = sent(front, session, method, values, request_id=-7)
    assert {key: record[key] for key in expected} == expected
    assert all(type(record[key]) is float for key, kind in FIELDS[method] if kind == "f")


@pytest.mark.parametrize("method, extra", [
    ("OrderInsert", {"RequestID": 5, "StopPrice": 1.5}),
    ("OrderAction", {"FrontID": 3, "SessionID": 4, "OrderRef": "12", "RequestID": 5}),
])
def test_fields_outside_the_request_table_stay_zero(front, session, method, extra):
    record = sent(front, session, method, extra, request_id=77)
    assert {key: record[key] for key in extra if record[key] not in ZERO} == {}


@pytest.mark.parametrize("method, key, size", TEXT_FIELDS, ids=[f"{m}-{k}" for m, k, _ in TEXT_FIELDS])
def test_text_takes_one_byte_less_than_its_buffer(front, session, method, key, size):
    assert sent(front, session, method, {key: "x" * (size - 1)})[key] == b"x" * (size - 1)
    refused(session, method, {key: "x" * size}, ValueError, f"^{key} {TOO_LONG}$")


@pytest.mark.parametrize("key, text, ok", [
    ("InstrumentID", "中" * 40, True),             # 80 bytes
    ("InstrumentID", "中" * 40 + "a", False),
    ("InstrumentID", "\U0001f600" * 20, True),     # four bytes each
    ("InstrumentID", "\U0001f600" * 20 + "a", False),
    ("BrokerID", "中" * 5, True),
    ("BrokerID", "a" + "中" * 5, False),
    ("CurrencyID", "元a", True),
    ("CurrencyID", "元元", False),
])
def test_chinese_text_counts_in_encoded_bytes(front, session, key, text, ok):
    method = "QryTradingAccount" if key == "CurrencyID" else "QryOrder"
    if ok:
        assert sent(front, session, method, {key: text})[key] == text.encode("gb18030")
    else:
        refused(session, method, {key: text}, ValueError, f"^{key} {TOO_LONG}$")


@pytest.mark.parametrize("value, stored", [("", b"\x00"), ("0", b"0"), ("\x7f", b"\x7f")])
def test_char_accepts_one_byte_or_nothing(front, session, value, stored):
    assert sent(front, session, "OrderInsert", {"Direction": value})["Direction"] == stored


@pytest.mark.parametrize("value", ["01", "中", "\x00", "\x80"])
def test_char_refuses_more_than_one_byte_and_nul(session, value):
    # "\x80" encodes to two GB18030 bytes.
    refused(session, "OrderInsert", {"Direction": value}, ValueError, f"^Direction {TOO_LONG}$")


@pytest.mark.parametrize("key", ["InstrumentID", "Direction"])
@pytest.mark.parametrize("value, error, message", [
    (b"rb2501", TypeError, "必须是字符串"),
    (bytearray(b"0"), TypeError, "必须是字符串"),
    (1, TypeError, "必须是字符串"),
    (None, TypeError, "必须是字符串"),
    ("a\x00", ValueError, TOO_LONG),
    ("\ud800", ValueError, "包含 CTP 不支持的字符"),
    ("a\udcff", ValueError, "包含 CTP 不支持的字符"),
])
def test_bad_text_values(session, key, value, error, message):
    refused(session, "OrderInsert", {key: value}, error, f"^{key} {message}$")


def test_str_subclass_is_text(front, session):
    class Code(str):
        pass
    assert sent(front, session, "QryInstrument", {"InstrumentID": Code("ag2506")})["InstrumentID"] == b"ag2506"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("value, stored", [
    (2**31 - 1, 2**31 - 1), (-2**31, -2**31), (True, 1), (Index(12), 12),
])
def test_int_accepts_what_converts_by_index(front, session, value, stored):
    assert sent(front, session, "OrderInsert", {"VolumeTotalOriginal": value})["VolumeTotalOriginal"] == stored


@pytest.mark.parametrize("value, error", [
    (2**31, OverflowError), (-2**31 - 1, OverflowError), (2**70, OverflowError), (Index(2**40), OverflowError),
    (1.0, TypeError), ("1", TypeError), (None, TypeError),
])
def test_int_refuses_out_of_range_and_non_integers(session, value, error):
    refused(session, "OrderInsert", {"VolumeTotalOriginal": value}, error)


@pytest.mark.parametrize("value, stored", [(5, 5.0), (True, 1.0), (Real(), 2.5), (Index(3), 3.0), (-0.5, -0.5)])
def test_float_accepts_what_converts_to_float(front, session, value, stored):
    price = sent(front, session, "OrderInsert", {"LimitPrice": value})["LimitPrice"]
    assert type(price) is float and price == stored


@pytest.mark.parametrize("value, error", [("1.5", TypeError), (None, TypeError), (10**400, OverflowError)])
def test_float_refuses_what_does_not_convert(session, value, error):
    refused(session, "OrderInsert", {"LimitPrice": value}, error)


def test_keys_must_match_exactly(front, session):
    record = sent(front, session, "QryOrder", {"brokerid": "a", "BROKERID": "b", "BrokerID ": "c", 1: "d",
                                               ("BrokerID",): "e", "Unknown": object()})
    assert record["BrokerID"] == b""


def test_first_failing_key_in_table_order_is_reported(session):
    refused(session, "OrderInsert", {"InstrumentID": 1, "LimitPrice": "x", "BrokerID": 2}, TypeError,
            "^BrokerID 必须是字符串$")


def test_dict_subclass_is_accepted(front, session):
    class Fields(dict):
        def __getitem__(self, key):
            raise AssertionError("read through the dict itself")
    assert sent(front, session, "QryInstrument", Fields(ExchangeID="SHFE"))["ExchangeID"] == b"SHFE"


@pytest.mark.parametrize("fields", [[("ExchangeID", "SHFE")], types.MappingProxyType({}), None])
def test_fields_must_be_a_dict(session, fields):
    refused(session, "QryInstrument", fields, TypeError)


@pytest.mark.parametrize("method", ["orderinsert", "ReqOrderInsert", "OrderInsert ", "", "Login"])
def test_unknown_request_names(session, method):
    refused(session, method, {}, ValueError, "^不支持的 CTP 请求$")


@pytest.mark.parametrize("args, error, message", [
    ((b"QryOrder", {}, 1), TypeError, r"^request\(\) argument 2 must be str, not bytes$"),
    (("QryOrder", None, 1), TypeError, r"^request\(\) argument 3 must be dict, not None$"),
    (("QryOrder", {}, "1"), TypeError, "cannot be interpreted as an integer"),
    (("QryOrder", {}, 1.0), TypeError, "cannot be interpreted as an integer"),
    # (A C long of 32 bits overflows first, with the host's message for that.)
    (("QryOrder", {}, 2**31), OverflowError, "^(signed integer is greater than maximum|Python int too large)"),
    (("QryOrder", {}, -2**31 - 1), OverflowError, "^(signed integer is less than minimum|Python int too large)"),
    (("QryOrder", {}), TypeError, r"^request\(\) takes exactly 4 arguments \(3 given\)$"),
    (("QryOrder", {}, 1, 2), TypeError, r"^request\(\) takes exactly 4 arguments \(5 given\)$"),
])
def test_request_argument_errors(session, args, error, message):
    with pytest.raises(error, match=message):
        _relay.request(session, *args)


def test_request_takes_no_keywords(session):
    with pytest.raises(TypeError, match="no keyword arguments"):
        _relay.request(session, "QryOrder", {}, request_id=1)


def test_failed_request_sends_nothing(front, session):
    refused(session, "OrderInsert", {"BrokerID": "9999", "InstrumentID": "x" * 81}, ValueError, TOO_LONG)
    refused(session, "Nope", {}, ValueError, "不支持")
    assert sent(front, session, "QryOrder", {}, request_id=5) is not None


@pytest.mark.parametrize("key, hook", [("VolumeTotalOriginal", "__index__"), ("LimitPrice", "__float__")])
def test_session_closed_by_a_conversion_hook_sends_nothing(front, tmp_path, key, hook):
    with open_session(front, tmp_path) as handle:
        def close_session(self):
            _relay.close(handle)
            return 1 if hook == "__index__" else 1.0
        value = type("Closing", (), {hook: close_session})()
        refused(handle, "OrderInsert", {"BrokerID": "9999", key: value}, RuntimeError, "^CTP 接口已关闭$")
        with pytest.raises(ConnectionError):
            front.recv()  # the library went away without sending the order


@pytest.mark.parametrize("request_id", [0, -1, 2**31 - 1, -2**31, True, Index(12)])
def test_request_id_travels_unchanged(front, session, request_id):
    assert _relay.request(session, "QryOrder", {}, request_id) == 0
    assert front.recv()["request_id"] == int(request_id)


def test_vendor_result_is_returned_when_not_connected(front, session):
    front.drop()
    wait_for(session, "FrontDisconnected")
    assert _relay.request(session, "QryOrder", {}, 1) == -1
    assert _relay.request(session, "OrderInsert", {}, 2) == -1


def test_vendor_result_is_returned_when_queries_are_too_fast(tmp_path):
    with Front(query_rate=1) as limited, open_session(limited, tmp_path) as handle:
        results = [_relay.request(handle, "QryOrder", {}, n) for n in range(3)]
        assert results[0] == 0
        assert -3 in results[1:]
        # Orders are not queries and are never held back.
        assert _relay.request(handle, "OrderInsert", {}, 9) == 0
