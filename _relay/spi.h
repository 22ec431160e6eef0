// The callback side of a bridge session: queued events and the classes the
// vendor library calls on its own threads.
//
// A callback copies the vendor's records by value into the next slot of the
// queue under a native mutex; it creates no Python object and never takes the
// interpreter lock.  Slots come in chunks that `poll` hands back once it has
// converted them, so a steady flow of events allocates nothing.  `poll` swaps
// the whole queue out under the same mutex and turns the entries into event
// dictionaries afterwards.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "ThostFtdcTraderApi.h"
#include "wakeup.h"

namespace torvo::relay {

enum class Event : std::uint8_t {
    FrontConnected,
    FrontDisconnected,
    RspAuthenticate,
    RspUserLogin,
    RspSettlementInfoConfirm,
    RspQryOrder,
    RtnOrder,
    RspQryTrade,
    RtnTrade,
    RspQryInvestorPosition,
    RspQryTradingAccount,
    RspQryInstrument,
    RspOrderInsert,
    ErrRtnOrderInsert,
    RspOrderAction,
    ErrRtnOrderAction,
    RspError,
    Count,
};

// Room for the largest record a callback delivers.
inline constexpr std::size_t kMaxEventRecord = std::max({
    sizeof(CThostFtdcRspInfoField),
    sizeof(CThostFtdcRspAuthenticateField),
    sizeof(CThostFtdcRspUserLoginField),
    sizeof(CThostFtdcSettlementInfoConfirmField),
    sizeof(CThostFtdcOrderField),
    sizeof(CThostFtdcTradeField),
    sizeof(CThostFtdcInvestorPositionField),
    sizeof(CThostFtdcTradingAccountField),
    sizeof(CThostFtdcInstrumentField),
    sizeof(CThostFtdcInputOrderField),
    sizeof(CThostFtdcInputOrderActionField),
    sizeof(CThostFtdcOrderActionField),
});

// The most events a session holds before it overflows.
inline constexpr std::size_t kQueueLimit = 32768;

// One queued callback, everything copied by value; no Python object.
struct Entry {
    Event event;
    bool has_data;             // the vendor passed a data record
    bool last;                 // the vendor's is-last flag
    std::uint16_t data_size;   // bytes copied into `data` (the rest is never read)
    int request_id;            // the disconnection reason for FrontDisconnected
    CThostFtdcRspInfoField info;  // all zero when the vendor passed none
    unsigned char data[kMaxEventRecord];  // read and written with memcpy only

    // The event dictionary; null with a Python exception set on failure.
    // Needs the interpreter lock.
    PyObject *build() const noexcept;
};

// A block of queue slots, filled in order.
struct Chunk {
    static constexpr std::uint32_t kSlots = 64;
    Chunk *next = nullptr;
    std::uint32_t used = 0;
    Entry entries[kSlots];
};

// Queued entries, oldest first: a list of chunks of which all but the last
// are full.  Owns its chunks.
class Queue {
public:
    Queue() noexcept = default;
    Queue(const Queue &) = delete;
    Queue &operator=(const Queue &) = delete;
    ~Queue() { clear(); }

    std::size_t size() const noexcept { return size_; }
    Chunk *head() const noexcept { return head_; }
    // Moves every chunk of `other` (emptied) into this empty queue.
    void take_from(Queue &other) noexcept;
    // Frees every chunk.
    void clear() noexcept;

private:
    friend class QueueSpi;
    Chunk *head_ = nullptr;
    Chunk *tail_ = nullptr;
    std::size_t size_ = 0;
};

// Counts the forks this process came out of as a child (0 where there is
// no fork).  A session made before the last fork belongs to the parent.
unsigned long fork_generation() noexcept;

// Keeps the vendor object alive for the requests that use it.  A request
// enters with the interpreter lock held and `api` still set, just before it
// releases the lock for the vendor call, and leaves once that call returned.
// The shutdown first nulls `api` (under the interpreter lock, so no request
// enters any more), then waits without the interpreter lock until none is
// inside, and only then releases the vendor object.
//
// Its mutex is its own: vendor callbacks never take it, and it is never held
// while calling the vendor or while waiting for the interpreter lock.
class RequestGate {
public:
    void enter() noexcept;
    // Any thread, with or without the interpreter lock.
    void leave() noexcept;
    // Blocks until no request is inside.  Without the interpreter lock.
    void drain() noexcept;
    // The vendor object has been released: wakes every wait_finished().
    void finish() noexcept;
    bool finished() noexcept;
    // Blocks until finish() ran.  Without the interpreter lock.
    void wait_finished() noexcept;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    long inside_ = 0;
    bool finished_ = false;
};

// Holds the vendor object, the queue, the overflow flag and the wake-up, and
// queues the connection callbacks and OnRspError.
class QueueSpi : public CThostFtdcTraderSpi {
public:
    ~QueueSpi() override;

    // Owning; null once the session is closed.  Read and written only with
    // the interpreter lock held.
    CThostFtdcTraderApi *api = nullptr;
    // The requests in flight on `api`.
    RequestGate gate;
    // The Python socket (socket.socket) of the wake-up's reading end, owned;
    // null once closed.  Interpreter lock only.
    PyObject *wake_reader = nullptr;

