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
MAX_FRAME = _wire.MAX_FRAME
_U32 = _wire.LENGTH


class Front:
    """Plays the broker's front for one library at a time."""

    def __init__(self, query_rate: int | None = 0, host: str = "127.0.0.1"):
        self.query_rate = query_rate
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
            data = None if self.query_rate is None else {"QueryRate": int(self.query_rate)}
            # The greeting carries has_data 1 even without fields.
            self._send(encode_frame(KIND_GREETING, "Greeting", data=data or {}))

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

    def recv_frame(self, timeout: float = 5.0) -> dict:
        """The next frame from the library, as `decode_frame` returns it."""
        deadline = time.monotonic() + timeout
        size = _U32.unpack(self._read_exact(4, deadline))[0]
        if size > MAX_FRAME:
            raise ValueError(f"frame of {size} bytes")
        return decode_frame(self._read_exact(size, deadline))

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
