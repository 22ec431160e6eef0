"""Plain-Python rendering of the session's order, trade and position books.

It performs the steps of `Trading`'s book methods over plain dicts, full
scans included, the way a Python module would write them.  The books tests
run against it when TORVO_BOOKS_MODEL=1 (to check the tests themselves), and
bench/bench_books.py uses it as its baseline.  `time` is a module binding so
that tests can replace the clock, as they do on torvo.trading.
"""

from __future__ import annotations

import asyncio
import math
import time
from datetime import datetime, timedelta, timezone

TZ = timezone(timedelta(hours=8))
OFFSET_BY_FLAG = {"0": "OPEN", "1": "CLOSE", "3": "CLOSE_TODAY", "4": "CLOSE_YESTERDAY"}
TERMINAL = ("FILLED", "CANCELLED", "REJECTED")
STATUS_MSG = {"FILLED": "全部成交", "CANCELLED": "剩余委托已不再排队", "REJECTED": "报单被拒绝", "ALIVE": ""}
POSITION_FIELDS = (
    "pos_long pos_short pos pos_long_today pos_short_today pos_long_his "
    "pos_short_his frozen_long frozen_short available_long available_short"
).split()
PARKED_LIMIT = 32768


def timestamp(day, clock):
    try:
        parsed = datetime.strptime(day + clock, "%Y%m%d%H:%M:%S").replace(tzinfo=TZ)
        return int(parsed.timestamp() * 1000)
    except (ValueError, TypeError):
        return None


def finite(value):
    if isinstance(value, (int, float)) and math.isfinite(value) and abs(value) < 1e100:
        return value
    return None


def local_order_id(front, session, order_ref):
    return f"{front}:{session}:{order_ref}"


def order_offset(value):
    flag = str(value or "")[:1]
    return OFFSET_BY_FLAG.get(flag, "CLOSE")


def empty_position(symbol, updated_at=None):
    position = dict.fromkeys(POSITION_FIELDS, None if updated_at is None else 0)
    position["symbol"] = symbol
    position["updated_at"] = updated_at
    return position


def now_ms():
    return int(time.time() * 1000)


