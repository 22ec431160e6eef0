"""Writes the seed corpora of the fuzzing harnesses into fuzz/corpus/.

    python fuzz/make_corpus.py

wire_frames/: a cut byte, then a greeting and callback frames of every kind
(made with torvo.sim.wire), and a few frames the library must refuse.

relay_records/: the step encoding that fuzz/relay_records.cpp reads: callback
steps with vendor records laid out as the C++ compiler lays them out (ctypes
structures read from vendor/ThostFtdcTraderApi.h), and request steps with
valid and invalid field dictionaries for the bridge's request tables (read
from _relay/records.cpp).

It also writes the libFuzzer dictionaries fuzz/dict/<harness>.dict.  Files of
other names in the corpora (the crash inputs kept as regression seeds) are
left alone.
"""

from __future__ import annotations

import ctypes
import hashlib
import pathlib
import re
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from torvo.sim.wire import KIND_CALLBACK, KIND_GREETING, KIND_REQUEST, Char, encode_frame  # noqa: E402

CORPUS = ROOT / "fuzz" / "corpus"


def write(harness: str, name: str, data: bytes) -> None:
    folder = CORPUS / harness
    folder.mkdir(parents=True, exist_ok=True)
    (folder / f"seed-{name}").write_bytes(data)


# ---- vendor records as C lays them out ------------------------------------------------


def vendor_structs() -> dict[str, type[ctypes.Structure]]:
    header = (ROOT / "vendor" / "ThostFtdcTraderApi.h").read_text()
    structs = {}
    for name, body in re.findall(r"struct (CThostFtdc\w+) \{(.*?)\};", header, re.S):
        fields = []
        for ctype, member, size in re.findall(r"(char|int|double) (\w+)(?:\[(\d+)\])?;", body):
            base = {"char": ctypes.c_char, "int": ctypes.c_int, "double": ctypes.c_double}[ctype]
            fields.append((member, base * int(size) if size else base))
        structs[name] = type(name, (ctypes.Structure,), {"_fields_": fields})
    return structs


STRUCTS = vendor_structs()


def record(name: str, **values) -> bytes:
    r = STRUCTS[name]()
    for key, value in values.items():
        setattr(r, key, value.encode("gb18030") if isinstance(value, str) else value)
    return bytes(r)


# ---- wire_frames ------------------------------------------------------------------------

GREETING = encode_frame(KIND_GREETING, "Greeting", data={"QueryRate": 0})
ORDER = {"TradingDay": "20240105", "ExchangeID": "SHFE", "InstrumentID": "cu2501", "OrderSysID": "  100",
         "OrderRef": "8", "FrontID": 1, "SessionID": 42, "Direction": Char("0"), "CombOffsetFlag": "0",
         "CombHedgeFlag": "1", "LimitPrice": 70000.0, "VolumeTotalOriginal": 5, "VolumeTraded": 2,
         "VolumeTotal": 3, "OrderStatus": Char("1"), "OrderSubmitStatus": Char("3"), "StatusMsg": "部分成交",
         "InsertDate": "20240105", "InsertTime": "09:30:00"}  # fmt: skip
TRADE = {"TradingDay": "20240105", "ExchangeID": "SHFE", "InstrumentID": "cu2501", "OrderSysID": "  100",
         "OrderRef": "8", "TradeID": "  7", "Direction": Char("0"), "OffsetFlag": Char("0"),
         "HedgeFlag": Char("1"), "Price": 70000.0, "Volume": 2, "TradeDate": "20240105",
         "TradeTime": "09:31:00"}  # fmt: skip
POSITION = {"ExchangeID": "DCE", "InstrumentID": "m2505", "HedgeFlag": Char("1"), "PosiDirection": Char("2"),
            "PositionDate": Char("1"), "Position": 3, "TodayPosition": 1, "YdPosition": 2, "UseMargin": 1.5}
