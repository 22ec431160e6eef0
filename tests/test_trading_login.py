"""Login synchronisation: requests, the login chain driven by events, the time
limits and query pacing of tick, and failed queries."""

import pytest

from torvo import trading
from torvo.data import ExError
from trading_support import (  # noqa: F401  (fixtures)
    CONFIG,
    clock,
    connected,
    factory,
    logged_in,
    make_session,
    response,
)

BASE = {"BrokerID": "9999", "InvestorID": "u-1", "UserID": "u-1"}


@pytest.fixture
def session(clock, factory):
    s = make_session(factory, timeout=5)
    connected(s, factory)
    return s


# ---- requests ------------------------------------------------------------------


def test_request_numbers_and_merges_fields(session, factory):
    assert session._request("QryTradingAccount", {"CurrencyID": "CNY"}) == (1, 0)
    factory.codes.append(-7)
    assert session._request("QryOrder") == (2, -7)  # a refusal is returned, not raised
    assert session._request("QryOrder", {}) == (3, 0)
    assert session._request("X", {"UserID": "other"}) == (4, 0)
    assert session._request("Y", [("A", 1)]) == (5, 0)  # anything dict.update takes
    assert factory.requests == [
        ("QryTradingAccount", {**BASE, "CurrencyID": "CNY"}, 1),
        ("QryOrder", BASE, 2),
        ("QryOrder", BASE, 3),
        ("X", {**BASE, "UserID": "other"}, 4),
        ("Y", {**BASE, "A": 1}, 5),
    ]
    assert session.request_id == 5


def test_request_without_bridge_raises(clock, factory):
    s = make_session(factory)
    with pytest.raises(AttributeError):
        s._request("QryOrder")


def test_request_id_stops_at_its_limit(session, factory):
    session.request_id = 2**63 - 2
    assert session._request("QryOrder")[0] == 2**63 - 1
    with pytest.raises(OverflowError):
        session._request("QryOrder")  # never wraps round to an id already used
    assert session.request_id == 2**63 - 1 and len(factory.requests) == 1


@pytest.mark.parametrize("code", [-1, -2, -3])
def test_phase_request_refused_by_the_api_is_a_timeout(session, factory, clock, code):
    factory.codes.append(code)
    clock.now = 1234.0
    with pytest.raises(TimeoutError) as info:
        session._phase_request("login", "UserLogin", {"Password": "x"})
    assert info.value.args == ()
    assert (session.phase, session.phase_id, session.phase_time, session.phase_data) == ("login", 1, 1234.0, {})


@pytest.mark.parametrize(
    "phase, message",
    [("authenticate", "CTP 认证请求失败（错误码：5）"), ("odd", "CTP odd请求失败（错误码：5）")],
)
def test_phase_request_refused_otherwise_ends_the_session(session, factory, phase, message):
    factory.codes.append(5)
    with pytest.raises(ExError) as info:
        session._phase_request(phase, "Authenticate")
    assert info.value.args == (message,)


# ---- the login chain --------------------------------------------------------------


def test_login_chain_with_split_responses(session, factory, clock):
    session.event({"name": "FrontConnected"})
    assert factory.requests[-1] == ("Authenticate", {**BASE, "AppID": "app-1", "AuthCode": "auth-1"}, 1)
    assert (session.phase, session.phase_id, session.session_status) == ("authenticate", 1, "SYNCING")

    session.event(response("RspAuthenticate", 1, {"A": 1}))
    assert factory.requests[-1] == ("UserLogin", {**BASE, "Password": "secret"}, 2)
    assert (session.phase, session.phase_id) == ("login", 2)

    session.dirty = False
    session.event(response("RspUserLogin", 2, {"TradingDay": "20240105", "FrontID": 3}, last=False))
    assert session.phase == "login" and session.phase_data == {"TradingDay": "20240105", "FrontID": 3}
    assert len(factory.requests) == 2
    clock.now = 1010.0
    session.event(response("RspUserLogin", 2, {"SessionID": 42, "FrontID": 4, "MaxOrderRef": " 12 "}))
    assert (session.day, session.a["trading_day"]) == ("20240105", "20240105")
    assert (session.front, session.session, session.order_ref) == (4, 42, 12)
    assert factory.requests[-1] == ("SettlementInfoConfirm", BASE, 3)
    assert (session.phase, session.phase_id, session.phase_time) == ("settlement", 3, 1010.0)
    assert session.dirty and session.changed.is_set()

    clock.now = 1020.0
    session.event(response("RspSettlementInfoConfirm", 3))
    assert (session.phase, session.phase_time, session.sync_index) == ("sync", 1020.0, 0)
    assert len(factory.requests) == 3


