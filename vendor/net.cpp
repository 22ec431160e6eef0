// The socket layer for POSIX and Winsock: addresses, connecting, waiting, sending.
#include "net.h"

#include <chrono>
#include <cstring>

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <winsock2.h>
#  include <ws2tcpip.h>
#else
#  include <cerrno>
#  include <fcntl.h>
#  include <netdb.h>
#  include <netinet/in.h>
#  include <netinet/tcp.h>
#  include <poll.h>
#  include <sys/socket.h>
#  include <sys/time.h>
#  include <unistd.h>
#endif

namespace traderlib::net {

bool parse_front(std::string_view url, Endpoint &out) {
    constexpr std::string_view scheme = "tcp://";
    if (url.substr(0, scheme.size()) != scheme) return false;
    url.remove_prefix(scheme.size());
    while (!url.empty() && url.back() == '/') url.remove_suffix(1);
    std::string_view host;
    std::string_view port;
    if (!url.empty() && url.front() == '[') {
        const std::size_t close = url.find(']');
        if (close == std::string_view::npos || close + 1 >= url.size() || url[close + 1] != ':') return false;
        host = url.substr(1, close - 1);
        port = url.substr(close + 2);
    } else {
        const std::size_t colon = url.rfind(':');
        if (colon == std::string_view::npos) return false;
        host = url.substr(0, colon);
        port = url.substr(colon + 1);
        if (host.find(':') != std::string_view::npos) return false;
    }
    if (host.empty() || port.empty() || port.size() > 5) return false;
    unsigned value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + unsigned(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    out.host.assign(host);
    out.port.assign(port);
    return true;
}

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

#if defined(_WIN32)

SOCKET as_native(socket_t s) { return static_cast<SOCKET>(s); }

bool set_blocking(socket_t s, bool blocking) {
    u_long nonblocking = blocking ? 0 : 1;
    return ioctlsocket(as_native(s), FIONBIO, &nonblocking) == 0;
}

bool connect_in_progress() { return WSAGetLastError() == WSAEWOULDBLOCK; }

void set_send_timeout(socket_t s, int ms) {
    DWORD value = static_cast<DWORD>(ms);
    setsockopt(as_native(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&value), sizeof value);
}

socket_t open_socket(int family, int type, int protocol) {
    SOCKET s = ::socket(family, type, protocol);
    return s == INVALID_SOCKET ? kNoSocket : static_cast<socket_t>(s);
}

#else

bool set_blocking(socket_t s, bool blocking) {
    const int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0) return false;
    return fcntl(s, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK)) == 0;
}

bool connect_in_progress() { return errno == EINPROGRESS || errno == EINTR; }

void set_send_timeout(socket_t s, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

socket_t open_socket(int family, int type, int protocol) {
#  ifdef SOCK_CLOEXEC
    type |= SOCK_CLOEXEC;
#  endif
    const int s = ::socket(family, type, protocol);
    if (s < 0) return kNoSocket;
#  ifndef SOCK_CLOEXEC
    fcntl(s, F_SETFD, FD_CLOEXEC);
#  endif
#  ifdef SO_NOSIGPIPE
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#  endif
    return s;
}

#endif

}  // namespace

#if defined(_WIN32)

