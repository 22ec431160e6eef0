"""Hot operations of torvo.data repeated many times must not grow memory."""

import gc
import math
import tracemalloc

import pytest

from data_support import SYMBOL, bar, bar_message, quote_message
from torvo.data import ExError, Quote, Serial, check_symbol, decode, different, number

SLACK = 8 * 1024  # bytes


def growth(operation, repeat, warm_up=None):
    """Bytes still allocated after `repeat` more runs of a warmed-up operation.

    Tracing starts before the warm-up, so state that the operation replaces
    (kept bars, rebuilt columns) is traced on both sides of the comparison.
    """
    tracemalloc.start()
    try:
        for _ in range(repeat // 4 + 1 if warm_up is None else warm_up):
            operation()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(repeat):
            operation()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


def failing(call, *args, **kwargs):
    def run():
        try:
            call(*args, **kwargs)
        except (ExError, ValueError, TypeError, KeyError, RuntimeError, AttributeError):
            pass
    return run


BAR = bar_message()
QUOTE = quote_message(b=[[3528.0 - i, 1 + i] for i in range(5)],
                      a=[[3529.0 + i, 2 + i] for i in range(5)])


def make_quote():
    quote = Quote(SYMBOL, **decode(QUOTE, SYMBOL, quote=True))
    try:
        quote.last_price = 1.0
    except AttributeError:
        pass


@pytest.mark.parametrize("operation", [
    lambda: decode(BAR, SYMBOL),
    lambda: decode(QUOTE, SYMBOL, quote=True),
    failing(decode, quote_message(a=[[None, 1]]), SYMBOL, quote=True),
    failing(decode, bar_message(c=10**400), SYMBOL),
    failing(decode, bar_message(), "DCE.a2611", quote=True),
    lambda: check_symbol("DCE.a2611-C-3700"),
    failing(check_symbol, "bad symbol"),
    lambda: number(12345),
    failing(number, "1"),
    lambda: different(math.nan, math.nan) or different(1, 2.0),
    lambda: ExError("x", 3.5),
    failing(ExError, b"x"),
    make_quote,
], ids=["decode_bar", "decode_quote", "decode_bad_price", "decode_overflow",
        "decode_channel", "check_symbol", "check_symbol_bad", "number", "number_bad",
        "different", "exerror", "exerror_bad", "quote"])
def test_functions_do_not_leak(operation):
    assert growth(operation, 20000) < SLACK


def test_serial_updates_do_not_leak():
    s = Serial(SYMBOL, "1m", 200)
    s.update([bar(60_000 * i) for i in range(200)])
    revision = [0]

    def revise():
        revision[0] += 1
        s.update([bar(60_000 * 199, close=float(revision[0] % 5), volume=float(revision[0]))])

    assert growth(revise, 2000) < SLACK

    stamp = [200]

    def merge():
        stamp[0] += 1
        s.update([bar(60_000 * stamp[0])])

    assert growth(merge, 600, warm_up=300) < SLACK
    assert growth(failing(s.update, [bar(60_000 * 10**6, close="x")]), 400) < SLACK
