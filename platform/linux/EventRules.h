// SPDX-License-Identifier: MIT
// Internal to the platform layer: the Windows network-event rules of WSAAsyncSelect,
// one function per event. Each decides, from what is known of a socket (SocketFacts)
// and what just happened to it (Trigger), whether its event is owed now, later, or
// not while these facts hold. Nothing here touches a descriptor, so a table of facts
// and triggers can drive the rules without sockets.
//
// The socket record (SocketRecord.h) gathers the facts, asks the rules, posts what is
// owed now and has its watch (SocketWatch.h) look for what is owed later.
//
// The rules, as Windows documents them:
// - one message per event until the call that re-enables it: recv or recvfrom for
//   FD_READ, send or sendto for FD_WRITE, accept for FD_ACCEPT (SocketRecord::Deliver
//   keeps this, by the armed events);
// - a message at once for a condition that already holds at registration or at the
//   re-enabling call;
// - FD_READ while data waits; FD_WRITE at registration when a send is possible, after
//   a connect, and after a send that failed with 10035 once room returns (not after a
//   send that took only part: the next one says 10035 or takes more); FD_ACCEPT while a
//   connection waits; FD_CONNECT with the outcome of a connect; FD_CLOSE once, after
//   the peer's close once every byte was read, or with 10054 on a reset.
#pragma once

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cstdint>

#include "platform/WinTypes.h"

namespace platform::detail {

enum class SocketPhase : uint8_t {
    Fresh,        // stream socket, neither connected nor listening
    Connecting,   // non-blocking connect under way
    Connected,    // stream connected, or any datagram socket
    Listening,
    Failed,       // a connect attempt failed
};

// What the rules read of a socket. The record keeps these and changes them only
// through its verbs; the first fields are what every notification and receive reads.
struct SocketFacts {
    long mask = 0;              // the events registered with WSAAsyncSelect; 0: none
    long armed = 0;             // registered events that may be posted: posting one disarms it
    int resetError = 0;         // the Windows number of a reset: the kernel tells of one only once
    SocketPhase phase = SocketPhase::Fresh;
    bool datagram = false;
    bool nonBlocking = false;   // made non-blocking by the layer (a registration, or an accept)
    bool finSeen = false;       // epoll reported the peer's close
    bool atEnd = false;         // the peer closed and every byte it sent has been read
    bool closeTold = false;     // FD_CLOSE was owed under this registration or connect: never again
    bool shutSend = false;
    bool shutRecv = false;      // a stream's read side is shut here: no FD_READ or FD_CLOSE any more
    bool writeWanted = false;   // a send failed with 10035: FD_WRITE is owed once room returns
    bool acceptPaused = false;  // out of descriptors: the listener rests (SocketRecord::PauseAccepting)
    bool fetched = false;       // a connection fetched ahead of accept waits, or the failure fetching met
};


// The bytes the socket holds unread. Knowing them costs a system call (FIONREAD), so a
// rule asks only when its answer depends on them, and the kernel is asked at most once
// per trigger. A test hands the count in.
class UnreadBytes {
public:
    static UnreadBytes Of(int fd) { return UnreadBytes(fd, 0); }
    static UnreadBytes Known(int count) { return UnreadBytes(-1, count); }
    int  Count() const;
    bool Asked() const { return m_asked; }

private:
    UnreadBytes(int fd, int count) : m_fd(fd), m_count(count) {}
    int m_fd;
    mutable int m_count;
    mutable bool m_asked = false;
};

// What just happened to the socket.
struct Trigger {
    enum class Kind : uint8_t {
        Watch,         // nothing: what is to be looked for (Later) and what is not (Never)
        Registration,  // WSAAsyncSelect registered it: every registered event is armed afresh
        Connect,       // a connect attempt ended; `error` is its outcome (0: connected)
        Report,        // epoll reported `events` (the facts already hold what the report told)
        Receive,       // recv or recvfrom returned `result` (-1: failed) for `length` bytes, `flags`
        Accept,        // accept was called: FD_ACCEPT is re-enabled
        WatchFailed,   // the socket cannot be watched any more; `error` says why
    };

    static Trigger Watch(UnreadBytes unread) { return {Kind::Watch, 0, 0, 0, 0, 0, unread}; }
    static Trigger Registration() { return {Kind::Registration, 0, 0, 0, 0, 0, UnreadBytes::Known(0)}; }
    static Trigger Connect(int error) { return {Kind::Connect, 0, error, 0, 0, 0, UnreadBytes::Known(0)}; }
    static Trigger Report(uint32_t events, UnreadBytes unread) { return {Kind::Report, events, 0, 0, 0, 0, unread}; }
    static Trigger Receive(int result, int length, int flags, UnreadBytes unread) {
        return {Kind::Receive, 0, 0, result, length, flags, unread};
    }
    static Trigger Accept() { return {Kind::Accept, 0, 0, 0, 0, 0, UnreadBytes::Known(0)}; }
    static Trigger WatchFailed(int error) { return {Kind::WatchFailed, 0, error, 0, 0, 0, UnreadBytes::Known(0)}; }

