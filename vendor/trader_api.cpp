// The API object: its network thread, connection and retry logic, query
// admission and callback dispatch.  Wire format: PROTOCOL.md.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// This file defines the library's exported functions, so it always sees the
// header's export side (a dllimport declaration followed by a definition is
// not a valid DLL export), whoever compiles it.
#if !defined(THOST_TRADER_BUILDING)
#  define THOST_TRADER_BUILDING
#endif
#include "ThostFtdcTraderApi.h"
#include "callbacks.h"
#include "net.h"
#include "query_limiter.h"
#include "records.h"
#include "wire.h"

#if !defined(_WIN32)
#  include <pthread.h>
#endif

namespace traderlib {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char kVersion[] = "torvo stand-in trader 1.0.0";
constexpr const char kFlowFile[] = "trader.flow";

constexpr auto kRetryInterval = 1s;      // between the starts of two connection attempts
constexpr int kConnectTimeoutMs = 5000;  // one connection attempt
constexpr int kGreetingTimeoutMs = 10000;
constexpr int kSendTimeoutMs = 5000;     // per request: one the front does not take in time breaks the connection
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kDefaultQueryRate = 1;     // queries per second when the greeting names none
// Heartbeats when the greeting names none: one after a second without
// sending, and a front silent for five seconds is taken for dead.
constexpr int kDefaultHeartbeatIntervalMs = 1000;
constexpr int kDefaultHeartbeatTimeoutMs = 5000;

// Reasons passed to OnFrontDisconnected.
constexpr int kReasonClosedByFront = 1;
constexpr int kReasonReadFailed = 2;
constexpr int kReasonWriteFailed = 3;
constexpr int kReasonMalformedFrame = 4;
constexpr int kReasonHeartbeatLost = 5;

// Forks this process came out of as the child (always 0 where there is no
// fork); an object made before the last fork belongs to the parent.
std::atomic<unsigned long> g_forks{0};

#if !defined(_WIN32)
void count_fork() { g_forks.fetch_add(1, std::memory_order_relaxed); }
#endif

// Starts counting forks, once per process; false if that failed.
bool watch_forks() {
#if defined(_WIN32)
    return true;
#else
    static const bool registered = pthread_atfork(nullptr, nullptr, count_fork) == 0;
    return registered;
#endif
}

// Rounded up: a wait that ends a little early would spin until the deadline.
int ms_until(Clock::time_point t) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

class TraderApi final : public CThostFtdcTraderApi {
public:
    TraderApi() = default;

    // True in a child process that inherited this object across fork(): its
    // network thread, its connection and its waker belong to the parent, and
    // its locks may be held by the parent's threads.  Such an object is inert
    // in the child: no thread is started, joined or woken, nothing is written
    // to the connection, and it is never freed there.
    bool inherited() const { return born_ != g_forks.load(std::memory_order_relaxed); }

    bool usable() const { return waker_.ok(); }

    void Release() override;
    void Init() override;
    void RegisterFront(char *address) override;
    void RegisterSpi(CThostFtdcTraderSpi *spi) override;
    void SubscribePrivateTopic(THOST_TE_RESUME_TYPE type, int flag) override {
        private_topic_ = type;
        private_flag_ = flag;
    }
    void SubscribePublicTopic(THOST_TE_RESUME_TYPE type) override { public_topic_ = type; }

    int ReqAuthenticate(CThostFtdcReqAuthenticateField *r, int id) override {
        return send_request("ReqAuthenticate", r, id, false);
    }
    int ReqUserLogin(CThostFtdcReqUserLoginField *r, int id) override {
        return send_request("ReqUserLogin", r, id, false);
    }
    int ReqSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *r, int id) override {
        return send_request("ReqSettlementInfoConfirm", r, id, false);
    }
    int ReqQryOrder(CThostFtdcQryOrderField *r, int id) override {
        return send_request("ReqQryOrder", r, id, true);
    }
    int ReqQryTrade(CThostFtdcQryTradeField *r, int id) override {
        return send_request("ReqQryTrade", r, id, true);
    }
    int ReqQryInvestorPosition(CThostFtdcQryInvestorPositionField *r, int id) override {
        return send_request("ReqQryInvestorPosition", r, id, true);
    }
    int ReqQryTradingAccount(CThostFtdcQryTradingAccountField *r, int id) override {
        return send_request("ReqQryTradingAccount", r, id, true);
    }
    int ReqQryInstrument(CThostFtdcQryInstrumentField *r, int id) override {
        return send_request("ReqQryInstrument", r, id, true);
    }
    int ReqOrderInsert(CThostFtdcInputOrderField *r, int id) override {
        return send_request("ReqOrderInsert", r, id, false);
    }
    int ReqOrderAction(CThostFtdcInputOrderActionField *r, int id) override {
        return send_request("ReqOrderAction", r, id, false);
    }

private:
    ~TraderApi() override = default;