    // True in a child process that inherited the session across fork(): the
    // vendor's threads, its connection and every waiter on this session's
    // locks live in the parent, so the child treats the session as closed
    // and never touches the vendor object or the locks again.
    bool inherited() const noexcept { return born_ != fork_generation(); }

    void OnFrontConnected() override;
    void OnFrontDisconnected(int nReason) override;
    void OnRspError(CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) override;

    // Moves every queued entry into `out` (which must be empty).  False, and
    // nothing moved, once the queue has overflowed.
    bool take(Queue &out) noexcept;
    // Takes back the chunks of a converted batch (emptied) for reuse; keeps
    // a few and frees the rest.
    void recycle(Queue &batch) noexcept;

    // Makes the wake-up, before the vendor starts; false with the system's
    // error (Wakeup::last_error) when it cannot be made.
    bool open_wakeup() noexcept { return wakeup_.open(); }
    // The wake-up's reading end, handed over once (see Wakeup::take_reader).
    Wakeup::Socket take_wake_reader() noexcept { return wakeup_.take_reader(); }
    // Closes the wake-up's writing end: no event signals from now on.
    void close_wakeup() noexcept;

protected:
    // Copies a callback into an entry and appends it.  Safe on any thread.
    template <class Record>
    void push(Event event, const Record *data, const CThostFtdcRspInfoField *info, int request_id,
              bool last) noexcept {
        static_assert(sizeof(Record) <= kMaxEventRecord);
        push_raw(event, data, sizeof(Record), info, request_id, last);
    }
    void push_raw(Event event, const void *data, std::size_t size, const CThostFtdcRspInfoField *info,
                  int request_id, bool last) noexcept;

private:
    // Spare chunks kept for the next entries, at most this many.
    static constexpr std::size_t kSpareChunks = 4;

    const unsigned long born_ = fork_generation();
    std::mutex mutex_;  // guards everything below
    Queue queue_;
    Chunk *spare_ = nullptr;
    std::size_t spare_count_ = 0;
    bool overflowed_ = false;
    // Signalled when an event lands in an empty queue, and at the overflow:
    // once per burst, however many events it brings.
    Wakeup wakeup_;
};

// The session object: the callback object the vendor calls and the pointer
// the capsule holds.
class Spi final : public QueueSpi {
public:
    ~Spi() override = default;

    void OnRspAuthenticate(CThostFtdcRspAuthenticateField *pRspAuthenticateField, CThostFtdcRspInfoField *pRspInfo,
                           int nRequestID, bool bIsLast) override;
    void OnRspUserLogin(CThostFtdcRspUserLoginField *pRspUserLogin, CThostFtdcRspInfoField *pRspInfo,
                        int nRequestID, bool bIsLast) override;
    void OnRspOrderInsert(CThostFtdcInputOrderField *pInputOrder, CThostFtdcRspInfoField *pRspInfo,
                          int nRequestID, bool bIsLast) override;
    void OnRspOrderAction(CThostFtdcInputOrderActionField *pInputOrderAction, CThostFtdcRspInfoField *pRspInfo,
                          int nRequestID, bool bIsLast) override;
    void OnRspSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *pSettlementInfoConfirm,
                                    CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) override;
    void OnRspQryOrder(CThostFtdcOrderField *pOrder, CThostFtdcRspInfoField *pRspInfo, int nRequestID,
                       bool bIsLast) override;
    void OnRspQryTrade(CThostFtdcTradeField *pTrade, CThostFtdcRspInfoField *pRspInfo, int nRequestID,
                       bool bIsLast) override;
    void OnRspQryInvestorPosition(CThostFtdcInvestorPositionField *pInvestorPosition,
                                  CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) override;
    void OnRspQryTradingAccount(CThostFtdcTradingAccountField *pTradingAccount, CThostFtdcRspInfoField *pRspInfo,
                                int nRequestID, bool bIsLast) override;
    void OnRspQryInstrument(CThostFtdcInstrumentField *pInstrument, CThostFtdcRspInfoField *pRspInfo,
                            int nRequestID, bool bIsLast) override;
    void OnRtnOrder(CThostFtdcOrderField *pOrder) override;
    void OnRtnTrade(CThostFtdcTradeField *pTrade) override;
    void OnErrRtnOrderInsert(CThostFtdcInputOrderField *pInputOrder, CThostFtdcRspInfoField *pRspInfo) override;
    void OnErrRtnOrderAction(CThostFtdcOrderActionField *pOrderAction, CThostFtdcRspInfoField *pRspInfo) override;
};

// Interns the event names and the event dictionary keys, makes the events'
// shapes and starts counting forks.  Called once from module init; false
// with a Python exception set on failure.
bool init_events() noexcept;

// The benchmark's floor for `poll`: `count` "RtnOrder" events with a zero
// "error", built as `poll` builds them (copies of the same dictionary shapes,
// interned keys) but from the prebuilt `values` of the order fields, in
// table order: no queue, no record read, no value made.  A new list, or null
// with an exception set.
PyObject *floor_order_events(Py_ssize_t count, PyObject *const *values) noexcept;

}  // namespace torvo::relay
