// Queueing of vendor callbacks and the conversion of queued entries into
// event dictionaries.
#include "spi.h"

#include <atomic>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#if !defined(_WIN32)
#  include <pthread.h>
#endif

#include "common/errors.h"
#include "common/intern.h"
#include "common/ref.h"
#include "records.h"

namespace torvo::relay {

namespace {

struct EventSpec {
    const char *name;
    const Layout *layout;  // the "data" record; null for the connection events
    Interned key;
    // The event dictionary with its name and every other key at its usual
    // value ("data" and "error" None, "request_id" 0, "last" True; "reason"
    // 0), in record order.  Made at module init and never released; each
    // event starts as a copy of it.
    PyObject *shape;
};

// Indexed by Event.
EventSpec events[] = {
    {"FrontConnected", nullptr, {}, nullptr},
    {"FrontDisconnected", nullptr, {}, nullptr},
    {"RspAuthenticate", &kRspAuthenticate, {}, nullptr},
    {"RspUserLogin", &kRspUserLogin, {}, nullptr},
    {"RspSettlementInfoConfirm", &kRspSettlementInfoConfirm, {}, nullptr},
    {"RspQryOrder", &kOrder, {}, nullptr},
    {"RtnOrder", &kOrder, {}, nullptr},
    {"RspQryTrade", &kTrade, {}, nullptr},
    {"RtnTrade", &kTrade, {}, nullptr},
    {"RspQryInvestorPosition", &kInvestorPosition, {}, nullptr},
    {"RspQryTradingAccount", &kTradingAccount, {}, nullptr},
    {"RspQryInstrument", &kInstrument, {}, nullptr},
    {"RspOrderInsert", &kInputOrderReply, {}, nullptr},
    {"ErrRtnOrderInsert", &kInputOrderReply, {}, nullptr},
    {"RspOrderAction", &kInputOrderActionReply, {}, nullptr},
    {"ErrRtnOrderAction", &kOrderActionReply, {}, nullptr},
    {"RspError", &kRspInfo, {}, nullptr},
};
static_assert(std::size(events) == static_cast<std::size_t>(Event::Count));

Interned name_key, reason_key, data_key, error_key, request_id_key, last_key;

PyObject *make_event_shape(const EventSpec &spec) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), name_key, spec.key) < 0) return nullptr;
    if (spec.layout == nullptr) {
        if (&spec == &events[static_cast<std::size_t>(Event::FrontDisconnected)]) {
            Ref zero = Ref::steal(PyLong_FromLong(0));
            if (!zero || PyDict_SetItem(dict.get(), reason_key, zero.get()) < 0) return nullptr;
        }
        return dict.release();
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero || PyDict_SetItem(dict.get(), data_key, Py_None) < 0 ||
        PyDict_SetItem(dict.get(), error_key, Py_None) < 0 ||
        PyDict_SetItem(dict.get(), request_id_key, zero.get()) < 0 ||
        PyDict_SetItem(dict.get(), last_key, Py_True) < 0) {
        return nullptr;
    }
    return dict.release();
}

// Forks survived as the child; bumped in the child before fork() returns.
std::atomic<unsigned long> forks{0};

#if !defined(_WIN32)
void count_fork() { forks.fetch_add(1, std::memory_order_relaxed); }
#endif

bool watch_forks() noexcept {
#if defined(_WIN32)
    return true;  // no fork
#else
    static const bool registered = pthread_atfork(nullptr, nullptr, count_fork) == 0;
    if (!registered) return errors::set_no_memory();
    return true;
#endif
}

}  // namespace

unsigned long fork_generation() noexcept { return forks.load(std::memory_order_relaxed); }

bool init_events() noexcept {
    if (!name_key.init("name") || !reason_key.init("reason") || !data_key.init("data") ||
        !error_key.init("error") || !request_id_key.init("request_id") || !last_key.init("last")) {
        return false;
    }
    for (EventSpec &spec : events) {
        if (!spec.key.init(spec.name)) return false;
        if (spec.shape == nullptr) {
            spec.shape = make_event_shape(spec);
            if (spec.shape == nullptr) return false;
        }
    }
    return watch_forks();
}

// ---------------------------------------------------------------------------
// The queue
// ---------------------------------------------------------------------------

void Queue::take_from(Queue &other) noexcept {
    head_ = std::exchange(other.head_, nullptr);
    tail_ = std::exchange(other.tail_, nullptr);
    size_ = std::exchange(other.size_, 0);
}