def test_stale_responses_are_ignored(session, factory):
    session.event({"name": "FrontConnected"})
    session.event(response("RspAuthenticate", 99, code=3, message="old"))  # even with an error
    session.event(response("RspAuthenticate", None))  # no request id counts as 0
    session.event({"name": "RspAuthenticate"})
    assert session.phase == "authenticate" and len(factory.requests) == 1
    session.event({"name": "RspAuthenticate", "request_id": 1, "data": None, "last": None, "error": None})
    assert session.phase == "login"


@pytest.mark.parametrize("code", [90, 154])
def test_login_response_flow_control_is_a_timeout(session, code):
    session.event({"name": "FrontConnected"})
    with pytest.raises(TimeoutError) as info:
        session.event(response("RspAuthenticate", 1, code=code, message="busy"))
    assert info.value.args == ()


def test_login_response_error_ends_the_session(session):
    session.event({"name": "FrontConnected"})
    session.event(response("RspAuthenticate", 1))
    with pytest.raises(ExError) as info:
        session.event(response("RspUserLogin", 2, code=3, message="密码错误"))
    assert info.value.args == ("CTP 登录失败（错误码：3）：密码错误",)


@pytest.mark.parametrize(
    "value, expected", [(" 12 ", 12), ("", 0), ("   ", 0), ("7", 7), (None, ...), ("x", ValueError)]
)
def test_max_order_ref(session, value, expected):
    session.event({"name": "FrontConnected"})
    session.event(response("RspAuthenticate", 1))
    data = {"TradingDay": "20240105", "FrontID": 1, "SessionID": 2}
    if expected is not ...:
        data["MaxOrderRef"] = value
    else:
        expected = 0  # absent: "0"
    if expected is ValueError:
        with pytest.raises(ValueError):
            session.event(response("RspUserLogin", 2, data))
    else:
        session.event(response("RspUserLogin", 2, data))
        assert session.order_ref == expected


@pytest.mark.parametrize("missing", ["TradingDay", "FrontID", "SessionID"])
def test_login_response_missing_key(session, missing):
    session.event({"name": "FrontConnected"})
    session.event(response("RspAuthenticate", 1))
    data = {"TradingDay": "20240105", "FrontID": 1, "SessionID": 2}
    del data[missing]
    with pytest.raises(KeyError):
        session.event(response("RspUserLogin", 2, data))


def test_front_connected_while_ready_restarts_the_login(session, factory, clock):
    logged_in(session, factory, clock)
    session.phase, session.session_status = "ready", "READY"
    session.positions._data["DCE.a2501"] = trading.Position(symbol="DCE.a2501")
    session.o["x"] = {}
    session.event({"name": "FrontConnected"})
    assert session.session_status == "SYNCING" and session.o == {} and session.reset_pending
    assert list(session.p) == ["DCE.a2501"]
    assert (session.phase, factory.methods[-1]) == ("authenticate", "Authenticate")
    assert session.day == "20240105"  # kept until the next login


def test_front_disconnected(session, factory, clock):
    logged_in(session, factory, clock)
    clock.now = 2000.0
    session.event({"name": "FrontDisconnected"})
    assert (session.phase, session.phase_time, session.session_status) == ("connecting", 2000.0, "DISCONNECTED")
    assert session.recovery.calls == ["fail"]
    assert factory.opened[0].closed == 0  # the bridge stays open
    # The library's reason is kept as the reconnection's cause, with its time.
    error, at = session.last_failure
    assert (type(error), str(error), at) == (ConnectionError, "CTP 前置连接断开（原因码：0）", int(clock.wall * 1000))
    session.event({"name": "FrontDisconnected", "reason": 5})
    assert str(session.last_failure[0]) == "CTP 前置连接断开（原因码：5）"


