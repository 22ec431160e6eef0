"""CtpAccount and TradingResult: frozen dataclasses with checked fields."""

import dataclasses
import pickle

import pytest

from torvo.ledger import CtpAccount, TradingResult

FIELDS = ("broker_id", "user_id", "password", "front_url", "app_id", "auth_code")
VALID = dict(broker_id="9999", user_id="000123", password="s3cret!",
             front_url="tcp://180.168.146.187:10201", app_id="client_app_1.0",
             auth_code="0000000000000000")


def account(**changes):
    return CtpAccount(**{**VALID, **changes})


def not_nonempty_message(name):
    return name + " 必须是非空字符串，且不能包含 NUL 字符"


class TestConstruction:
    def test_positional_and_keyword_build_equal_accounts(self):
        by_position = CtpAccount(*VALID.values())
        assert by_position == account()
        assert [getattr(by_position, name) for name in FIELDS] == list(VALID.values())
        assert [f.name for f in dataclasses.fields(CtpAccount)] == list(FIELDS)

    def test_repr_hides_password_and_auth_code(self):
        text = repr(account())
        assert text == ("CtpAccount(broker_id='9999', user_id='000123', "
                        "front_url='tcp://180.168.146.187:10201', app_id='client_app_1.0')")
        assert "s3cret" not in text and "0000000000000000" not in text

    @pytest.mark.parametrize("count", [0, 5, 7])
    def test_wrong_argument_count(self, count):
        with pytest.raises(TypeError):
            CtpAccount(*(["x"] * count))

    @pytest.mark.parametrize("value", [" ", "\t\n", "tcp://"])
    def test_whitespace_and_bare_prefix_are_accepted(self, value):
        if value == "tcp://":
            assert account(front_url=value).front_url == "tcp://"
        else:
            assert account(app_id=value).app_id == value

    def test_str_subclass_is_accepted(self):
        class Text(str):
            pass
        assert account(user_id=Text("7")).user_id == "7"

    def test_docstring(self):
        assert CtpAccount.__doc__.startswith("CTP 直连账户配置，交易凭据不会发送至行情服务。\n\n    Args:\n")
        assert "        auth_code: 期货公司提供的客户端授权码。\n    " in CtpAccount.__doc__


class TestValidation:
    @pytest.mark.parametrize("name", FIELDS)
    @pytest.mark.parametrize("bad", ["", 7, None, b"bytes", "a\0b", "\0"])
    def test_each_field_must_be_a_nonempty_str_without_nul(self, name, bad):
        with pytest.raises(ValueError) as info:
            account(**{name: bad})
        assert str(info.value) == not_nonempty_message(name)

    def test_first_offending_field_wins_over_later_ones_and_the_prefix(self):
        with pytest.raises(ValueError, match="^password "):
            account(password="", front_url="udp://x", auth_code="")
        with pytest.raises(ValueError, match="^user_id "):
            account(user_id=123, password="")
        with pytest.raises(ValueError, match="^broker_id "):
            account(broker_id="a\x00", user_id=None)

    @pytest.mark.parametrize("url", ["TCP://host:1", "Tcp://h:1", "udp://h:1", "ssl://h:1",
                                     "host:1", " tcp://h:1", "tcp:/h", "tcp:"])
    def test_front_url_needs_the_exact_prefix(self, url):
        with pytest.raises(ValueError) as info:
            account(front_url=url)
        assert str(info.value) == "front_url 必须以 tcp:// 开头"

    def test_prefix_check_comes_after_every_field_check(self):
        with pytest.raises(ValueError, match="^auth_code "):
            account(front_url="http://x", auth_code="")


class TestFrozen:
    @pytest.mark.parametrize("name", FIELDS + ("other",))
    def test_assignment_and_deletion_raise_frozen_error(self, name):
        item = account()
        with pytest.raises(dataclasses.FrozenInstanceError):
            setattr(item, name, "x")
        with pytest.raises(dataclasses.FrozenInstanceError):
            delattr(item, name)
        assert item == account()

    def test_equality_and_hash_cover_hidden_fields(self):
        assert account() == account() and hash(account()) == hash(account())
        assert account(password="other") != account()
        assert account(auth_code="other") != account()
        assert len({account(), account(), account(password="x")}) == 2

    def test_pickle_round_trip(self):
        assert pickle.loads(pickle.dumps(account())) == account()


class TestTradingResult:
    def test_defaults_repr_and_fields(self):
        result = TradingResult("SUBMITTED", None)
        assert result.message == ""
        assert repr(result) == "TradingResult(status='SUBMITTED', order_id=None, message='')"
        assert [f.name for f in dataclasses.fields(TradingResult)] == ["status", "order_id", "message"]
        assert TradingResult.__doc__ == "一次交易操作的即时提交结果；不是最终委托或撤单结果。"

    def test_equality_hash_and_keywords(self):
        a = TradingResult("REJECTED", "7", "资金不足")
        b = TradingResult(status="REJECTED", order_id="7", message="资金不足")
        assert a == b and hash(a) == hash(b)
        assert a != TradingResult("REJECTED", "7")

    def test_status_is_not_validated(self):
        assert TradingResult("whatever", 3).status == "whatever"

    @pytest.mark.parametrize("name", ["status", "order_id", "message"])
    def test_frozen(self, name):
        with pytest.raises(dataclasses.FrozenInstanceError):
            setattr(TradingResult("UNKNOWN", None), name, "x")

    @pytest.mark.parametrize("args", [(), ("SUBMITTED",), ("a", "b", "c", "d")])
    def test_wrong_argument_count(self, args):
        with pytest.raises(TypeError):
            TradingResult(*args)
