// The ten requests the bridge knows and the call that sends one.
#include "request.h"

#include <cstring>

#include "common/errors.h"
#include "common/intern.h"
#include "records.h"

namespace torvo::relay {

namespace {

using Sender = PyObject *(*)(QueueSpi &session, const Layout &layout, PyObject *fields, int request_id);

// Fills a zeroed `Record` from `fields` and hands it to the vendor operation
// `Op` without the interpreter lock.  Nothing is sent when a field fails.
template <class Record, int (CThostFtdcTraderApi::*Op)(Record *, int)>
PyObject *send(QueueSpi &session, const Layout &layout, PyObject *fields, int request_id) noexcept {
    Record record;
    std::memset(&record, 0, sizeof record);
    if (!dict_to_record(layout, fields, reinterpret_cast<unsigned char *>(&record))) return nullptr;
    // Read after the conversions, which may have run Python code that closed
    // the session and released the vendor object, or forked (the child's
    // copy of the session is closed).
    CThostFtdcTraderApi *api = session.api;
    if (api == nullptr || session.inherited())
        return errors::set_error(PyExc_RuntimeError, kClosedMessage);
    // Counted in while the interpreter lock still orders this against
    // close(), which nulls `api` first and then waits for the count to drop
    // before it releases the vendor object.  Counted out before taking the
    // lock back, so a waiting close() does not wait for the lock as well.
    session.gate.enter();
    int result;
    Py_BEGIN_ALLOW_THREADS
    result = (api->*Op)(&record, request_id);
    session.gate.leave();
    Py_END_ALLOW_THREADS
    return PyLong_FromLong(result);
}

struct RequestSpec {
    const char *name;
    const Layout *layout;
    Sender sender;
    Interned key;
};

// Pairs a layout with the operation taking its record type, so a table entry
// cannot hand a record to the wrong operation.
template <class Record, int (CThostFtdcTraderApi::*Op)(Record *, int)>
constexpr RequestSpec spec(const char *name, const RecordLayout<Record> &layout) {
    return {name, &layout, &send<Record, Op>, {}};
}

using Api = CThostFtdcTraderApi;

RequestSpec requests[] = {
    spec<CThostFtdcReqAuthenticateField, &Api::ReqAuthenticate>("Authenticate", kReqAuthenticate),
    spec<CThostFtdcReqUserLoginField, &Api::ReqUserLogin>("UserLogin", kReqUserLogin),
    spec<CThostFtdcSettlementInfoConfirmField, &Api::ReqSettlementInfoConfirm>("SettlementInfoConfirm",
                                                                               kReqSettlementInfoConfirm),
    spec<CThostFtdcQryOrderField, &Api::ReqQryOrder>("QryOrder", kReqQryOrder),
    spec<CThostFtdcQryTradeField, &Api::ReqQryTrade>("QryTrade", kReqQryTrade),
    spec<CThostFtdcQryInvestorPositionField, &Api::ReqQryInvestorPosition>("QryInvestorPosition",
                                                                           kReqQryInvestorPosition),
    spec<CThostFtdcQryTradingAccountField, &Api::ReqQryTradingAccount>("QryTradingAccount", kReqQryTradingAccount),
    spec<CThostFtdcQryInstrumentField, &Api::ReqQryInstrument>("QryInstrument", kReqQryInstrument),
    spec<CThostFtdcInputOrderField, &Api::ReqOrderInsert>("OrderInsert", kReqOrderInsert),
    spec<CThostFtdcInputOrderActionField, &Api::ReqOrderAction>("OrderAction", kReqOrderAction),
};

const RequestSpec *find(PyObject *method) noexcept {
    // Names written as literals in the caller are usually the interned
    // objects themselves; compare identities first.
    for (const RequestSpec &request : requests) {
        if (request.key.get() == method) return &request;
    }
    for (const RequestSpec &request : requests) {
        if (PyUnicode_CompareWithASCIIString(method, request.name) == 0) return &request;
    }
    return nullptr;
}

}  // namespace

bool init_requests() noexcept {
    for (RequestSpec &request : requests) {
        if (!request.key.init(request.name)) return false;
    }
    return true;
}

PyObject *send_request(QueueSpi &session, PyObject *method, PyObject *fields, int request_id) noexcept {
    const RequestSpec *request = find(method);
    if (request == nullptr) return errors::set_error(PyExc_ValueError, "不支持的 CTP 请求");
    return request->sender(session, *request->layout, fields, request_id);
}

}  // namespace torvo::relay