    template <class R> int send_request(std::string_view name, const R *record, int request_id, bool query);

    void thread_main();
    void run();
    bool session(net::socket_t sock);
    int read_frames(bool &greeted);
    // Sends a heartbeat when nothing was sent for an interval; a disconnect
    // reason when that send failed, or 0.
    int keep_alive(Clock::time_point now);
    template <class F> void with_spi(F &&call);

    const unsigned long born_ = g_forks.load(std::memory_order_relaxed);
    // Stop request; the waker interrupts every wait of the network thread.
    std::atomic<bool> stop_{false};
    net::Waker waker_;
    std::thread thread_;
    bool released_on_thread_ = false;  // Release() called from a callback

    std::mutex fronts_mutex_;  // guards fronts_ and started_
    std::vector<net::Endpoint> fronts_;
    bool started_ = false;

    // Held while a callback runs, so unregistering the spi waits for it.
    // Recursive: a callback may itself call RegisterSpi.
    std::recursive_mutex spi_mutex_;
    CThostFtdcTraderSpi *spi_ = nullptr;

    // Guards the socket as seen by senders, the connection state and the
    // query window.  The network thread alone opens and closes the socket.
    std::mutex io_mutex_;
    net::socket_t sock_ = net::kNoSocket;
    bool connected_ = false;     // greeted and not broken
    bool write_failed_ = false;  // a send failed and shut the socket down
    QueryLimiter limiter_;
    Clock::time_point last_sent_{};  // the last frame sent on this connection

    // The greeting's heartbeat settings; network thread only.  An interval
    // of 0 sends no heartbeats and never times out.
    int heartbeat_interval_ms_ = kDefaultHeartbeatIntervalMs;
    int heartbeat_timeout_ms_ = kDefaultHeartbeatTimeoutMs;

    THOST_TE_RESUME_TYPE private_topic_ = THOST_TERT_RESTART;
    int private_flag_ = 1;
    THOST_TE_RESUME_TYPE public_topic_ = THOST_TERT_RESTART;

    // Network thread only.
    FrameStream stream_;
    Message msg_;
};

void TraderApi::Init() {
    if (inherited()) return;
    std::lock_guard<std::mutex> lock(fronts_mutex_);
    if (started_) return;
    try {
        thread_ = std::thread(&TraderApi::thread_main, this);
        started_ = true;
    } catch (...) {
        // No thread: the object stays unconnected and every request returns -1.
    }
}

void TraderApi::Release() {
    if (inherited()) return;  // the parent's thread and waker: left alone, and the object with them
    stop_.store(true);
    waker_.notify();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            // Called from a callback: the thread frees the object on its way out.
            released_on_thread_ = true;
            thread_.detach();
            return;
        }
        thread_.join();
    }
    delete this;
}

void TraderApi::RegisterFront(char *address) {
    net::Endpoint ep;
    if (inherited() || address == nullptr || !net::parse_front(address, ep)) return;  // never reachable
    std::lock_guard<std::mutex> lock(fronts_mutex_);
    fronts_.push_back(std::move(ep));
}

void TraderApi::RegisterSpi(CThostFtdcTraderSpi *spi) {
    if (inherited()) return;  // no callback runs in the child anyway
    std::lock_guard<std::recursive_mutex> lock(spi_mutex_);
    spi_ = spi;
}

template <class F> void TraderApi::with_spi(F &&call) {
    std::lock_guard<std::recursive_mutex> lock(spi_mutex_);
    if (spi_ == nullptr || stop_.load()) return;
    try {
        call(*spi_);
    } catch (...) {
        // An exception must not end the network thread (and the process).
    }
}

