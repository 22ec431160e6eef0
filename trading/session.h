// Trading: the direct trading session of one account.
//
// TORVO_TRADING_STATE is the one list of the session's private state and
// published objects, each with what it starts as and what a reconnection
// does to it.  The member declarations, the constructor, the reset of a
// reconnection (clear_cache), the garbage collector's view (each_ref) and
// the Python attributes (bind_trading) are all generated from it, so a field
// cannot be declared and then missed by any of them.
#pragma once

#include <cmath>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/coro.h"
#include "guard.h"
#include "py.h"

namespace torvo::trading {

enum class Phase : unsigned char { Connecting, Authenticate, Login, Settlement, Sync, Ready, Other };

// "Reconnect and resynchronise": a pass that raises one of these resets the
// books, closes the bridge session and opens a new one (Trading::recover);
// every other exception ends the session with "ERROR".
//   out_of_sync():   a time limit, a front too busy or flow-controlled, a
//                    request the front cannot take, another trading day, an
//                    error that belongs to no request (TimeoutError)
//   books_broken():  the returns contradict the books, or a buffer is full
//                    (BufferError, as the bridge's own queue overflow)
// and ConnectionError or OSError from the bridge.
inline PyObject *out_of_sync() noexcept { return PyExc_TimeoutError; }
inline PyObject *books_broken() noexcept { return PyExc_BufferError; }
inline bool means_resync(const nb::python_error &e) {
    return e.matches(out_of_sync()) || e.matches(books_broken()) || e.matches(PyExc_ConnectionError) ||
           e.matches(PyExc_OSError);
}

// The codes of a refused request or a failed response that say "not now":
// the trader library's flow control (-2, -3, returned by a request) and the
// front's "busy, try again" (90, 154, the ErrorID of a response).
inline bool flow_controlled(nb::handle code) { return equals_int(code, -2) || equals_int(code, -3); }
inline bool front_busy(nb::handle code) { return equals_int(code, 90) || equals_int(code, 154); }

Phase phase_of(nb::handle word);
// The words of a login step and of a query kind in messages
// (PHASE_LABELS, QUERY_LABELS); the word itself when it has none.
inline nb::object phase_label(nb::handle phase) { return get_or(g.PHASE_LABELS, phase.ptr(), phase); }
inline nb::object query_label(nb::handle kind) { return get_or(g.QUERY_LABELS, kind.ptr(), kind); }

// How a field is exposed to Python:
//   Plain       read and write, of the member's own type
//   Nullable    an object that may also be set to None
//   DictOrNone  a dict or None
//   IntOrNone   an int or None
//   Custom      bound by hand in bind_trading (its setter does more)
//   Hidden      not an attribute: derived or cached state
enum class Bind { Plain, Nullable, DictOrNone, IntOrNone, Custom, Hidden };

// The words of the table's `starts` and `on_reset` columns.
namespace state {

// `starts`: an expression of the member's type, evaluated in the constructor
// in the table's order (so it may read the members above it), or one of:
struct Given {};  // the constructor's argument of that name
struct Empty {};  // the type's own empty value: a new dict, set or list, a
                  // null reference, zero, false
inline constexpr Given given{};
inline constexpr Empty empty{};

// `on_reset`: what a reconnection (clear_cache) does to the member, in the
// table's order (the rows whose reset calls into Python, and so may fail,
// stand before the books they would leave half emptied):
struct Keep {};     // nothing: it outlives the books
struct Again {};    // `starts` is evaluated again
struct Emptied {};  // the same dict or set is emptied (whoever holds it sees that)
template <class V>
struct To {  // set to this value
    V value;
};
template <class F>
struct With {  // f(member)
    F f;
};
inline constexpr Keep keep{};
inline constexpr Again again{};
inline constexpr Emptied emptied{};
template <class V>
To<V> to(V value) {
    return {std::move(value)};
}
template <class F>
With<F> with(F f) {
    return {f};
}

template <class T, class Start>
void start(T &member, Start &&starts) {
    using V = decltype(starts());
    if constexpr (!std::is_same_v<V, Given> && !std::is_same_v<V, Empty>) member = starts();
}

template <class T, class Start>
void reset(T &, Keep, Start &&) {}
template <class T, class Start>
void reset(T &member, Again, Start &&starts) {
    using V = decltype(starts());
    static_assert(!std::is_same_v<V, Given>, "an argument of the constructor cannot start again");
    if constexpr (std::is_same_v<V, Empty>)
        member = T();
    else
        member = starts();
}
template <class Start>
void reset(nb::dict &member, Emptied, Start &&) {
    PyDict_Clear(member.ptr());
}
template <class Start>
void reset(nb::set &member, Emptied, Start &&) {
    if (PySet_Clear(member.ptr()) < 0) throw nb::python_error();
}
template <class T, class V, class Start>
void reset(T &member, To<V> rule, Start &&) {
    member = std::move(rule.value);
}
template <class T, class F, class Start>
void reset(T &member, With<F> rule, Start &&) {
    rule.f(member);
}

}  // namespace state

// X(member, "python name", type, starts, on_reset, binding, "type shown in the signature")
#define TORVO_TRADING_STATE(X)                                                                              \
    X(config, "config", nb::object, given, keep, Custom, "CtpAccount | None")                               \
    X(timeout, "timeout", nb::object, given, keep, Custom, "float")                                         \
    /* `timeout` as a float, for the time limits; ValueError unless finite and above 0 */                  \
    X(timeout_s, "", double, seconds_of(timeout), keep, Hidden, "")                                         \
    X(objects, "objects", nb::dict, given, keep, Plain, "")                                                 \
    X(factory, "factory", nb::object, given, keep, Nullable, "")                                            \
    X(account, "account", nb::object, new_account(config), keep, Nullable, "")                              \
    /* the values of `account` at first; after a reset, of a new account not published */                  \
    X(account_values, "a", nb::dict, values_of(account), to(values_of(new_account(config))), Plain, "")     \
    /* on reset: the status clear_cache is given */                                                         \
    X(session_status, "session_status", nb::str, first_status(config), to(nb::borrow<nb::str>(status)),     \
      Plain, "")                                                                                            \
    X(published_status, "published_status", nb::str, session_status, keep, Plain, "")                       \
    X(positions, "positions", nb::object, nb::handle(g.LiveMap)(nb::handle(g.Position)), keep, Nullable, "") \
    X(orders, "orders", nb::object, nb::handle(g.LiveMap)(nb::handle(g.Order)), keep, Nullable, "")          \
    X(trades, "trades", nb::list, empty, keep, Plain, "")                                                   \
    X(trade_views, "trade_views", nb::dict, empty, keep, Plain, "")                                         \
    X(order_book, "o", nb::dict, empty, emptied, Plain, "")                                                 \
    X(trade_book, "t", nb::dict, empty, emptied, Plain, "")                                                 \
    X(native_orders, "native_orders", nb::dict, empty, emptied, Plain, "")                                  \
    X(instruments, "instruments", nb::dict, empty, emptied, Plain, "")                                      \
    X(ref_orders, "ref_orders", nb::dict, empty, emptied, Plain, "")                                        \
    X(system_orders, "system_orders", nb::dict, empty, emptied, Plain, "")                                  \
    X(pending_trades, "pending_trades", nb::dict, empty, emptied, Plain, "")                                \
    X(live_trade_buffer, "live_trade_buffer", nb::dict, empty, emptied, Plain, "")                          \
    X(trade_before, "trade_before", nb::set, empty, emptied, Plain, "")                                     \
    X(position_book, "p", nb::dict, empty_positions(positions), again, Plain, "")                           \
    X(position_candidate, "position_candidate", nb::object, nb::none(), again, DictOrNone, "dict | None")   \
    X(position_ready, "position_ready", bool, false, again, Plain, "")                                      \
    X(pending, "pending", nb::set, empty, emptied, Plain, "")                                               \
    X(inflight, "inflight", nb::object, nb::none(), again, DictOrNone, "dict | None")                       \
    X(sync_index, "sync_index", Py_ssize_t, 0, again, Plain, "")                                            \
    X(last_query, "last_query", double, -HUGE_VAL, keep, Plain, "")                                         \
    X(last_account_refresh, "last_account_refresh", double, 0.0, again, Plain, "")                          \
    X(request_id, "request_id", long long, 0, keep, Plain, "")                                              \
    X(order_ref, "order_ref", long long, 0, keep, Plain, "")                                                \
    X(order_revisions, "order_revisions", nb::dict, empty, emptied, Plain, "")                              \
    X(revision, "revision", long long, 0, again, Plain, "")                                                 \
    X(front, "front", nb::object, int_of(0), again, Nullable, "int")                                        \
    X(session, "session", nb::object, int_of(0), again, Nullable, "int")                                    \
    X(day, "day", nb::str, nb::str(""), keep, Plain, "")                                                    \
    X(phase, "phase", nb::str, nb::borrow<nb::str>(names.connecting), keep, Custom, "str")                  \
    X(phase_code, "", Phase, Phase::Connecting, keep, Hidden, "") /* `phase` as a number */                 \
    X(phase_id, "phase_id", nb::object, nb::none(), again, IntOrNone, "int | None")                         \
    X(phase_time, "phase_time", double, monotonic(), keep, Plain, "")                                       \
    X(phase_data, "phase_data", nb::dict, empty, emptied, Plain, "")                                        \
    X(task, "task", nb::object, nb::none(), keep, Nullable, "asyncio.Task[None] | None")                    \
    X(native, "native", nb::object, nb::none(), keep, Nullable, "Native | None")                            \
    X(error, "error", nb::object, nb::none(), keep, Nullable, "ExError | None")                             \
    X(dirty, "dirty", bool, false, keep, Plain, "")                                                         \
    X(changed, "changed", nb::object, asyncio_attr(names.Event)(), keep, Nullable, "asyncio.Event")          \
    X(directory, "directory", nb::object, nb::none(), keep, Nullable, "str | None")                         \
    /* a reset not yet published */                                                                         \
    X(reset_pending, "reset_pending", bool, false, to(true), Plain, "")                                     \
    X(recovery, "recovery", nb::object, nb::handle(g.Recovery)("交易连接"), keep, Nullable, "Recovery")     \
    X(query_recovery, "query_recovery", nb::object, nb::handle(g.Recovery)("账户查询", 3, 120), keep,       \
      Nullable, "Recovery")                                                                                 \
    X(published_position_time, "published_position_time", nb::object, nb::none(), again, IntOrNone,         \
      "int | None")                                                                                         \
    /* the exception of the latest reconnection and its time (ms since the epoch); */                       \
    /* replaced by the next one, never cleared */                                                           \
    X(last_failure, "last_failure", nb::object, nb::none(), keep, Nullable, "tuple[BaseException, int] | None") \
    /* BrokerID and user id of `config`, read once per config object */                                     \
    X(broker_id_, "", nb::object, empty, keep, Hidden, "")                                                  \
    X(user_id_, "", nb::object, empty, keep, Hidden, "")                                                    \
    /* the index of children that can reserve position (positions.cpp); at a */                             \
    /* reset, an empty index in step with the emptied native_orders */                                      \
    X(reserving_, "", nb::dict, empty, again, Hidden, "")                                                   \
    X(reserving_of_, "", nb::object, empty, to(nb::object(native_orders)), Hidden, "")                      \
    X(reserving_size_, "", Py_ssize_t, -1, to(dict_size(native_orders)), Hidden, "") /* -1: rebuild at next use */ \
    /* the wait between passes (session.cpp): the running loop, the bridge's */                             \
    /* wake-up socket and the receive awaiting it, the wait and its 10 ms timer */                          \
    X(loop_, "", nb::object, empty, keep, Hidden, "")                                                       \
    X(wake_, "", nb::object, empty, keep, Hidden, "")                                                       \
    X(wake_task_, "", nb::object, empty, keep, Hidden, "")                                                  \
    X(wait_, "", nb::object, empty, keep, Hidden, "")                                                       \
    X(wait_timer_, "", nb::object, empty, keep, Hidden, "")                                                 \
    X(wake_callback_, "", nb::object, empty, keep, Hidden, "")                                              \
    X(closed_, "", bool, false, keep, Hidden, "") /* close() ran: never started again */                    \
    /* the guard (guard.cpp, guard.h): its TradingGuard and limits, the pause, the */                       \
    /* working orders by symbol, the counts of the day, the rate and repeat memory; */                      \
    /* the working index and the counts that follow the books start again with them */                      \
    X(guard_, "", nb::object, empty, keep, Hidden, "")                                                      \
    X(limits_, "", GuardLimits, empty, keep, Hidden, "")                                                    \
    X(paused_, "", bool, false, keep, Hidden, "")                                                           \
    X(working_, "", nb::dict, empty, emptied, Hidden, "") /* symbol -> {order id: child}, buys */           \
    X(working_sell_, "", nb::dict, empty, emptied, Hidden, "") /* the same, sells */                        \
    X(working_size_, "", Py_ssize_t, 0, again, Hidden, "") /* entries, at most, since the last sweep */     \
    X(working_limit_, "", Py_ssize_t, 256, again, Hidden, "") /* the count of the next sweep */             \
    X(count_slots_, "", nb::dict, empty, keep, Hidden, "") /* symbol -> index into counts_ */               \
    X(counts_, "", std::vector<GuardCounts>, empty, with(keep_refusals), Hidden, "")                        \
    X(guard_day_, "", nb::object, empty, keep, Hidden, "")                                                  \
    X(guard_now_, "", double, 0.0, keep, Hidden, "") /* the guard's clock for this insert */                \
    X(guard_time_, "", nb::object, empty, keep, Hidden, "") /* the same, as time.monotonic() returned it */ \
    X(sent_times_, "", std::deque<double>, empty, keep, Hidden, "") /* monotonic times of recent inserts */ \
    X(recent_, "", nb::dict, empty, keep, Hidden, "") /* (symbol, direction, offset, price, lots) -> time */ \
    X(recent_limit_, "", Py_ssize_t, 64, keep, Hidden, "") /* its size at the next sweep */                 \
    X(repeat_key_, "", nb::object, empty, keep, Hidden, "") /* the key of this insert, for guard_sent */

// The event cases of the dispatcher, in the order they are tested.
enum class EventCase : unsigned char {
    FrontConnected,
    FrontDisconnected,
    RspAuthenticate,
    RspUserLogin,
    RspSettlementInfoConfirm,
    RspError,
    RspQuery,
    RtnOrder,
    RtnTrade,
    InsertRejected,
    ActionRejected,
    Ignored,
};

struct Trading {
    Trading(nb::object config, nb::object timeout, nb::dict objects, nb::object factory);

#define TORVO_DECLARE_FIELD(member, py, type, starts, on_reset, bind, sig) type member{};
    TORVO_TRADING_STATE(TORVO_DECLARE_FIELD)
#undef TORVO_DECLARE_FIELD

