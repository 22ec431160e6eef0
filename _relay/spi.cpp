// Queueing of vendor callbacks and the conversion of queued entries into
// event dictionaries.
#include "spi.h"

#include <cstring>
#include <iterator>
#include <new>

#include "common/intern.h"
#include "common/ref.h"
#include "records.h"

namespace torvo::relay {

namespace {

struct EventSpec {
    const char *name;
    const Layout *layout;  // the "data" record; null for the connection events
    Interned key;
};

// Indexed by Event.
EventSpec events[] = {
    {"FrontConnected", nullptr, {}},
    {"FrontDisconnected", nullptr, {}},
    {"RspAuthenticate", &kRspAuthenticate, {}},
    {"RspUserLogin", &kRspUserLogin, {}},
    {"RspSettlementInfoConfirm", &kRspSettlementInfoConfirm, {}},
    {"RspQryOrder", &kOrder, {}},
    {"RtnOrder", &kOrder, {}},
    {"RspQryTrade", &kTrade, {}},
    {"RtnTrade", &kTrade, {}},
    {"RspQryInvestorPosition", &kInvestorPosition, {}},
    {"RspQryTradingAccount", &kTradingAccount, {}},
    {"RspQryInstrument", &kInstrument, {}},
    {"RspOrderInsert", &kInputOrderReply, {}},
    {"ErrRtnOrderInsert", &kInputOrderReply, {}},
    {"RspOrderAction", &kInputOrderActionReply, {}},
    {"ErrRtnOrderAction", &kOrderActionReply, {}},
    {"RspError", &kRspInfo, {}},
};
static_assert(std::size(events) == static_cast<std::size_t>(Event::Count));

Interned name_key, reason_key, data_key, error_key, request_id_key, last_key;

}  // namespace

bool init_events() noexcept {
    for (EventSpec &spec : events) {
        if (!spec.key.init(spec.name)) return false;
    }
    return name_key.init("name") && reason_key.init("reason") && data_key.init("data") &&
           error_key.init("error") && request_id_key.init("request_id") && last_key.init("last");
}

// ---------------------------------------------------------------------------
// Requests in flight
// ---------------------------------------------------------------------------

void RequestGate::enter() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    ++inside_;
}

void RequestGate::leave() noexcept {
    // Notified under the lock: a waiter cannot see zero, return and let the
    // session be freed before this call is done with it.
    std::lock_guard<std::mutex> lock(mutex_);
    if (--inside_ == 0) changed_.notify_all();
}

void RequestGate::drain() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return inside_ == 0; });
}

void RequestGate::finish() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    changed_.notify_all();
}

bool RequestGate::finished() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
}

void RequestGate::wait_finished() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return finished_; });
}

// ---------------------------------------------------------------------------
// Vendor threads
// ---------------------------------------------------------------------------

void QueueSpi::push_raw(Event event, const void *data, std::size_t size, const CThostFtdcRspInfoField *info,
                        int request_id, bool last) noexcept {
    // Built outside the lock; this is the only allocation of the event
    // (the queue's own blocks are shared by many entries).
    std::unique_ptr<Entry> entry(new (std::nothrow) Entry);
    if (entry) {
        entry->event = event;
        entry->has_data = data != nullptr;
        entry->last = last;
        entry->data_size = static_cast<std::uint16_t>(size);
        entry->request_id = request_id;
        if (info != nullptr) {
            std::memcpy(&entry->info, info, sizeof entry->info);
        } else {
            std::memset(&entry->info, 0, sizeof entry->info);
        }
        if (data != nullptr) std::memcpy(entry->data, data, size);
    }

    std::lock_guard<std::mutex> lock(mutex_);
    if (!entry || queue_.size() >= kQueueLimit) {
        // Dropping an event silently would desynchronise the session, so an
        // event that cannot be kept marks the session overflowed for good.
        overflowed_ = true;
        return;
    }
    try {
        queue_.push_back(std::move(entry));
    } catch (...) {
        overflowed_ = true;
    }
}

bool QueueSpi::take(Queue &out) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (overflowed_) return false;
    out.swap(queue_);
    return true;
}

void QueueSpi::OnFrontConnected() {
    push_raw(Event::FrontConnected, nullptr, 0, nullptr, 0, true);
}

void QueueSpi::OnFrontDisconnected(int nReason) {
    push_raw(Event::FrontDisconnected, nullptr, 0, nullptr, nReason, true);
}

