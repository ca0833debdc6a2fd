#include "platform/linux/EventRules.h"

#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace platform::detail {

namespace {

using Kind = Trigger::Kind;

constexpr uint32_t kPeerClosed = EPOLLRDHUP | EPOLLHUP;

bool Registered(const SocketFacts& f, long event) { return (f.mask & event) != 0; }
bool Armed(const SocketFacts& f, long event) { return (f.armed & event) != 0; }
bool ConnectedStream(const SocketFacts& f) { return f.phase == SocketPhase::Connected && !f.datagram; }

// A receive that took all it asked for may have left more behind; a peek takes nothing.
bool MayHaveLeftData(const Trigger& t) { return t.result > 0 && (t.result == t.length || (t.flags & MSG_PEEK)); }
// A receive that failed, or asked for nothing, tells nothing of what waits.
bool ToldNothing(const Trigger& t) { return t.result < 0 || t.length == 0; }

}  // namespace

bool ReceivesTellWhatIsLeft(const SocketFacts& f) {
    return Registered(f, FD_READ) && ConnectedStream(f) && !f.closeTold && !f.shutRecv && f.resetError == 0;
}

bool FetchesAhead(const SocketFacts& f) {
    return f.phase == SocketPhase::Listening && Registered(f, FD_ACCEPT) && f.nonBlocking;
}

int UnreadBytes::Count() const {
    if (m_fd >= 0 && !m_asked) {
        int n = 0;
        m_count = ::ioctl(m_fd, FIONREAD, &n) == 0 ? n : 0;
    }
    m_asked = true;
    return m_count;
}

// FD_READ: while data waits, once per receive.
Owed ReadOwed(const SocketFacts& f, const Trigger& t) {
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
Owed WriteOwed(const SocketFacts& f, const Trigger& t) {
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
Owed AcceptOwed(const SocketFacts& f, const Trigger& t) {
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
Owed ConnectOwed(const SocketFacts& f, const Trigger& t) {
    if (t.kind == Kind::Connect) return Owed::Now;
    return f.phase == SocketPhase::Connecting && f.mask != 0 ? Owed::Later : Owed::Never;
}

// FD_CLOSE: once per connection (or registration), when the peer has closed and every
// byte has been read, at once on a reset with its error, and, this layer's own case,
// with the error when the socket can no longer be watched, so that its owner hears of
// the end rather than nothing.
Owed CloseOwed(const SocketFacts& f, const Trigger& t) {
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

Owed OwedOf(long event, const SocketFacts& f, const Trigger& t) {
    switch (event) {
        case FD_READ: return ReadOwed(f, t);
        case FD_WRITE: return WriteOwed(f, t);
        case FD_ACCEPT: return AcceptOwed(f, t);
        case FD_CONNECT: return ConnectOwed(f, t);
        case FD_CLOSE: return CloseOwed(f, t);
        default: return Owed::Never;
    }
}

}  // namespace platform::detail
