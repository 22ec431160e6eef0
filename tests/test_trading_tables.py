"""Module-level names, tables and field readers of torvo.trading."""

import datetime as dt
import math
import os
import tempfile
import time

import pytest

import torvo.data
import torvo.errors
import torvo.ledger
from torvo import trading


def test_names_in_definition_order_and_imported_objects_are_the_same():
    names = [n for n in vars(trading) if not n.startswith("_")]
    assert names == [
        "asyncio", "datetime", "timedelta", "timezone", "math", "os", "time", "mkdtemp",
        "ExError", "check_symbol", "different", "Recovery",
        "Account", "Position", "Order", "Trade", "LiveMap", "empty_position", "TradingResult",
        "TZ", "QUERY", "SYNC_STEPS", "PHASE_LABELS", "QUERY_LABELS", "ACCOUNT_FIELDS",
        "OFFSET_BY_FLAG", "FLAG_BY_OFFSET",
        "timestamp", "finite", "local_order_id", "order_offset", "Native", "Trading",
    ]  # fmt: skip
    assert trading.__doc__ == "CTP session, login snapshots and trade-driven local position state."
    assert trading.Trading.__doc__ == "Private protocol state is committed to user objects only by wait_update."
    assert trading.time is time and trading.os is os and trading.math is math
    assert trading.datetime is dt.datetime and trading.timedelta is dt.timedelta
    assert trading.timezone is dt.timezone and trading.mkdtemp is tempfile.mkdtemp
    for name in ("ExError", "check_symbol", "different"):
        assert getattr(trading, name) is getattr(torvo.data, name)
    assert trading.Recovery is torvo.errors.Recovery
    for name in ("Account", "Position", "Order", "Trade", "LiveMap", "empty_position", "TradingResult"):
        assert getattr(trading, name) is getattr(torvo.ledger, name)


def test_tables():
    assert list(trading.QUERY.items()) == [
        ("instruments", "QryInstrument"),
        ("orders", "QryOrder"),
        ("trades_before", "QryTrade"),
        ("positions", "QryInvestorPosition"),
        ("trades_after", "QryTrade"),
        ("account", "QryTradingAccount"),
    ]
    steps = trading.SYNC_STEPS
    assert steps == tuple(trading.QUERY) and len(steps) == 6
    assert steps.index("trades_before") < steps.index("positions") < steps.index("trades_after")
    assert trading.PHASE_LABELS == {"authenticate": "认证", "login": "登录", "settlement": "结算单确认"}
    assert list(trading.QUERY_LABELS.values()) == ["合约", "订单", "首次成交", "持仓", "复查成交", "资金"]
    assert list(trading.QUERY_LABELS) == list(steps)
    assert list(trading.ACCOUNT_FIELDS.items()) == [
        ("balance", "Balance"), ("available", "Available"), ("margin", "CurrMargin"),
        ("frozen_margin", "FrozenMargin"), ("commission", "Commission"),
        ("frozen_commission", "FrozenCommission"), ("close_profit", "CloseProfit"),
        ("position_profit", "PositionProfit"), ("deposit", "Deposit"), ("withdraw", "Withdraw"),
    ]  # fmt: skip
    assert trading.OFFSET_BY_FLAG == {"0": "OPEN", "1": "CLOSE", "3": "CLOSE_TODAY", "4": "CLOSE_YESTERDAY"}
    assert trading.FLAG_BY_OFFSET == {v: k for k, v in trading.OFFSET_BY_FLAG.items()}
    assert trading.TZ.utcoffset(None) == dt.timedelta(hours=8)


def reference_timestamp(day, clock):
    try:
        parsed = dt.datetime.strptime(day + clock, "%Y%m%d%H:%M:%S").replace(tzinfo=trading.TZ)
        return int(parsed.timestamp() * 1000)
    except (ValueError, TypeError):
        return None


@pytest.mark.parametrize(
    "day, clock, expected",
    [
        ("20240105", "09:30:00", int(dt.datetime(2024, 1, 5, 1, 30, tzinfo=dt.timezone.utc).timestamp()) * 1000),
        ("19700101", "08:00:00", 0),
        ("19700101", "07:59:59", -1000),
        ("", "", None),
        ("20240105", "", None),
        (None, "09:30:00", None),
        ("20240105", None, None),
        ("20241301", "09:30:00", None),
        ("20230229", "09:30:00", None),
        ("20240230", "09:30:00", None),
        ("00000101", "00:00:00", None),
        ("20240105", "24:00:00", None),
        ("20240105", "09:60:00", None),
        ("20240105", "09:30:60", None),
        ("20240105", "09:30:61", None),
    ],
)
def test_timestamp(day, clock, expected):
    assert trading.timestamp(day, clock) == expected
    assert trading.timestamp(day=day, clock=clock) == expected