    // Calls f on every member that holds a Python reference.
    template <class F>
    void each_ref(F &&f) {
#define TORVO_VISIT_FIELD(member, py, type, starts, on_reset, bind, sig) \
    if constexpr (std::is_base_of_v<nb::handle, type>) f(member);
        TORVO_TRADING_STATE(TORVO_VISIT_FIELD)
#undef TORVO_VISIT_FIELD
    }

    // ---- lifecycle (session.cpp) ----------------------------------------
    void start(nb::handle self);
    void open_native();
    void close_native();
    void clear_cache(nb::handle status);
    void touch();
    void set_status(nb::handle value);
    void set_phase(nb::handle word);
    void set_config(nb::object value);
    void set_timeout(nb::object value);
    // One pass of the run loop: open, check, poll and dispatch, tick.
    void pass();
    // One pass; on a failure that means "reconnect and resynchronise", its
    // exception is kept in `last_failure` and the session recovers.  True
    // when it recovered.
    bool pass_or_recover();
    // Keeps `failure` as the reason of the latest reconnection, with the time.
    void note_failure(nb::object failure);
    // The run loop's reaction to a broken connection.
    void recover();
    // What the run loop awaits after a pass: the bridge's wake-up or 10 ms,
    // whichever comes first; 10 ms when the bridge has no (working) wake-up.
    nb::object pass_wait();
    // After that wait: its timer is cancelled.
    void end_wait();
    // Ends the wait of this pass when `source` is its timer's future or the
    // current receive; nothing when it is over already.
    void wake(nb::handle source);
    // Stops awaiting the wake-up (before its bridge closes); a wait still
    // pending ends.
    void disarm();
    // The same, on a way out that must not raise.
    void disarm_quietly() noexcept;

