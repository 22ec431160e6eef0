"""Serial: the fixed-length K-line series kept in one pandas DataFrame."""

import copy
import gc
import math
import pickle

import numpy as np
import pandas as pd
import pytest

from data_support import SYMBOL, bar
from torvo.data import BAR_COLUMNS, KLINE_PERIODS, Serial

RESHAPED = "不能修改 SDK 内部 K 线的列、索引或行数"
REENTERED = "K 线序列正在更新，不能在更新过程中再次更新"
DTYPES = ["int64", "object"] + ["float64"] * 7
MINUTE = 60_000


def series(length=3, *bars):
    s = Serial(SYMBOL, "1m", length)
    if bars:
        s.update(list(bars))
    return s


def rows(s):
    """The frame's bar columns as (timestamp, close) pairs."""
    return list(zip(s.frame["timestamp"].tolist(), s.frame["close"].tolist()))


def last_row(s):
    return {c: s.frame[c].iloc[-1] for c in BAR_COLUMNS}


def state(s):
    """Everything an update may change, as plain comparable values."""
    return (s.frame.copy(), dict(s.bars), list(s.frame.columns), list(s.frame.dtypes))


def assert_unchanged(s, saved):
    frame, bars, columns, dtypes = saved
    pd.testing.assert_frame_equal(s.frame, frame)
    assert s.bars == bars or (len(s.bars) == len(bars) and all(
        s.bars[k] is bars[k] for k in bars))
    assert list(s.frame.columns) == columns and list(s.frame.dtypes) == dtypes


def test_constants():
    assert BAR_COLUMNS == ["timestamp", "trading_day", "open", "high", "low", "close",
                           "volume", "turnover", "open_interest"]
    assert KLINE_PERIODS == frozenset({"1m", "5m", "10m", "15m", "30m", "1h", "4h", "1d"})
    assert isinstance(KLINE_PERIODS, frozenset)


class TestNew:
    def test_empty_frame(self):
        s = Serial(SYMBOL, "1m", 3)
        frame = s.frame
        assert list(frame.columns) == BAR_COLUMNS
        assert [str(t) for t in frame.dtypes] == DTYPES
        assert isinstance(frame.index, pd.RangeIndex) and list(frame.index) == [0, 1, 2]
        assert frame["timestamp"].tolist() == [0, 0, 0]
        assert frame["trading_day"].tolist() == ["", "", ""]
        assert frame[BAR_COLUMNS[2:]].isna().all().all()
        assert frame.attrs == {"symbol": SYMBOL, "period": "1m"}

    def test_attributes(self):
        s = Serial(symbol=SYMBOL, period="7m", length=2)  # the period is not checked
        assert list(vars(s)) == ["symbol", "period", "length", "bars", "initial_generation",
                                 "initial_sequence", "frame"]
        assert (s.symbol, s.period, s.length, s.bars) == (SYMBOL, "7m", 2, {})
        assert (s.initial_generation, s.initial_sequence) == (0, 0)
        s.initial_generation = 4  # kept for the owner, freely writable
        assert s.initial_generation == 4

    def test_length_may_be_any_integer_object(self):
        s = Serial(SYMBOL, "1d", np.int64(2))
        assert s.length == 2 and type(s.length) is int and len(s.frame) == 2

    @pytest.mark.parametrize("length, error", [
        (0, ValueError), (-1, ValueError), ("3", TypeError), (2.0, TypeError),
        (True, TypeError), (None, TypeError), (2**70, OverflowError),
    ])
    def test_bad_lengths(self, length, error):
        with pytest.raises(error):
            Serial(SYMBOL, "1m", length)


