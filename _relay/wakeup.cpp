// The wake-up's socket pair: made, written and closed with the operating
// system's calls only (no Python.h), for POSIX systems and for Windows.
#include "wakeup.h"

#include <utility>

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
#  include <sys/socket.h>
#  include <unistd.h>
#endif

namespace torvo::relay {

namespace {

#if defined(_WIN32)

SOCKET native(Wakeup::Socket s) noexcept { return static_cast<SOCKET>(s); }

void close_native(Wakeup::Socket s) noexcept { closesocket(native(s)); }

bool set_nonblocking(SOCKET s) noexcept {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}

// Windows has no socketpair(): a listener on the loopback interface accepts
// one connection from a socket of ours, and is closed again.  The accepted
// peer must be that very socket, not another local program that connected
// first.
bool make_pair(Wakeup::Socket &reader, Wakeup::Socket &writer) noexcept {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) return false;
    SOCKET client = INVALID_SOCKET;
    SOCKET server = INVALID_SOCKET;
    bool made = false;
    int error = 0;  // the failing call's code, kept past the clean-up's calls
    do {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        int length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) break;
        if (getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) break;
        if (listen(listener, 1) != 0) break;
        client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (client == INVALID_SOCKET) break;
        if (connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) break;
        server = accept(listener, nullptr, nullptr);
        if (server == INVALID_SOCKET) break;
        sockaddr_in mine{}, theirs{};
        int mine_length = sizeof mine, theirs_length = sizeof theirs;
        if (getsockname(client, reinterpret_cast<sockaddr *>(&mine), &mine_length) != 0 ||
            getpeername(server, reinterpret_cast<sockaddr *>(&theirs), &theirs_length) != 0 ||
            mine.sin_port != theirs.sin_port || mine.sin_addr.s_addr != theirs.sin_addr.s_addr) {
            error = WSAECONNREFUSED;  // another program's connection came first
            break;
        }
        // Not inherited by child processes.
        SetHandleInformation(reinterpret_cast<HANDLE>(client), HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(reinterpret_cast<HANDLE>(server), HANDLE_FLAG_INHERIT, 0);
        if (!set_nonblocking(client) || !set_nonblocking(server)) break;
        made = true;
    } while (false);
    if (!made && error == 0) error = WSAGetLastError();
    closesocket(listener);
    if (!made) {
        if (client != INVALID_SOCKET) closesocket(client);
        if (server != INVALID_SOCKET) closesocket(server);
        WSASetLastError(error);
        return false;
    }
    // One byte at a time: no delay for the writer's small sends.
    BOOL on = TRUE;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
    reader = static_cast<Wakeup::Socket>(server);
    writer = static_cast<Wakeup::Socket>(client);
    return true;
}

void send_byte(Wakeup::Socket writer) noexcept {
    const char byte = 1;
    send(native(writer), &byte, 1, 0);
}

#else

void close_native(Wakeup::Socket s) noexcept { ::close(static_cast<int>(s)); }

bool prepare(int fd) noexcept {
    const int flags = fcntl(fd, F_GETFL);
    return flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

bool make_pair(Wakeup::Socket &reader, Wakeup::Socket &writer) noexcept {
    int fds[2];
#  if defined(SOCK_CLOEXEC) && defined(SOCK_NONBLOCK)
    // Made so at once: no window for a fork and exec on another thread.
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) return false;
#  else
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
#  endif
    if (!prepare(fds[0]) || !prepare(fds[1])) {
        const int saved = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        errno = saved;
        return false;
    }
#  if defined(SO_NOSIGPIPE)
    const int on = 1;
    setsockopt(fds[1], SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#  endif
    reader = fds[0];
    writer = fds[1];
    return true;
}

void send_byte(Wakeup::Socket writer) noexcept {
    const char byte = 1;
#  if defined(MSG_NOSIGNAL)
    constexpr int flags = MSG_NOSIGNAL;  // a reader closed early is no signal to die of
#  else
    constexpr int flags = 0;  // SO_NOSIGPIPE is set on the socket instead
#  endif
    // Non-blocking: EAGAIN means the buffer is full of unread wake-ups.
    (void)send(static_cast<int>(writer), &byte, 1, flags);
}

#endif

}  // namespace

bool Wakeup::open() noexcept {
    if (writer_ != kNoSocket) return true;
#if defined(_WIN32)
    if (!started_) {
        WSADATA data;
        if (const int code = WSAStartup(MAKEWORD(2, 2), &data); code != 0) {
            WSASetLastError(code);
            return false;
        }
        started_ = true;
    }
#endif
    return make_pair(reader_, writer_);
}

void Wakeup::signal() noexcept {
    if (writer_ != kNoSocket) send_byte(writer_);
}

void Wakeup::close_socket(Socket s) noexcept {
    if (s != kNoSocket) close_native(s);
}

int Wakeup::last_error() noexcept {
#if defined(_WIN32)
    return WSAGetLastError();
#else
    return errno;
#endif
}

Wakeup::Socket Wakeup::take_reader() noexcept { return std::exchange(reader_, kNoSocket); }

void Wakeup::close() noexcept {
    if (Socket s = std::exchange(reader_, kNoSocket); s != kNoSocket) close_native(s);
    if (Socket s = std::exchange(writer_, kNoSocket); s != kNoSocket) close_native(s);
#if defined(_WIN32)
    if (std::exchange(started_, false)) WSACleanup();
#endif
}

}  // namespace torvo::relay
