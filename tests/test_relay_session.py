"""Bridge sessions: create, poll, close, the queue limit and reconnection."""

import datetime
import gc
import os
import subprocess
import sys
import textwrap

import pytest

from front import Char
from relay_support import flow_path, open_session, session, settle, wait_events, wait_for  # noqa: F401
from torvo import _relay

QUEUE_LIMIT = 32768


def test_version_needs_no_session():
    text = _relay.version()
    assert isinstance(text, str) and text
    assert text.isascii()


@pytest.mark.parametrize("make_path", [
    lambda tmp: tmp / "missing",
    lambda tmp: (tmp / "file").write_bytes(b"") or tmp / "file",
], ids=["missing-directory", "a-file"])
def test_create_fails_without_a_flow_directory(front, tmp_path, make_path):
    with pytest.raises(RuntimeError, match="^创建 CTP 接口失败$"):
        _relay.create(front.url, flow_path(make_path(tmp_path)))


@pytest.mark.parametrize("args, error", [
    ((b"tcp://127.0.0.1:1", b"/tmp/"), TypeError),
    (("tcp://127.0.0.1:1", "/tmp/"), TypeError),
    (("tcp://127.0.0.1:1\0", b"/tmp/"), ValueError),
    (("tcp://127.0.0.1:1", b"/tmp\0/"), ValueError),
    (("tcp://127.0.0.1:1",), TypeError),
    (("tcp://127.0.0.1:1", b"/tmp/", 1), TypeError),
])
def test_create_rejects_bad_arguments(args, error):
    with pytest.raises(error):
        _relay.create(*args)


@pytest.mark.parametrize("call", [
    lambda h: _relay.poll(h),
    lambda h: _relay.close(h),
    lambda h: _relay.request(h, "QryOrder", {}, 1),
], ids=["poll", "close", "request"])
@pytest.mark.parametrize("handle, message", [
    (datetime.datetime_CAPI, "incorrect name"),
    (object(), "invalid PyCapsule"),
], ids=["other-capsule", "not-a-capsule"])
def test_functions_refuse_anything_but_a_session(call, handle, message):
    with pytest.raises(ValueError, match=message):
        call(handle)


def test_fresh_session_polls_an_empty_list(front, tmp_path):
    handle = _relay.create(front.url, flow_path(tmp_path))
    try:
        assert _relay.poll(handle) == []
    finally:
        _relay.close(handle)


def test_events_keep_the_order_of_the_callbacks_across_kinds(front, session):
    front.send("OnRspAuthenticate", {"BrokerID": "9999"}, request_id=1)
    front.send("OnRtnOrder", {"OrderRef": "1"})
    front.send("OnRspError", None, request_id=2, error=(3, "x"))
    front.send("OnRtnTrade", {"TradeID": "7"})
    front.send("OnErrRtnOrderInsert", {"OrderRef": "2"}, error=(22, "y"))
    front.send("OnRspQryInstrument", {"InstrumentID": "rb2501"}, request_id=3, last=False)
    front.send("OnRspQryInstrument", {"InstrumentID": "rb2505"}, request_id=3)
    front.send("OnErrRtnOrderAction", {"OrderSysID": "5"}, error=(26, "z"))
    front.send("OnRspUserLogin", {"TradingDay": "20240102"}, request_id=4)
    front.drop()
    front.accept()
    events = wait_for(session, "FrontConnected")
    assert [e["name"] for e in events] == [
        "RspAuthenticate", "RtnOrder", "RspError", "RtnTrade", "ErrRtnOrderInsert",
        "RspQryInstrument", "RspQryInstrument", "ErrRtnOrderAction", "RspUserLogin",
        "FrontDisconnected", "FrontConnected",
    ]
    assert [e["data"]["InstrumentID"] for e in events[5:7]] == ["rb2501", "rb2505"]
    assert [e["last"] for e in events[5:7]] == [False, True]


def test_reconnect_is_seen_as_disconnected_then_connected(front, session):
    for _ in range(2):
        front.drop()
        disconnected = wait_events(session, 1)
        assert len(disconnected) == 1
        assert list(disconnected[0]) == ["name", "reason"]
        assert disconnected[0]["name"] == "FrontDisconnected"
        assert type(disconnected[0]["reason"]) is int
        front.accept()
        assert wait_events(session, 1) == [{"name": "FrontConnected"}]


def test_close_hands_out_queued_events_then_nothing(front, tmp_path):
    with open_session(front, tmp_path) as handle:
        for ref in range(3):
            front.send("OnRtnOrder", {"OrderRef": str(ref)})
        settle(front, handle)
        assert _relay.close(handle) is None
        # The library is gone: its connection closes and it sends nothing more.
        with pytest.raises(ConnectionError):
            front.recv()
        events = _relay.poll(handle)
        assert [e["name"] for e in events] == ["RtnOrder"] * 3 + ["FrontDisconnected"]
        assert [e["data"]["OrderRef"] for e in events[:3]] == ["0", "1", "2"]
        assert _relay.poll(handle) == []
        assert _relay.poll(handle) == []
        assert _relay.close(handle) is None