class TestMerge:
    def test_first_bar_fills_the_last_row(self):
        s = Serial(SYMBOL, "1m", 3)
        changed = s.update([bar(MINUTE, low=math.nan)])
        # low stays NaN: not reported
        assert changed == set(BAR_COLUMNS) - {"low"}
        assert rows(s)[:2] == [(0, pytest.approx(math.nan, nan_ok=True))] * 2
        assert last_row(s)["close"] == 3528.0 and last_row(s)["trading_day"] == "20260105"
        assert list(s.bars) == [MINUTE]

    def test_revision_of_the_newest_bar_patches_only_changed_cells(self):
        s = series(3, bar(MINUTE), bar(2 * MINUTE))
        s.frame.at[0, "open"] = 1.0  # visible only while no full merge rewrites the column
        revised = bar(2 * MINUTE, close=3530.0, volume=100)  # 100 == 100.0: unchanged
        assert s.update([revised]) == {"close"}
        assert s.bars[2 * MINUTE] is revised
        assert rows(s)[-1] == (2 * MINUTE, 3530.0)
        assert s.frame.at[0, "open"] == 1.0
        assert s.update([dict(revised)]) == set()

    def test_other_updates_rebuild_every_column(self):
        s = series(3, bar(MINUTE), bar(2 * MINUTE))
        s.frame.at[0, "open"] = 1.0
        assert s.update([bar(MINUTE, close=1.5)]) == set()  # older bar, still kept
        assert math.isnan(s.frame.at[0, "open"])
        assert rows(s)[1:] == [(MINUTE, 1.5), (2 * MINUTE, 3528.0)]

    def test_newest_length_bars_are_kept_in_time_order(self):
        s = Serial(SYMBOL, "1m", 3)
        arrivals = [bar(t * MINUTE, close=float(t)) for t in (5, 1, 4, 2, 3)]
        assert s.update(arrivals) >= {"timestamp", "close"}
        assert rows(s) == [(3 * MINUTE, 3.0), (4 * MINUTE, 4.0), (5 * MINUTE, 5.0)]
        assert list(s.bars) == [3 * MINUTE, 4 * MINUTE, 5 * MINUTE]
        # Older than the oldest kept bar: dropped at once.
        assert s.update([bar(MINUTE)]) == set()
        assert list(s.bars) == [3 * MINUTE, 4 * MINUTE, 5 * MINUTE]
        # A new newest bar shifts the series.
        assert s.update([bar(6 * MINUTE, close=6.0)]) == {"timestamp", "close"}
        assert rows(s) == [(4 * MINUTE, 4.0), (5 * MINUTE, 5.0), (6 * MINUTE, 6.0)]

    def test_later_bar_with_the_same_timestamp_wins(self):
        s = Serial(SYMBOL, "1m", 2)
        first, second = bar(MINUTE, close=1.0), bar(MINUTE, close=2.0)
        s.update([first, second])
        assert s.bars == {MINUTE: second} and s.bars[MINUTE] is second
        assert rows(s)[-1] == (MINUTE, 2.0)

    def test_empty_update_changes_nothing(self):
        s = series(3, bar(MINUTE))
        saved = state(s)
        assert s.update([]) == set()
        assert s.update(iter(())) == set()
        assert_unchanged(s, saved)

    def test_revision_with_several_bars_takes_the_full_merge(self):
        s = series(3, bar(MINUTE), bar(2 * MINUTE))
        s.frame.at[0, "open"] = 1.0
        assert s.update([bar(2 * MINUTE, close=1.0), bar(MINUTE)]) == {"close"}
        assert math.isnan(s.frame.at[0, "open"])

    def test_bar_at_time_zero(self):
        s = Serial(SYMBOL, "1m", 2)
        assert s.update([bar(0)]) == set(BAR_COLUMNS) - {"timestamp"}
        assert s.update([bar(0, close=1.0)]) == {"close"}  # the fast path
        assert rows(s) == [(0, pytest.approx(math.nan, nan_ok=True)), (0, 1.0)]

    def test_values_of_other_types_are_converted_by_pandas(self):
        s = Serial(SYMBOL, "1m", 2)
        s.update([bar(np.int64(MINUTE), close=np.float32(2.5), volume=True, open=None)])
        assert rows(s)[-1] == (MINUTE, 2.5)
        assert s.frame.at[1, "volume"] == 1.0 and math.isnan(s.frame.at[1, "open"])
        assert [str(t) for t in s.frame.dtypes] == DTYPES

    def test_mappings_other_than_dicts(self):
        s = Serial(SYMBOL, "1m", 2)
        s.update([pd.Series(bar(MINUTE), dtype=object)])
        assert rows(s)[-1] == (MINUTE, 3528.0)


