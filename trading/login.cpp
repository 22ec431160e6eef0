// Login synchronisation: numbering and sending requests, starting login
// steps, the periodic tick that paces the snapshot queries and enforces every
// time limit, account refresh scheduling and failed queries.
//
// Every exception leaving here goes to the run loop: TimeoutError (and
// BufferError, ConnectionError, OSError) forces a reconnection, anything else
// ends the session.
#include <limits>

#include "native.h"
#include "session.h"

namespace torvo::trading {

void Trading::ensure_identity() {
    if (broker_id_.is_valid()) return;
    nb::object broker = attr(config, names.broker_id);
    user_id_ = attr(config, names.user_id);
    broker_id_ = std::move(broker);
}

std::pair<long long, nb::object> Trading::request(nb::handle method, nb::handle fields) {
    ensure_identity();
    nb::dict data = dict_of({{names.BrokerID, broker_id_}, {names.InvestorID, user_id_}, {names.UserID, user_id_}});
    if (fields.is_valid() && !fields.is_none() && truthy(fields)) update(data, fields);
    // Python's int would just grow; the counter stops at its limit instead of
    // wrapping round to ids already used.
    if (request_id == std::numeric_limits<long long>::max()) errors::throw_error(PyExc_OverflowError, "请求编号超出范围");
    long long rid = ++request_id;
    nb::object id = int_of(rid);
    nb::object code;
    if (Native *bridge = exact_native(native))
        code = bridge->request(method, data, id);
    else
        code = attr(native, names.request)(method, data, id);
    return {rid, std::move(code)};
}

void Trading::phase_request(nb::handle step, nb::handle method, nb::handle data) {
    set_phase(step);
    phase_time = monotonic();
    phase_data = nb::dict();
    auto [rid, code] = request(method, data);
    phase_id = int_of(rid);
    if (equals_int(code, -1) || flow_controlled(code)) errors::throw_error(out_of_sync());
    if (!equals_int(code, 0))
        errors::throw_error(g.ExError, message({"CTP ", phase_label(phase), "请求失败（错误码：", code, "）"}));
}

void Trading::schedule_account() {
    if (phase_code == Phase::Ready) set_add(pending, names.account);
}

void Trading::tick(double now) {
    const Phase step = phase_code;
    if (step == Phase::Ready && (!inflight.is_none() || !set_empty(pending))) call_method(query_recovery, names.check);
    if (step == Phase::Connecting) {
        if (now - phase_time > timeout_s) errors::throw_error(out_of_sync());
        return;
    }
    if (step != Phase::Ready && step != Phase::Sync) {
        if (now - phase_time > timeout_s) errors::throw_error(out_of_sync(), "CTP 连接或登录超时");
        return;
    }
    if (!inflight.is_none()) {
        if (now - to_double(item(inflight, names.progress)) > timeout_s) {
            nb::object kind = item(inflight, names.kind);
            if (step != Phase::Ready)
                errors::throw_error(out_of_sync(), message({"CTP ", query_label(kind), "查询超时且无进展"}));
            // While ready a silent account query is dropped and queued again.
            call_method(query_recovery, names.fail);
            set_add(pending, kind);
            inflight = nb::none();
        }
        return;
    }
    if (step == Phase::Sync && now - phase_time > timeout_s) errors::throw_error(out_of_sync(), "CTP 登录同步超时且无进展");
    if (step == Phase::Ready && now - last_account_refresh >= 5) set_add(pending, names.account);
    if (now - last_query < 1) return;

    nb::object kind;
    if (step == Phase::Sync) {
        kind = check(PySequence_GetItem(g.SYNC_STEPS, sync_index));
    } else {
        if (set_empty(pending)) return;
        kind = nb::borrow(names.account);
    }
    nb::object fields = equals_text(kind, names.account) ? nb::object(dict_of({{names.CurrencyID, names.CNY}})) : nb::none();
    auto [rid, code] = request(item(g.QUERY, kind), fields);
    last_query = now;
    if (flow_controlled(code)) {
        // The library's flow control: not an error, the same kind goes again later.
        call_method(step == Phase::Ready ? query_recovery : recovery, names.fail);
        last_query = now + 1;
        return;
    }
    if (!equals_int(code, 0))
        errors::throw_error(out_of_sync(), message({"CTP ", item(g.QUERY_LABELS, kind), "查询提交失败（错误码：", code, "）"}));
    set_discard(pending, kind);
    phase_time = now;
    inflight = dict_of({{names.id, int_of(rid)},
                        {names.kind, kind},
                        {names.rows, nb::list()},
                        {names.progress, float_of(now)},
                        {names.revision, int_of(revision)}});
}

void Trading::query_error(nb::handle code, nb::handle text) {
    nb::object query = std::exchange(inflight, nb::none());
    const bool ready = phase_code == Phase::Ready;
    if (front_busy(code)) {
        // The front is busy: send the same query again later.
        call_method(ready ? query_recovery : recovery, names.fail);
        last_query = monotonic() + 1;
        if (ready) set_add(pending, item(query, names.kind));
        return;
    }
    errors::throw_error(g.ExError, message({"CTP ", query_label(item(query, names.kind)), "查询失败（错误码：", code, "）：", text}));
}

}  // namespace torvo::trading
