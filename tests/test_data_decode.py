"""decode and its wire-key tables: complete validation, exact messages and check order."""

import collections
import math

import pytest

from data_support import QUOTE_NAMES, SYMBOL, bar_message, quote_message
from torvo.data import BAR_COLUMNS, BAR_FIELDS, QUOTE_FIELDS, ExError, decode

CHANNEL = "行情数据的合约与订阅频道不一致"
TIME = "行情时间戳或交易日无效"
MISSING = "行情消息缺少必要字段"
VALUE = "行情数值字段格式无效"
RANGE = "行情数值字段超出范围"
FINITE = "行情数值字段不能为 NaN 或无穷大"
BOOK = "行情盘口格式无效"
LEVEL = "行情盘口档位无效"
PRICE = "行情盘口缺少价格"


def failure(message, quote=False, symbol=SYMBOL):
    with pytest.raises(ExError) as caught:
        decode(message, symbol, quote=quote)
    assert caught.value.status is None
    assert len(caught.value.args) == 1
    return caught.value.args[0]


def test_tables():
    assert list(BAR_FIELDS.items()) == [
        ("o", "open"), ("h", "high"), ("l", "low"), ("c", "close"), ("v", "volume"),
        ("m", "turnover"), ("oi", "open_interest")]
    assert list(QUOTE_FIELDS.items()) == [
        ("o", "open"), ("h", "highest"), ("l", "lowest"), ("c", "last_price"),
        ("v", "volume"), ("m", "turnover"), ("oi", "open_interest"),
        ("ps", "pre_settlement"), ("pc", "pre_close"), ("up", "upper_limit"),
        ("dn", "lower_limit")]
    assert decode.__doc__ == "Validate a complete message before exposing any of its fields."


class TestBars:
    def test_bar_message_decodes_in_column_order(self):
        result = decode(bar_message(), SYMBOL)
        assert list(result) == BAR_COLUMNS
        assert result == {"timestamp": 1767225600000, "trading_day": "20260105",
                          "open": 3520.0, "high": 3531.0, "low": 3515.0, "close": 3528.0,
                          "volume": 18235.0, "turnover": 642198400.0,
                          "open_interest": 1523400.0}
        assert all(type(result[name]) is float for name in BAR_COLUMNS[2:])

    def test_extra_keys_and_dict_subclasses_are_accepted(self):
        message = collections.OrderedDict(bar_message(extra=[1], b="ignored for bars"))
        assert decode(message, SYMBOL)["close"] == 3528.0
        assert decode(data=message, symbol=SYMBOL)["close"] == 3528.0

    @pytest.mark.parametrize("t", [0, 9223372036854775807])
    def test_timestamp_bounds(self, t):
        assert decode(bar_message(t=t), SYMBOL)["timestamp"] == t

    @pytest.mark.parametrize("changes", [
        {"t": -1}, {"t": 9223372036854775808}, {"t": 1.0}, {"t": True}, {"t": "0"},
        {"t": None}, {"t": ...}, {"d": "2026010"}, {"d": "202601050"}, {"d": "２０２６０１０５"},
        {"d": "2026O105"}, {"d": 20260105}, {"d": b"20260105"}, {"d": ...},
        {"d": "20260105\n"},
    ])
    def test_bad_time_or_trading_day(self, changes):
        assert failure(bar_message(**changes)) == TIME

    def test_calendar_is_not_checked(self):
        assert decode(bar_message(d="20261399"), SYMBOL)["trading_day"] == "20261399"

    def test_missing_value_is_nan_but_missing_key_fails(self):
        assert math.isnan(decode(bar_message(oi=None), SYMBOL)["open_interest"])
        assert failure(bar_message(oi=...)) == MISSING

    @pytest.mark.parametrize("value, message", [
        ("3528", VALUE), (True, VALUE), ([1.0], VALUE), (10**400, RANGE), (math.nan, FINITE),
        (-math.inf, FINITE),
    ])
    def test_numeric_field_errors(self, value, message):
        assert failure(bar_message(c=value)) == message

    def test_overflow_keeps_its_cause(self):
        with pytest.raises(ExError) as caught:
            decode(bar_message(m=10**400), SYMBOL)
        assert isinstance(caught.value.__cause__, OverflowError)


class TestCheckOrder:
    @pytest.mark.parametrize("message, expected", [
        ([("s", SYMBOL)], CHANNEL),
        ("not a message", CHANNEL),
        (bar_message(s="SHFE.rb2611", t=-1), CHANNEL),
        (bar_message(s=...), CHANNEL),
        (bar_message(t=-1, o=...), TIME),
        (bar_message(o=..., c="x"), MISSING),
        (bar_message(o="x", c=math.nan), VALUE),
        (bar_message(o=math.inf, c="x"), FINITE),
    ])
    def test_first_failing_check_wins(self, message, expected):
        assert failure(message) == expected

    def test_quote_checks_fields_before_the_book(self):
        assert failure(quote_message(c="x", b=None), quote=True) == VALUE
        assert failure(quote_message(ps=..., b=None), quote=True) == MISSING
        assert failure(quote_message(b=[[1.0, 0]], a=None), quote=True) == LEVEL

    def test_symbol_is_compared_by_equality(self):
        class Loose(str):
            def __ne__(self, other):
                return False

        assert decode(bar_message(s=Loose("other")), SYMBOL)["close"] == 3528.0
        assert failure(bar_message(), symbol="SHFE.rb2611") == CHANNEL