class TestFrame:
    def test_frame_object_dtypes_and_index_survive_every_update(self):
        s = Serial(SYMBOL, "1m", 4)
        frame = s.frame
        s.update([bar(MINUTE)])
        s.update([bar(MINUTE, trading_day="20260106")])  # fast path on the text column
        s.update([bar(2 * MINUTE), bar(3 * MINUTE)])
        assert s.frame is frame
        assert [str(t) for t in frame.dtypes] == DTYPES
        assert frame["trading_day"].dtype == object
        assert frame["trading_day"].tolist() == ["", "20260106", "20260105", "20260105"]
        assert isinstance(frame.index, pd.RangeIndex) and list(frame.index) == [0, 1, 2, 3]
        assert frame.attrs == {"symbol": SYMBOL, "period": "1m"}

    @pytest.mark.parametrize("update", [
        [bar(2 * MINUTE, close=1.0)],  # fast path
        [bar(3 * MINUTE, close=1.0)],  # full merge
    ])
    def test_held_columns_and_copies_never_change(self, update):
        s = series(2, bar(MINUTE), bar(2 * MINUTE))
        column = s.frame["close"]
        shallow = s.frame.copy(deep=False)
        deep = s.frame.copy()
        row = s.frame.iloc[-1]
        expected = column.tolist()
        s.update(update)
        assert s.frame["close"].iloc[-1] == 1.0
        assert column.tolist() == expected
        assert shallow["close"].tolist() == expected
        assert deep["close"].tolist() == expected
        assert row["close"] == 3528.0

    def test_extra_user_columns_are_tolerated_and_kept(self):
        s = series(3, bar(MINUTE))
        s.frame["signal"] = [1, 2, 3]
        s.frame.insert(0, "first", ["a", "b", "c"])
        assert s.update([bar(MINUTE, close=1.0)]) == {"close"}
        assert s.update([bar(2 * MINUTE)]) == {"timestamp", "close"}
        assert s.frame["signal"].tolist() == [1, 2, 3]
        assert s.frame["first"].tolist() == ["a", "b", "c"]
        assert rows(s)[-2:] == [(MINUTE, 1.0), (2 * MINUTE, 3528.0)]

    @pytest.mark.parametrize("reshape", [
        lambda f: f.__delitem__("close"),
        lambda f: setattr(f, "columns", ["last" if c == "close" else c for c in f.columns]),
        lambda f: setattr(f, "columns", [c.upper() for c in f.columns]),
        lambda f: f.insert(0, "close", 1.0, allow_duplicates=True),
        lambda f: setattr(f, "index", f.index[::-1]),  # as a descending sort leaves it
        lambda f: f.loc.__setitem__(3, f.iloc[0]),  # a fourth row
        lambda f: setattr(f, "index", [1, 2, 3]),
        lambda f: setattr(f, "index", pd.RangeIndex(1, 4)),
        lambda f: setattr(f, "index", ["0", "1", "2"]),
    ], ids=["drop", "rename", "relabel", "duplicate", "reversed", "append", "shifted_index",
            "shifted_range", "text_index"])
    def test_reshaped_frames_are_refused(self, reshape):
        s = series(3, bar(MINUTE), bar(2 * MINUTE))
        reshape(s.frame)
        saved = state(s)
        for update in ([bar(2 * MINUTE, close=1.0)], [bar(3 * MINUTE)], []):
            with pytest.raises(RuntimeError) as caught:
                s.update(update)
            assert caught.value.args == (RESHAPED,)
        assert_unchanged(s, saved)

    def test_an_equal_index_of_another_type_is_accepted(self):
        s = series(3, bar(MINUTE))
        s.frame.index = pd.Index([0, 1, 2], dtype="int64")
        assert s.update([bar(MINUTE, close=1.0)]) == {"close"}

    def test_unchanged_by_reset_of_length(self):
        s = series(3, bar(MINUTE))
        s.length = 4
        with pytest.raises(RuntimeError, match=RESHAPED):
            s.update([bar(MINUTE)])


