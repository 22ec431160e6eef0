"""The stand-in trader library seen through the bridge: connection states,
query admission, malformed frames, tolerance of unknown names and keys, and
prompt shutdown."""

import socket
import struct
import time

import pytest

from front import KIND_CALLBACK, KIND_GREETING, KIND_REQUEST, Char, Front, encode_frame
from relay_support import flow_path, open_session, wait_events, wait_for
from torvo import _relay

QUERIES = ["QryOrder", "QryTrade", "QryInvestorPosition", "QryTradingAccount", "QryInstrument"]
OTHERS = ["Authenticate", "UserLogin", "SettlementInfoConfirm", "OrderInsert", "OrderAction"]

REASON_CLOSED = 1
REASON_MALFORMED = 4


def closed_port_url() -> str:
    """A loopback address where nothing listens."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"tcp://127.0.0.1:{s.getsockname()[1]}"


def drain(front, count):
    return [front.recv()["name"] for _ in range(count)]


# -- connection states -------------------------------------------------------

@pytest.mark.parametrize("method", QUERIES + OTHERS)
def test_requests_return_minus_one_until_greeted(front, tmp_path, method):
    handle = _relay.create(front.url, flow_path(tmp_path))
    try:
        assert _relay.request(handle, method, {}, 1) == -1   # not even connected
        front.accept(greet=False)
        time.sleep(0.05)
        assert _relay.request(handle, method, {}, 2) == -1   # connected, no greeting yet
        assert _relay.poll(handle) == []
        front.send_raw(encode_frame(KIND_GREETING, "any name", data={})[4:])
        assert wait_events(handle, 1) == [{"name": "FrontConnected"}]
        assert _relay.request(handle, method, {}, 3) == 0
        assert front.recv()["request_id"] == 3
    finally:
        _relay.close(handle)


def test_requests_return_minus_one_after_a_disconnect(front, tmp_path):
    with open_session(front, tmp_path) as handle:
        front.drop()
        assert wait_for(handle, "FrontDisconnected")[-1] == {"name": "FrontDisconnected",
                                                              "reason": REASON_CLOSED}
        assert _relay.request(handle, "OrderInsert", {}, 1) == -1
        front.accept()
        wait_for(handle, "FrontConnected")
        assert _relay.request(handle, "OrderInsert", {}, 2) == 0
        assert front.recv()["request_id"] == 2


def test_connection_attempts_repeat_about_once_a_second(tmp_path):
    url = closed_port_url()
    port = int(url.rsplit(":", 1)[1])
    handle = _relay.create(url, flow_path(tmp_path))
    try:
        time.sleep(0.3)  # the first attempt was refused
        with socket.socket() as listener:
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind(("127.0.0.1", port))
            listener.listen(1)
            listener.settimeout(3.0)
            start = time.monotonic()
            conn, _ = listener.accept()
            conn.close()
            assert time.monotonic() - start < 1.5
        assert _relay.poll(handle) == []  # never greeted: no events at all
    finally:
        _relay.close(handle)


@pytest.mark.parametrize("state", ["refused", "awaiting-greeting", "connected"])
def test_close_returns_promptly_in_every_state(front, tmp_path, state):
    url = closed_port_url() if state == "refused" else front.url
    handle = _relay.create(url, flow_path(tmp_path))
    if state != "refused":
        front.accept(greet=state == "connected")
    if state == "connected":
        wait_events(handle, 1)
    time.sleep(0.2)  # inside the retry pause, or blocked reading
    start = time.monotonic()
    _relay.close(handle)
    assert time.monotonic() - start < 0.5


def test_flow_file_written_with_or_without_trailing_separator(front, tmp_path):
    for directory, path in ((tmp_path / "a", str(tmp_path / "a")), (tmp_path / "b", str(tmp_path / "b") + "/")):
        directory.mkdir()
        _relay.close(_relay.create(front.url, path.encode()))
        (flow,) = directory.iterdir()
        assert 0 < flow.stat().st_size < 256


# -- query admission ---------------------------------------------------------

def test_query_rate_refuses_queries_over_the_limit_only(tmp_path):
    with Front(query_rate=2) as front, open_session(front, tmp_path) as handle:
        assert [_relay.request(handle, q, {}, i) for i, q in enumerate(QUERIES)] == [0, 0, -3, -3, -3]
        assert [_relay.request(handle, m, {}, 10) for m in OTHERS] == [0] * len(OTHERS)
        # Refused queries are not sent.
        assert drain(front, 7) == ["ReqQryOrder", "ReqQryTrade"] + ["Req" + m for m in OTHERS]
        time.sleep(1.05)
        assert [_relay.request(handle, "QryOrder", {}, i) for i in range(3)] == [0, 0, -3]


def test_query_rate_defaults_to_one_per_second_without_the_field(tmp_path):
    with Front(query_rate=None) as front, open_session(front, tmp_path) as handle:
        assert _relay.request(handle, "QryInstrument", {}, 1) == 0
        assert _relay.request(handle, "QryInstrument", {}, 2) == -3
        assert _relay.request(handle, "UserLogin", {}, 3) == 0


def test_query_rate_zero_admits_everything(front, tmp_path):
    with open_session(front, tmp_path) as handle:
        assert {_relay.request(handle, "QryTradingAccount", {}, i) for i in range(200)} == {0}
        assert [front.recv()["request_id"] for _ in range(200)] == list(range(200))


def test_new_connection_and_new_greeting_reset_the_window(tmp_path):
    with Front(query_rate=1) as front, open_session(front, tmp_path) as handle:
        assert _relay.request(handle, "QryOrder", {}, 1) == 0
        assert _relay.request(handle, "QryOrder", {}, 2) == -3
        front.send_raw(encode_frame(KIND_GREETING, "again", data={"QueryRate": 3})[4:])
        front.send("OnRtnTrade", {})
        # A later greeting changes the rate without a second FrontConnected.
        assert [e["name"] for e in wait_events(handle, 1)] == ["RtnTrade"]
        assert [_relay.request(handle, "QryOrder", {}, i) for i in range(4)] == [0, 0, 0, -3]
        front.drop()
        wait_for(handle, "FrontDisconnected")
        front.accept()
        wait_for(handle, "FrontConnected")
        assert [_relay.request(handle, "QryOrder", {}, i) for i in range(2)] == [0, -3]


# -- malformed frames ----------------------------------------------------------

def callback_body(**data):
    return encode_frame(KIND_CALLBACK, "OnRtnTrade", data=data or {"Volume": 1})[4:]


MALFORMED = {
    "zero-length": struct.pack("<I", 0),
    "absurd-length": struct.pack("<I", 0xFFFFFFF0) + b"\x02",
    "over-the-cap": struct.pack("<I", (1 << 20) + 1) + b"\x02",
    "truncated-field": struct.pack("<I", len(callback_body()) - 2) + callback_body()[:-2],
    "trailing-bytes": struct.pack("<I", len(callback_body()) + 1) + callback_body() + b"\x00",
    "unknown-type": (lambda b: struct.pack("<I", len(b)) + b)(callback_body()[:-5] + b"q" + callback_body()[-4:]),
    "unknown-kind": (lambda b: struct.pack("<I", len(b)) + b)(b"\x07" + callback_body()[1:]),
    "bad-flag": (lambda b: struct.pack("<I", len(b)) + b)(callback_body()[:16] + b"\x05" + callback_body()[17:]),
    "request-from-front": encode_frame(KIND_REQUEST, "ReqUserLogin", data={}),
    "name-overrun": struct.pack("<I", 3) + b"\x02\xffO",
}


@pytest.mark.parametrize("payload", MALFORMED.values(), ids=MALFORMED.keys())
def test_malformed_frame_drops_the_connection(front, tmp_path, payload):
    with open_session(front, tmp_path) as handle:
        front.send("OnRtnTrade", {"Volume": 5})
        # One write, so the library cannot close the connection in between;
        # the frame after the bad one is never delivered.
        front.send_raw(payload + encode_frame(KIND_CALLBACK, "OnRtnTrade", data={"Volume": 6}), framed=False)
        events = wait_for(handle, "FrontDisconnected")
        assert [(e["name"], e.get("data", {}).get("Volume")) for e in events] == [
            ("RtnTrade", 5), ("FrontDisconnected", None)]
        assert events[-1]["reason"] == REASON_MALFORMED


def test_connection_after_a_malformed_frame_works(front, tmp_path):
    with open_session(front, tmp_path) as handle:
        front.send_raw(MALFORMED["unknown-type"], framed=False)
        wait_for(handle, "FrontDisconnected")
        front.accept()
        assert wait_for(handle, "FrontConnected") == [{"name": "FrontConnected"}]
        front.send("OnRtnTrade", {"Volume": 7})
        assert wait_events(handle, 1)[0]["data"]["Volume"] == 7
        assert _relay.request(handle, "QryTrade", {}, 8) == 0
        assert front.recv()["name"] == "ReqQryTrade"


@pytest.mark.parametrize("first", [
    encode_frame(KIND_CALLBACK, "OnRtnTrade", data={}),
    encode_frame(KIND_GREETING, "hello", data={"QueryRate": -1}),
], ids=["callback-before-greeting", "negative-rate"])
def test_bad_start_of_a_connection_is_silent_and_retried(front, tmp_path, first):
    handle = _relay.create(front.url, flow_path(tmp_path))
    try:
        front.accept(greet=False)
        front.send_raw(first, framed=False)
        front.accept(timeout=3.0)  # the library gave up that connection and came back
        assert wait_events(handle, 1) == [{"name": "FrontConnected"}]
    finally:
        _relay.close(handle)


# -- tolerance and copying ---------------------------------------------------

def test_unknown_names_keys_and_mismatched_types_are_ignored(front, tmp_path):
    with open_session(front, tmp_path) as handle:
        front.send("OnNoSuchCallback", {"Volume": 1}, request_id=3)
        front.send("OnFrontConnected")
        front.send("OnFrontDisconnected", {"nReason": 5})
        front.send("OnRtnTrade", {
            "NoSuchKey": "x", "volume": 9,           # unknown, or spelled differently
            "Volume": 2.5, "Price": "3000",          # type does not fit the field
            "TradeID": 17,
            "InstrumentID": "rb2610", "Direction": "1", "OffsetFlag": Char("0"),
            "HedgeFlag": "",                          # empty text leaves a char zero
        })
        front.send("OnRspQryInstrument", {"PriceTick": 1, "IsTrading": True}, request_id=4, last=False)
        events = wait_events(handle, 2)
        assert [e["name"] for e in events] == ["RtnTrade", "RspQryInstrument"]
        trade = events[0]["data"]
        assert (trade["Volume"], trade["Price"], trade["TradeID"]) == (0, 0.0, "")
        assert (trade["InstrumentID"], trade["Direction"], trade["OffsetFlag"], trade["HedgeFlag"]) == (
            "rb2610", "1", "0", "\x00")
        instrument = events[1]
        assert (instrument["data"]["PriceTick"], instrument["data"]["IsTrading"]) == (1.0, 1)
        assert (instrument["request_id"], instrument["last"]) == (4, False)


def test_received_text_is_cut_at_the_buffer_size(front, tmp_path):
    with open_session(front, tmp_path) as handle:
        front.send("OnRtnOrder", {"InstrumentID": b"a" * 300, "StatusMsg": b"b" * 81,
                                  "OrderRef": b"c" * 5 + b"\x00d", "OrderStatus": b"01"},
                   error=(1, b"e" * 200))
        front.send("OnErrRtnOrderInsert", {"OrderRef": "1"}, error=(7, b"f" * 200))
        rtn, err = wait_events(handle, 2)
        assert rtn["data"]["InstrumentID"] == "a" * 81
        assert rtn["data"]["StatusMsg"] == "b" * 81
        assert rtn["data"]["OrderRef"] == "ccccc"
        assert rtn["data"]["OrderStatus"] == "0"
        assert rtn["error"] == {"ErrorID": 0, "ErrorMsg": ""}  # returns carry no response info
        assert err["error"] == {"ErrorID": 7, "ErrorMsg": "f" * 81}


def test_repeated_key_last_value_wins(front, tmp_path):
    with open_session(front, tmp_path) as handle:
        body = encode_frame(KIND_CALLBACK, "OnRtnOrder", data={"InstrumentID": "longer-first", "Z": "abc"})[4:]
        front.send_raw(body.replace(b"\x01Zs", b"\x0cInstrumentIDs"))
        assert wait_events(handle, 1)[0]["data"]["InstrumentID"] == "abc"


# -- the byte stream -----------------------------------------------------------

def trade_frame(volume, **extra):
    return encode_frame(KIND_CALLBACK, "OnRtnTrade", data={"Volume": volume, **extra})


def test_frames_split_across_reads_and_batched_in_one_write(front, tmp_path):
    with open_session(front, tmp_path) as handle:
        for byte in trade_frame(1, TradeID="t1") + trade_frame(2):
            front.send_raw(bytes((byte,)), framed=False)
        front.send_raw(b"".join(trade_frame(v) for v in range(3, 3003)), framed=False)
        events = wait_events(handle, 3002)
        assert [e["data"]["Volume"] for e in events] == list(range(1, 3003))
        assert events[0]["data"]["TradeID"] == "t1"


def frame_body_of_size(size):
    """A valid OnRtnTrade body of exactly `size` bytes, padded with unknown keys."""
    data = {"Volume": 9}
    overhead = 1 + 5 + 1 + 2  # key length, five-letter key, type, text length
    for k in range(64):
        left = size - (len(encode_frame(KIND_CALLBACK, "OnRtnTrade", data=data)) - 4)
        data[f"P{k:04d}"] = b"x" * min(left - overhead, 0xFFFF)
        if left - overhead <= 0xFFFF:
            break
    body = encode_frame(KIND_CALLBACK, "OnRtnTrade", data=data)[4:]
    assert len(body) == size
    return body


@pytest.mark.parametrize("size, delivered", [(1 << 20, True), ((1 << 20) + 1, False)], ids=["cap", "over"])
def test_largest_frame_accepted_is_one_mebibyte(front, tmp_path, size, delivered):
    with open_session(front, tmp_path) as handle:
        body = frame_body_of_size(size)
        try:
            front.send_raw(struct.pack("<I", len(body)) + body + trade_frame(10), framed=False)
        except ConnectionError:
            assert not delivered  # the library hung up after reading the length
        events = wait_events(handle, 2 if delivered else 1)
        if delivered:
            assert [e["data"]["Volume"] for e in events] == [9, 10]
        else:
            assert events == [{"name": "FrontDisconnected", "reason": REASON_MALFORMED}]


def test_requests_from_several_threads_arrive_whole(tmp_path):
    import threading

    threads, per_thread = 4, 2500
    with Front(query_rate=10**6) as front, open_session(front, tmp_path) as handle:
        received, failures = [], []

        def reader():
            try:
                for _ in range(threads * per_thread):
                    received.append(front.recv(timeout=20.0))
            except Exception as exc:  # reported by the assertion below
                failures.append(exc)

        def sender(t):
            for i in range(per_thread):
                method = "QryOrder" if i % 2 else "OrderInsert"
                code = _relay.request(handle, method, {"InstrumentID": f"thread{t}", "BrokerID": str(i)},
                                      t * 100000 + i)
                if code != 0:
                    failures.append((t, i, code))

        workers = [threading.Thread(target=reader)] + [
            threading.Thread(target=sender, args=(t,)) for t in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(30.0)
        assert failures == []
        assert sorted(r["request_id"] for r in received) == sorted(
            t * 100000 + i for t in range(threads) for i in range(per_thread))
        for r in received:
            t, i = divmod(r["request_id"], 100000)
            assert r["name"] == ("ReqQryOrder" if i % 2 else "ReqOrderInsert")
            assert (r["fields"]["InstrumentID"], r["fields"]["BrokerID"]) == (f"thread{t}".encode(), str(i).encode())