void QueueSpi::OnRspError(CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
    push(Event::RspError, pRspInfo, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspAuthenticate(CThostFtdcRspAuthenticateField *pRspAuthenticateField, CThostFtdcRspInfoField *pRspInfo,
                            int nRequestID, bool bIsLast) {
    push(Event::RspAuthenticate, pRspAuthenticateField, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspUserLogin(CThostFtdcRspUserLoginField *pRspUserLogin, CThostFtdcRspInfoField *pRspInfo,
                         int nRequestID, bool bIsLast) {
    push(Event::RspUserLogin, pRspUserLogin, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspOrderInsert(CThostFtdcInputOrderField *pInputOrder, CThostFtdcRspInfoField *pRspInfo,
                           int nRequestID, bool bIsLast) {
    push(Event::RspOrderInsert, pInputOrder, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspOrderAction(CThostFtdcInputOrderActionField *pInputOrderAction, CThostFtdcRspInfoField *pRspInfo,
                           int nRequestID, bool bIsLast) {
    push(Event::RspOrderAction, pInputOrderAction, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *pSettlementInfoConfirm,
                                     CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
    push(Event::RspSettlementInfoConfirm, pSettlementInfoConfirm, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspQryOrder(CThostFtdcOrderField *pOrder, CThostFtdcRspInfoField *pRspInfo, int nRequestID,
                        bool bIsLast) {
    push(Event::RspQryOrder, pOrder, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspQryTrade(CThostFtdcTradeField *pTrade, CThostFtdcRspInfoField *pRspInfo, int nRequestID,
                        bool bIsLast) {
    push(Event::RspQryTrade, pTrade, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspQryInvestorPosition(CThostFtdcInvestorPositionField *pInvestorPosition,
                                   CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
    push(Event::RspQryInvestorPosition, pInvestorPosition, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspQryTradingAccount(CThostFtdcTradingAccountField *pTradingAccount, CThostFtdcRspInfoField *pRspInfo,
                                 int nRequestID, bool bIsLast) {
    push(Event::RspQryTradingAccount, pTradingAccount, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspQryInstrument(CThostFtdcInstrumentField *pInstrument, CThostFtdcRspInfoField *pRspInfo,
                             int nRequestID, bool bIsLast) {
    push(Event::RspQryInstrument, pInstrument, pRspInfo, nRequestID, bIsLast);
}

// Return callbacks carry no request id and are always the last of their kind.
void Spi::OnRtnOrder(CThostFtdcOrderField *pOrder) {
    push(Event::RtnOrder, pOrder, nullptr, 0, true);
}

void Spi::OnRtnTrade(CThostFtdcTradeField *pTrade) {
    push(Event::RtnTrade, pTrade, nullptr, 0, true);
}

void Spi::OnErrRtnOrderInsert(CThostFtdcInputOrderField *pInputOrder, CThostFtdcRspInfoField *pRspInfo) {
    push(Event::ErrRtnOrderInsert, pInputOrder, pRspInfo, 0, true);
}

void Spi::OnErrRtnOrderAction(CThostFtdcOrderActionField *pOrderAction, CThostFtdcRspInfoField *pRspInfo) {
    push(Event::ErrRtnOrderAction, pOrderAction, pRspInfo, 0, true);
}

// ---------------------------------------------------------------------------
// Interpreter thread
// ---------------------------------------------------------------------------

PyObject *Entry::build() const noexcept {
    const EventSpec &spec = events[static_cast<std::size_t>(event)];
    switch (event) {
    case Event::FrontConnected:
        return Py_BuildValue("{O:O}", name_key.get(), spec.key.get());
    case Event::FrontDisconnected:
        return Py_BuildValue("{O:O,O:i}", name_key.get(), spec.key.get(), reason_key.get(), request_id);
    default:
        break;
    }

    Ref record;
    if (has_data) {
        if (data_size != spec.layout->record_size) {
            PyErr_SetString(PyExc_SystemError, "queued record does not match its event");
            return nullptr;
        }
        record = Ref::steal(record_to_dict(*spec.layout, data));
        if (!record) return nullptr;
    } else {
        record = Ref::borrow(Py_None);
    }
    Ref error = Ref::steal(record_to_dict(kRspInfo, reinterpret_cast<const unsigned char *>(&info)));
    if (!error) return nullptr;
    // "N" hands both dictionaries over, also when building fails.
    return Py_BuildValue("{O:O,O:N,O:N,O:i,O:O}", name_key.get(), spec.key.get(), data_key.get(), record.release(),
                         error_key.get(), error.release(), request_id_key.get(), request_id, last_key.get(),
                         last ? Py_True : Py_False);
}

}  // namespace torvo::relay