ACCOUNT = {"AccountID": "u-1", "CurrencyID": "CNY", "Balance": 1e6, "Available": 9e5, "Deposit": 0}
INSTRUMENT = {"ExchangeID": "SHFE", "InstrumentID": "cu2501", "ProductClass": Char("1"), "IsTrading": 1,
              "PriceTick": 10.0, "MinLimitOrderVolume": 1, "MaxLimitOrderVolume": 500}

CALLBACKS = [
    ("OnRspAuthenticate", {"BrokerID": "9999", "UserID": "u-1", "AppID": "app-1"}, 1, None),
    ("OnRspUserLogin", {"TradingDay": "20240105", "FrontID": 1, "SessionID": 42, "MaxOrderRef": " 12"}, 2, None),
    ("OnRspSettlementInfoConfirm", {"BrokerID": "9999", "InvestorID": "u-1"}, 3, None),
    ("OnRspQryOrder", ORDER, 4, None),
    ("OnRtnOrder", ORDER, 0, None),
    ("OnRspQryTrade", TRADE, 5, None),
    ("OnRtnTrade", TRADE, 0, None),
    ("OnRspQryInvestorPosition", POSITION, 6, None),
    ("OnRspQryTradingAccount", ACCOUNT, 7, None),
    ("OnRspQryInstrument", INSTRUMENT, 8, None),
    ("OnRspOrderInsert", {"InstrumentID": "cu2501", "ExchangeID": "SHFE", "OrderRef": "9"}, 9, (31, "资金不足")),
    ("OnErrRtnOrderInsert", {"InstrumentID": "cu2501", "ExchangeID": "SHFE", "OrderRef": "9"}, 0, (31, "x")),
    ("OnRspOrderAction", {"InstrumentID": "cu2501", "ExchangeID": "SHFE", "OrderSysID": "100"}, 10, (25, "y")),
    ("OnErrRtnOrderAction", {"InstrumentID": "cu2501", "ExchangeID": "SHFE", "OrderSysID": "100"}, 0, (26, "z")),
    ("OnRspError", None, 11, (90, "查询频率过快")),
]


def wire_corpus() -> None:
    h = "wire_frames"
    write(h, "greeting", b"\x01" + GREETING)
    write(h, "greeting-no-data", b"\x02" + encode_frame(KIND_GREETING, "Greeting"))
    for number, (name, data, rid, error) in enumerate(CALLBACKS):
        frame = encode_frame(KIND_CALLBACK, name, request_id=rid, data=data, error=error)
        write(h, f"{name}", bytes((number * 17 % 256,)) + GREETING + frame)
    # full buffers, repeated keys, wrong value types, unknown keys and names
    write(h, "full-buffers", b"\x05" + GREETING + encode_frame(
        KIND_CALLBACK, "OnRspQryOrder", error=(1, b"e" * 200),
        data={"InstrumentID": b"a" * 300, "StatusMsg": b"b" * 81, "OrderRef": b"c\x00d", "OrderStatus": b"01"}))
    write(h, "repeated-and-unknown", b"\x07" + GREETING + encode_frame(
        KIND_CALLBACK, "OnRspQryTradingAccount", request_id=3, last=False,
        data={"Balance": 5, "Balance ": 1.0, "Available": "x", "AccountID": Char("u"), "Nope": 1}) + encode_frame(
        KIND_CALLBACK, "OnSomethingElse", data={"a": 1}))
    write(h, "no-data", b"\x09" + GREETING + encode_frame(KIND_CALLBACK, "OnRspQryOrder", request_id=4))
    write(h, "all-callbacks", b"\x0b" + GREETING + b"".join(
        encode_frame(KIND_CALLBACK, name, request_id=rid, data=data, error=error)
        for name, data, rid, error in CALLBACKS))
    write(h, "second-greeting", b"\x0d" + GREETING + encode_frame(KIND_GREETING, "G", data={"QueryRate": 5}))
    # refused: a request frame, a callback before the greeting, a negative rate,
    # an empty frame, an oversized length, a truncated body, trailing bytes,
    # an unknown field type, a bad flag
    write(h, "request-frame", b"\x0f" + GREETING + encode_frame(KIND_REQUEST, "ReqUserLogin", data={}))
    write(h, "callback-first", b"\x11" + encode_frame(KIND_CALLBACK, "OnRtnOrder", data=ORDER))
    write(h, "negative-rate", b"\x13" + encode_frame(KIND_GREETING, "G", data={"QueryRate": -1}))
    write(h, "empty-frame", b"\x15" + GREETING + b"\x00\x00\x00\x00")
    write(h, "oversized", b"\x17" + GREETING + struct.pack("<I", (1 << 20) + 1))
    frame = encode_frame(KIND_CALLBACK, "OnRtnTrade", data=TRADE)
    write(h, "truncated", b"\x19" + GREETING + struct.pack("<I", len(frame) - 8) + frame[4:-4])
    write(h, "trailing", b"\x1b" + GREETING + struct.pack("<I", len(frame) - 2) + frame[4:] + b"xx")
    bad_type = bytearray(encode_frame(KIND_CALLBACK, "OnRtnTrade", data={"Volume": 1}))
    bad_type[-5] = ord("q")
    write(h, "bad-type", b"\x1d" + GREETING + bytes(bad_type))
    bad_flag = bytearray(frame)
    bad_flag[4 + 1 + 1 + len("OnRtnTrade") + 4] = 2  # is_last
    write(h, "bad-flag", b"\x1f" + GREETING + bytes(bad_flag))


