"""A scriptable trading front for tests, demos and simulations.

`Front` listens on an ephemeral loopback port and speaks the frame protocol of
the stand-in trader library (vendor/PROTOCOL.md): it greets the library's
connection, sends callback frames with any fields and bytes, receives request
frames as dictionaries and can drop the connection.  Standard library only.

The module-level codec (`encode_frame`, `decode_frame`) is usable on its own.
"""

from __future__ import annotations

import select
import socket
import struct
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

KIND_REQUEST = 1
KIND_CALLBACK = 2
KIND_GREETING = 3

# Largest frame body the library accepts; larger frames drop the connection.
MAX_FRAME = 1 << 20

_U32 = struct.Struct("<I")
_I32 = struct.Struct("<i")
_U16 = struct.Struct("<H")
_F64 = struct.Struct("<d")


class Char:
    """A single-byte ('c') wire value: ``Char("0")`` or ``Char(b"\\x00")``."""

    __slots__ = ("value",)

    def __init__(self, value: str | bytes):
        if isinstance(value, str):
            value = value.encode("latin-1")
        if not isinstance(value, (bytes, bytearray)) or len(value) != 1:
            raise ValueError("Char takes exactly one byte")
        self.value = bytes(value)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Char) and other.value == self.value

    def __hash__(self) -> int:
        return hash(self.value)

    def __repr__(self) -> str:
        return f"Char({self.value!r})"


def _short(data: bytes, what: str) -> bytes:
    if len(data) > 0xFF:
        raise ValueError(f"{what} longer than 255 bytes")
    return bytes((len(data),)) + data


def _text(data: bytes, what: str) -> bytes:
    if len(data) > 0xFFFF:
        raise ValueError(f"{what} longer than 65535 bytes")
    return _U16.pack(len(data)) + data


def _encode_value(key: str, value: object) -> bytes:
    if isinstance(value, Char):
        return b"c" + value.value
    if isinstance(value, str):
        return b"s" + _text(value.encode("gb18030"), key)
    if isinstance(value, (bytes, bytearray)):
        return b"s" + _text(bytes(value), key)
    if isinstance(value, (bool, int)):
        return b"i" + _I32.pack(int(value))
    if isinstance(value, float):
        return b"d" + _F64.pack(value)
    raise TypeError(f"cannot send {key}={value!r} on the wire")


def encode_frame(kind: int, name: str, *, request_id: int = 0, last: bool = True,
                 error: tuple[int, str | bytes] | None = None,
                 data: dict | None = None) -> bytes:
    """One complete frame, length prefix included.

    ``data`` None sends has_data 0; a dict sends has_data 1 with its items in
    order.  ``error`` None sends has_rsp_info 0.
    """
    out = bytearray()
    out += bytes((kind,))
    out += _short(name.encode("ascii"), "name")
    out += _I32.pack(request_id)
    out += bytes((1 if last else 0,))
    if error is None:
        out += b"\x00" + _I32.pack(0) + _text(b"", "ErrorMsg")
    else:
        code, msg = error
        if isinstance(msg, str):
            msg = msg.encode("gb18030")
        out += b"\x01" + _I32.pack(code) + _text(bytes(msg), "ErrorMsg")
    if data is None:
        out += b"\x00" + _U16.pack(0)
    else:
        out += b"\x01" + _U16.pack(len(data))
        for key, value in data.items():
            out += _short(key.encode("ascii"), "key")
            out += _encode_value(key, value)
    return _U32.pack(len(out)) + bytes(out)


class _Reader:
    def __init__(self, body: bytes):
        self.body = body
        self.pos = 0

    def take(self, n: int) -> bytes:
        if self.pos + n > len(self.body):
            raise ValueError("truncated frame")
        chunk = self.body[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def u8(self) -> int:
        return self.take(1)[0]

    def flag(self) -> bool:
        value = self.u8()
        if value > 1:
            raise ValueError("flag byte is neither 0 nor 1")
        return bool(value)

    def unpack(self, fmt: struct.Struct):
        return fmt.unpack(self.take(fmt.size))[0]


def decode_frame(body: bytes) -> dict:
    """Parses one frame body (without its length prefix).

    Returns {"kind", "name", "request_id", "last", "error", "data"}: "error" is
    None or (ErrorID, ErrorMsg bytes); "data" is None or a dict with 's' ->
    bytes, 'c' -> Char, 'i' -> int, 'd' -> float.  Raises ValueError on a
    malformed body.
    """
    r = _Reader(body)
    kind = r.u8()
    if kind not in (KIND_REQUEST, KIND_CALLBACK, KIND_GREETING):
        raise ValueError(f"unknown frame kind {kind}")
    name = r.take(r.u8()).decode("ascii")
    request_id = r.unpack(_I32)
    last = r.flag()
    has_error = r.flag()
    code = r.unpack(_I32)
    msg = r.take(r.unpack(_U16))
    has_data = r.flag()
    fields = {}
    for _ in range(r.unpack(_U16)):
        key = r.take(r.u8()).decode("ascii")
        kind_byte = r.take(1)
        if kind_byte == b"s":
            fields[key] = r.take(r.unpack(_U16))
        elif kind_byte == b"c":
            fields[key] = Char(r.take(1))
        elif kind_byte == b"i":
            fields[key] = r.unpack(_I32)
        elif kind_byte == b"d":
            fields[key] = r.unpack(_F64)
        else:
            raise ValueError(f"unknown field type {kind_byte!r}")
    if r.pos != len(body):
        raise ValueError("trailing bytes after the last field")
    return {
        "kind": kind,
        "name": name,
        "request_id": request_id,
        "last": last,
        "error": (code, msg) if has_error else None,
        "data": fields if has_data else None,
    }


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
