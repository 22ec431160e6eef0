"""LiveObject and the record types Account, Position, Order and Trade."""

import gc
import traceback
import typing
import weakref

import pytest

from torvo.ledger import Account, LiveObject, Order, Position, Trade

from ledger_support import memory_growth

READ_ONLY = "SDK 交易数据对象为只读"

FIELDS = {
    Account: "account_id trading_day balance available margin frozen_margin commission "
             "frozen_commission close_profit position_profit deposit withdraw updated_at",
    Position: "symbol pos_long pos_short pos_long_today pos_short_today available_long "
              "available_short",
    Order: "order_id order_sys_id symbol direction offset limit_price volume_original "
           "volume_traded volume_left status status_msg cancel_pending cancel_error insert_time",
    Trade: "trade_id order_sys_id symbol direction offset price volume trade_time",
}
DOCS = {
    Account: "只读资金快照；金额单位为人民币元，未知字段为 None。\n\n"
             "    金额仅由完整柜台查询更新，不根据行情或成交估算；交易日来自登录回报。\n    ",
    Position: "只读持仓快照；数量单位为手。\n\n"
              "    登录查询建立基线，之后根据真实成交本地更新；未知数量为 None。\n    ",
    Order: "只读订单快照；断线后观察句柄保留最后一次已提交的数据。",
    Trade: "只读真实成交快照，不包含估算手续费；断线后保留最后一次已提交的数据。",
}
RECORDS = list(FIELDS)