class Lowered(dict):
    """A record that keeps its keys in lower case and answers for any case."""

    def __init__(self, **fields):
        super().__init__({key.lower(): value for key, value in fields.items()})

    def __getitem__(self, key):
        return super().__getitem__(key.lower())

    def get(self, key, default=None):
        return super().get(key.lower(), default)


def test_dict_subclass_records_are_read_through_their_own_methods(session):
    session.event(Lowered(Name="FrontConnected"))
    error = Lowered(ErrorID=3, ErrorMsg="拒绝")
    with pytest.raises(ExError) as info:
        session.event(Lowered(Name="RspAuthenticate", Request_ID=1, Error=error))
    assert info.value.args == ("CTP 认证失败（错误码：3）：拒绝",)


def test_unhandled_and_malformed_records(session):
    session.event({"name": "RtnOrder", "data": {"x": 1}})  # before "sync": ignored
    session.event({"name": "SomethingElse"})
    with pytest.raises(KeyError):
        session.event({"data": {}})


# ---- tick: time limits --------------------------------------------------------------


def test_connecting_limit(session, clock):
    session.tick(clock.now + 5)  # exactly the limit
    with pytest.raises(TimeoutError) as info:
        session.tick(clock.now + 5.001)
    assert info.value.args == ()


@pytest.mark.parametrize("phase", ["authenticate", "login", "settlement", "odd"])
def test_login_step_limit(session, clock, phase):
    session.phase = phase
    session.tick(clock.now + 5)
    with pytest.raises(TimeoutError, match="^CTP 连接或登录超时$"):
        session.tick(clock.now + 5.001)


def test_sync_limit_without_query_in_flight(session, clock):
    session.phase = "sync"
    session.last_query = clock.now + 100  # nothing is sent
    session.tick(clock.now + 5)
    with pytest.raises(TimeoutError, match="^CTP 登录同步超时且无进展$"):
        session.tick(clock.now + 5.001)


def test_query_in_flight_limit_during_login(session, factory, clock):
    logged_in(session, factory, clock)
    t0 = clock.now
    session.tick(t0)
    assert session.inflight["kind"] == "instruments"
    # a query that keeps delivering never times out
    for step in range(1, 20):
        session.inflight["progress"] = t0 + step * 4.9
    progress = session.inflight["progress"]
    session.tick(progress + 5)
    with pytest.raises(TimeoutError, match="^CTP 合约查询超时且无进展$"):
        session.tick(progress + 5.001)


def test_query_in_flight_limit_while_ready(session, factory, clock):
    logged_in(session, factory, clock)
    session.phase = "ready"
    session.last_account_refresh = clock.now
    session.pending.add("account")
    session.tick(clock.now)
    assert session.inflight["kind"] == "account" and session.pending == set()
    session.tick(clock.now + 5)
    assert session.query_recovery.calls == ["check", "check"]
    session.tick(clock.now + 5.001)  # dropped and queued again, not raised
    assert session.inflight is None and session.pending == {"account"}
    assert session.query_recovery.calls == ["check", "check", "check", "fail"]


# ---- tick: query pacing ---------------------------------------------------------------


def test_sync_queries_are_paced(session, factory, clock):
    logged_in(session, factory, clock)
    t0 = clock.now
    session.tick(t0)  # immediately: last_query starts at minus infinity
    assert factory.requests[-1] == ("QryInstrument", BASE, 4)
    assert session.inflight == {"id": 4, "kind": "instruments", "rows": [], "progress": t0, "revision": 0}
    assert (session.last_query, session.phase_time) == (t0, t0)
    # the query completes at once; the next one waits for a full second
    session.inflight, session.sync_index, session.revision = None, 1, 5
    session.tick(t0 + 0.999)
    assert factory.methods[-1] == "QryInstrument"
    session.tick(t0 + 1)
    assert factory.requests[-1] == ("QryOrder", BASE, 5)
    assert session.inflight["revision"] == 5


def test_each_sync_step_sends_its_request(session, factory, clock):
    logged_in(session, factory, clock)
    for index, kind in enumerate(trading.SYNC_STEPS):
        session.inflight, session.sync_index = None, index
        session.tick(clock.now + index)
        method, data, _ = factory.requests[-1]
        assert (method, session.inflight["kind"]) == (trading.QUERY[kind], kind)
        assert data == ({**BASE, "CurrencyID": "CNY"} if kind == "account" else BASE)