    Kind kind;
    uint32_t events;
    int error;
    int result;
    int length;
    int flags;
    UnreadBytes unread;
};

enum class Owed : uint8_t {
    Never,  // not while these facts hold: a call of the application changes them
    Later,  // once the kernel reports the condition: the watch looks for it
    Now,    // the condition holds: posted now, if registered and armed (SocketRecord::Deliver),
            // and what it tells (the end of the connection, the room a 10035 waited for) is
            // noted even when nobody is told
};

// The events in the order a trigger tells them: the outcome of a connect before the
// FD_WRITE it brings, data before the close that follows it.
inline constexpr long kEventOrder[] = {FD_CONNECT, FD_ACCEPT, FD_READ, FD_CLOSE, FD_WRITE};

// ---- The rules ----
//
// One function per event. Each answers Now, Later or Never; a trigger other than Watch
// answers Now, or else what Watch answers for the same facts. They stand here, inline,
// because every notification and every receive asks them: the trigger a caller makes
// is known where it is made, and the compiler drops the cases it cannot be.
namespace rules {

using Kind = Trigger::Kind;

inline constexpr uint32_t kPeerClosed = EPOLLRDHUP | EPOLLHUP;

inline bool Registered(const SocketFacts& f, long event) { return (f.mask & event) != 0; }
inline bool Armed(const SocketFacts& f, long event) { return (f.armed & event) != 0; }
inline bool ConnectedStream(const SocketFacts& f) { return f.phase == SocketPhase::Connected && !f.datagram; }

// A receive that took all it asked for may have left more behind; a peek takes nothing.
inline bool MayHaveLeftData(const Trigger& t) { return t.result > 0 && (t.result == t.length || (t.flags & MSG_PEEK)); }
// A receive that failed, or asked for nothing, tells nothing of what waits.
inline bool ToldNothing(const Trigger& t) { return t.result < 0 || t.length == 0; }


// A connected stream registered for FD_READ whose end is not known yet: what a receive
// leaves behind is told by the receive itself, so such a socket is watched
// edge-triggered and a receive needs no epoll call.
inline bool ReceivesTellWhatIsLeft(const SocketFacts& f) {
    return Registered(f, FD_READ) && ConnectedStream(f) && !f.closeTold && !f.shutRecv && f.resetError == 0;
}

// A listener registered for FD_ACCEPT fetches the connection an FD_ACCEPT announces
// before posting it: it is watched edge-triggered, and each accept call takes the one
// fetched and fetches the next (SocketWatch::Fetch).
inline bool FetchesAhead(const SocketFacts& f) {
    return f.phase == SocketPhase::Listening && Registered(f, FD_ACCEPT) && f.nonBlocking;
}

// FD_READ: while data waits, once per receive.
inline Owed ReadOwed(const SocketFacts& f, const Trigger& t) {
    if (f.phase != SocketPhase::Connected || !Registered(f, FD_READ)) return Owed::Never;
    if (!f.datagram && f.shutRecv) return Owed::Never;  // a stream's own shutdown ends its reads
    switch (t.kind) {
        case Kind::Report:
            if (f.datagram) {
                // An error on a datagram socket is a reset the next receive reports.
                if (t.events & (EPOLLIN | EPOLLERR)) return Owed::Now;
            } else if (t.events & (kPeerClosed | EPOLLERR)) {
                // A close or a reset may come with nothing left to read: ask the socket.
                if (t.unread.Count() > 0) return Owed::Now;
            } else if (t.events & EPOLLIN) {
                return Owed::Now;  // plain IN means data
            }
            break;
        case Kind::Receive:
            // A reading stream knows from the receive what it left; any other socket has
            // the kernel look again.
            if (!ReceivesTellWhatIsLeft(f)) break;
            if (MayHaveLeftData(t)) return Owed::Now;
            if (ToldNothing(t) && t.unread.Count() > 0) return Owed::Now;
            return Owed::Later;  // took the last of it: the next arrival is an edge of its own
        default:
            break;
    }
    if (!Armed(f, FD_READ)) return Owed::Never;  // waits for its receive
    if (!f.datagram && f.closeTold) {
        // A graceful close is told only once every byte was read; data may outlive a reset.
        return f.resetError != 0 && t.unread.Count() > 0 ? Owed::Later : Owed::Never;
    }
    return Owed::Later;
}

// FD_WRITE: at registration when a send is possible, after a connect, and once room
// returns after a send that failed with 10035. Never after a send that took part.
inline Owed WriteOwed(const SocketFacts& f, const Trigger& t) {
    if (f.phase != SocketPhase::Connected) return Owed::Never;  // a connect brings it
    switch (t.kind) {
        case Kind::Registration:
            return Owed::Now;  // a connected stream can send, and so can any datagram socket
        case Kind::Connect:
            if (t.error == 0 && !f.datagram) return Owed::Now;  // a datagram's came at registration
            break;
        case Kind::Report:
            if ((t.events & EPOLLOUT) && f.writeWanted) return Owed::Now;
            break;
        default:
            break;
    }
    return f.writeWanted && Armed(f, FD_WRITE) ? Owed::Later : Owed::Never;
}

// FD_ACCEPT: while a connection waits, once per accept call.
inline Owed AcceptOwed(const SocketFacts& f, const Trigger& t) {
    if (f.phase != SocketPhase::Listening || !Registered(f, FD_ACCEPT)) return Owed::Never;
    switch (t.kind) {
        case Kind::Registration:
        case Kind::Accept:
            if (f.fetched) return Owed::Now;  // one waits already: told at once
            break;
        case Kind::Report:
            // An edge may be stale, its connection fetched already: only a connection
            // fetched, or a failure the accept call will report, is announced.
            if ((t.events & (EPOLLIN | EPOLLERR | EPOLLHUP)) && !f.acceptPaused && (!FetchesAhead(f) || f.fetched)) {
                return Owed::Now;
            }
            break;
        default:
            break;
    }
    return Armed(f, FD_ACCEPT) && !f.acceptPaused ? Owed::Later : Owed::Never;
}

// FD_CONNECT: with the outcome of a connect call, and only then: re-registering an
// established or accepted socket does not report it again. While a registered socket
// connects, the outcome is looked for (it also brings FD_WRITE).
inline Owed ConnectOwed(const SocketFacts& f, const Trigger& t) {
    if (t.kind == Kind::Connect) return Owed::Now;
    return f.phase == SocketPhase::Connecting && f.mask != 0 ? Owed::Later : Owed::Never;
}

// FD_CLOSE: once per connection (or registration), when the peer has closed and every
// byte has been read, at once on a reset with its error, and, this layer's own case,
// with the error when the socket can no longer be watched, so that its owner hears of
// the end rather than nothing.
inline Owed CloseOwed(const SocketFacts& f, const Trigger& t) {
    if (f.closeTold) return Owed::Never;
    if (t.kind == Kind::WatchFailed) return Owed::Now;
    if (!ConnectedStream(f)) return Owed::Never;
    switch (t.kind) {
        case Kind::Report:
            if (f.resetError != 0) return Owed::Now;
            // The layer's own shutdown makes the read side look closed: not the peer's close.
            if (!f.shutRecv && (t.events & kPeerClosed) && t.unread.Count() == 0) return Owed::Now;
            break;
        case Kind::Receive:
            // Once the peer has closed everything it sent is here: a receive that took less
            // than it asked for, or found the end, took the last of it.
            if (!ReceivesTellWhatIsLeft(f) || !f.finSeen || MayHaveLeftData(t)) break;
            if (!ToldNothing(t) || t.unread.Count() == 0) return Owed::Now;
            break;
        default:
            break;
    }
    if (f.shutRecv || !Armed(f, FD_CLOSE)) return Owed::Never;
    // Registered for FD_READ, the close is seen with the data; an FD_READ waiting for its
    // receive holds it back until that receive.
    if (Registered(f, FD_READ)) return Armed(f, FD_READ) ? Owed::Later : Owed::Never;
    // Otherwise unread data holds it back until a receive.
    return t.unread.Count() == 0 ? Owed::Later : Owed::Never;
}

// The rule of `event` (one of FD_READ, FD_WRITE, FD_ACCEPT, FD_CONNECT, FD_CLOSE).
inline Owed OwedOf(long event, const SocketFacts& f, const Trigger& t) {
    switch (event) {
        case FD_READ: return ReadOwed(f, t);
        case FD_WRITE: return WriteOwed(f, t);
        case FD_ACCEPT: return AcceptOwed(f, t);
        case FD_CONNECT: return ConnectOwed(f, t);
        case FD_CLOSE: return CloseOwed(f, t);
        default: return Owed::Never;
    }
}

}  // namespace rules

using rules::AcceptOwed;
using rules::CloseOwed;
using rules::ConnectOwed;
using rules::FetchesAhead;
using rules::OwedOf;
using rules::ReadOwed;
using rules::ReceivesTellWhatIsLeft;
using rules::WriteOwed;

}  // namespace platform::detail