template <class R>
int TraderApi::send_request(std::string_view name, const R *record, int request_id, bool query) {
    if (inherited()) return -1;  // the connection is the parent's
    thread_local std::string frame;
    try {
        frame.clear();
        encode_request(frame, name, record_desc<R>(), record, request_id);
    } catch (...) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(io_mutex_);
    if (!connected_) return -1;
    if (query && !limiter_.admit(Clock::now())) return -3;
    if (!net::send_all(sock_, frame.data(), frame.size(), kSendTimeoutMs)) {
        // The network thread sees the shut socket and reports the disconnect.
        write_failed_ = true;
        connected_ = false;
        net::shutdown_both(sock_);
        return -1;
    }
    last_sent_ = Clock::now();
    return 0;
}

int TraderApi::keep_alive(Clock::time_point now) {
    thread_local std::string frame;
    std::lock_guard<std::mutex> lock(io_mutex_);
    if (!connected_ || now - last_sent_ < std::chrono::milliseconds(heartbeat_interval_ms_)) return 0;
    if (frame.empty()) encode_heartbeat(frame);
    if (!net::send_all(sock_, frame.data(), frame.size(), kSendTimeoutMs)) {
        write_failed_ = true;
        connected_ = false;
        return kReasonWriteFailed;
    }
    last_sent_ = now;
    return 0;
}

void TraderApi::thread_main() {
    run();
    if (released_on_thread_) delete this;
}

void TraderApi::run() {
    std::size_t next = 0;
    Clock::time_point last_attempt{};
    bool first = true;
    while (!stop_.load()) {
        if (!first && net::wait(net::kNoSocket, false, waker_, ms_until(last_attempt + kRetryInterval)) ==
                          net::WaitResult::kWoken)
            break;
        first = false;
        last_attempt = Clock::now();
        net::Endpoint ep;
        {
            std::lock_guard<std::mutex> lock(fronts_mutex_);
            if (fronts_.empty()) continue;
            ep = fronts_[next % fronts_.size()];
        }
        const net::socket_t sock = net::connect_to(ep, waker_, kConnectTimeoutMs, kSendTimeoutMs);
        // A front that refused us or never greeted: try the next one.  After a
        // working session the same front is tried again first.
        if (sock == net::kNoSocket || !session(sock)) ++next;
    }
}

// Runs one connection until it ends; true when the front greeted.
bool TraderApi::session(net::socket_t sock) {
    {
        std::lock_guard<std::mutex> lock(io_mutex_);
        sock_ = sock;
        connected_ = false;
        write_failed_ = false;
    }
    stream_.clear();
    heartbeat_interval_ms_ = kDefaultHeartbeatIntervalMs;
    heartbeat_timeout_ms_ = kDefaultHeartbeatTimeoutMs;
    bool greeted = false;
    int reason = 0;
    const auto greeting_deadline = Clock::now() + std::chrono::milliseconds(kGreetingTimeoutMs);
    Clock::time_point last_received = Clock::now();
    while (reason == 0 && !stop_.load()) {
        // Before the greeting: its deadline.  After it: the next heartbeat
        // due, or the moment the front's silence passes the limit.
        int timeout = -1;
        const bool beating = greeted && heartbeat_interval_ms_ > 0;
        if (!greeted) {
            timeout = ms_until(greeting_deadline);
        } else if (beating) {
            Clock::time_point next_beat;
            {
                std::lock_guard<std::mutex> lock(io_mutex_);
                next_beat = last_sent_ + std::chrono::milliseconds(heartbeat_interval_ms_);
            }
            timeout = std::min(ms_until(next_beat),
                               ms_until(last_received + std::chrono::milliseconds(heartbeat_timeout_ms_)));
        }
        const net::WaitResult w = net::wait(sock, false, waker_, timeout);
        if (w == net::WaitResult::kWoken) break;
        if (w == net::WaitResult::kTimeout && beating) {
            const Clock::time_point now = Clock::now();
            if (now - last_received >= std::chrono::milliseconds(heartbeat_timeout_ms_)) {
                reason = kReasonHeartbeatLost;
            } else {
                reason = keep_alive(now);
            }
            continue;
        }
        if (w != net::WaitResult::kReady) {
            reason = kReasonReadFailed;  // greeting timed out, or the wait itself failed
            break;
        }
        std::span<char> buf = stream_.spare(kReadChunk);
        const long n = net::recv_some(sock, buf.data(), buf.size());
        if (n == 0) {
            reason = kReasonClosedByFront;
        } else if (n < 0) {
            reason = kReasonReadFailed;
        } else {
            last_received = Clock::now();
            stream_.commit(static_cast<std::size_t>(n));
            reason = read_frames(greeted);
            // A link busy with the front's data still needs our heartbeat.
            if (reason == 0 && greeted && heartbeat_interval_ms_ > 0) reason = keep_alive(last_received);
        }
    }
    {
        std::lock_guard<std::mutex> lock(io_mutex_);
        if (write_failed_) reason = kReasonWriteFailed;
        connected_ = false;
        sock_ = net::kNoSocket;
        net::close_socket(sock);
    }
    if (greeted) with_spi([reason](CThostFtdcTraderSpi &spi) { spi.OnFrontDisconnected(reason); });
    return greeted;
}

