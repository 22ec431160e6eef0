"""decode on arbitrary messages: valid bar and quote messages with keys
removed, replaced by any JSON-like value or added; only ExError comes out,
and a message that decodes gives back exactly its own values."""

import math

from hypothesis import given, strategies as st

from data_support import SYMBOL, bar_message, quote_message
from property_support import examples
from torvo.data import BAR_FIELDS, QUOTE_FIELDS, ExError, decode

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.integers(-(2**70), 2**70).map(lambda n: n * 2**960)
    | st.floats() | st.text(max_size=10) | st.sampled_from([SYMBOL, "20260105", "2026010５"]),
    lambda inner: st.lists(inner, max_size=7) | st.dictionaries(st.text(max_size=2), inner, max_size=3),
    max_leaves=12,
)
levels = st.lists(st.lists(json_values, min_size=0, max_size=3) | json_values, max_size=7)
DELETE = object()


@st.composite
def messages(draw):
    quote = draw(st.booleans())
    message = quote_message() if quote else bar_message()
    for key in list(message):
        change = draw(st.sampled_from(["keep"] * 12 + ["delete", "replace"]))
        if change == "delete":
            del message[key]
        elif change == "replace":
            message[key] = draw(levels if key in ("a", "b") else json_values)
    message.update(draw(st.dictionaries(st.sampled_from(["b", "a", "x", "ps", "t", ""]), json_values, max_size=2)))
    return message, draw(st.booleans()), draw(st.sampled_from([SYMBOL] * 5 + ["DCE.m2505"]))


def number(value):
    return math.nan if value is None else float(value)


def same(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


@examples(150)
@given(messages())
def test_decode_raises_only_ex_error_and_keeps_the_values(case):
    message, quote, symbol = case
    try:
        result = decode(message, symbol, quote=quote)
    except ExError as error:
        assert error.status is None and len(error.args) == 1 and isinstance(error.args[0], str)
        return
    table = QUOTE_FIELDS if quote else BAR_FIELDS
    names = ["timestamp", "trading_day", *table.values()] + (["bids", "asks"] if quote else [])
    assert list(result) == names
    assert (result["timestamp"], result["trading_day"]) == (message["t"], message["d"])
    for key, name in table.items():
        assert type(result[name]) is float and same(result[name], number(message[key]))
    if quote:
        for key, name in (("b", "bids"), ("a", "asks")):
            assert result[name] == [(float(price), volume) for price, volume in message[key]]
            assert all(type(p) is float and type(v) is int for p, v in result[name])
