// Trading: the direct trading session of one account.  Its members are the
// one list of the session's private state and published objects; every one
// is readable and assignable from Python (see bind_trading).
#pragma once

#include <cmath>
#include <utility>

#include "common/coro.h"
#include "module.h"

namespace torvo::trading {

enum class Phase : unsigned char { Connecting, Authenticate, Login, Settlement, Sync, Ready, Other };

Phase phase_of(nb::handle word);

struct Trading {
    Trading(nb::object config, nb::object timeout, nb::dict objects, nb::object factory);

    // ---- state, in the order the constructor sets it --------------------
    nb::object config;
    nb::object timeout;
    double timeout_s = 0.0;  // `timeout` as a float, for the time limits
    nb::dict objects;
    nb::object factory;
    nb::object account;
    nb::str session_status;
    nb::str published_status;
    nb::object positions;
    nb::object orders;
    nb::list trades;
    nb::dict trade_views;
    nb::dict a;
    nb::dict p;
    nb::dict o;
    nb::dict t;
    nb::dict native_orders;
    nb::dict instruments;
    nb::dict ref_orders;
    nb::dict system_orders;
    nb::dict pending_trades;
    nb::dict live_trade_buffer;
    nb::set trade_before;
    nb::object position_candidate;
    bool position_ready = false;
    nb::set pending;
    nb::object inflight;
    Py_ssize_t sync_index = 0;
    double last_query = -HUGE_VAL;
    double last_account_refresh = 0.0;
    long long request_id = 0;
    long long order_ref = 0;
    nb::dict order_revisions;
    long long revision = 0;
    nb::object front;
    nb::object session;
    nb::str day;
    nb::str phase;
    Phase phase_code = Phase::Connecting;
    nb::object phase_id;
    double phase_time = 0.0;
    nb::dict phase_data;
    nb::object task;
    nb::object native;
    nb::object error;
    bool dirty = false;
    nb::object changed;
    nb::object directory;
    bool reset_pending = false;
    nb::object recovery;
    nb::object query_recovery;
    nb::object published_position_time;

    // BrokerID and user id of `config`, read once per config object.
    nb::object broker_id_;
    nb::object user_id_;

    // Every Python reference held, for the garbage collector.
    template <class F>
    void each_ref(F &&f) {
        nb::object *refs[] = {
            &config, &timeout, &objects, &factory, &account, &session_status, &published_status,
            &positions, &orders, &trades, &trade_views, &a, &p, &o, &t, &native_orders,
            &instruments, &ref_orders, &system_orders, &pending_trades, &live_trade_buffer,
            &trade_before, &position_candidate, &pending, &inflight, &order_revisions, &front,
            &session, &day, &phase, &phase_id, &phase_data, &task, &native, &error, &changed,
            &directory, &recovery, &query_recovery, &published_position_time, &broker_id_,
            &user_id_};
        for (nb::object *ref : refs) f(*ref);
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
    // The run loop's reaction to a broken connection.
    void recover();

    // ---- login synchronisation (login.cpp) ------------------------------
    std::pair<long long, nb::object> request(nb::handle method, nb::handle fields);
    void phase_request(nb::handle phase, nb::handle method, nb::handle data);
    void schedule_account();
    void tick(double now);
    void query_error(nb::handle code, nb::handle message);

    // ---- dispatch (dispatch.cpp) ----------------------------------------
    void event(nb::handle event);

    static int tp_traverse(PyObject *self, visitproc visit, void *arg);
    static int tp_clear(PyObject *self);

private:
    void ensure_identity();
    void login_response(int which, nb::handle event);
};

coro::Coroutine run_body(Trading *self);
coro::Coroutine close_body(Trading *self);

// Builds the event-name table of the dispatcher.
void init_dispatch();

void bind_trading(nb::module_ &m);

}  // namespace torvo::trading