class Books:
    """The book state and methods of a `Trading` session, nothing else."""

    def __init__(self):
        self.p = {}
        self.o = {}
        self.t = {}
        self.native_orders = {}
        self.ref_orders = {}
        self.system_orders = {}
        self.pending_trades = {}
        self.position_ready = False
        self.pending = set()
        self.order_revisions = {}
        self.revision = 0
        self.front = 0
        self.session = 0
        self.day = ""
        self.phase = "connecting"
        self.dirty = False
        self.changed = asyncio.Event()

    def _touch(self):
        self.dirty = True
        self.changed.set()

    def _schedule_account(self):
        if self.phase == "ready":
            self.pending.add("account")

    # ---- order and trade tracking ------------------------------------------

    @staticmethod
    def _is_spec_order(row):
        flag = row.get("CombHedgeFlag")
        return str("" if flag is None else flag)[:1] == "1"

    @staticmethod
    def _is_spec_trade(row):
        return row.get("HedgeFlag") == "1"

    def _by_ref(self, ref):
        oid = self.ref_orders.get((self.front, self.session, str(ref)))
        return None if oid is None else self.native_orders.get(oid)

    def _trade_id(self, row):
        tid = row.get("TradeID", "").strip()
        if not tid:
            raise BufferError("CTP 成交回报缺少 TradeID")
        return (row.get("ExchangeID", ""), tid, "BUY" if row.get("Direction") == "0" else "SELL")

    def _child(self, row):
        front = row.get("FrontID", self.front)
        session = row.get("SessionID", self.session)
        ref = str(row.get("OrderRef", ""))
        key = (front, session, ref)
        raw = row.get("OrderSysID", "")
        system = raw.strip() or None
        by_ref = self.ref_orders.get(key)
        system_key = (row.get("ExchangeID", ""), system) if system else None
        by_system = self.system_orders.get(system_key) if system else None
        if by_ref is not None and by_system is not None and by_ref != by_system:
            raise BufferError("同一个 CTP OrderSysID 关联到不同订单")
        oid = by_ref if by_ref is not None else by_system
        if oid is None:
            oid = local_order_id(front, session, ref)
            symbol = row["ExchangeID"] + "." + row["InstrumentID"]
            direction = "BUY" if row.get("Direction") == "0" else "SELL"
            flags = row.get("CombOffsetFlag") or row.get("OffsetFlag")
            offset = order_offset(flags)
            self.o[oid] = {
                "order_id": oid, "order_sys_id": system, "symbol": symbol,
                "direction": direction, "offset": offset,
                "limit_price": finite(row.get("LimitPrice")),
                "volume_original": 0, "volume_traded": 0, "volume_left": 0,
                "status": "PENDING", "status_msg": "", "cancel_pending": False,
                "cancel_error": None,
                "insert_time": timestamp(row.get("InsertDate", ""), row.get("InsertTime", "")),
            }  # fmt: skip
            self.native_orders[oid] = {
                "order_id": oid, "parent": oid, "symbol": symbol, "direction": direction,
                "offset": offset, "exchange_order_id": raw, "close_type": "UNSPECIFIED",
                "volume_original": 0, "volume_traded": 0, "volume_left": 0,
                "status": "PENDING", "is_confirmed": False, "status_msg": "",
                "cancel_pending": False, "cancel_error": None, "ref": ref, "front": front,
                "session": session, "cancel_request_id": None, "pending_finish": False,
                "expected_traded": 0, "finish_status": None, "finish_msg": "",
            }  # fmt: skip
        self.ref_orders[key] = oid
        child = self.native_orders[oid]
        if system:
            known = child["exchange_order_id"].strip()
            if known and known != system:
                raise BufferError("已有订单的 CTP OrderSysID 发生变化")
            self.system_orders[system_key] = oid
        return child

    def _order(self, row, query_revision=None):
        trading_day = row.get("TradingDay")
        if trading_day and trading_day != self.day:
            raise TimeoutError("订单回报的交易日发生变化")
        child = self._child(row)
        oid = child["order_id"]
        if query_revision is not None and self.order_revisions.get(oid, 0) > query_revision:
            return
        before = dict(child)
        submit = row.get("OrderSubmitStatus")
        code = row["OrderStatus"]
        if submit == "4":
            status = "REJECTED"
        elif code == "0":
            status = "FILLED"
        elif code in ("2", "4", "5"):
            status = "CANCELLED"
        else:
            status = "ALIVE"
        terminal = status in TERMINAL
        current = child["status"]
        if (
            (current == "FILLED" and status != "FILLED")
            or (current == "REJECTED" and status != "REJECTED")
            or (current == "CANCELLED" and status not in ("CANCELLED", "REJECTED"))
            or (child.get("pending_finish") and not terminal)
        ):
            return
        ordered = row["VolumeTotalOriginal"]
        expected = max(row.get("VolumeTraded", 0), child.get("expected_traded", 0))
        if status == "FILLED":
            expected = max(expected, ordered)
        flag = row["CombOffsetFlag"][:1]
        close_type = None if flag == "0" else "TODAY" if flag == "3" else "HISTORY" if flag == "4" else "UNSPECIFIED"
        message = before["status_msg"] if submit == "5" and status == "ALIVE" else ""
        if not message:
            message = STATUS_MSG[status]
        child["exchange_order_id"] = row.get("OrderSysID", "")
        child["close_type"] = close_type
        child["volume_original"] = ordered
        child["volume_left"] = ordered - child["volume_traded"]
        child["is_confirmed"] = True
        child["status_msg"] = message
        child["front"] = row["FrontID"]
        child["session"] = row["SessionID"]
        child["ref"] = row["OrderRef"]
        child["expected_traded"] = expected
        if child["volume_left"] < 0:
            raise BufferError("成交数量超过订单原始数量")
        # An order already filled is not held back by a return counting more lots.
        held = terminal and child["volume_traded"] < expected and current != "FILLED"
        child["pending_finish"] = held
        if held:
            child["finish_status"] = status
            child["finish_msg"] = child["status_msg"]
            child["status_msg"] = before["status_msg"]
        else:
            child["finish_status"] = None
            child["finish_msg"] = ""
        child["status"] = "ALIVE" if held else status
        if terminal:
            child["cancel_pending"] = False
            child["cancel_error"] = None
        elif submit == "5" and child["cancel_pending"] and child.get("cancel_request_id") is not None:
            child["cancel_pending"] = False
            child["cancel_error"] = "撤单被拒绝"
        order = self.o[child["parent"]]
        if order["limit_price"] is None:
            order["limit_price"] = finite(row.get("LimitPrice"))
            order["insert_time"] = timestamp(row.get("InsertDate", ""), row.get("InsertTime", ""))
        if child != before:
            self.revision += 1
            self.order_revisions[oid] = self.revision
            if self.position_ready:
                self._recompute_frozen(symbol=child["symbol"])
            self._aggregate(child)
            self._schedule_account()
            self._touch()
        system = row.get("OrderSysID", "").strip()
        if system:
            exchange = row.get("ExchangeID", "")
            for parked in list(self.pending_trades.values()):
                if parked.get("OrderSysID", "").strip() == system and parked.get("ExchangeID", "") == exchange:
                    self._trade(parked, update_position=self.position_ready)

    def _trade(self, row, *, update_position):
        if not self._is_spec_trade(row):
            return False
        trading_day = row.get("TradingDay")
        if trading_day and trading_day != self.day:
            raise TimeoutError("成交回报的交易日发生变化")
        key = self._trade_id(row)
        if key in self.t:
            return False
        system = row.get("OrderSysID", "").strip()
        oid = self.system_orders.get((key[0], system)) if system else None
        if oid is None:
            if key not in self.pending_trades:
                if len(self.pending_trades) >= PARKED_LIMIT:
                    raise BufferError("未关联订单的成交暂存队列已满")
                self.pending_trades[key] = row
            return False
        self.pending_trades.pop(key, None)
        child = self.native_orders[oid]
        volume = row["Volume"]
        if type(volume) is not int or volume <= 0:
            raise BufferError("成交数量无效")
        child["volume_traded"] += volume
        child["volume_left"] = child["volume_original"] - child["volume_traded"]
        if child["volume_left"] < 0:
            raise BufferError("成交数量超过订单原始数量")
        if child.get("pending_finish") and child["volume_traded"] >= child.get("expected_traded", 0):
            child["pending_finish"] = False
            child["status"] = child.pop("finish_status", None)
            child["status_msg"] = child.pop("finish_msg", "")
        if child["volume_left"] == 0:
            child["pending_finish"] = False
            if child["status"] != "FILLED" or not child["status_msg"]:
                child["status_msg"] = "全部成交"
            child["status"] = "FILLED"
        if child["status"] in TERMINAL:
            child["cancel_pending"] = False
            child["cancel_error"] = None
        symbol = row["ExchangeID"] + "." + row["InstrumentID"]
        self.t[key] = {
            "trade_id": key[1],
            "order_sys_id": system,
            "symbol": symbol,
            "direction": "BUY" if row["Direction"] == "0" else "SELL",
            "offset": order_offset(row["OffsetFlag"]),
            "price": row["Price"],
            "volume": volume,
            "trade_time": timestamp(row["TradeDate"], row["TradeTime"]),
        }
        if update_position:
            self._apply_position_trade(row)
            self._recompute_frozen(symbol=symbol)
        self._aggregate(child)
        self._schedule_account()
        self._touch()
        return True

    def _aggregate(self, child=None):
        children = list(self.native_orders.values()) if child is None else [child]
        for item in children:
            order = self.o[item["order_id"]]
            order["order_sys_id"] = item["exchange_order_id"].strip() or None
            for key in ("volume_original", "volume_traded", "volume_left", "status", "status_msg",
                        "cancel_pending", "cancel_error"):  # fmt: skip
                order[key] = item[key]

    # ---- local position accounting -------------------------------------------

    def _apply_position_trade(self, row):
        symbol = row["ExchangeID"] + "." + row["InstrumentID"]
        pos = self.p.get(symbol)
        if pos is None:
            pos = self.p[symbol] = empty_position(symbol, now_ms())
        volume = row["Volume"]
        flag = row["OffsetFlag"]
        if flag == "0":
            side = "long" if row["Direction"] == "0" else "short"
            pos[f"pos_{side}"] += volume
            pos[f"pos_{side}_today"] += volume
        else:
            side = "short" if row["Direction"] == "0" else "long"
            if volume > pos[f"pos_{side}"]:
                raise BufferError("平仓成交数量超过本地持仓")
            if flag == "3":
                plan = [("today", volume)]
            elif flag == "4":
                plan = [("his", volume)]
            else:
                h = min(pos[f"pos_{side}_his"], volume)
                plan = [("his", h), ("today", volume - h)]
            for bucket, amount in plan:
                key = f"pos_{side}_{bucket}"
                if amount > pos[key]:
                    raise BufferError("平仓成交数量超过本地对应今昨仓")
                pos[key] -= amount
            pos[f"pos_{side}"] -= volume
        pos["pos"] = pos["pos_long"] - pos["pos_short"]
        pos["updated_at"] = now_ms()

    def _free_parts(self, symbol, side):
        pos = self.p.get(symbol)
        if not pos or pos.get(f"pos_{side}") is None:
            return (0, 0)
        his = pos[f"pos_{side}_his"]
        today = pos[f"pos_{side}_today"]
        closing = "SELL" if side == "long" else "BUY"
        for child in self.native_orders.values():
            if (child["symbol"] != symbol or child["direction"] != closing or child["offset"] == "OPEN"
                    or child["status"] in TERMINAL):  # fmt: skip
                continue
            left = child["volume_left"]
            close_type = child["close_type"]
            if close_type == "TODAY":
                today -= left
            elif close_type == "HISTORY":
                his -= left
            else:
                used = min(left, max(his, 0))
                his -= used
                today -= left - used
        if min(today, his) < 0:
            raise BufferError("有效平仓委托冻结量超过本地持仓")
        return (his, today)

    def _recompute_frozen(self, updated=None, *, symbol=None):
        if not updated:
            updated = now_ms()
        if symbol is None:
            records = list(self.p.items())
        else:
            records = [(symbol, self.p[symbol])] if symbol in self.p else []
        keys = ("frozen_long", "frozen_short", "available_long", "available_short")
        for name, record in records:
            if record["pos_long"] is None:
                continue
            before = tuple(record[k] for k in keys)
            for side in ("long", "short"):
                his, today = self._free_parts(name, side)
                free = his + today
                record[f"available_{side}"] = free
                record[f"frozen_{side}"] = record[f"pos_{side}"] - free
            if tuple(record[k] for k in keys) != before:
                record["updated_at"] = updated