// Handles every complete frame received; a disconnect reason, or 0.
int TraderApi::read_frames(bool &greeted) {
    std::string_view body;
    while (!stop_.load()) {
        switch (stream_.next(body)) {
        case FrameStream::kNeedMore: return 0;
        case FrameStream::kBad: return kReasonMalformedFrame;
        case FrameStream::kFrame: break;
        }
        if (!parse_frame(body, msg_)) return kReasonMalformedFrame;
        if (msg_.kind == kGreeting) {
            int rate = kDefaultQueryRate;
            int interval = kDefaultHeartbeatIntervalMs;
            int limit = kDefaultHeartbeatTimeoutMs;
            if (msg_.has_data)
                for (const WireField &f : msg_.fields) {
                    if (f.type != 'i') continue;
                    if (f.key == "QueryRate") rate = f.i;
                    if (f.key == "HeartbeatInterval") interval = f.i;
                    if (f.key == "HeartbeatTimeout") limit = f.i;
                }
            if (rate < 0 || interval < 0 || (interval > 0 && limit <= interval)) return kReasonMalformedFrame;
            heartbeat_interval_ms_ = interval;
            heartbeat_timeout_ms_ = limit;
            {
                std::lock_guard<std::mutex> lock(io_mutex_);
                if (write_failed_) return kReasonWriteFailed;
                limiter_.reset(rate);
                connected_ = true;
                if (!greeted) last_sent_ = Clock::now();
            }
            if (!greeted) {
                greeted = true;
                with_spi([](CThostFtdcTraderSpi &spi) { spi.OnFrontConnected(); });
            }
        } else if (msg_.kind == kCallback && greeted) {
            if (Invoker invoke = find_callback(msg_.name))
                with_spi([invoke, this](CThostFtdcTraderSpi &spi) { invoke(spi, msg_); });
        } else if (msg_.kind == kHeartbeat && greeted) {
            // Its arrival is what counts; it is never answered.
        } else {
            return kReasonMalformedFrame;  // a request frame, or a callback before the greeting
        }
    }
    return 0;
}

}  // namespace
}  // namespace traderlib

CThostFtdcTraderApi *CThostFtdcTraderApi::CreateFtdcTraderApi(const char *pszFlowPath, bool bIsProductionMode) {
    (void)bIsProductionMode;
    if (!traderlib::net::startup() || !traderlib::watch_forks()) return nullptr;
    try {
        std::string path = pszFlowPath != nullptr ? pszFlowPath : "";
        if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
        path += traderlib::kFlowFile;
        // Writing the flow file is also the test that the directory exists
        // and is writable.
        std::FILE *f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) return nullptr;
        const bool written = std::fprintf(f, "%s\n", traderlib::kVersion) > 0;
        if (std::fclose(f) != 0 || !written) return nullptr;

        auto *api = new traderlib::TraderApi();
        if (!api->usable()) {
            api->Release();
            return nullptr;
        }
        return api;
    } catch (...) {
        return nullptr;
    }
}

const char *CThostFtdcTraderApi::GetApiVersion() { return traderlib::kVersion; }
