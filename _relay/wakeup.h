// The wake-up of a bridge session: a connected pair of stream sockets.  The
// vendor's threads write one byte into one end when the event queue goes from
// empty to not empty (or overflows); the session's event loop awaits the other
// end, so a return is handled as soon as it is queued instead of on the next
// timed pass.
//
// Sockets, because a socket is what every asyncio loop can await: the
// selector loops and uvloop by readiness, the Windows proactor by an
// overlapped receive (it has no `add_reader`).  A pipe or an eventfd would
// leave the proactor out.
//
// Nothing here includes Python.h: this file is compiled for Windows as it is.
#pragma once

#include <cstdint>

namespace torvo::relay {

class Wakeup {
public:
    // A socket as the operating system numbers it (a SOCKET on Windows).
    using Socket = std::intptr_t;
    static constexpr Socket kNoSocket = -1;

    Wakeup() noexcept = default;
    Wakeup(const Wakeup &) = delete;
    Wakeup &operator=(const Wakeup &) = delete;
    ~Wakeup() { close(); }

    // Makes the pair: both ends non-blocking and not inherited by child
    // processes.  False, with the system's error left in errno (or
    // WSAGetLastError), when it cannot be made.
    bool open() noexcept;

    // Writes one byte into the writing end.  Any thread; never blocks.  A full
    // socket buffer already holds a wake-up the reader has not seen, so a
    // byte that does not fit is not needed.  Does nothing once closed.
    void signal() noexcept;

    // Hands the reading end over: the caller closes it from now on.
    // kNoSocket once taken or closed.
    Socket take_reader() noexcept;

    // Closes the ends still held.  The caller guarantees that no signal() runs
    // at the same time.
    void close() noexcept;

    // Closes a socket handed over by take_reader().
    static void close_socket(Socket s) noexcept;

    // The system's code of the last failed call on this thread (errno, or
    // WSAGetLastError on Windows).
    static int last_error() noexcept;

private:
    Socket reader_ = kNoSocket;
    Socket writer_ = kNoSocket;
    bool started_ = false;  // Windows: the socket library was started for us
};

}  // namespace torvo::relay