@pytest.mark.parametrize(
    "day, clock",
    [
        ("20240229", "23:59:59"),
        ("99991231", "23:59:59"),
        ("00010101", "08:00:00"),
        ("2024010", "509:30:00"),  # uneven split of the same text
        ("202415", "9:3:7"),  # one-digit fields
        ("2024 1 5", "09:30:00"),
        ("２０２４０１０５", "09:30:00"),  # non-ASCII digits
        ("20240105", "09:30:00 "),
        (b"20240105", b"09:30:00"),
        (["2024"], ["x"]),
        ("20240105", 930),
    ],
)
def test_timestamp_matches_the_general_parse(day, clock):
    assert trading.timestamp(day, clock) == reference_timestamp(day, clock)


def test_timestamp_lets_other_errors_through():
    class Odd:
        def __add__(self, other):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        trading.timestamp(Odd(), "x")
    with pytest.raises(TypeError):
        trading.timestamp("20240105")


class MyInt(int):
    pass


class MyFloat(float):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [
        (1e100, None),
        (-1e100, None),
        (-9.9e99, -9.9e99),
        (math.nan, None),
        (math.inf, None),
        (-math.inf, None),
        ("1.5", None),
        (None, None),
        (True, True),
        (0, 0),
        (2**63, 2**63),
        (10**100, 10**100),  # an int of 10**100 is below the float 1e100
        (10**100 + 10**85, None),
        (MyInt(5), 5),
        (MyFloat(2.5), 2.5),
        (MyFloat("inf"), None),
    ],
)
def test_finite(value, expected):
    result = trading.finite(value)
    if expected is None:
        assert result is None
    else:
        assert result is value


def test_finite_overflowing_int_propagates():
    with pytest.raises(OverflowError):
        trading.finite(10**400)


@pytest.mark.parametrize(
    "value, expected",
    [
        ("31", "CLOSE_TODAY"),
        ("0", "OPEN"),
        ("1", "CLOSE"),
        ("2", "CLOSE"),
        ("4", "CLOSE_YESTERDAY"),
        ("", "CLOSE"),
        (None, "CLOSE"),
        (0, "CLOSE"),
        (4, "CLOSE_YESTERDAY"),
        (3.0, "CLOSE_TODAY"),
        ("x0", "CLOSE"),
    ],
)
def test_order_offset(value, expected):
    assert trading.order_offset(value) == expected
    # the very word of the table
    assert trading.order_offset(value=value) is trading.OFFSET_BY_FLAG[trading.FLAG_BY_OFFSET[expected]]


@pytest.mark.parametrize(
    "parts, expected",
    [
        ((1, 42, 7), "1:42:7"),
        ((1, 42, "7"), "1:42:7"),
        (("a", -3, "  9"), "a:-3:  9"),
        ((1.5, True, None), "1.5:True:None"),
    ],
)
def test_local_order_id(parts, expected):
    assert trading.local_order_id(*parts) == expected
    assert trading.local_order_id(front=parts[0], session=parts[1], order_ref=parts[2]) == expected


def test_helpers_require_every_argument():
    for call in (
        lambda: trading.local_order_id(1, 2),
        lambda: trading.order_offset(),
        lambda: trading.finite(),
        lambda: trading.timestamp(day="20240105"),
    ):
        with pytest.raises(TypeError):
            call()


def test_stub_matches_the_module():
    import ast
    import pathlib

    stub = ast.parse((pathlib.Path(trading.__file__).parent / "trading.pyi").read_text(encoding="utf-8"))
    top = set()
    classes = {}
    for node in stub.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            top.update(alias.asname for alias in node.names if alias.asname)
        elif isinstance(node, ast.AnnAssign):
            top.add(node.target.id)
        elif isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            top.add(node.name)
            if isinstance(node, ast.ClassDef):
                classes[node.name] = {
                    getattr(item, "name", None) or getattr(getattr(item, "target", None), "id", None)
                    for item in node.body
                } - {None}
    assert top - {"asyncio"} >= {n for n in vars(trading) if not n.startswith("__")} - {"asyncio"}
    for cls in ("Native", "Trading"):
        public = {n for n in vars(getattr(trading, cls)) if not n.startswith("__")}
        assert classes[cls] - {"__init__"} == public, cls