bool startup() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// Winsock has no pipes that select() accepts: the waker is a UDP socket on
// the loopback interface connected to itself.
Waker::Waker() {
    socket_t s = open_socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == kNoSocket) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (bind(as_native(s), reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
        getsockname(as_native(s), reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
        connect(as_native(s), reinterpret_cast<sockaddr *>(&addr), len) != 0 || !set_blocking(s, false)) {
        closesocket(as_native(s));
        return;
    }
    read_ = write_ = s;
}

Waker::~Waker() {
    if (read_ != kNoSocket) closesocket(as_native(read_));
}

void Waker::notify() {
    if (write_ != kNoSocket) send(as_native(write_), "x", 1, 0);
}

WaitResult wait(socket_t sock, bool writable, const Waker &waker, int timeout_ms) {
    fd_set rd, wr, ex;
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    FD_SET(as_native(waker.handle()), &rd);
    if (sock != kNoSocket) {
        FD_SET(as_native(sock), writable ? &wr : &rd);
        FD_SET(as_native(sock), &ex);  // a failed connect is reported here
    }
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int n = select(0, &rd, &wr, &ex, timeout_ms < 0 ? nullptr : &tv);
    if (n < 0) return WaitResult::kError;
    if (FD_ISSET(as_native(waker.handle()), &rd)) return WaitResult::kWoken;
    if (n == 0) return WaitResult::kTimeout;
    return WaitResult::kReady;
}

long recv_some(socket_t sock, char *buf, std::size_t len) {
    const int cap = len > 0x40000000 ? 0x40000000 : static_cast<int>(len);
    return recv(as_native(sock), buf, cap, 0);
}

bool send_all(socket_t sock, const char *data, std::size_t len, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (len > 0) {
        const int left = remaining_ms(deadline);
        if (left == 0) return false;
        set_send_timeout(sock, left);  // what is left of the limit, for this call
        const int chunk = len > 0x40000000 ? 0x40000000 : static_cast<int>(len);
        const int n = send(as_native(sock), data, chunk, 0);
        if (n <= 0) return false;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

void shutdown_both(socket_t sock) { shutdown(as_native(sock), SD_BOTH); }
void close_socket(socket_t sock) { closesocket(as_native(sock)); }

#else

bool startup() { return true; }

Waker::Waker() {
    int fds[2];
    if (pipe(fds) != 0) return;
    for (int fd : fds) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
    }
    read_ = fds[0];
    write_ = fds[1];
}

Waker::~Waker() {
    if (read_ != kNoSocket) ::close(read_);
    if (write_ != kNoSocket) ::close(write_);
}

void Waker::notify() {
    if (write_ == kNoSocket) return;
    const char byte = 'x';
    // A full pipe is still signalled; nothing else can go wrong that matters.
    [[maybe_unused]] ssize_t n = ::write(write_, &byte, 1);
}

WaitResult wait(socket_t sock, bool writable, const Waker &waker, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        pollfd fds[2] = {};
        fds[0].fd = waker.handle();
        fds[0].events = POLLIN;
        fds[1].fd = sock;  // a negative descriptor is ignored by poll
        fds[1].events = writable ? POLLOUT : POLLIN;
        const int n = poll(fds, 2, timeout_ms < 0 ? -1 : remaining_ms(deadline));
        if (n < 0) {
            if (errno == EINTR) continue;
            return WaitResult::kError;
        }
        if (fds[0].revents != 0) return WaitResult::kWoken;
        if (n == 0) return WaitResult::kTimeout;
        return WaitResult::kReady;  // readable, writable, hung up or failed: the next call tells
    }
}

long recv_some(socket_t sock, char *buf, std::size_t len) {
    for (;;) {
        const ssize_t n = ::recv(sock, buf, len, 0);
        if (n < 0 && errno == EINTR) continue;
        return static_cast<long>(n);
    }
}

bool send_all(socket_t sock, const char *data, std::size_t len, int timeout_ms) {
#  ifdef MSG_NOSIGNAL
    constexpr int flags = MSG_NOSIGNAL;
#  else
    constexpr int flags = 0;  // SO_NOSIGPIPE is set on the socket instead
#  endif
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (len > 0) {
        const int left = remaining_ms(deadline);
        if (left == 0) return false;
        set_send_timeout(sock, left);  // what is left of the limit, for this call
        const ssize_t n = ::send(sock, data, len, flags);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

void shutdown_both(socket_t sock) { ::shutdown(sock, SHUT_RDWR); }
void close_socket(socket_t sock) { ::close(sock); }

#endif

socket_t connect_to(const Endpoint &ep, const Waker &waker, int timeout_ms, int send_timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *list = nullptr;
    if (getaddrinfo(ep.host.c_str(), ep.port.c_str(), &hints, &list) != 0) return kNoSocket;

    socket_t result = kNoSocket;
    for (addrinfo *ai = list; ai != nullptr && result == kNoSocket; ai = ai->ai_next) {
        const socket_t s = open_socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (s == kNoSocket) continue;
        bool ok = set_blocking(s, false);
        if (ok && ::connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0) {
            ok = connect_in_progress() && wait(s, true, waker, remaining_ms(deadline)) == WaitResult::kReady;
            if (ok) {
                int err = 0;
                socklen_t len = sizeof err;
                ok = getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err), &len) == 0 && err == 0;
            }
        }
        if (ok) ok = set_blocking(s, true);
        if (!ok) {
            close_socket(s);
            if (wait(kNoSocket, false, waker, 0) == WaitResult::kWoken || remaining_ms(deadline) == 0) break;
            continue;
        }
        const int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
        set_send_timeout(s, send_timeout_ms);
        result = s;
    }
    freeaddrinfo(list);
    return result;
}

}  // namespace traderlib::net