def test_interpreter_exits_cleanly_with_a_session_open(tmp_path):
    script = textwrap.dedent(f"""
        import os
        from front import Front
        from torvo import _relay
        front = Front()
        handle = _relay.create(front.url, os.fsencode({str(tmp_path)!r} + os.sep))
        front.accept()
        front.send("OnRtnOrder", {{"OrderRef": "1"}})
        print("open")
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    # Run outside the project folder so `torvo` resolves as it does for the tests.
    done = subprocess.run([sys.executable, "-c", script], env=env, cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "open\n", "")


FORK_SCRIPT = """
import os, sys, time, warnings
from front import Front
from relay_support import flow_path, wait_events
from torvo import _relay

warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
front, other = Front(), Front()
handle = _relay.create(front.url, flow_path(sys.argv[1]))
front.accept()
assert wait_events(handle, 1) == [{"name": "FrontConnected"}]
spare = _relay.create(other.url, flow_path(sys.argv[1]))  # left open, for the child's exit
other.accept()
front.send("OnRtnOrder", {"OrderRef": "1"})
time.sleep(0.05)  # most likely queued before the fork

pid = os.fork()
if pid == 0:
    # The child: both sessions read as closed and hold nothing; nothing it
    # does reaches the parent's library or its connection.
    try:
        _relay.request(handle, "QryOrder", {}, 99)
        sys.exit("request went through")
    except RuntimeError as error:
        assert str(error) == "CTP 接口已关闭", error
    assert _relay.poll(handle) == [] and _relay.poll(spare) == []
    assert _relay.close(handle) is None
    assert _relay.close(handle) is None
    sys.exit(0)  # `spare` goes with the interpreter

deadline = time.monotonic() + 15
while (done := os.waitpid(pid, os.WNOHANG))[0] == 0:
    if time.monotonic() > deadline:
        os.kill(pid, 9)
        sys.exit("the child hung")
    time.sleep(0.01)
assert os.waitstatus_to_exitcode(done[1]) == 0, done
# The parent's sessions go on: the queue, requests and new callbacks.
assert [e["data"]["OrderRef"] for e in wait_events(handle, 1)] == ["1"]
assert _relay.request(handle, "QryOrder", {}, 7) == 0
assert front.recv()["request_id"] == 7  # nothing from the child before it
front.send("OnRtnOrder", {"OrderRef": "2"})
assert [e["data"]["OrderRef"] for e in wait_events(handle, 1)] == ["2"]
assert _relay.request(spare, "QryOrder", {}, 8) == 0 and other.recv()["request_id"] == 8
_relay.close(handle)
_relay.close(spare)
print("ok")
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_sessions_inherited_across_fork_are_closed_in_the_child(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", FORK_SCRIPT, str(tmp_path)], env=env, cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "ok\n", "")


@pytest.mark.parametrize("method", ["QryOrder", "NoSuchRequest", ""])
def test_request_after_close_reports_closed_before_the_name(front, tmp_path, method):
    with open_session(front, tmp_path) as handle:
        _relay.close(handle)
        with pytest.raises(RuntimeError, match="^CTP 接口已关闭$"):
            _relay.request(handle, method, {}, 1)


def test_dropping_the_last_reference_shuts_the_library_down(front, tmp_path):
    handle = _relay.create(front.url, flow_path(tmp_path))
    front.accept()
    front.send("OnRtnOrder", {"OrderRef": "1"})
    settle(front, handle)  # events left queued on purpose
    del handle
    gc.collect()
    with pytest.raises(ConnectionError):
        front.recv()


def test_queue_holds_exactly_the_limit(front, session):
    # 32767 callbacks plus the disconnect of `settle` fill the queue exactly.
    for request_id in range(QUEUE_LIMIT - 1):
        front.send("OnRspError", None, request_id=request_id)
    settle(front, session)
    events = _relay.poll(session)
    assert len(events) == QUEUE_LIMIT
    assert [e["request_id"] for e in events[:-1]] == list(range(QUEUE_LIMIT - 1))
    assert events[-1]["name"] == "FrontDisconnected"
    # Nothing overflowed: the session goes on.
    front.drop()
    front.accept()
    assert wait_events(session, 1) == [{"name": "FrontConnected"}]


def test_overflow_is_sticky_and_loses_the_queued_events(front, session):
    # 32768 callbacks plus the disconnect: one event too many.
    for request_id in range(QUEUE_LIMIT):
        front.send("OnRspError", None, request_id=request_id)
    settle(front, session)
    for _ in range(3):
        with pytest.raises(BufferError, match="^CTP 回调队列已满$"):
            _relay.poll(session)
    # Later callbacks do not clear it either.
    front.drop()
    front.accept()
    front.send("OnRtnOrder", {"Direction": Char("0")})
    settle(front, session)
    with pytest.raises(BufferError, match="^CTP 回调队列已满$"):
        _relay.poll(session)
