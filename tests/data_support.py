"""Message and bar builders for the torvo.data tests."""

SYMBOL = "SHFE.rb2610"

QUOTE_NAMES = ["trading_day", "timestamp", "open", "highest", "lowest", "last_price",
               "pre_settlement", "pre_close", "upper_limit", "lower_limit", "volume",
               "turnover", "open_interest", "bids", "asks"]


def bar_message(**changes):
    """A valid bar message; a change to `...` removes that key."""
    message = {"s": SYMBOL, "t": 1767225600000, "d": "20260105", "o": 3520.0, "h": 3531,
               "l": 3515.0, "c": 3528.0, "v": 18235, "m": 642198400.0, "oi": 1523400}
    return _apply(message, changes)


def quote_message(**changes):
    message = bar_message(ps=3510.0, pc=3512.0, up=3685, dn=3334.0,
                          b=[[3528.0, 10], [3527, 4]], a=[[3529.0, 12]])
    return _apply(message, changes)


def _apply(message, changes):
    for key, value in changes.items():
        if value is ...:
            message.pop(key, None)
        else:
            message[key] = value
    return message


def bar(stamp, close=3528.0, **changes):
    """A decoded bar for a K-line series."""
    values = {"timestamp": stamp, "trading_day": "20260105", "open": 3520.0, "high": 3540.0,
              "low": 3500.0, "close": close, "volume": 100.0, "turnover": 3520000.0,
              "open_interest": 1500.0}
    values.update(changes)
    return values