@pytest.mark.parametrize("code", [-2, -3])
@pytest.mark.parametrize("phase", ["sync", "ready"])
def test_flow_control_refusal_delays_the_next_query(session, factory, clock, code, phase):
    logged_in(session, factory, clock)
    session.phase = phase
    session.last_account_refresh = clock.now
    session.pending.add("account")
    t0 = clock.now
    factory.codes.append(code)
    session.tick(t0)
    assert session.inflight is None and session.last_query == t0 + 1
    tracker = session.query_recovery if phase == "ready" else session.recovery
    other = session.recovery if phase == "ready" else session.query_recovery
    assert tracker.calls[-1] == "fail" and "fail" not in other.calls
    if phase == "ready":
        assert session.pending == {"account"}
    sent = len(factory.requests)
    session.tick(t0 + 1.999)
    assert len(factory.requests) == sent
    session.tick(t0 + 2)
    assert len(factory.requests) == sent + 1 and session.inflight is not None


@pytest.mark.parametrize("code", [-1, 1, -4])
def test_other_submission_refusals_force_a_reconnection(session, factory, clock, code):
    logged_in(session, factory, clock)
    factory.codes.append(code)
    with pytest.raises(TimeoutError) as info:
        session.tick(clock.now)
    assert info.value.args == (f"CTP 合约查询提交失败（错误码：{code}）",)


def test_account_refresh_while_ready(session, factory, clock):
    logged_in(session, factory, clock)
    session.phase = "ready"
    session.last_query = session.last_account_refresh = t0 = clock.now
    session.tick(t0 + 4.999)
    assert session.pending == set()
    assert session.query_recovery.calls == []  # nothing in flight or waiting
    session.tick(t0 + 5)
    assert factory.requests[-1] == ("QryTradingAccount", {**BASE, "CurrencyID": "CNY"}, 4)
    assert session.inflight["kind"] == "account" and session.pending == set()


def test_schedule_account_only_while_ready(session, factory, clock):
    logged_in(session, factory, clock)
    session._schedule_account()
    assert session.pending == set()
    session.phase = "ready"
    session._schedule_account()
    assert session.pending == {"account"}


def test_ready_with_nothing_pending_sends_nothing(session, factory, clock):
    logged_in(session, factory, clock)
    session.phase = "ready"
    session.last_account_refresh = clock.now
    sent = len(factory.requests)
    session.tick(clock.now + 1)
    assert len(factory.requests) == sent


# ---- failed queries ---------------------------------------------------------------------


@pytest.mark.parametrize("code", [90, 154])
def test_query_flow_control_error_during_sync(session, factory, clock, code):
    logged_in(session, factory, clock)
    session.sync_index = 1
    session.tick(clock.now)
    clock.now += 0.5
    session._query_error(code, "busy")
    assert session.inflight is None and session.last_query == clock.now + 1
    assert session.recovery.calls == ["fail"] and session.pending == set()
    session.tick(clock.now + 1.999)  # two seconds after the error
    assert factory.methods.count("QryOrder") == 1
    session.tick(clock.now + 2)
    assert factory.methods.count("QryOrder") == 2  # the same step again


def test_query_flow_control_error_while_ready(session, factory, clock):
    logged_in(session, factory, clock)
    session.phase = "ready"
    session.inflight = {"id": 9, "kind": "account", "rows": [], "progress": clock.now, "revision": 0}
    session._query_error(154, "busy")
    assert session.pending == {"account"} and session.query_recovery.calls == ["fail"]
    assert session.recovery.calls == []


@pytest.mark.parametrize("kind, label", [("orders", "订单"), ("odd", "odd")])
def test_query_error_ends_the_session(session, kind, label):
    session.phase = "sync"
    session.inflight = {"id": 9, "kind": kind, "rows": [], "progress": 0.0, "revision": 0}
    with pytest.raises(ExError) as info:
        session._query_error(91, "无此权限")
    assert info.value.args == (f"CTP {label}查询失败（错误码：91）：无此权限",)
    assert session.inflight is None
