"""timestamp: the fast path for well-formed vendor text gives exactly what the
general parse gives, on valid, invalid and edge dates and on odd text."""

import datetime as dt

import pytest

from torvo import trading


def reference(day, clock):
    try:
        parsed = dt.datetime.strptime(day + clock, "%Y%m%d%H:%M:%S").replace(tzinfo=trading.TZ)
        return int(parsed.timestamp() * 1000)
    except (ValueError, TypeError):
        return None


class Text(str):
    pass


class Joined(str):
    def __add__(self, other):
        return "20240106" + other


class Appended(str):
    def __radd__(self, other):  # called before str.__add__: a subclass on the right wins
        return other + "10:00:00"


class NotText(str):
    def __add__(self, other):
        return 20240105


DIGITS = {"fullwidth": "０１２３４５６７８９", "arabic-indic": "٠١٢٣٤٥٦٧٨٩", "devanagari": "०१२३४५६७८९"}


def local(text, script):
    return text.translate(str.maketrans("0123456789", DIGITS[script]))


CASES = [
    ("20240105", "09:30:00", 1_704_418_200_000),
    ("19700101", "08:00:00", 0),
    ("19700101", "07:59:59", -1000),
    ("20240229", "12:00:00", 1_709_179_200_000),
    ("20000229", "00:00:00", 951_753_600_000),
    ("20230229", "09:30:00", None),
    ("19000229", "09:30:00", None),
    ("20240431", "09:30:00", None),
    ("20241231", "23:59:59", 1_735_660_799_000),
    ("00010101", "00:00:00", -62_135_625_600_000),
    ("00010101", "08:00:00", -62_135_596_800_000),
    ("99991231", "23:59:59", 253_402_271_999_000),
    ("00000101", "00:00:00", None),
    ("20240105", "23:59:60", None),
    ("20240105", "23:59:61", None),
    ("20240105", "24:00:00", None),
    ("20240105", "09:60:00", None),
    ("2024015", "09:30:00", 1_704_418_200_000),  # one-digit day
    ("202415", "9:3:0", 1_704_416_580_000),  # one-digit month, hour, minute, second
    ("20240105", "9:30:00", 1_704_418_200_000),
    ("20240105", "09:3:00", 1_704_416_580_000),
    ("202401 5", "09:30:00", 1_704_418_200_000),  # a blank may stand before a one-digit day
    ("2024 105", "09:30:00", None),
    ("", "2024010509:30:00", 1_704_418_200_000),  # only the joined text counts
    ("2024010509:30:00", "", 1_704_418_200_000),
    ("2024010", "509:30:00", 1_704_418_200_000),
    ("202401051", "0:30:00", 1_704_421_800_000),
    (" 20240105", "09:30:00", None),
    ("20240105", "09:30:00 ", None),
    ("20240105", "09:30:00\n", None),
    ("\t20240105", "09:30:00", None),
    ("20240105", "0930:00", None),
    ("2024-01-05", "09:30:00", None),
    ("20240105", "09:30:00.5", None),
    ("20240105\x00", "09:30:00", None),
    ("2024010\ud800", "09:30:00", None),  # a lone surrogate
    ("²０２４0105", "09:30:00", None),
    ("20240105", "09:30:00" * 1000, None),
    ("", "", None),
    ("20240105", "", None),
    (None, "09:30:00", None),
    (b"20240105", b"09:30:00", None),
    ("20240105", 930, None),
    (Text("20240105"), Text("09:30:00"), 1_704_418_200_000),
    (Joined("20240105"), "09:30:00", 1_704_504_600_000),
    ("20240105", Appended("09:30:00"), 1_704_420_000_000),
    (NotText("20240105"), "09:30:00", None),
]
for script in DIGITS:  # the general parse accepts other decimal digits in some places and not in others
    CASES += [
        (local("20240105", script), "09:30:00", "ref"),
        (local("2024", script) + "0105", "09:30:00", "ref"),
        ("2024011" + local("5", script), "0{}:3{}:0{}".format(*local("900", script)), "ref"),
        ("20240105", local("09:30:00", script), "ref"),
        ("20240105", "09:" + local("30", script) + ":00", "ref"),
    ]


@pytest.mark.parametrize("day, clock, expected", CASES)
def test_timestamp_matches_the_general_parse(day, clock, expected):
    result = reference(day, clock)
    if expected != "ref":
        assert result == expected  # the table itself is right
    assert trading.timestamp(day, clock) == result
    assert trading.timestamp(clock=clock, day=day) == result


def test_errors_other_than_parse_errors_propagate():
    class Broken(str):
        def __add__(self, other):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        trading.timestamp(Broken("20240105"), "09:30:00")
