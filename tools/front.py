"""A scriptable trading front for tests, demos and simulations.

`Front` listens on an ephemeral loopback port and speaks the frame protocol of
the stand-in trader library (vendor/PROTOCOL.md): it greets the library's
connection, sends callback frames with any fields and bytes, receives request
frames as dictionaries and can drop the connection.  Standard library only.

The frame codec (`encode_frame`, `decode_frame`, `Char`, the KIND_* and
MAX_FRAME constants) lives in `torvo.sim.wire` and is re-exported here.
"""

from __future__ import annotations

import importlib.util
import pathlib
import select
import socket
import time

__all__ = [
    "Char",
    "Front",
    "encode_frame",
    "decode_frame",
    "KIND_REQUEST",
    "KIND_CALLBACK",
    "KIND_GREETING",
    "KIND_HEARTBEAT",
    "MAX_FRAME",
]

try:
    from torvo.sim import wire as _wire
except ModuleNotFoundError as missing:
    # A staged package that holds only the top-level files of torvo/: load the
    # codec from this checkout's source tree instead.
    if missing.name not in ("torvo", "torvo.sim", "torvo.sim.wire"):
        raise
    _path = pathlib.Path(__file__).resolve().parent.parent / "torvo" / "sim" / "wire.py"
    _found = importlib.util.spec_from_file_location("_torvo_sim_wire", _path)
    if _found is None or _found.loader is None:
        raise
    _wire = importlib.util.module_from_spec(_found)
    _found.loader.exec_module(_wire)

Char = _wire.Char
encode_frame = _wire.encode_frame
decode_frame = _wire.decode_frame
KIND_REQUEST = _wire.KIND_REQUEST
KIND_CALLBACK = _wire.KIND_CALLBACK
KIND_GREETING = _wire.KIND_GREETING
KIND_HEARTBEAT = _wire.KIND_HEARTBEAT
HEARTBEAT = encode_frame(KIND_HEARTBEAT, "Heartbeat")
MAX_FRAME = _wire.MAX_FRAME
_U32 = _wire.LENGTH


class Front:
    """Plays the broker's front for one library at a time.

    The greeting announces `query_rate` (None: no field, the library's
    default) and the heartbeat settings in milliseconds: `heartbeat` is the
    interval, `heartbeat_timeout` the silence after which the library gives
    the connection up.  By default (0) the library sends no heartbeats and
    never times out, so a script may keep the front silent as long as it
    likes; None leaves the fields out (the library's 1 s and 5 s).  Heartbeat
    frames from the library are counted in `heartbeats` and skipped by
    `recv`; `beat()` sends one.
    """

    def __init__(self, query_rate: int | None = 0, host: str = "127.0.0.1", *,
                 heartbeat: int | None = 0, heartbeat_timeout: int | None = 0):
        self.query_rate = query_rate
        self.heartbeat = heartbeat
        self.heartbeat_timeout = heartbeat_timeout
        self.heartbeats = 0
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            self._listener.bind((host, 0))
            self._listener.listen(16)
        except BaseException:
            self._listener.close()
            raise
        self.url = f"tcp://{host}:{self._listener.getsockname()[1]}"
        self._conn: socket.socket | None = None
        self._buf = bytearray()

    # -- connection ------------------------------------------------------

    def accept(self, timeout: float = 5.0, greet: bool = True) -> None:
        """Waits for the library's next connection and greets it."""
        ready, _, _ = select.select([self._listener], [], [], timeout)
        if not ready:
            raise TimeoutError("the library did not connect")
        conn, _ = self._listener.accept()
        self.drop()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._conn = conn
        if greet:
            data = {}
            if self.query_rate is not None:
                data["QueryRate"] = int(self.query_rate)
            if self.heartbeat is not None:
                data["HeartbeatInterval"] = int(self.heartbeat)
            if self.heartbeat_timeout is not None:
                data["HeartbeatTimeout"] = int(self.heartbeat_timeout)
            # The greeting carries has_data 1 even without fields.
            self._send(encode_frame(KIND_GREETING, "Greeting", data=data))

    def drop(self) -> None:
        """Closes the current connection; the library reports a disconnect."""
        conn, self._conn = self._conn, None
        self._buf.clear()
        if conn is not None:
            conn.close()

    def close(self) -> None:
        self.drop()
        self._listener.close()

    def __enter__(self) -> "Front":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    @property
    def connected(self) -> bool:
        return self._conn is not None

    # -- sending ---------------------------------------------------------

    def _send(self, frame: bytes) -> None:
        if self._conn is None:
            raise ConnectionError("no library connected")
        self._conn.sendall(frame)

    def send(self, name: str, data: dict | None = None, *, request_id: int = 0,
             last: bool = True, error: tuple[int, str | bytes] | None = None) -> None:
        """Sends one callback frame, for example ``send("OnRtnOrder", {...})``."""
        self._send(encode_frame(KIND_CALLBACK, name, request_id=request_id, last=last,
                                error=error, data=data))

    def beat(self) -> None:
        """Sends one heartbeat frame."""
        self._send(HEARTBEAT)

    def send_raw(self, payload: bytes, *, framed: bool = True) -> None:
        """Sends arbitrary bytes, prefixed with their length when framed."""
        self._send(_U32.pack(len(payload)) + payload if framed else payload)

    # -- receiving -------------------------------------------------------

    def _read_exact(self, n: int, deadline: float) -> bytes:
        while len(self._buf) < n:
            conn = self._conn
            if conn is None:
                raise ConnectionError("no library connected")
            left = deadline - time.monotonic()
            ready, _, _ = select.select([conn], [], [], max(left, 0.0))
            if not ready:
                raise TimeoutError("no request arrived in time")
            chunk = conn.recv(65536)
            if not chunk:
                raise ConnectionError("the library closed the connection")
            self._buf += chunk
        out = bytes(self._buf[:n])
        del self._buf[:n]
        return out

    def recv_frame(self, timeout: float = 5.0, *, heartbeats: bool = False) -> dict:
        """The next frame from the library, as `decode_frame` returns it;
        heartbeats are counted and skipped unless `heartbeats` is true."""
        deadline = time.monotonic() + timeout
        while True:
            size = _U32.unpack(self._read_exact(4, deadline))[0]
            if size > MAX_FRAME:
                raise ValueError(f"frame of {size} bytes")
            frame = decode_frame(self._read_exact(size, deadline))
            if frame["kind"] != KIND_HEARTBEAT:
                return frame
            self.heartbeats += 1
            if heartbeats:
                return frame

    def recv(self, timeout: float = 5.0) -> dict:
        """The next request: {"name", "request_id", "fields"}.

        Field values: text -> bytes (up to the first NUL), char -> bytes of
        length 1, int -> int, double -> float.
        """
        frame = self.recv_frame(timeout)
        if frame["kind"] != KIND_REQUEST:
            raise ValueError(f"expected a request frame, got kind {frame['kind']}")
        fields = {key: (value.value if isinstance(value, Char) else value)
                  for key, value in (frame["data"] or {}).items()}
        return {"name": frame["name"], "request_id": frame["request_id"], "fields": fields}
