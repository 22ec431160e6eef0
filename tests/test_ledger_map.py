"""LiveMap, empty_position, internal_fields, the C++ capsule and the stubs."""

import ast
import collections.abc
import ctypes
import gc
import os
import pathlib
import subprocess
import sys
import textwrap
import weakref

import pytest

import torvo.ledger as ledger
from torvo.ledger import LiveMap, Order, Position, Trade, empty_position, internal_fields

from ledger_support import memory_growth

READ_ONLY = "SDK 交易数据对象为只读"
QUANTITIES = ("pos_long pos_short pos pos_long_today pos_short_today pos_long_his "
              "pos_short_his frozen_long frozen_short available_long available_short").split()


def filled(**records):
    live = LiveMap(Order)
    live._data.update(records)
    return live


class OtherMapping(collections.abc.Mapping):
    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class TestLiveMapBasics:
    def test_new_map_is_empty(self):
        live = LiveMap(Order)
        assert len(live) == 0 and repr(live) == "{}" and list(live) == [] and not live
        assert live.item_type is Order and live._data == {}
        assert isinstance(live, collections.abc.Mapping)
        assert LiveMap.__slots__ == ("_data", "item_type")

    def test_contents_follow_data_in_insertion_order(self):
        b, a = Order(order_id="b"), Order(order_id="a")
        live = filled(b=b, a=a)
        assert list(live) == ["b", "a"] and len(live) == 2
        assert live["a"] is a and repr(live) == repr({"b": b, "a": a})
        assert list(live.keys()) == ["b", "a"]
        assert list(live.items()) == [("b", b), ("a", a)]
        assert list(live.values()) == [b, a]

    def test_held_map_and_views_see_in_place_updates(self):
        live = filled()
        keys, values = live.keys(), live.values()
        record = live.item_type()
        live._data["k"] = record
        record._values["status"] = "ALIVE"
        assert list(keys) == ["k"] and list(values)[0].status == "ALIVE"
        assert live["k"].status == "ALIVE"

    def test_views_are_the_standard_views(self):
        live = filled(x=Order(), y=Order())
        assert type(live.keys()) is collections.abc.KeysView
        assert type(live.items()) is collections.abc.ItemsView
        assert type(live.values()) is collections.abc.ValuesView
        assert live.keys() & {"y", "z"} == {"y"}
        assert ("x", live["x"]) in live.items() and ("x", Order()) not in live.items()

    @pytest.mark.parametrize("key", ["missing", ("a", "tuple"), 0])
    def test_missing_key(self, key):
        live = filled(a=Order())
        with pytest.raises(KeyError) as info:
            live[key]
        assert info.value.args == (key,)
        assert key not in live
        assert live.get(key) is None and live.get(key, 5) == 5
        assert live.get(key, default=6) == 6 and live.get(key=key) is None

    def test_get_and_membership_of_present_keys(self):
        record = Order()
        live = filled(k=record)
        assert "k" in live and live.get("k") is record and live.get("k", 1) is record

    @pytest.mark.parametrize("call", [lambda m: m.get(), lambda m: m.get(1, 2, 3),
                                      lambda m: m.get("k", key="k"), lambda m: m.get(other=1)])
    def test_get_argument_errors(self, call):
        with pytest.raises(TypeError):
            call(filled())

    @pytest.mark.parametrize("call,message", [  # a method: self is counted, as for a def
        (lambda m: m.get(), "get() missing 1 required positional argument: 'key'"),
        (lambda m: m.get(1, 2, 3), "get() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda m: Order(1), "LiveObject.__init__() takes 1 positional argument but 2 were given"),
    ])
    def test_method_argument_messages(self, call, message):
        with pytest.raises(TypeError) as caught:
            call(filled())
        assert str(caught.value) == message

    @pytest.mark.parametrize("key", [[], {}, {1}])
    def test_unhashable_keys_raise_type_error(self, key):
        live = filled(a=Order())
        for probe in (lambda: key in live, lambda: live.get(key), lambda: live[key]):
            with pytest.raises(TypeError):
                probe()

    def test_mapping_pattern_matches(self):
        match filled(a=Order(status="FILLED")):
            case {"a": record}:
                assert record.status == "FILLED"
            case _:
                pytest.fail("map did not match a mapping pattern")

    def test_generic_alias(self):
        assert LiveMap[Order].__origin__ is LiveMap

    @pytest.mark.parametrize("args,kwargs", [((), {}), ((Order, Trade), {}), ((), {"kind": Order})])
    def test_constructor_arguments(self, args, kwargs):
        with pytest.raises(TypeError):
            LiveMap(*args, **kwargs)
        assert LiveMap(item_type=Position).item_type is Position


class TestLiveMapEquality:
    def test_equal_to_dicts_maps_and_other_mappings(self):
        record = Order()
        live = filled(k=record)
        for other in ({"k": record}, filled(k=record), OtherMapping({"k": record})):
            assert live == other and other == live and not live != other
        for other in ({}, {"k": Order()}, filled(), OtherMapping({"j": record})):
            assert live != other and not live == other

    @pytest.mark.parametrize("other", [[("k", 1)], "k", None, 1, {"k"}])
    def test_non_mappings_are_never_equal(self, other):
        live = filled(k=1)
        assert live != other and not live == other

    def test_order_of_keys_does_not_matter_and_map_is_unhashable(self):
        assert filled(a=1, b=2) == filled(b=2, a=1)
        with pytest.raises(TypeError):
            hash(filled())


class TestLiveMapReadOnly:
    def test_no_item_assignment_or_deletion(self):
        live = filled(k=Order())
        with pytest.raises(TypeError):
            live["k"] = Order()
        with pytest.raises(TypeError):
            del live["k"]
        assert "k" in live

    @pytest.mark.parametrize("name", ["_data", "item_type", "other", "keys"])
    def test_attribute_writes_and_deletions_raise(self, name):
        live = filled(k=Order())
        with pytest.raises(AttributeError, match=READ_ONLY):
            setattr(live, name, {})
        with pytest.raises(AttributeError, match=READ_ONLY):
            delattr(live, name)
        assert live.item_type is Order and len(live._data) == 1
        assert not hasattr(live, "__dict__")


class TestEmptyPosition:
    @pytest.mark.parametrize("updated_at,quantity", [(None, None), (0, 0), (1735689600000, 0)])
    def test_keys_order_and_quantities(self, updated_at, quantity):
        state = empty_position("SHFE.cu2501", updated_at)
        assert list(state) == QUANTITIES + ["symbol", "updated_at"]
        assert all(state[name] is quantity for name in QUANTITIES)
        assert state["symbol"] == "SHFE.cu2501" and state["updated_at"] is updated_at
        assert type(state) is dict

    def test_default_and_keyword_timestamp(self):
        assert empty_position("x") == empty_position("x", None)
        assert empty_position(symbol="x", updated_at=5)["pos"] == 0

    @pytest.mark.parametrize("call,message", [
        (lambda: empty_position(), "missing 1 required positional argument: 'symbol'"),
        (lambda: empty_position("x", 1, 2), "takes from 1 to 2 positional arguments but 3"),
        (lambda: empty_position("x", symbol="y"), "multiple values for argument 'symbol'"),
        (lambda: empty_position("x", 1, updated_at=2), "multiple values for argument 'updated_at'"),
        (lambda: empty_position("x", when=1), "unexpected keyword argument 'when'"),
    ])
    def test_argument_errors(self, call, message):
        with pytest.raises(TypeError, match=message):
            call()

    def test_each_call_returns_a_new_dict(self):
        first = empty_position("x", 1)
        first["pos_long"] = 3
        assert empty_position("x", 1)["pos_long"] == 0 and empty_position("x") is not first

    def test_position_view_from_the_state(self):
        state = empty_position("DCE.m2505", 7)
        view = Position(**{k: v for k, v in state.items() if k in Position.fields})
        assert view.pos_long == 0 and view.symbol == "DCE.m2505"

    def test_internal_fields(self):
        assert internal_fields == QUANTITIES and type(internal_fields) is list


class TestMemoryAndGc:
    def test_self_referencing_map_is_collected(self):
        class Marker:
            pass
        marker = Marker()
        alive = weakref.ref(marker)
        live = LiveMap(Order)
        live._data["self"] = live
        live._data["marker"] = marker
        del live, marker
        gc.collect()
        assert alive() is None

    def test_hot_operations_do_not_grow_memory(self):
        live = filled(a=Order(), b=Order())
        other = OtherMapping({"a": 1})

        def work():
            live["a"], live.get("zz"), "a" in live, len(live), list(live)
            live == {"a": 1}, live == other, list(live.items())
            empty_position("SHFE.cu2501"), empty_position("SHFE.cu2501", 1)
            try:
                live["missing"]
            except KeyError:
                pass

        assert memory_growth(work) < 8192

    def test_freeing_a_long_chain_of_maps_does_not_overflow_the_stack(self, tmp_path):
        # Each map is the item type of the next: no dictionary in between.
        script = textwrap.dedent("""
            from torvo.ledger import LiveMap
            prev = None
            for _ in range(1_000_000):
                prev = LiveMap(prev)
            del prev
            print("freed")
        """)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        done = subprocess.run([sys.executable, "-c", script], env=env, cwd=tmp_path,
                              capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stdout) == (0, "freed\n")


# The C++ view of the capsule: how the trading session reaches `_values`,
# `_data` and `item_type` without attribute look-ups.  The accessors return
# borrowed references, so they are declared as returning a plain pointer
# (ctypes would take a py_object result as a new reference).
Getter = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object)