# ---- relay_records ----------------------------------------------------------------------


def relay_tables() -> tuple[dict[str, list[tuple[str, str]]], dict[str, str]]:
    """The request tables of _relay/records.cpp: array name -> [(kind, field)],
    and the struct each alias names."""
    source = (ROOT / "_relay" / "records.cpp").read_text()
    aliases = dict(re.findall(r"using (\w+) = (CThostFtdc\w+);", source))
    tables = {}
    for name, body in re.findall(r"Field (\w+)\[\] = \{(.*?)\};", source, re.S):
        tables[name] = [(kind, (aliases[alias], field))
                        for kind, alias, field in re.findall(r"(TEXT|CHAR|INT|FLOAT)\((\w+), (\w+)\)", body)]
    return tables, aliases


TABLES, _ = relay_tables()
REQUESTS = ["req_authenticate", "req_user_login", "req_settlement_info_confirm", "req_qry_order",
            "req_qry_trade", "req_qry_investor_position", "req_qry_trading_account", "req_qry_instrument",
            "req_order_insert", "req_order_action"]  # the harness's order of kRequests


def text_value(data: bytes, mode: int = 0) -> bytes:
    return bytes((0, len(data))) + data + bytes((mode,))


def key_byte(index: int, subclass: bool = False) -> int:
    """The key byte naming field `index` of the table (as a str subclass when `subclass`)."""
    return index | (0x80 if subclass else 0)


def request_step(kind: int, fields: list[tuple[int, bytes]], *, flags: int = 0, request_id: int = 1) -> bytes:
    what = next(w for w in range(256)
                if w % 10 == kind and w % 23 < 21 and w % 29 != 28 and (w & 0x60) == flags)
    out = bytes((1, what, len(fields)))
    for index, value in fields:
        out += bytes((key_byte(index),)) + value
    return out + struct.pack("<I", request_id)


def valid_value(kind: str, size: int, number: int) -> bytes:
    if kind == "TEXT":
        return text_value(b"v" * min(size - 1, 1 + number % 9))
    if kind == "CHAR":
        return text_value(b"0")
    if kind == "INT":
        return bytes((3, number % 100))
    return bytes((4,)) + struct.pack("<d", 1.5 * number)


def callback_step(records: list[tuple[int, bytes | None, bytes | None, int]]) -> bytes:
    """records: (callback number: 0-15, 0x1f for ErrRtnOrderAction; info, data, request id)."""
    out = bytes((0, len(records) - 1))
    for index, info, data, rid in records:
        what = index | (0 if data is not None else 0x80) | (0 if info is not None else 0x40) | 0x20
        info_bytes = info if info is not None else bytes(ctypes.sizeof(STRUCTS["CThostFtdcRspInfoField"]))
        out += bytes((what,)) + struct.pack("<I", rid) + info_bytes + (data or b"")
    return out