    // ---- login synchronisation (login.cpp) ------------------------------
    std::pair<long long, nb::object> request(nb::handle method, nb::handle fields);
    void phase_request(nb::handle phase, nb::handle method, nb::handle data);
    void schedule_account();
    void tick(double now);
    void query_error(nb::handle code, nb::handle message);

    // ---- dispatch (dispatch.cpp) ----------------------------------------
    void event(nb::handle event);

    // ---- snapshots (snapshots.cpp) --------------------------------------
    void complete(nb::handle query);
    nb::dict positions_of(nb::handle rows, nb::handle updated);
    void complete_account(nb::handle rows, nb::handle now_ms);

    // ---- order and trade books (books.cpp) ------------------------------
    static bool is_spec_order(nb::handle row);
    static bool is_spec_trade(nb::handle row);
    nb::object by_ref(nb::handle ref);
    // (ExchangeID, stripped TradeID, "BUY" or "SELL"): the key of a trade in
    // `t`, `trade_views`, `pending_trades`, `live_trade_buffer` and
    // `trade_before`.  BufferError for a blank TradeID.
    nb::tuple trade_key(nb::handle row);
    // (exchange, stripped OrderSysID `system`): the key of an order in
    // `system_orders`; None when `system` is blank or None.
    static nb::object system_key(nb::handle exchange, nb::handle system);
    // row.get("ExchangeID", ""): the exchange whose numbers a row's are.
    static nb::object exchange_of(nb::handle row);
    // The fields of a return that identify its order, as child_of read them
    // (empty where the row lacks the key or is not an exact dict).
    struct RowIds {
        nb::object front, session, ref, system;
    };
    nb::dict child_of(nb::handle row, RowIds *ids = nullptr);
    // A new order record and its child, PENDING, stored in `o` and
    // `native_orders` (in the key orders of the books); returns the child.
    struct NewOrder {
        nb::object order_id, order_sys_id, symbol, direction, offset, limit_price, volume, insert_time,
            exchange_order_id, close_type, ref, front, session;
    };
    nb::dict add_order(const NewOrder &n);
    void order(nb::handle row, nb::handle query_revision);
    bool trade(nb::handle row, bool update_position);
    void aggregate(nb::handle child);

