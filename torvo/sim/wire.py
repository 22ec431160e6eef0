"""The frame codec of the trading front's wire protocol (vendor/PROTOCOL.md).

One frame per message in both directions: a little-endian ``u32`` length, then
the body (kind, name, request id, flags, error part, data fields).  The
simulated front (`torvo.sim`) and the scriptable test front (tools/front.py)
both use this module.  Standard library only.
"""

from __future__ import annotations

import asyncio
import struct

__all__ = [
    "Char",
    "encode_frame",
    "decode_frame",
    "read_frame",
    "request_fields",
    "KIND_REQUEST",
    "KIND_CALLBACK",
    "KIND_GREETING",
    "KIND_HEARTBEAT",
    "MAX_FRAME",
    "LENGTH",
]

KIND_REQUEST = 1
KIND_CALLBACK = 2
KIND_GREETING = 3
KIND_HEARTBEAT = 4

# Largest frame body the library accepts; larger frames drop the connection.
MAX_FRAME = 1 << 20

# The length prefix of every frame.
LENGTH = struct.Struct("<I")

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
    return LENGTH.pack(len(out)) + bytes(out)


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
    if kind not in (KIND_REQUEST, KIND_CALLBACK, KIND_GREETING, KIND_HEARTBEAT):
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


async def read_frame(reader: asyncio.StreamReader) -> dict:
    """The next frame of an asyncio stream, as `decode_frame` returns it.

    Raises `asyncio.IncompleteReadError` at the end of the stream and
    ValueError for an oversized or malformed frame.
    """
    size = LENGTH.unpack(await reader.readexactly(LENGTH.size))[0]
    if size == 0 or size > MAX_FRAME:
        raise ValueError(f"frame of {size} bytes")
    return decode_frame(await reader.readexactly(size))


def request_fields(data: dict | None) -> dict:
    """The fields of a decoded request as plain values: text decoded from
    GB18030 (undecodable bytes replaced), a char as a one-character str (the
    empty string for a zero byte), numbers unchanged."""
    out = {}
    for key, value in (data or {}).items():
        if isinstance(value, Char):
            out[key] = "" if value.value == b"\x00" else value.value.decode("latin-1")
        elif isinstance(value, bytes):
            out[key] = value.decode("gb18030", "replace")
        else:
            out[key] = value
    return out
