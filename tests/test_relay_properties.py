"""request on arbitrary field dictionaries for a few request kinds, against a
bridge session whose front does not answer: the outcome is the one the field
rules give (the first failing key in table order, with its error type), and
nothing but the documented errors comes out."""

import operator

import pytest
from hypothesis import given, strategies as st

from property_support import examples
from relay_support import flow_path
from test_relay_request import FIELDS
from torvo import _relay

METHODS = ["OrderInsert", "OrderAction", "QryInstrument", "UserLogin"]


class HookError(Exception):
    pass


class Hook:
    """A number whose conversions return `value`, or raise it."""

    def __init__(self, value):
        self.value = value

    def _get(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    __index__ = __float__ = _get

    def __repr__(self):
        return f"Hook({self.value!r})"


@pytest.fixture(scope="module")
def handle(tmp_path_factory):
    handle = _relay.create("tcp://127.0.0.1:1", flow_path(tmp_path_factory.mktemp("flow")))
    yield handle
    _relay.close(handle)


def expected_error(method, fields):
    """(type, key) of the first key that fails, or None."""
    for key, kind in FIELDS[method]:
        if key not in fields:
            continue
        value = fields[key]
        if kind == "i":
            try:
                number = operator.index(value)
            except Exception as error:  # noqa: BLE001  the host's own error, whatever it is
                return type(error), None
            if not -(2**31) <= number < 2**31:
                return OverflowError, None
        elif kind == "f":
            if isinstance(value, (str, bytes)):
                return TypeError, None
            try:
                float(value)
            except Exception as error:  # noqa: BLE001
                return type(error), None
        else:
            if not isinstance(value, str):
                return TypeError, key
            try:
                encoded = value.encode("gb18030")
            except UnicodeEncodeError:
                return ValueError, key
            if len(encoded) > (1 if kind == "c" else int(kind) - 1) or b"\0" in encoded:
                return ValueError, key
    return None


texts = st.text(st.characters(blacklist_categories=()), max_size=6) | st.text("0a中\0€", max_size=90)
numbers = (st.integers() | st.integers(-(2**31) - 2, -(2**31) + 1) | st.integers(2**31 - 2, 2**31 + 1)
           | st.floats() | st.booleans())  # fmt: skip
values = (texts | numbers | st.none() | st.binary(max_size=4)
          | st.builds(Hook, numbers | texts | st.just(HookError("hook")) | st.just(OverflowError("big"))))


@st.composite
def requests(draw):
    method = draw(st.sampled_from(METHODS))
    keys = [key for key, _ in FIELDS[method]]
    fields = draw(st.dictionaries(st.sampled_from(keys) | st.sampled_from([k.lower() for k in keys]) | texts,
                                  values, max_size=8))
    return method, fields


@pytest.mark.filterwarnings("ignore:__index__ returned non-int:DeprecationWarning")  # Hook(True)
@examples(200)
@given(requests(), st.integers(-(2**31), 2**31 - 1))
def test_request_outcome_follows_the_field_rules(handle, request, request_id):
    method, fields = request
    expected = expected_error(method, fields)
    try:
        result = _relay.request(handle, method, dict(fields), request_id)
    except (TypeError, ValueError, OverflowError, HookError) as error:
        assert expected is not None, f"{type(error).__name__}: {error}"
        kind, key = expected
        assert type(error) is kind
        if key is not None:
            assert str(error).startswith(key + " ")
    else:
        assert expected is None
        assert result == -1  # not connected


@examples(30)
@given(st.text(max_size=12).filter(lambda name: name not in FIELDS), st.dictionaries(texts, values, max_size=3))
def test_unknown_request_names_are_refused(handle, method, fields):
    with pytest.raises(ValueError, match="不支持的 CTP 请求"):
        _relay.request(handle, method, fields, 1)