def relay_corpus() -> None:
    h = "relay_records"
    info = record("CThostFtdcRspInfoField", ErrorID=31, ErrorMsg="资金不足")
    no_error = record("CThostFtdcRspInfoField")
    order = record("CThostFtdcOrderField", TradingDay="20240105", ExchangeID="SHFE", InstrumentID="cu2501",
                   OrderSysID="  100", OrderRef="8", FrontID=1, SessionID=42, Direction=b"0",
                   CombOffsetFlag="0", CombHedgeFlag="1", LimitPrice=7e4, VolumeTotalOriginal=5,
                   OrderStatus=b"3", OrderSubmitStatus=b"3", StatusMsg="未成交", InsertDate="20240105",
                   InsertTime="09:30:00")  # fmt: skip
    trade = record("CThostFtdcTradeField", TradingDay="20240105", ExchangeID="SHFE", InstrumentID="cu2501",
                   OrderSysID="  100", OrderRef="8", TradeID="7", Direction=b"1", OffsetFlag=b"3",
                   HedgeFlag=b"1", Price=7e4, Volume=2, TradeDate="20240105", TradeTime="09:31:00")  # fmt: skip
    full = bytes(STRUCTS["CThostFtdcOrderField"]())
    full = b"\xff" * len(full)  # no NUL anywhere, every char 0xff
    records = {
        2: record("CThostFtdcRspAuthenticateField", BrokerID="9999", UserID="u-1", AppID="app-1"),
        3: record("CThostFtdcRspUserLoginField", TradingDay="20240105", FrontID=1, SessionID=42, MaxOrderRef="7"),
        4: record("CThostFtdcSettlementInfoConfirmField", BrokerID="9999", InvestorID="u-1", CurrencyID="CNY"),
        5: order, 6: order, 7: trade, 8: trade,
        9: record("CThostFtdcInvestorPositionField", ExchangeID="DCE", InstrumentID="m2505", HedgeFlag=b"1",
                  PosiDirection=b"2", PositionDate=b"1", Position=3, TodayPosition=1, YdPosition=2),
        10: record("CThostFtdcTradingAccountField", AccountID="u-1", CurrencyID="CNY", Balance=1e6),
        11: record("CThostFtdcInstrumentField", ExchangeID="SHFE", InstrumentID="cu2501", ProductClass=b"1",
                   IsTrading=1, PriceTick=10.0),
        12: record("CThostFtdcInputOrderField", InstrumentID="cu2501", ExchangeID="SHFE", OrderRef="9"),
        13: record("CThostFtdcInputOrderField", InstrumentID="cu2501", ExchangeID="SHFE", OrderRef="9"),
        14: record("CThostFtdcInputOrderActionField", InstrumentID="cu2501", ExchangeID="SHFE", OrderSysID="1"),
        0x1F: record("CThostFtdcOrderActionField", InstrumentID="cu2501", ExchangeID="SHFE", OrderSysID="1"),
    }
    write(h, "connection", callback_step([(0, None, None, 0), (1, None, None, 4)]))
    for index, data in records.items():
        write(h, f"callback-{index}", callback_step([(index, info if index >= 12 else no_error, data, index)]))
    write(h, "rsp-error", callback_step([(15, info, None, 9), (15, None, None, 0)]))
    write(h, "no-data", callback_step([(5, no_error, None, 4), (7, None, None, 5)]))
    write(h, "full-buffers", callback_step([(6, None, full, 0), (5, b"\xff" * len(no_error), full, 1)]))
    write(h, "gb18030", callback_step([(6, None, record(
        "CThostFtdcOrderField", StatusMsg="中文\u20ac\U0001f600", InstrumentID=b"ok\xff\xfe!\x81"), 0)]))
    for kind, name in enumerate(REQUESTS):
        table = TABLES[name]
        sizes = [getattr(STRUCTS[s], f).size for _, (s, f) in table]
        fields = [(i, valid_value(k, size, i)) for i, ((k, _), size) in enumerate(zip(table, sizes))]
        write(h, f"request-{name}", request_step(kind, fields, request_id=kind + 1))
    insert = TABLES["req_order_insert"]
    names = [f for _, (_, f) in insert]
    pos = {n: i for i, n in enumerate(names)}
    bad = {
        "too-long": [(pos["InstrumentID"], text_value(b"x" * 81))],
        "nul": [(pos["OrderRef"], text_value(b"1\x002"))],
        "unencodable": [(pos["InstrumentID"], bytes((0, 3)) + b"\xed\xa0\x80" + bytes((2,)))],  # lone surrogate
        "not-text": [(pos["Direction"], bytes((5, 1)))],
        "overflow": [(pos["VolumeTotalOriginal"], bytes((2, 5)) + b"\x00\xff\xff\xff\xff")],
        "float-for-int": [(pos["VolumeTotalOriginal"], bytes((4,)) + struct.pack("<d", 1.0))],
        "hook-raises": [(pos["LimitPrice"], bytes((9, 1, 3)))],
        "hook-clears": [(pos["BrokerID"], text_value(b"b")), (pos["MinVolume"], bytes((9, 2, 3))),
                        (pos["InstrumentID"], text_value(b"cu2501"))],
        "hook-closes": [(pos["VolumeTotalOriginal"], bytes((9, 3, 3)))],
        "hook-replaces": [(pos["LimitPrice"], bytes((9, 4, 1, 8))), (pos["InstrumentID"], text_value(b"a"))],
        "str-subclass": [(pos["InstrumentID"], bytes((8, 6)) + b"cu2501" + bytes((0,)))],
    }
    for label, fields in bad.items():
        write(h, f"insert-{label}", request_step(8, fields))
    subclass_key = bytes((key_byte(0, subclass=True),)) + text_value(b"9999")
    write(h, "key-subclass", request_step(8, [])[:2] + b"\x01" + subclass_key + struct.pack("<I", 1))
    write(h, "key-subclass-raises", request_step(8, [], flags=0x20)[:2] + b"\x01" + subclass_key + struct.pack("<I", 2))
    write(h, "dict-subclass", request_step(7, [(1, text_value(b"cu2501"))], flags=0x40))
    write(h, "mixed", callback_step([(6, None, order, 0)]) + request_step(8, [(pos["Direction"], text_value(b"1"))])
          + callback_step([(8, None, trade, 0)]))


