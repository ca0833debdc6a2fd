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

// A connected stream registered for FD_READ whose end is not known yet: what a receive
// leaves behind is told by the receive itself, so such a socket is watched
// edge-triggered and a receive needs no epoll call.
bool ReceivesTellWhatIsLeft(const SocketFacts& f);
// A listener registered for FD_ACCEPT fetches the connection an FD_ACCEPT announces
// before posting it: it is watched edge-triggered, and each accept call takes the one
// fetched and fetches the next (SocketWatch::Fetch).
bool FetchesAhead(const SocketFacts& f);

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

// The rules, one per event. A trigger other than Watch answers Now, or else what Watch
// answers for the same facts.
Owed ReadOwed(const SocketFacts& f, const Trigger& t);     // FD_READ
Owed WriteOwed(const SocketFacts& f, const Trigger& t);    // FD_WRITE
Owed AcceptOwed(const SocketFacts& f, const Trigger& t);   // FD_ACCEPT
Owed ConnectOwed(const SocketFacts& f, const Trigger& t);  // FD_CONNECT
Owed CloseOwed(const SocketFacts& f, const Trigger& t);    // FD_CLOSE

// The rule of `event` (one of FD_READ, FD_WRITE, FD_ACCEPT, FD_CONNECT, FD_CLOSE).
Owed OwedOf(long event, const SocketFacts& f, const Trigger& t);

// The events in the order a trigger tells them: the outcome of a connect before the
// FD_WRITE it brings, data before the close that follows it.
inline constexpr long kEventOrder[] = {FD_CONNECT, FD_ACCEPT, FD_READ, FD_CLOSE, FD_WRITE};

}  // namespace platform::detail
