"""The bridge's wake-up: one byte per burst into a socket the event loop awaits."""

import os
import select
import subprocess
import sys

import pytest

from relay_support import flow_path, open_session, session, settle, wait_events  # noqa: F401
from torvo import _relay

QUEUE_LIMIT = 32768


def readable(sock, timeout: float) -> bool:
    return bool(select.select([sock], [], [], timeout)[0])


def pending_bytes(sock) -> bytes:
    """Every byte waiting in the socket, without blocking."""
    got = b""
    while readable(sock, 0):
        chunk = sock.recv(4096)
        if not chunk:
            break
        got += chunk
    return got


def test_one_socket_per_session_non_blocking_and_quiet_until_an_event(front, session):
    sock = _relay.wakeup(session)
    assert _relay.wakeup(session) is sock and sock.gettimeout() == 0.0
    # FrontConnected was polled by the fixture: its byte is still there.
    assert pending_bytes(sock) == b"\x01"
    assert not readable(sock, 0.05)


def test_a_burst_writes_one_byte_until_it_is_polled(front, session):
    sock = _relay.wakeup(session)
    pending_bytes(sock)
    for ref in range(5):
        front.send("OnRtnOrder", {"OrderRef": str(ref)})
    settle(front, session)  # the five returns and the disconnect are queued
    assert pending_bytes(sock) == b"\x01"
    assert len(_relay.poll(session)) == 6
    # The queue is empty again: the next event wakes the loop again (the
    # library reconnected unseen in `settle`; this time it is greeted).
    front.drop()
    front.accept()
    assert readable(sock, 5)
    assert pending_bytes(sock) == b"\x01"
    assert wait_events(session, 1) == [{"name": "FrontConnected"}]


def test_an_event_after_the_poll_wakes_a_wait_begun_later(front, session):
    # The loop polls, then (a while later) starts waiting: an event queued in
    # between must find the wait woken.
    sock = _relay.wakeup(session)
    pending_bytes(sock)
    assert _relay.poll(session) == []
    front.send("OnRtnOrder", {"OrderRef": "late"})
    settle(front, session)
    assert readable(sock, 0)
    assert [e["name"] for e in _relay.poll(session)] == ["RtnOrder", "FrontDisconnected"]


def test_overflow_wakes_the_loop_once_more(front, session):
    sock = _relay.wakeup(session)
    pending_bytes(sock)
    for request_id in range(QUEUE_LIMIT):
        front.send("OnRspError", None, request_id=request_id)
    settle(front, session)
    # One byte for the first event, one for the overflow, none for the rest.
    assert pending_bytes(sock) == b"\x01\x01"
    with pytest.raises(BufferError):
        _relay.poll(session)


def test_close_releases_the_wakeup(front, tmp_path):
    with open_session(front, tmp_path) as handle:
        sock = _relay.wakeup(handle)
        _relay.close(handle)
        assert sock.fileno() == -1
        with pytest.raises(RuntimeError, match="^CTP 接口已关闭$"):
            _relay.wakeup(handle)
        _relay.close(handle)  # twice is harmless


def test_wakeup_refuses_anything_but_a_session():
    with pytest.raises(ValueError, match="invalid PyCapsule"):
        _relay.wakeup(object())
    with pytest.raises(TypeError):
        _relay.wakeup()  # type: ignore[call-arg]


FORK_SCRIPT = """
import os, select, sys, time, warnings
from front import Front
from relay_support import flow_path, wait_events
from torvo import _relay

warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
front = Front()
handle = _relay.create(front.url, flow_path(sys.argv[1]))
sock = _relay.wakeup(handle)
front.accept()
assert wait_events(handle, 1) == [{"name": "FrontConnected"}]
sock.recv(100)
pid = os.fork()
if pid == 0:
    try:
        _relay.wakeup(handle)
        sys.exit("wakeup in the child")
    except RuntimeError as error:
        assert str(error) == "CTP 接口已关闭", error
    _relay.close(handle)
    sys.exit(0)
assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
# The parent's wake-up still works after the child closed its copy.
front.send("OnRtnOrder", {"OrderRef": "1"})
assert select.select([sock], [], [], 5)[0], "no wake-up in the parent"
assert sock.recv(100) == b"\\x01"
_relay.close(handle)
print("ok")
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_the_wakeup_is_inert_in_a_forked_child(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", FORK_SCRIPT, str(tmp_path)], env=env, cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "ok\n", "")