def dictionaries() -> None:
    """libFuzzer dictionaries: the callback, request and field names."""
    header = (ROOT / "vendor" / "ThostFtdcTraderApi.h").read_text()
    callbacks = sorted(set(re.findall(r"virtual void (On\w+)\(", header)))
    requests = sorted(set(re.findall(r"virtual int (Req\w+)\(", header)))
    fields = sorted({f for s in STRUCTS.values() for f, _ in s._fields_})
    words = {
        "wire_frames": callbacks + requests + fields + ["Greeting", "QueryRate"],
        "relay_records": [r[3:] for r in requests] + fields,
    }
    folder = ROOT / "fuzz" / "dict"
    folder.mkdir(exist_ok=True)
    for harness, names in words.items():
        lines = [f'"{name}"' for name in names]
        if harness == "wire_frames":  # each name with its u8 length before it
            lines += ['"\\x%02x%s"' % (len(name), name) for name in names]
        (folder / f"{harness}.dict").write_text("\n".join(lines) + "\n")


def main() -> None:
    for folder in ("wire_frames", "relay_records"):
        for old in (CORPUS / folder).glob("seed-*"):
            old.unlink()
    wire_corpus()
    relay_corpus()
    dictionaries()
    for folder in sorted(CORPUS.iterdir()):
        files = sorted(folder.iterdir())
        digest = hashlib.sha1(b"".join(f.read_bytes() for f in files)).hexdigest()[:12]
        print(f"{folder.name}: {len(files)} files ({digest})")


if __name__ == "__main__":
    main()
