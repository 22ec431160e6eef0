"""ExError and the shared value checks: check_symbol, number, different."""

import decimal
import gc
import inspect
import math
import pickle

import numpy as np
import pytest

from torvo.data import ExError, check_symbol, different, number

FORMAT = "symbol 格式应为 交易所.合约，例如 SHFE.rb2610 或 DCE.a2611-C-3700"


class Int(int):
    pass


class Float(float):
    pass


class Text(str):
    pass


class TestExError:
    def test_plain_exception_with_message_and_status(self):
        error = ExError("行情服务异常", 404)
        assert isinstance(error, Exception)
        assert error.args == ("行情服务异常",)
        assert str(error) == "行情服务异常"
        assert repr(error) == "ExError('行情服务异常')"
        assert error.status == 404
        assert ExError("x").status is None
        assert ExError(message="x", status=7).status == 7
        assert ExError.__doc__ == "SDK 数据或交易服务异常，status 为可选的响应状态码。"
        assert ExError.__module__ == "torvo.data"
        assert list(inspect.signature(ExError).parameters) == ["message", "status"]

    @pytest.mark.parametrize("status, stored", [
        (None, None), (404, 404), (3.7, 3), (True, 1), (Int(5), 5),
        (decimal.Decimal("7.9"), 7), (np.int64(12), 12), (-2.5, -2),
    ])
    def test_status_is_converted_to_int(self, status, stored):
        error = ExError("x", status)
        assert error.status == stored
        assert stored is None or type(error.status) is int

    @pytest.mark.parametrize("message", [b"x", 1, None, Text("x")])
    def test_message_must_be_exactly_str(self, message):
        with pytest.raises(TypeError, match="message.*str"):
            ExError(message)

    @pytest.mark.parametrize("status", ["404", b"1", [1], object(), 1j])
    def test_status_of_other_types_is_refused(self, status):
        with pytest.raises(TypeError, match="status.*int"):
            ExError("x", status)

    @pytest.mark.parametrize("args, kwargs", [
        ((), {}), (("x", 1, 2), {}), (("x",), {"code": 1}), (("x",), {"message": "y"}),
    ])
    def test_wrong_calls(self, args, kwargs):
        with pytest.raises(TypeError):
            ExError(*args, **kwargs)

    def test_raise_catch_pickle_and_subclass(self):
        with pytest.raises(ExError, match="坏") as caught:
            raise ExError("坏", 3)
        copy = pickle.loads(pickle.dumps(caught.value))
        assert (type(copy), copy.args, copy.status) == (ExError, ("坏",), 3)

        class Service(ExError):
            pass

        error = Service("y", 2.0)
        assert isinstance(error, ExError) and error.status == 2 and error.args == ("y",)

    def test_instances_are_collected_in_cycles(self):
        freed = []

        class Payload:
            def __del__(self):
                freed.append(True)

        error = ExError("cycle")
        error.me = error
        error.payload = Payload()
        del error
        gc.collect()
        assert freed == [True]


class TestCheckSymbol:
    @pytest.mark.parametrize("symbol", [
        "SHFE.rb2610", "DCE.a2611-C-3700", "a.b", "CZCE.SR609", "X1.-", Text("INE.sc2612"),
        "A." + "b" * 13998,  # exactly 14000 characters
    ])
    def test_valid_symbols_pass(self, symbol):
        assert check_symbol(symbol) is None
        assert check_symbol(symbol=symbol) is None

    @pytest.mark.parametrize("symbol", [
        "SHFE.rb.2610", ".rb2610", "SHFE.", "SHFE rb2610", "SHFE.rb2610\n", "", "SHFE",
        "SH-FE.rb2610", "SHFE.rb_2610", "ＳＨＦＥ.rb2610", "SHFE.rb２６１０", "SHFE。rb2610",
        None, 1, b"SHFE.rb2610", ["SHFE.rb2610"],
        "A." + "b" * 14000 + " ",  # malformed and too long: the format is reported
    ])
    def test_malformed_symbols_raise_the_format_message(self, symbol):
        with pytest.raises(ValueError) as caught:
            check_symbol(symbol)
        assert str(caught.value) == FORMAT

    def test_raised_while_handling_another_error_shows_it_as_context(self):
        try:
            raise KeyError("outer")
        except KeyError as error:
            outer = error
            with pytest.raises(ValueError) as caught:
                check_symbol(1)
        assert caught.value.__context__ is outer and not caught.value.__suppress_context__

    def test_well_formed_but_too_long(self):
        with pytest.raises(ValueError) as caught:
            check_symbol("A." + "b" * 13999)  # 14001 characters
        assert str(caught.value) == "symbol 过长"

    @pytest.mark.parametrize("args, kwargs", [((), {}), (("a.b", "c.d"), {}), ((), {"s": "a.b"})])
    def test_wrong_calls(self, args, kwargs):
        with pytest.raises(TypeError):
            check_symbol(*args, **kwargs)


class TestNumber:
    @pytest.mark.parametrize("value, expected", [
        (5, 5.0), (2.5, 2.5), (-7, -7.0), (Int(3), 3.0), (Float(1.25), 1.25),
        (2**53 + 1, float(2**53 + 1)), (10**300, 1e300), (np.float64(4.5), 4.5),
    ])
    def test_numbers_become_floats(self, value, expected):
        result = number(value)
        assert type(result) is float and result == expected

    def test_none_is_math_nan_and_negative_zero_keeps_its_sign(self):
        assert number(None) is math.nan
        assert math.copysign(1.0, number(-0.0)) == -1.0

    @pytest.mark.parametrize("value", [True, False, "1.5", "1", b"1", [1.0], None.__class__,
                                       decimal.Decimal("1"), 1 + 0j, np.int64(3)])
    def test_non_numbers_are_refused(self, value):
        with pytest.raises(ExError) as caught:
            number(value)
        assert caught.value.args == ("行情数值字段格式无效",)
        assert caught.value.status is None

    @pytest.mark.parametrize("value", [10**400, -(10**400), Int(10**400)])
    def test_overflow_is_chained(self, value):
        with pytest.raises(ExError) as caught:
            number(value)
        assert str(caught.value) == "行情数值字段超出范围"
        assert isinstance(caught.value.__cause__, OverflowError)
        assert caught.value.__suppress_context__

    @pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, Float("nan")])
    def test_non_finite_values_are_refused(self, value):
        with pytest.raises(ExError, match="^行情数值字段不能为 NaN 或无穷大$"):
            number(value)


class TestDifferent:
    @pytest.mark.parametrize("old, new, expected", [
        (math.nan, math.nan, False),
        (math.nan, float("nan"), False),
        (np.float64("nan"), math.nan, False),
        (None, None, False),
        (None, math.nan, True),
        (math.nan, None, True),
        (math.nan, 1.0, True),
        (1, 1.0, False),
        (1.0, 2.0, True),
        ("a", "b", True),
        ("a", "a", False),
        (0, False, False),
    ])
    def test_change_test(self, old, new, expected):
        assert different(old, new) is expected
        assert different(old=old, new=new) is expected

    def test_result_of_the_operands_is_returned_unchanged(self):
        result = different(np.array([1, 2]), np.array([1, 3]))
        assert result.tolist() == [False, True]

        class Odd:
            def __ne__(self, other):
                return "yes"

        odd = Odd()
        assert different(odd, odd) == "yes"  # the operands decide, even for one object

    def test_wrong_calls(self):
        with pytest.raises(TypeError):
            different(1)
        with pytest.raises(TypeError):
            different(1, 2, 3)