    // ---- local positions (positions.cpp) --------------------------------
    // `symbol`, when given, is the row's own (symbol_of(row)), made once by the caller.
    void apply_position_trade(nb::handle row, nb::handle symbol = nb::handle());
    std::pair<nb::object, nb::object> free_parts(nb::handle symbol, nb::handle side);
    void recompute_frozen(nb::handle updated, nb::handle symbol);
    // The index of reserving children: a child stored into native_orders by
    // the session's own code is added with index_add, a child that became
    // terminal or left native_orders is dropped with index_drop.
    void index_add(nb::handle order_id, nb::handle child);
    void index_drop(nb::handle order_id, nb::handle child);
    // The index is rebuilt from a full scan at its next use.
    void index_stale() { reserving_size_ = -1; }
    // del native_orders[order_id], keeping the index in step.
    void index_remove(nb::handle order_id, nb::handle child);

    // ---- orders (orders.cpp) ---------------------------------------------
    // Whether the session takes orders: ready, READY, no reset unpublished.
    bool accepts_orders() const;
    // insert()'s checks of the caller's arguments; ValueError on the first failure.
    void check_order(nb::handle symbol, nb::handle direction, nb::handle offset, nb::handle volume,
                     nb::handle limit_price);
    // _insert(): plan, register, submit; never suspends.
    // `advanced`: None, "FAK" or "FOK" (insert_body has checked it).
    nb::list insert_now(nb::handle symbol, nb::handle direction, nb::handle offset, nb::handle volume,
                        nb::handle limit_price, nb::handle advanced = Py_None);
    nb::list cancel(nb::handle order_id);