class TestQuotes:
    def test_quote_message_decodes_all_fields_in_order(self):
        result = decode(quote_message(), SYMBOL, quote=True)
        assert list(result) == ["timestamp", "trading_day"] + list(QUOTE_FIELDS.values()) + [
            "bids", "asks"]
        assert sorted(result) == sorted(QUOTE_NAMES)
        assert result["upper_limit"] == 3685.0 and type(result["upper_limit"]) is float
        assert result["bids"] == [(3528.0, 10), (3527.0, 4)]
        assert result["asks"] == [(3529.0, 12)]
        assert [type(price) for price, _ in result["bids"]] == [float, float]

    def test_quote_needs_the_quote_fields(self):
        message = quote_message(ps=...)
        assert failure(message, quote=True) == MISSING
        assert decode(message, SYMBOL)["close"] == 3528.0  # still a valid bar

    def test_levels_keep_arrival_order_and_empty_sides_are_valid(self):
        levels = [[3520.0 + i % 2, 5 - i] for i in range(5)]
        result = decode(quote_message(b=levels, a=[]), SYMBOL, quote=True)
        assert result["bids"] == [(3520.0 + i % 2, 5 - i) for i in range(5)]
        assert result["asks"] == []

    @pytest.mark.parametrize("changes, expected", [
        ({"b": ...}, BOOK),
        ({"a": ...}, BOOK),
        ({"b": None}, BOOK),
        ({"a": ((3529.0, 1),)}, BOOK),
        ({"b": [[3528.0 - i, 1] for i in range(6)]}, BOOK),
        ({"b": [(3528.0, 1)]}, LEVEL),
        ({"b": [[3528.0, 1, 0]]}, LEVEL),
        ({"b": [[3528.0]]}, LEVEL),
        ({"b": [[3528.0, 0]]}, LEVEL),
        ({"b": [[3528.0, -3]]}, LEVEL),
        ({"b": [[3528.0, 1.0]]}, LEVEL),
        ({"b": [[3528.0, True]]}, LEVEL),
        ({"a": [[3529.0, 1], [3530.0, None]]}, LEVEL),
        ({"a": [[None, 1]]}, PRICE),
        ({"a": [["3529", 1]]}, VALUE),
        ({"a": [[math.nan, 1]]}, FINITE),
        ({"a": [[10**400, 1]]}, RANGE),
        ({"b": [[None, 0]]}, LEVEL),  # the level shape is checked before the price
        ({"b": [[None, 1]], "a": None}, PRICE),  # bids before asks
    ])
    def test_book_failures(self, changes, expected):
        assert failure(quote_message(**changes), quote=True) == expected

    def test_large_quantities_are_kept_as_given(self):
        result = decode(quote_message(b=[[1.5, 10**30]]), SYMBOL, quote=True)
        assert result["bids"] == [(1.5, 10**30)]

    def test_price_conversion_code_cannot_break_decoding(self):
        message = quote_message()

        class Sneaky(float):
            def __float__(self):
                message["a"].clear()  # mutates the message while it is read
                message["b"][:] = []
                return 1.0

        message["b"] = [[Sneaky(3528.0), 3], [3527.0, 4]]
        result = decode(message, SYMBOL, quote=True)
        assert result["bids"][0] == (1.0, 3)
        assert result["asks"] == []


class TestCalls:
    @pytest.mark.parametrize("args, kwargs", [
        ((bar_message(),), {}),
        ((bar_message(), SYMBOL, True), {}),
        ((bar_message(), SYMBOL), {"quote": True, "data": 1}),
        ((bar_message(), SYMBOL), {"mode": "quote"}),
    ])
    def test_wrong_calls_raise_type_error(self, args, kwargs):
        with pytest.raises(TypeError):
            decode(*args, **kwargs)

    @pytest.mark.parametrize("args, kwargs, message", [
        ((1, 2, 3), {}, "decode() takes 2 positional arguments but 3 were given"),
        ((1,), {}, "decode() missing required argument 'symbol'"),
        ((1,), {"quote": True}, "decode() missing required argument 'symbol'"),
        ((1, 2), {"mode": 1}, "decode() got an unexpected keyword argument 'mode'"),
        ((1, 2), {"data": 1}, "decode() got multiple values for argument 'data'"),
        ((1, 2), {"quote": 1, "symbol": 2}, "decode() got multiple values for argument 'symbol'"),
    ])
    def test_wrong_call_messages(self, args, kwargs, message):
        with pytest.raises(TypeError) as caught:
            decode(*args, **kwargs)
        assert str(caught.value) == message

    def test_keywords_built_at_run_time_are_matched_by_text(self):
        names = {"".join(["da", "ta"]): bar_message(), "".join(["sym", "bol"]): SYMBOL,
                 "".join(["quo", "te"]): False}
        assert decode(**names) == decode(bar_message(), SYMBOL)

    def test_quote_flag_is_taken_by_truth(self):
        assert "bids" in decode(quote_message(), SYMBOL, quote=1)
        assert "bids" not in decode(quote_message(), SYMBOL, quote=[])