class TestTypes:
    @pytest.mark.parametrize("cls", RECORDS)
    def test_fields_docstring_and_layout(self, cls):
        assert cls.fields == tuple(FIELDS[cls].split())
        assert cls.__doc__ == DOCS[cls]
        assert cls.__mro__[1] is LiveObject and cls.__module__ == "torvo.ledger"
        assert cls.__slots__ == () and LiveObject.__slots__ == ("_values",)
        assert LiveObject.fields == ()
        assert list(typing.get_type_hints(cls)) == list(cls.fields)

    def test_annotations(self):
        hints = typing.get_type_hints(Order)
        assert hints["status"] == typing.Optional[
            typing.Literal["PENDING", "ALIVE", "FILLED", "CANCELLED", "REJECTED"]]
        assert hints["cancel_pending"] is bool and hints["symbol"] is str
        assert hints["limit_price"] == float | None
        assert typing.get_type_hints(Account)["updated_at"] == int | None

    @pytest.mark.parametrize("cls", RECORDS + [LiveObject])
    def test_instances_have_no_dict_or_weakref(self, cls):
        record = cls()
        assert not hasattr(record, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(record)


class TestConstruction:
    @pytest.mark.parametrize("cls", RECORDS)
    def test_blank_record_has_every_field_none_in_order(self, cls):
        record = cls()
        assert list(record._values) == list(cls.fields)
        assert all(getattr(record, name) is None for name in cls.fields)
        assert cls()._values is not record._values

    def test_blank_account_and_order_defaults(self):
        assert len(Account.fields) == 13 and len(Account()._values) == 13
        assert Order().cancel_pending is None

    def test_keywords_overwrite_fields_and_add_extras(self):
        position = Position(symbol="SHFE.cu2501", pos=3, pos_long=5)
        assert position.pos == 3 and position.pos_long == 5 and position.pos_short is None
        assert "pos" not in Position.fields
        assert list(position._values)[-1] == "pos"

    def test_position_takes_over_a_whole_mapping(self):
        state = {"symbol": "INE.sc2502", "pos_long": 1, "frozen_long": 0, "updated_at": 9}
        position = Position(**state)
        assert {name: getattr(position, name) for name in state} == state

    @pytest.mark.parametrize("args", [(1,), ({"symbol": "x"},), (None, None)])
    def test_positional_arguments_raise_type_error(self, args):
        with pytest.raises(TypeError):
            Order(*args)

    def test_replaced_fields_on_a_subclass_are_used(self):
        class Custom(Order):
            __slots__ = ()
            fields = ["alpha", "beta"]
        assert Custom(beta=2)._values == {"alpha": None, "beta": 2}

    def test_fields_must_be_iterable(self):
        class Broken(LiveObject):
            __slots__ = ()
            fields = 5
        with pytest.raises(TypeError):
            Broken()


class TestReading:
    def test_values_and_class_members_resolve(self):
        order = Order(status="ALIVE", limit_price=0.0)
        assert order.status == "ALIVE" and order.limit_price == 0.0
        assert order.fields is Order.fields and type(order) is Order

    @pytest.mark.parametrize("key", ["fields", "_values", "__class__", "__init__"])
    def test_values_never_shadow_class_members(self, key):
        order = Order(**{key: "shadow"})
        assert getattr(order, key) != "shadow"
        assert order._values[key] == "shadow"

    def test_unknown_name_raises_attribute_error_with_no_context(self):
        order = Order()
        with pytest.raises(AttributeError) as info:
            order.no_such_field
        assert info.value.args == ("no_such_field",)
        assert info.value.__cause__ is None and info.value.__suppress_context__
        try:
            raise KeyError("outer")
        except KeyError:
            with pytest.raises(AttributeError) as info:
                order.missing
        shown = "".join(traceback.format_exception(info.value))
        assert "KeyError" not in shown and "During handling" not in shown

    def test_getattr_default_and_hasattr(self):
        order = Order(extra=None)
        assert getattr(order, "nope", 1) == 1 and not hasattr(order, "nope")
        assert hasattr(order, "extra") and order.extra is None

    def test_updates_through_values_are_seen_by_a_held_record(self):
        order = Order(symbol="SHFE.cu2501")
        values = order._values
        values["symbol"] = "DCE.m2505"
        values["new_key"] = 1
        assert order.symbol == "DCE.m2505" and order.new_key == 1
        del values["symbol"]
        with pytest.raises(AttributeError):
            order.symbol

    def test_repr(self):
        blank = {name: None for name in FIELDS[Trade].split()}
        assert repr(Trade()) == "Trade(" + repr(blank) + ")"

        class MyTrade(Trade):
            __slots__ = ()
        assert repr(MyTrade(x=1)).startswith("MyTrade({'trade_id': None")

    def test_identity_equality_and_hash(self):
        a, b = Order(order_id="1"), Order(order_id="1")
        assert a != b and a == a and len({a, b}) == 2


class TestReadOnly:
    @pytest.mark.parametrize("name", ["symbol", "_values", "fields", "extra", "unknown",
                                      "__class__", "__doc__"])
    @pytest.mark.parametrize("cls", RECORDS + [LiveObject])
    def test_every_assignment_and_deletion_raises(self, cls, name):
        record = cls(symbol="x", extra=1)
        before = dict(record._values)
        for attempt in (lambda: setattr(record, name, 0), lambda: delattr(record, name)):
            with pytest.raises(AttributeError) as info:
                attempt()
            assert str(info.value) == READ_ONLY
        assert record._values == before and type(record) is cls

    def test_values_slot_cannot_be_replaced_by_the_back_door(self):
        order = Order(symbol="x")
        for attempt in (lambda: object.__setattr__(order, "_values", {}),
                        lambda: object.__delattr__(order, "_values")):
            with pytest.raises((AttributeError, TypeError)):
                attempt()
        assert order.symbol == "x"


class TestSubclassing:
    def test_user_subclass_with_members(self):
        class Rich(Order):
            __slots__ = ()
            label = "rich"

            @property
            def left(self):
                return self.volume_original - self.volume_traded

            @property
            def refuses(self):
                raise AttributeError("inner")

        rich = Rich(volume_original=5, volume_traded=2, refuses="from values")
        assert rich.left == 3 and rich.label == "rich" and rich.refuses == "from values"
        with pytest.raises(AttributeError, match=READ_ONLY):
            rich.label = "x"

    def test_subclass_with_instance_dict_reads_it_before_values(self):
        class Loose(Trade):
            pass
        loose = Loose(price=1.5, note="values")
        loose.__dict__["note"] = "dict"
        assert loose.note == "dict" and loose.price == 1.5
        with pytest.raises(AttributeError):
            loose.missing

    def test_subclass_getattr_hook_sees_misses(self):
        class Fallback(Order):
            __slots__ = ()

            def __getattr__(self, name):
                return "fallback:" + name
        assert Fallback(status="FILLED").status == "FILLED"
        assert Fallback().other == "fallback:other"


class TestMemory:
    def test_reference_cycle_through_values_is_collected(self):
        class Marker:
            pass
        marker = Marker()
        alive = weakref.ref(marker)
        order = Order(marker=marker)
        order._values["self"] = order
        del order, marker
        gc.collect()
        assert alive() is None

    def test_hot_operations_do_not_grow_memory(self):
        order = Order(status="ALIVE", extra=1)

        def work():
            order.status, order.extra, order.fields
            getattr(order, "missing", None)
            Order(order_id="1", symbol="SHFE.cu2501", status="PENDING")
            Position(**{"symbol": "x", "pos": 1})
            repr(order)
            try:
                order.status = 1
            except AttributeError:
                pass

        assert memory_growth(work) < 8192