    // ---- the guard (guard.cpp) ---------------------------------------------
    void set_guard(nb::handle value);
    // The refusal of an order by the guard or the pause (its message), or an
    // empty object; counted as a refusal.
    nb::object guard_insert(nb::handle symbol, nb::handle direction, nb::handle offset, nb::handle volume,
                            nb::handle limit_price);
    // An order of those arguments left: the rate and repeat limits remember it.
    void guard_sent(nb::handle symbol, nb::handle direction, nb::handle offset, nb::handle volume,
                    nb::handle limit_price);
    nb::object guard_cancel(nb::handle symbol);
    void guard_cancel_sent(nb::handle symbol);
    // The books' changes the counts and the working index follow.
    void guard_order_added(nb::handle order_id, nb::handle child);
    void guard_order_forgotten(nb::handle order_id, nb::handle child);
    void guard_working_again(nb::handle order_id, nb::handle child);
    // A child finished or left the books (index_drop).
    void guard_working_drop(nb::handle order_id, nb::handle child);
    void guard_cancelled(nb::handle child);
    void guard_trade(nb::handle symbol);
    void guard_ready();
    nb::list cancel_all(nb::handle symbol);
    nb::dict counters();

    // ---- publishing (commit.cpp) -------------------------------------------
    bool commit(nb::handle changes);
    nb::object update_view(nb::handle record, nb::handle values, nb::handle changes);
    nb::object map_view(nb::handle view, nb::handle key, nb::handle values, nb::handle changes);
    nb::object position_view(nb::handle symbol);

