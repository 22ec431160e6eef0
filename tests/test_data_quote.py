"""Quote: a dataclass snapshot whose fields can be set once."""

import copy
import dataclasses
import gc
import math
import pickle

import pytest

from data_support import QUOTE_NAMES, SYMBOL, quote_message
from torvo.data import Quote, decode

READONLY = "行情快照字段为只读"
PRICES = ["open", "highest", "lowest", "last_price", "pre_settlement", "pre_close",
          "upper_limit", "lower_limit", "volume", "turnover", "open_interest"]


def test_is_a_real_dataclass_with_the_declared_fields():
    assert dataclasses.is_dataclass(Quote)
    fields = dataclasses.fields(Quote)
    assert [f.name for f in fields] == ["symbol"] + QUOTE_NAMES
    types = {f.name: f.type for f in fields}
    assert types["symbol"] is str and types["timestamp"] is int and types["open"] is float
    assert types["bids"] == list[tuple[float, int]]
    assert Quote.__module__ == "torvo.data" and Quote.__qualname__ == "Quote"
    assert Quote.__doc__.startswith("合约行情快照；通过观察句柄的 data() 获取，不随后续更新改变。\n\n"
                                    "    Attributes:\n        symbol: 合约代码")
    assert Quote.__doc__.endswith("asks: 卖盘档位，每档为（价格，数量）。\n    ")


def test_defaults():
    first, second = Quote(SYMBOL), Quote(SYMBOL)
    assert (first.symbol, first.trading_day, first.timestamp) == (SYMBOL, "", 0)
    assert all(getattr(first, name) is math.nan for name in PRICES)
    assert first.bids == [] and first.asks == []
    assert first.bids is not second.bids and first.bids is not first.asks
    with pytest.raises(TypeError):
        Quote()


def test_repr_and_identity_equality():
    quote = Quote(SYMBOL, timestamp=5, bids=[(1.0, 2)])
    assert repr(quote).startswith("Quote(symbol='SHFE.rb2610', trading_day='', timestamp=5, "
                                  "open=nan,")
    assert repr(quote).endswith("bids=[(1.0, 2)], asks=[])")
    twin = Quote(SYMBOL, timestamp=5, bids=[(1.0, 2)])
    assert quote != twin and quote == quote
    assert hash(quote) != hash(twin) or quote is twin
    assert len({quote, twin}) == 2


def test_snapshot_from_a_decoded_quote():
    values = decode(quote_message(), SYMBOL, quote=True)
    quote = Quote(SYMBOL, **values)
    assert dataclasses.asdict(quote) == {"symbol": SYMBOL, **values}


class TestWriteOnce:
    @pytest.mark.parametrize("name", ["symbol", "trading_day", "timestamp", "last_price",
                                      "volume", "bids", "asks"])
    def test_fields_cannot_be_reassigned(self, name):
        quote = Quote(SYMBOL, last_price=1.0)
        before = getattr(quote, name)
        with pytest.raises(AttributeError) as caught:
            setattr(quote, name, 99)
        assert caught.value.args == (READONLY,)
        assert getattr(quote, name) is before

    def test_other_attributes_are_free_and_lists_are_ordinary(self):
        quote = Quote(SYMBOL)
        quote.note = "a"
        quote.note = "b"
        assert quote.note == "b"
        quote.bids.append((1.0, 1))
        assert quote.bids == [(1.0, 1)]

    def test_deleted_field_can_be_set_once_more(self):
        quote = Quote(SYMBOL, last_price=1.0)
        del quote.last_price
        quote.last_price = 2.0
        assert quote.last_price == 2.0
        with pytest.raises(AttributeError, match=READONLY):
            quote.last_price = 3.0

    @pytest.mark.parametrize("duplicate", [
        copy.copy, copy.deepcopy, lambda q: pickle.loads(pickle.dumps(q)),
        lambda q: dataclasses.replace(q, symbol="DCE.a2611"),
    ])
    def test_copies_are_guarded_too(self, duplicate):
        quote = Quote(SYMBOL, last_price=1.0, bids=[(1.0, 2)])
        other = duplicate(quote)
        assert type(other) is Quote and other is not quote
        assert other.last_price == 1.0 and other.bids == [(1.0, 2)]
        with pytest.raises(AttributeError, match=READONLY):
            other.last_price = 2.0

    def test_subclasses_guard_their_own_fields_too(self):
        @dataclasses.dataclass(eq=False)
        class Tagged(Quote):
            tag: str = ""

        class Plain(Quote):
            pass

        tagged = Tagged(SYMBOL, tag="a")
        for quote, name in ((tagged, "tag"), (tagged, "last_price"), (Plain(SYMBOL), "open")):
            with pytest.raises(AttributeError, match=READONLY):
                setattr(quote, name, 1.0)
        tagged.note = 1
        tagged.note = 2

    def test_instance_dictionary(self):
        quote = Quote(SYMBOL)
        assert list(vars(quote)) == ["symbol"] + QUOTE_NAMES
        quote.__dict__["last_price"] = 5.0  # the dictionary itself is not guarded
        assert quote.last_price == 5.0


def test_quotes_are_collected_in_cycles():
    freed = []

    class Payload:
        def __del__(self):
            freed.append(True)

    quote = Quote(SYMBOL)
    quote.me = quote
    quote.bids.append(Payload())
    del quote
    gc.collect()
    assert freed == [True]