class LedgerApi(ctypes.Structure):
    _fields_ = [("version", ctypes.c_int), ("live_object_type", ctypes.c_void_p),
                ("live_map_type", ctypes.c_void_p), ("values", Getter), ("data", Getter),
                ("item_type", Getter)]


def ledger_api():
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    get_pointer.restype = ctypes.c_void_p
    return LedgerApi.from_address(get_pointer(ledger._api, b"torvo.ledger._api"))


def api_call(name, target):
    """Calls one accessor; exceptions it sets propagate."""
    address = getattr(ledger_api(), name)(target)
    return ctypes.cast(address, ctypes.py_object).value


class TestModule:
    def test_api_capsule_is_published(self):
        is_valid = ctypes.pythonapi.PyCapsule_IsValid
        is_valid.argtypes = [ctypes.py_object, ctypes.c_char_p]
        is_valid.restype = ctypes.c_int
        assert is_valid(ledger._api, b"torvo.ledger._api") == 1
        api = ledger_api()
        assert api.version == 1
        assert api.live_object_type == id(ledger.LiveObject)
        assert api.live_map_type == id(LiveMap)

    def test_api_reaches_the_live_dictionaries(self):
        record, live = Position(symbol="x"), LiveMap(Order)
        values = record._values
        before = sys.getrefcount(values)
        for _ in range(3):
            api_call("values", record)
        after = sys.getrefcount(values)
        assert after == before
        assert api_call("values", record) is values
        assert api_call("data", live) is live._data and api_call("item_type", live) is Order

    @pytest.mark.parametrize("getter,target", [
        ("values", lambda: LiveMap(Order)), ("values", dict), ("values", lambda: 7),
        ("data", Order), ("item_type", Trade), ("data", lambda: {"k": 1}),
    ])
    def test_api_refuses_objects_of_the_wrong_type(self, getter, target):
        with pytest.raises(TypeError):
            api_call(getter, target())

    def test_stub_declares_exactly_the_public_names(self):
        stub = pathlib.Path(ledger.__file__).with_name("ledger.pyi")
        if not stub.exists():
            stub = pathlib.Path(__file__).resolve().parents[1] / "torvo" / "ledger.pyi"
        tree = ast.parse(stub.read_text(encoding="utf-8"))
        declared = {node.name for node in tree.body
                    if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
        declared |= {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
        # Re-exports, written `from x import name as name`.
        declared |= {alias.name for node in tree.body if isinstance(node, ast.ImportFrom)
                     for alias in node.names if alias.asname == alias.name}
        public = {name for name in vars(ledger) if not name.startswith("__")}
        assert declared == public

    def test_reimport_keeps_the_same_types(self):
        import importlib
        import sys
        saved = sys.modules.pop("torvo.ledger")
        try:
            again = importlib.import_module("torvo.ledger")
            assert again.Order is Order and again.LiveMap is LiveMap
        finally:
            sys.modules["torvo.ledger"] = saved
            sys.modules["torvo"].ledger = saved