    static int tp_traverse(PyObject *self, visitproc visit, void *arg);
    static int tp_clear(PyObject *self);

private:
    void ensure_identity();
    // An order that was not sent leaves the books again.
    void forget_order(nb::handle order_id, nb::handle child);
    void publish(nb::handle record, nb::handle values, nb::handle changes, std::vector<PyObject *> &changed_names);
    nb::object map_record(nb::handle view, nb::handle key, nb::handle values, nb::handle changes,
                          std::vector<PyObject *> &changed_names, bool &created);

    // One function per event case (dispatch.cpp).
    struct Event;
    void on_front_connected();
    void on_front_disconnected(nb::handle record);
    void on_login_response(EventCase which, const Event &e);
    void on_error(const Event &e);
    void on_query_response(const Event &e);
    void on_order_return(const Event &e);
    void on_trade_return(const Event &e);
    void on_insert_rejected(const Event &e);
    void on_action_rejected(const Event &e);
};

// Whether an order status is final: FILLED, CANCELLED or REJECTED.  The books
// never move an order out of one.
inline bool terminal(nb::handle status) {
    return equals_text(status, names.FILLED) || equals_text(status, names.CANCELLED) || equals_text(status, names.REJECTED);
}

// ExchangeID + "." + InstrumentID of an order, trade or position row (books.cpp).
nb::object symbol_of(nb::handle row);

coro::Coroutine run_body(Trading *self);
coro::Coroutine insert_body(Trading *self, nb::handle symbol, nb::handle direction, nb::handle offset,
                            nb::handle volume, nb::handle limit_price, nb::handle advanced);
coro::Coroutine insert_now_body(Trading *self, nb::handle symbol, nb::handle direction, nb::handle offset,
                                nb::handle volume, nb::handle limit_price, nb::handle advanced);
coro::Coroutine close_body(Trading *self);

// Builds the event-name table of the dispatcher.
void init_dispatch();

void bind_trading(nb::module_ &m);
// The guard's methods of Trading: pause, resume, counters, cancel_all, guard.
void bind_guard(nb::class_<Trading> &cls);

}  // namespace torvo::trading