void Queue::clear() noexcept {
    for (Chunk *chunk = std::exchange(head_, nullptr); chunk != nullptr;) {
        delete std::exchange(chunk, chunk->next);
    }
    tail_ = nullptr;
    size_ = 0;
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

QueueSpi::~QueueSpi() {
    while (spare_ != nullptr) delete std::exchange(spare_, spare_->next);
}

void QueueSpi::push_raw(Event event, const void *data, std::size_t size, const CThostFtdcRspInfoField *info,
                        int request_id, bool last) noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (overflowed_) return;
        if (queue_.size_ >= kQueueLimit) {
            // Dropping an event silently would desynchronise the session, so
            // an event that cannot be kept marks the session overflowed for
            // good, and the loop is woken to see the BufferError at once.
            overflowed_ = true;
            wakeup_.signal();
            return;
        }
        Chunk *tail = queue_.tail_;
        if (tail == nullptr || tail->used == Chunk::kSlots) {
            Chunk *fresh = spare_;
            if (fresh == nullptr) {
                // Allocated without the lock, which is held only to append;
                // then looked for again, as another callback may have taken
                // the new chunk's place meanwhile.
                lock.unlock();
                fresh = new (std::nothrow) Chunk;
                lock.lock();
                if (fresh == nullptr) {
                    if (!overflowed_) wakeup_.signal();
                    overflowed_ = true;
                    return;
                }
                fresh->next = spare_;
                spare_ = fresh;
                ++spare_count_;
                continue;
            }
            spare_ = fresh->next;
            --spare_count_;
            fresh->next = nullptr;
            fresh->used = 0;
            if (tail != nullptr) {
                tail->next = fresh;
            } else {
                queue_.head_ = fresh;
            }
            queue_.tail_ = fresh;
            tail = fresh;
        }
        // The copy into the slot is the append: a few hundred bytes at most.
        Entry &entry = tail->entries[tail->used];
        entry.event = event;
        entry.has_data = data != nullptr;
        entry.last = last;
        entry.data_size = static_cast<std::uint16_t>(data != nullptr ? size : 0);
        entry.request_id = request_id;
        if (info != nullptr) {
            std::memcpy(&entry.info, info, sizeof entry.info);
        } else {
            std::memset(&entry.info, 0, sizeof entry.info);
        }
        if (data != nullptr) std::memcpy(entry.data, data, size);
        ++tail->used;
        // The first event after the loop took the queue wakes it; the rest of
        // the burst rides on that wake-up.  Written under the lock, so the
        // loop cannot take this event and wait again before the byte is out.
        if (queue_.size_++ == 0) wakeup_.signal();
        return;
    }
}

void QueueSpi::close_wakeup() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    wakeup_.close();
}

bool QueueSpi::take(Queue &out) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (overflowed_) return false;
    out.take_from(queue_);
    return true;
}

void QueueSpi::recycle(Queue &batch) noexcept {
    Chunk *surplus = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Chunk *chunk = std::exchange(batch.head_, nullptr);
        while (chunk != nullptr && spare_count_ < kSpareChunks) {
            Chunk *next = chunk->next;
            chunk->next = spare_;
            spare_ = chunk;
            ++spare_count_;
            chunk = next;
        }
        surplus = chunk;
    }
    batch.tail_ = nullptr;
    batch.size_ = 0;
    while (surplus != nullptr) delete std::exchange(surplus, surplus->next);
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
    Ref dict = Ref::steal(PyDict_Copy(spec.shape));
    if (!dict) return nullptr;
    if (spec.layout == nullptr) {
        // The connection events: the name, and the reason of a disconnection.
        if (event == Event::FrontDisconnected && request_id != 0) {
            Ref reason = Ref::steal(PyLong_FromLong(request_id));
            if (!reason || PyDict_SetItem(dict.get(), reason_key, reason.get()) < 0) return nullptr;
        }
        return dict.release();
    }
    if (has_data) {
        if (data_size != spec.layout->record_size)
            return errors::set_error(PyExc_SystemError, "queued record does not match its event");
        Ref record = Ref::steal(record_to_dict(*spec.layout, data));
        if (!record || PyDict_SetItem(dict.get(), data_key, record.get()) < 0) return nullptr;
    }
    Ref error = Ref::steal(record_to_dict(kRspInfo, reinterpret_cast<const unsigned char *>(&info)));
    if (!error || PyDict_SetItem(dict.get(), error_key, error.get()) < 0) return nullptr;
    if (request_id != 0) {
        Ref id = Ref::steal(PyLong_FromLong(request_id));
        if (!id || PyDict_SetItem(dict.get(), request_id_key, id.get()) < 0) return nullptr;
    }
    if (!last && PyDict_SetItem(dict.get(), last_key, Py_False) < 0) return nullptr;
    return dict.release();
}

PyObject *floor_order_events(Py_ssize_t count, PyObject *const *values) noexcept {
    const EventSpec &spec = events[static_cast<std::size_t>(Event::RtnOrder)];
    const std::span<Field> fields = kOrder.fields;
    Ref list = Ref::steal(PyList_New(count));
    if (!list) return nullptr;
    for (Py_ssize_t n = 0; n < count; ++n) {
        Ref dict = Ref::steal(PyDict_Copy(spec.shape));
        Ref record = Ref::steal(PyDict_Copy(kOrder.shape));
        Ref error = Ref::steal(PyDict_Copy(kRspInfo.shape));
        if (!dict || !record || !error) return nullptr;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (PyDict_SetItem(record.get(), fields[i].key, values[i]) < 0) return nullptr;
        }
        if (PyDict_SetItem(dict.get(), data_key, record.get()) < 0 ||
            PyDict_SetItem(dict.get(), error_key, error.get()) < 0) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), n, dict.release());
    }
    return list.release();
}

}  // namespace torvo::relay
