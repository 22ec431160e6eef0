"""Heartbeats between the stand-in library and a front: sent when the link is
idle, and a front silent past the limit reported as disconnected (reason 5)."""

import threading
import time

import pytest

from front import KIND_CALLBACK, KIND_HEARTBEAT, Front, encode_frame
from relay_support import flow_path, wait_events
from torvo import _relay

INTERVAL_MS, LIMIT_MS = 100, 500


@pytest.fixture
def beating(tmp_path):
    """A session greeted by a front announcing 100 ms heartbeats and a 500 ms limit."""
    with Front(heartbeat=INTERVAL_MS, heartbeat_timeout=LIMIT_MS) as front:
        handle = _relay.create(front.url, flow_path(tmp_path))
        try:
            front.accept()
            assert wait_events(handle, 1) == [{"name": "FrontConnected"}]
            yield front, handle
        finally:
            _relay.close(handle)


def test_an_idle_library_sends_a_heartbeat_each_interval(beating):
    front, _ = beating
    start = time.monotonic()
    frames = [front.recv_frame(timeout=2, heartbeats=True) for _ in range(3)]
    assert [f["kind"] for f in frames] == [KIND_HEARTBEAT] * 3
    assert [f["name"] for f in frames] == ["Heartbeat"] * 3 and frames[0]["data"] is None
    assert time.monotonic() - start >= 2 * INTERVAL_MS / 1000


def test_requests_count_as_traffic_and_heartbeats_never_reach_recv(beating):
    front, handle = beating
    for request_id in range(5):
        assert _relay.request(handle, "QryOrder", {}, request_id) == 0
        time.sleep(0.05)
    assert [front.recv()["request_id"] for _ in range(5)] == list(range(5))
    assert front.heartbeats <= 1  # a request every 50 ms left the link busy


def test_a_silent_front_is_reported_within_the_limit(beating):
    front, handle = beating
    start = time.monotonic()
    events = wait_events(handle, 1, timeout=5)
    elapsed = time.monotonic() - start
    assert events == [{"name": "FrontDisconnected", "reason": 5}]
    assert LIMIT_MS / 1000 - 0.05 <= elapsed <= (LIMIT_MS + INTERVAL_MS) / 1000 + 0.3
    # The library reconnects as after any other loss.
    front.accept()
    assert wait_events(handle, 1) == [{"name": "FrontConnected"}]


def test_a_front_that_beats_keeps_the_connection(beating):
    front, handle = beating
    deadline = time.monotonic() + 3 * LIMIT_MS / 1000
    while time.monotonic() < deadline:
        front.beat()
        time.sleep(INTERVAL_MS / 1000)
    assert _relay.poll(handle) == []  # no disconnect, and no event for a heartbeat
    assert _relay.request(handle, "QryOrder", {}, 9) == 0 and front.recv()["request_id"] == 9


def test_zero_interval_turns_heartbeats_off(tmp_path):
    with Front(heartbeat=0) as front:
        handle = _relay.create(front.url, flow_path(tmp_path))
        try:
            front.accept()
            assert wait_events(handle, 1) == [{"name": "FrontConnected"}]
            time.sleep(0.4)
            assert _relay.poll(handle) == []
            with pytest.raises(TimeoutError):
                front.recv_frame(timeout=0.3, heartbeats=True)
        finally:
            _relay.close(handle)


@pytest.mark.parametrize("interval, limit", [(-1, 500), (100, 100), (100, 50)])
def test_impossible_heartbeat_settings_make_the_greeting_malformed(tmp_path, interval, limit):
    with Front(heartbeat=interval, heartbeat_timeout=limit) as front:
        handle = _relay.create(front.url, flow_path(tmp_path))
        try:
            front.accept()
            # Not connected: no callback, and the library tries again.
            front.accept(timeout=5)
            assert _relay.poll(handle) == []
        finally:
            _relay.close(handle)


def test_a_library_busy_reading_still_beats(beating):
    front, handle = beating
    stop = threading.Event()

    # Frames by the thousand: the library always finds more to read.
    burst = b"".join(encode_frame(KIND_CALLBACK, "OnRspError", request_id=1) for _ in range(4000))

    def flood():
        while not stop.is_set():
            front.send_raw(burst, framed=False)

    sender = threading.Thread(target=flood)
    sender.start()
    try:
        beats = []
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            frame = front.recv_frame(timeout=2, heartbeats=True)
            assert frame["kind"] == KIND_HEARTBEAT
            beats.append(time.monotonic())
    finally:
        stop.set()
        sender.join()
    gaps = [b - a for a, b in zip(beats, beats[1:])]
    assert len(beats) >= 5 and max(gaps) < 3 * INTERVAL_MS / 1000, gaps
