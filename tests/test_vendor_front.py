"""The fake front's own codec: frames it builds parse back to what was sent."""

import struct

import pytest

from front import KIND_CALLBACK, KIND_GREETING, KIND_REQUEST, Char, decode_frame, encode_frame


def body(frame: bytes) -> bytes:
    (length,) = struct.unpack_from("<I", frame)
    assert length == len(frame) - 4
    return frame[4:]


@pytest.mark.parametrize("kwargs, expected", [
    (dict(), dict(request_id=0, last=True, error=None, data=None)),
    (dict(request_id=-7, last=False, error=(42, "资金不足"), data={}),
     dict(request_id=-7, last=False, error=(42, "资金不足".encode("gb18030")), data={})),
    (dict(error=(1, b"\xff\xfe"), data={"A": "合约", "B": b"\x81", "C": Char("0"), "D": Char(b"\x00"),
                                         "E": True, "F": -2**31, "G": 2.5}),
     dict(error=(1, b"\xff\xfe"),
          data={"A": "合约".encode("gb18030"), "B": b"\x81", "C": Char("0"), "D": Char(b"\x00"),
                "E": 1, "F": -2**31, "G": 2.5})),
], ids=["bare", "error-and-empty-data", "every-type"])
def test_frames_round_trip(kwargs, expected):
    for kind in (KIND_REQUEST, KIND_CALLBACK, KIND_GREETING):
        parsed = decode_frame(body(encode_frame(kind, "OnRtnOrder", **kwargs)))
        assert parsed == {"kind": kind, "name": "OnRtnOrder", "request_id": 0, "last": True,
                          "error": None, "data": None, **expected}


def test_field_order_and_wire_layout_are_exact():
    frame = encode_frame(KIND_CALLBACK, "N", request_id=258, data={"k": 1, "t": "ab"})
    assert body(frame) == (b"\x02" + b"\x01N" + b"\x02\x01\x00\x00" + b"\x01"
                           + b"\x00" + b"\x00\x00\x00\x00" + b"\x00\x00"
                           + b"\x01" + b"\x02\x00"
                           + b"\x01ki" + b"\x01\x00\x00\x00" + b"\x01ts" + b"\x02\x00ab")
    assert list(decode_frame(body(frame))["data"]) == ["k", "t"]


@pytest.mark.parametrize("damage", [
    lambda b: b[:-1],                      # truncated value
    lambda b: b + b"\x00",                 # trailing byte
    lambda b: b"\x09" + b[1:],             # unknown kind
    lambda b: b[:-5] + b"x" + b[-4:],      # unknown field type
    lambda b: b[:16] + b"\x02" + b[17:],   # is_last neither 0 nor 1
], ids=["truncated", "trailing", "kind", "type", "flag"])
def test_malformed_bodies_are_refused(damage):
    good = body(encode_frame(KIND_CALLBACK, "OnRtnOrder", data={"Volume": 3}))
    decode_frame(good)
    with pytest.raises(ValueError):
        decode_frame(damage(good))


@pytest.mark.parametrize("value, error", [
    (2**31, struct.error),
    ([1], TypeError),
    ("x" * 70000, ValueError),
], ids=["int-range", "list", "long-text"])
def test_unsendable_values_are_refused(value, error):
    with pytest.raises(error):
        encode_frame(KIND_CALLBACK, "OnRtnOrder", data={"k": value})


@pytest.mark.parametrize("value", ["ab", "", b"\x00\x00", "合"])
def test_char_holds_exactly_one_byte(value):
    with pytest.raises(ValueError):
        Char(value)