class TestFailedUpdates:
    @pytest.mark.parametrize("update, error", [
        ([bar(3 * MINUTE), {"close": 1.0}], KeyError),  # no timestamp
        ([bar(3 * MINUTE), {"timestamp": 4 * MINUTE}], KeyError),
        ([{k: v for k, v in bar(2 * MINUTE).items() if k != "low"}], KeyError),  # fast path
        ([bar(5 * MINUTE), {k: v for k, v in bar(0).items() if k != "low"}], KeyError),
        ([bar("later")], TypeError),  # cannot be ordered with the kept time stamps
        ([bar(3 * MINUTE, close="abc")], (TypeError, ValueError)),
        ([bar(3 * MINUTE, trading_day="x"), bar(4 * MINUTE, open=[1, 2])], (TypeError, ValueError)),
        ([bar(2 * MINUTE + 0.5)], (TypeError, ValueError)),  # not an integer time stamp
        ([bar(2 * MINUTE, high=1.0, close="abc")], (TypeError, ValueError)),  # fast path
        ([bar(2 * MINUTE, open_interest=object())], (TypeError, ValueError)),
        (5, TypeError),
        ([5], TypeError),
    ])
    def test_nothing_is_modified(self, update, error):
        s = series(3, bar(MINUTE), bar(2 * MINUTE))
        saved = state(s)
        bars = s.bars
        with pytest.raises(error):
            s.update(update)
        assert_unchanged(s, saved)
        assert s.bars is bars
        # and the series still works
        assert s.update([bar(2 * MINUTE, close=1.0)]) == {"close"}

    def test_replaced_bars_attribute_must_be_a_dict(self):
        s = series(3, bar(MINUTE))
        s.bars = [1]
        with pytest.raises(TypeError):
            s.update([bar(MINUTE)])


class Hooked(dict):
    """A bar that runs `hook` the first time its close is read."""

    def __init__(self, values, hook):
        super().__init__(values)
        self.hook = hook

    def __getitem__(self, key):
        if key == "close" and self.hook is not None:
            hook, self.hook = self.hook, None
            hook()
        return super().__getitem__(key)


class TestUserCodeDuringUpdate:
    """Reading and comparing bars runs user code in the middle of an update."""

    @pytest.mark.parametrize("stamp", [2 * MINUTE, 3 * MINUTE], ids=["fast_path", "full_merge"])
    def test_update_cannot_be_reentered(self, stamp):
        s = series(3, bar(MINUTE), bar(2 * MINUTE))
        saved = state(s)
        hooked = Hooked(bar(stamp, close=9.0), lambda: s.update([bar(4 * MINUTE)]))
        with pytest.raises(RuntimeError) as caught:
            s.update([hooked])
        assert caught.value.args == (REENTERED,)
        assert_unchanged(s, saved)
        assert "close" in s.update([bar(stamp, close=9.0)])  # usable again

    @pytest.mark.parametrize("stamp", [2 * MINUTE, 3 * MINUTE], ids=["fast_path", "full_merge"])
    def test_frame_reshaped_by_a_bar_is_refused(self, stamp):
        s = series(3, bar(MINUTE), bar(2 * MINUTE))
        bars = dict(s.bars)
        hooked = Hooked(bar(stamp, close=9.0, volume=7.0), lambda: s.frame.pop("open"))
        expected = s.frame.drop(columns="open")
        with pytest.raises(RuntimeError) as caught:
            s.update([hooked])
        assert caught.value.args == (RESHAPED,)
        pd.testing.assert_frame_equal(s.frame, expected)
        assert s.bars == bars

    def test_frame_reshaped_while_a_value_is_written(self):
        s = series(3, bar(MINUTE), bar(2 * MINUTE))

        class Reshaping(float):
            def __float__(self):  # pandas converts the value as it writes it
                if "open" in s.frame:
                    s.frame.pop("open")
                return float.__float__(self)

        with pytest.raises(RuntimeError, match=RESHAPED):
            s.update([bar(2 * MINUTE, close=Reshaping(9.0), volume=7.0)])
        assert s.frame["volume"].iloc[-1] == 100.0
        assert s.frame["turnover"].iloc[-1] == 3520000.0


@pytest.mark.parametrize("duplicate", [copy.deepcopy, lambda s: pickle.loads(pickle.dumps(s))])
def test_copies_are_independent_series(duplicate):
    s = series(2, bar(MINUTE))
    other = duplicate(s)
    assert list(vars(other)) == list(vars(s)) and other.frame is not s.frame
    assert other.update([bar(MINUTE, close=1.0)]) == {"close"}
    assert rows(other)[-1] == (MINUTE, 1.0) and rows(s)[-1] == (MINUTE, 3528.0)
    assert other.frame.attrs == s.frame.attrs


def test_series_are_collected_in_cycles():
    freed = []

    class Payload:
        def __del__(self):
            freed.append(True)

    s = series(2, bar(MINUTE))
    s.me = s
    s.payload = Payload()
    del s
    gc.collect()
    assert freed == [True]
