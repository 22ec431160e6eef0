// The socket layer: the only platform-specific code of the library.  POSIX
// sockets, with a Winsock branch for 64-bit Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace traderlib::net {

#if defined(_WIN32)
using socket_t = std::uintptr_t;  // SOCKET
inline constexpr socket_t kNoSocket = ~socket_t(0);
#else
using socket_t = int;
inline constexpr socket_t kNoSocket = -1;
#endif

// A front address "tcp://host:port"; host is a name, an IPv4 address or a
// bracketed IPv6 address.
struct Endpoint {
    std::string host;
    std::string port;
};
bool parse_front(std::string_view url, Endpoint &out);

// Starts the platform's socket runtime once per process; false on failure.
bool startup();

// Wakes a thread blocked in wait() or connect_to().  Once notified it stays
// signalled: every later wait returns kWoken at once.
class Waker {
public:
    Waker();
    ~Waker();
    Waker(const Waker &) = delete;
    Waker &operator=(const Waker &) = delete;

    bool ok() const { return read_ != kNoSocket; }
    void notify();
    socket_t handle() const { return read_; }

private:
    socket_t read_ = kNoSocket;
    socket_t write_ = kNoSocket;
};

enum class WaitResult { kReady, kWoken, kTimeout, kError };

// Waits until `sock` is readable (or writable), the waker fires, or
// `timeout_ms` passes (negative waits without limit).  `sock` may be
// kNoSocket to wait on the waker alone.
WaitResult wait(socket_t sock, bool writable, const Waker &waker, int timeout_ms);

// Connects to `ep`, trying each of its addresses, within `timeout_ms` in all.
// Returns kNoSocket on failure or when woken.  The socket is blocking, has
// TCP_NODELAY and a send timeout of `send_timeout_ms`.
socket_t connect_to(const Endpoint &ep, const Waker &waker, int timeout_ms, int send_timeout_ms);

// Bytes read (> 0), 0 for an orderly close by the peer, < 0 on error.
long recv_some(socket_t sock, char *buf, std::size_t len);

// Sends everything within `timeout_ms` in all (a send that stalls after
// taking part of the data does not start the limit again); false on error or
// once the time is up.  Sets the socket's send timeout.  Never raises SIGPIPE.
bool send_all(socket_t sock, const char *data, std::size_t len, int timeout_ms);

// Ends both directions: a thread blocked reading the socket sees the end.
void shutdown_both(socket_t sock);
void close_socket(socket_t sock);

}  // namespace traderlib::net
