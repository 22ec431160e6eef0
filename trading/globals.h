// The globals of `torvo.trading`, shared by its sources: the interned names,
// the objects the module takes from elsewhere at import, its tables and the
// layouts of the records the session makes.  The helper layer the session
// code is written in is py.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <nanobind/nanobind.h>

#include "common/ledger_api.h"

namespace torvo::trading {

namespace nb = nanobind;
using torvo::LedgerApi;

// Fixed keys, words and method names, interned once at import.  The second
// column is the text when it differs from the identifier.
#define TORVO_TRADING_NAMES(X)                                     \
    /* event records */                                            \
    X(name, "name") X(data, "data") X(request_id, "request_id")    \
    X(reason, "reason")                                            \
    X(last, "last") X(error, "error") X(ErrorID, "ErrorID")        \
    X(ErrorMsg, "ErrorMsg")                                        \
    /* request fields */                                           \
    X(BrokerID, "BrokerID") X(InvestorID, "InvestorID")            \
    X(UserID, "UserID") X(AppID, "AppID") X(AuthCode, "AuthCode")  \
    X(Password, "Password") X(CurrencyID, "CurrencyID")            \
    X(CNY, "CNY")                                                  \
    /* login response */                                           \
    X(TradingDay, "TradingDay") X(FrontID, "FrontID")              \
    X(SessionID, "SessionID") X(MaxOrderRef, "MaxOrderRef")        \
    X(trading_day, "trading_day") X(zero_text, "0")                \
    /* request names */                                            \
    X(Authenticate, "Authenticate") X(UserLogin, "UserLogin")      \
    X(SettlementInfoConfirm, "SettlementInfoConfirm")              \
    /* session statuses */                                         \
    X(SYNCING, "SYNCING") X(READY, "READY")                        \
    X(DISCONNECTED, "DISCONNECTED") X(ERROR, "ERROR")              \
    /* login phases */                                             \
    X(connecting, "connecting") X(authenticate, "authenticate")    \
    X(login, "login") X(settlement, "settlement") X(sync, "sync")  \
    X(ready, "ready")                                              \
    /* query records and kinds */                                  \
    X(id, "id") X(kind, "kind") X(rows, "rows")                    \
    X(progress, "progress") X(revision, "revision")                \
    X(account, "account")                                          \
    /* attributes and methods of other objects */                  \
    X(begin, "begin") X(check, "check") X(fail, "fail")            \
    X(success, "success") X(set, "set") X(cancel, "cancel")        \
    X(monotonic, "monotonic") X(time, "time") X(sleep, "sleep")    \
    X(gather, "gather") X(create_task, "create_task")              \
    X(get_running_loop, "get_running_loop")                        \
    X(create_future, "create_future") X(call_later, "call_later")  \
    X(sock_recv, "sock_recv") X(wakeup, "wakeup") X(done, "done")  \
    X(add_done_callback, "add_done_callback")                      \
    X(set_result, "set_result") X(result, "result")                \
    X(cancelled, "cancelled") X(_wake, "_wake")                    \
    X(exception, "exception")                                      \
    X(RspQry, "RspQry") X(Event, "Event") X(asyncio, "asyncio") X(mkdtemp, "mkdtemp")  \
    X(os, "os") X(sep, "sep") X(fsencode, "fsencode")              \
    X(nt, "nt") X(mbcs, "mbcs") X(encode, "encode")                \
    X(request, "request") X(poll, "poll") X(close, "close")        \
    X(create, "create") X(get, "get") X(strip, "strip")  \
    X(pop, "pop")                                                  \
    X(update, "update")            \
    X(front_url, "front_url") X(broker_id, "broker_id")            \
    X(user_id, "user_id") X(app_id, "app_id")                      \
    X(auth_code, "auth_code") X(password, "password")              \
    X(account_id, "account_id") X(_values, "_values")              \
    X(strptime, "strptime") X(replace, "replace")                  \
    X(tzinfo, "tzinfo") X(timestamp, "timestamp")                  \
    X(return_exceptions, "return_exceptions") X(prefix, "prefix")  \
    X(flow_prefix, "torvo-ctp-")                                   \
    /* vendor fields of order, trade, position and account rows */ \
    X(AccountID, "AccountID") X(CombHedgeFlag, "CombHedgeFlag")    \
    X(CombOffsetFlag, "CombOffsetFlag") X(Direction, "Direction")  \
    X(ExchangeID, "ExchangeID") X(InstrumentID, "InstrumentID")    \
    X(HedgeFlag, "HedgeFlag") X(InsertDate, "InsertDate")          \
    X(InsertTime, "InsertTime") X(LimitPrice, "LimitPrice")        \
    X(OffsetFlag, "OffsetFlag") X(OrderRef, "OrderRef")            \
    X(OrderStatus, "OrderStatus") X(OrderSysID, "OrderSysID")      \
    X(OrderSubmitStatus, "OrderSubmitStatus")                      \
    X(PosiDirection, "PosiDirection") X(Position, "Position")      \
    X(PositionDate, "PositionDate") X(Price, "Price")              \
    X(ProductClass, "ProductClass") X(TodayPosition, "TodayPosition") \
    X(TradeDate, "TradeDate") X(TradeID, "TradeID")                \
    X(TradeTime, "TradeTime") X(Volume, "Volume")                  \
    X(VolumeTotalOriginal, "VolumeTotalOriginal")                  \
    X(VolumeTraded, "VolumeTraded")                                \
    X(SHFE, "SHFE") X(INE, "INE")                                  \
    /* vendor codes */                                             \
    X(one_text, "1") X(two_text, "2") X(three_text, "3")           \
    X(four_text, "4") X(dot, ".") X(empty, "")                     \
    X(submit_rejected, "4") X(submit_cancel_refused, "5")          \
    X(status_part_gone, "2") X(status_none_gone, "4")              \
    X(status_cancelled, "5")                                       \
    /* event names the dispatcher makes */                         \
    X(RspOrderInsert, "RspOrderInsert") X(RspOrderAction, "RspOrderAction") \
    /* order, child and trade records */                           \
    X(order_id, "order_id") X(order_sys_id, "order_sys_id")        \
    X(symbol, "symbol") X(direction, "direction")                  \
    X(offset, "offset") X(limit_price, "limit_price")              \
    X(volume_original, "volume_original")                          \
    X(volume_traded, "volume_traded") X(volume_left, "volume_left") \
    X(status, "status") X(status_msg, "status_msg")                \
    X(cancel_pending, "cancel_pending") X(cancel_error, "cancel_error") \
    X(insert_time, "insert_time") X(parent, "parent")              \
    X(exchange_order_id, "exchange_order_id")                      \
    X(close_type, "close_type") X(is_confirmed, "is_confirmed")    \
    X(ref, "ref") X(front, "front") X(session, "session")          \
    X(cancel_request_id, "cancel_request_id")                      \
    X(pending_finish, "pending_finish")                            \
    X(expected_traded, "expected_traded")                          \
    X(finish_status, "finish_status") X(finish_msg, "finish_msg")  \
    X(trade_id, "trade_id") X(price, "price") X(volume, "volume")  \
    X(trade_time, "trade_time")                                    \
    /* position records */                                         \
    X(pos, "pos") X(pos_long, "pos_long") X(pos_short, "pos_short") \
    X(pos_long_today, "pos_long_today") X(pos_long_his, "pos_long_his") \
    X(pos_short_today, "pos_short_today")                          \
    X(pos_short_his, "pos_short_his")                              \
    X(frozen_long, "frozen_long") X(frozen_short, "frozen_short")  \
    X(available_long, "available_long")                            \
    X(available_short, "available_short")                          \
    X(updated_at, "updated_at") X(long_, "long") X(short_, "short") \
    /* snapshot steps */                                           \
    X(instruments, "instruments") X(orders, "orders")              \
    X(trades_before, "trades_before") X(positions, "positions")    \
    X(trades_after, "trades_after")                                \
    /* order statuses, directions, close types */                  \
    X(PENDING, "PENDING") X(ALIVE, "ALIVE") X(FILLED, "FILLED")    \
    X(CANCELLED, "CANCELLED") X(REJECTED, "REJECTED")              \
    X(BUY, "BUY") X(SELL, "SELL") X(TODAY, "TODAY")                \
    X(HISTORY, "HISTORY") X(UNSPECIFIED, "UNSPECIFIED")            \
    /* status messages */                                          \
    X(msg_filled, "全部成交") X(msg_cancelled, "剩余委托已不再排队") \
    X(msg_rejected, "报单被拒绝") X(msg_cancel_refused, "撤单被拒绝") \
    /* order offsets */                                            \
    X(OPEN, "OPEN") X(CLOSE, "CLOSE")                              \
    X(CLOSE_TODAY, "CLOSE_TODAY")                                  \
    X(CLOSE_YESTERDAY, "CLOSE_YESTERDAY")                          \
    /* orders */                                                   \
    X(SUBMITTED, "SUBMITTED") X(UNKNOWN, "UNKNOWN")                \
    X(OrderInsert, "OrderInsert") X(OrderAction, "OrderAction")    \
    X(OrderPriceType, "OrderPriceType") X(TimeCondition, "TimeCondition") \
    X(VolumeCondition, "VolumeCondition") X(MinVolume, "MinVolume") \
    X(ContingentCondition, "ContingentCondition")                  \
    X(ForceCloseReason, "ForceCloseReason")                        \
    X(IsAutoSuspend, "IsAutoSuspend") X(UserForceClose, "UserForceClose") \
    X(ActionFlag, "ActionFlag") X(IsTrading, "IsTrading")          \
    X(PriceTick, "PriceTick")                                      \
    X(MinLimitOrderVolume, "MinLimitOrderVolume")                  \
    X(MaxLimitOrderVolume, "MaxLimitOrderVolume")                  \
    X(check_symbol, "check_symbol") X(math, "math")                \
    X(isclose, "isclose") X(rel_tol, "rel_tol") X(abs_tol, "abs_tol") \
    X(dunder_round, "__round__")                                   \
    X(msg_not_ready_insert, "交易账户未就绪，报单未提交")            \
    X(msg_not_ready_ex, "交易账户尚未 READY，请调用 wait_update 等待同步完成") \
    X(msg_insert_invalid, "报单参数无效或可平持仓不足，未提交")      \
    X(msg_not_sent, "未发送：前一笔委托提交失败")                    \
    X(msg_insert_refused, "报单未提交")                             \
    X(msg_insert_unconvertible, "报单参数无效，未提交")              \
    X(msg_insert_unknown, "报单提交结果不明，等待柜台回报")          \
    X(msg_cancel_not_ready, "交易账户未就绪，撤单未提交")            \
    X(msg_cancel_unconfirmed, "订单尚未确认，撤单未提交")            \
    X(msg_cancel_unconvertible, "撤单参数无效，未提交")              \
    X(msg_cancel_refused_submit, "撤单未提交")                      \
    X(msg_cancel_unknown, "撤单提交结果不明，等待柜台回报")          \
    /* the guard */                                                \
    X(FAK, "FAK") X(FOK, "FOK") X(trades, "trades")                \
    X(cancels, "cancels")                                          \
    X(refused, "refused") X(paused, "paused") X(symbols, "symbols") \
    X(orders_warning, "orders_warning")                            \
    X(cancels_warning, "cancels_warning")                          \
    X(cancelled_warning, "cancelled_warning")                      \
    X(trades_warning, "trades_warning")                            \
    X(refused_warning, "refused_warning")                          \
    X(msg_paused, "交易已暂停（pause），报单未提交")                  \
    /* publishing */                                               \
    X(members, "__members__") X(fields, "fields")                  \
    X(clear, "clear") X(setdefault, "setdefault") X(items, "items") \
    X(value_, "_value")

struct Names {
#define TORVO_DECLARE_NAME(ident, text) PyObject *ident = nullptr;
    TORVO_TRADING_NAMES(TORVO_DECLARE_NAME)
#undef TORVO_DECLARE_NAME
};

// Objects taken at import; owned for the life of the process.
struct Globals {
    PyObject *module_dict = nullptr;
    // imported names
    PyObject *ExError = nullptr;
    PyObject *Recovery = nullptr;
    PyObject *Account = nullptr;
    PyObject *Position = nullptr;
    PyObject *Order = nullptr;
    PyObject *Trade = nullptr;
    PyObject *LiveMap = nullptr;
    PyObject *empty_position = nullptr;
    PyObject *TradingResult = nullptr;
    PyObject *TradingGuard = nullptr;
    PyObject *datetime = nullptr;  // the class
    PyObject *CancelledError = nullptr;
    PyObject *AsyncioEvent = nullptr;  // asyncio.Event, the class of `changed`
    // tables
    PyObject *TZ = nullptr;
    PyObject *QUERY = nullptr;
    PyObject *SYNC_STEPS = nullptr;
    PyObject *PHASE_LABELS = nullptr;
    PyObject *QUERY_LABELS = nullptr;
    PyObject *ACCOUNT_FIELDS = nullptr;
    PyObject *OFFSET_BY_FLAG = nullptr;
    PyObject *FLAG_BY_OFFSET = nullptr;
    PyObject *timestamp_format = nullptr;  // "%Y%m%d%H:%M:%S"
    PyObject *thousand = nullptr;          // 1000
    PyObject *generic_error = nullptr;     // the message of a session ended by an error
    PyObject *event_cases = nullptr;       // event name -> dispatch case number
    PyObject *bridge_name = nullptr;       // "<package>._relay"
    PyObject *zero = nullptr, *one = nullptr;
    PyObject *max_volume = nullptr;        // 2147483647, the largest order volume
    // the ledger's C API, and the fields of the four published record types
    // (dicts name -> name)
    const LedgerApi *ledger = nullptr;
    struct ViewFields {
        PyTypeObject *type;
        PyObject *fields;  // dict name -> name
        PyObject *names;   // the tuple `fields` of the type
    } view_fields[4] = {};
};

// The records the session makes itself, in their key orders: the order
// record and the child order of add_order, and the ledger's empty position.
// Each field is known with its place in that order (py.h reads a record
// made so at the place, and looks up any other).
#define TORVO_ORDER_FIELDS(X)                                                                      \
    X(order_id) X(order_sys_id) X(symbol) X(direction) X(offset) X(limit_price) X(volume_original) \
    X(volume_traded) X(volume_left) X(status) X(status_msg) X(cancel_pending) X(cancel_error)      \
    X(insert_time)
#define TORVO_CHILD_FIELDS(X)                                                                         \
    X(order_id) X(parent) X(symbol) X(direction) X(offset) X(exchange_order_id) X(close_type)         \
    X(volume_original) X(volume_traded) X(volume_left) X(status) X(is_confirmed) X(status_msg)        \
    X(cancel_pending) X(cancel_error) X(ref) X(front) X(session) X(cancel_request_id) X(pending_finish) \
    X(expected_traded) X(finish_status) X(finish_msg)
#define TORVO_POSITION_FIELDS(X)                                                                 \
    X(pos_long) X(pos_short) X(pos) X(pos_long_today) X(pos_short_today) X(pos_long_his)         \
    X(pos_short_his) X(frozen_long) X(frozen_short) X(available_long) X(available_short) X(symbol) \
    X(updated_at)

// A field of such a record: its interned name and its place.
struct Field {
    PyObject *name = nullptr;
    Py_ssize_t at = 0;
};

#define TORVO_DECLARE_FIELD(ident) Field ident;
struct OrderFields {
    TORVO_ORDER_FIELDS(TORVO_DECLARE_FIELD)
};
struct ChildFields {
    TORVO_CHILD_FIELDS(TORVO_DECLARE_FIELD)
};
struct PositionFields {
    TORVO_POSITION_FIELDS(TORVO_DECLARE_FIELD)
};
#undef TORVO_DECLARE_FIELD

inline Names names;
inline Globals g;
inline OrderFields order_key;
inline ChildFields child_key;
inline PositionFields position_key;

// Fills `names`, the record fields and `g`'s imported names; throws on failure.
void init_names();
// Builds the tables and the four helpers and binds them on `m`, in order.
void init_tables(nb::module_ &m);

// The four helpers of the module.
nb::object timestamp(nb::handle day, nb::handle clock);
nb::object finite(nb::handle value);
nb::str local_order_id(nb::handle front, nb::handle session, nb::handle order_ref);
nb::object order_offset(nb::handle value);

}  // namespace torvo::trading
