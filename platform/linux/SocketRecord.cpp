// SPDX-License-Identifier: MIT
#include "platform/linux/SocketRecord.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

#include "platform/linux/ErrorMap.h"
#include "platform/linux/EventLoop.h"

namespace platform::detail {

namespace {

// Indexed by the descriptor's number, which the kernel keeps small and dense. A
// record never moves while it lives.
std::vector<std::unique_ptr<SocketRecord>>& Records() {
    // Never destroyed: a socket object in static storage closes its socket after main
    // returns, when a table in static storage would already be gone.
    static auto* records = new std::vector<std::unique_ptr<SocketRecord>>;
    return *records;
}

// The socket's pending error (SO_ERROR), which reading clears, as a Windows number.
int TakeSocketError(int fd) {
    int value = 0;
    socklen_t len = sizeof value;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &value, &len) < 0) value = errno;
    return WsaErrorFromErrno(value);
}

sockaddr_in AddressRecord(in_addr_t address, in_port_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = port;
    return a;
}

// ---- Listeners paused for want of descriptors ----

// The paused listeners (almost always none), and the two timers that wake them: a
// probe every 250 ms looks for a free descriptor, and a nudge just after a descriptor
// is closed here resumes them without looking.
struct PausedListeners {
    std::vector<int> fds;
    EventLoop::TimerId probe = 0;
    EventLoop::TimerId nudge = 0;
};

PausedListeners& Paused() {
    static auto* paused = new PausedListeners;
    return *paused;
}

constexpr std::chrono::milliseconds kAcceptProbe{250};

// For the invariants, which release builds leave out.
[[maybe_unused]] bool IsPaused(int fd) {
    return std::find(Paused().fds.begin(), Paused().fds.end(), fd) != Paused().fds.end();
}

void ResumePaused(bool probe);

void ScheduleProbe() {
    if (Paused().probe != 0) return;
    Paused().probe = EventLoop::Instance().RunAfter(kAcceptProbe, [] {
        Paused().probe = 0;
        ResumePaused(/*probe=*/true);
    });
}

void ScheduleNudge() {
    if (Paused().nudge != 0) return;
    Paused().nudge = EventLoop::Instance().RunAfter(std::chrono::milliseconds(1), [] {
        Paused().nudge = 0;
        ResumePaused(/*probe=*/false);
    });
}

// Paused listeners resume if a descriptor is free (with `probe`, one is tried first);
// otherwise the next probe is scheduled.
void ResumePaused(bool probe) {
    PausedListeners& paused = Paused();
    if (paused.fds.empty()) return;
    if (probe) {
        // A descriptor is free when one can be made; keep it for nobody.
        const int spare = ::fcntl(EventLoop::Instance().Fd(), F_DUPFD_CLOEXEC, 0);
        if (spare < 0) {
            ScheduleProbe();
            return;
        }
        ::close(spare);
    }
    for (const int fd : std::vector<int>(paused.fds)) {
        if (SocketRecord* rec = FindRecord(fd)) rec->ResumeAccepting();
    }
    // Nobody waits any more: neither timer has anything left to do.
    for (EventLoop::TimerId* timer : {&paused.probe, &paused.nudge}) {
        EventLoop::Instance().CancelTimer(std::exchange(*timer, 0));
    }
}

}  // namespace

SocketRecord::SocketRecord(int fd, bool datagram, SocketPhase phase)
    : m_watch(fd), m_type(datagram ? SOCK_DGRAM : SOCK_STREAM) {
    m_facts.phase = phase;
    m_facts.datagram = datagram;
}

bool SocketRecord::KnownPeer(sockaddr_in& peer) const {
    // Once the connection may have ended the kernel has the last word: it says "not
    // connected" after a reset, or after both sides closed.
    if (!m_peerKnown || m_facts.finSeen || m_facts.resetError != 0 || m_facts.shutSend || m_facts.shutRecv) {
        return false;
    }
    peer = AddressRecord(m_peerAddress, m_peerPort);
    return true;
}

bool SocketRecord::KnownLocal(sockaddr_in& local) const {
    if (!m_localKnown) return false;
    local = AddressRecord(m_localAddress, m_localPort);
    return true;
}

int SocketRecord::BufferSizeSet(int linuxName) const {
    if (linuxName == SO_RCVBUF) return m_rcvbufSet;
    if (linuxName == SO_SNDBUF) return m_sndbufSet;
    return 0;
}

// ---- Calls of the application ----

int SocketRecord::Register(HWND hwnd, UINT msg, long events) {
    if (ConfirmsInheritance(hwnd, msg, events)) {
        m_inherited = false;
        CheckInvariants();
        return 0;
    }
    m_inherited = false;
    m_hwnd = hwnd;
    m_msg = msg;
    m_registrations.Add(hwnd, msg);
    m_facts.mask = events;
    m_facts.armed = events;
    m_facts.closeTold = false;
    // What already holds is told at once: what the rules owe now, and what the kernel
    // reports when the watch looks again.
    Apply(Trigger::Registration());
    if (const int error = TryUpdate(/*recheck=*/true)) {
        CancelRegistration();
        return error;
    }
    return 0;
}

void SocketRecord::CancelRegistration() {
    m_facts.mask = 0;
    m_facts.armed = 0;
    m_facts.writeWanted = false;
    Update();
}

void SocketRecord::Accepted(const SocketRecord* listener, bool nonBlocking, const sockaddr_in& peer) {
    m_bound = true;
    m_facts.nonBlocking = nonBlocking;
    m_peerAddress = peer.sin_addr.s_addr;
    m_peerPort = peer.sin_port;
    m_peerKnown = peer.sin_family == AF_INET;
    if (listener != nullptr) {
        // A listener on one address accepts connections to that address only (one on
        // all of them, connections to whichever the peer chose).
        m_localKnown = listener->m_localKnown && listener->m_localAddress != INADDR_ANY;
        m_localAddress = listener->m_localAddress;
        m_localPort = listener->m_localPort;
        // The kernel gives the connection its listener's receive buffer size.
        m_kernelRcvbuf = listener->m_kernelRcvbuf;
        if (listener->Registered()) Inherit(*listener);
    }
    CheckInvariants();
}

// How an accepted socket inherits its registration. Windows gives a socket that accept
// returns its listener's registration: the same events, to the same window and
// message, every one of them owed afresh. Of what already holds only FD_WRITE is told
// at once (the connection is made, so it can send); data and a close that came before
// the accept are reported by the watch made now, which looks at what holds as it is
// made. FD_CONNECT is not owed: nothing connected it here.
//
// The owner usually confirms the registration at once with the same WSAAsyncSelect, as
// an object adopting the connection does. Until anything but that FD_WRITE has been
// told, such a confirmation owes nothing afresh and costs no epoll call
// (ConfirmsInheritance); after it, the confirmation is a registration like any other.
void SocketRecord::Inherit(const SocketRecord& listener) {
    m_hwnd = listener.m_hwnd;
    m_msg = listener.m_msg;
    m_registrations.Add(m_hwnd, m_msg);
    m_facts.mask = listener.m_facts.mask;
    m_facts.armed = m_facts.mask;
    Apply(Trigger::Registration());
    Update();
    m_inherited = true;
    CheckInvariants();
}

bool SocketRecord::ConfirmsInheritance(HWND hwnd, UINT msg, long events) const {
    return m_inherited && hwnd == m_hwnd && msg == m_msg && events == m_facts.mask &&
           m_facts.armed == (m_facts.mask & ~FD_WRITE) && m_watch.Watched();
}

void SocketRecord::StartConnect(bool completed) {
    // A new attempt: its FD_CONNECT, FD_WRITE and FD_CLOSE are owed afresh, also
    // after an earlier attempt failed.
    m_facts.armed |= m_facts.mask & (FD_CONNECT | FD_WRITE | FD_CLOSE);
    m_facts.closeTold = false;
    m_bound = true;
    if (completed) {
        EndConnect(0);
    } else {
        m_facts.phase = SocketPhase::Connecting;
        m_connectDeadline = std::chrono::steady_clock::now() + kConnectGiveUp;
        // The timer finds the record by number and generation: a socket closed since,
        // or another on its number, is left alone.
        m_connectTimer = EventLoop::Instance().RunAfter(
            kConnectGiveUp, [fd = Fd(), generation = m_watch.Generation()] {
                SocketRecord* rec = FindRecord(fd);
                if (rec == nullptr || rec->m_watch.Generation() != generation) return;
                rec->m_connectTimer = 0;
                rec->GiveUpConnect();
            });
    }
    Update();
}

void SocketRecord::EndConnect(int error) {
    EventLoop::Instance().CancelTimer(std::exchange(m_connectTimer, 0));
    m_facts.phase = error == 0 ? SocketPhase::Connected : SocketPhase::Failed;
    Apply(Trigger::Connect(error));
}

bool SocketRecord::ConnectOutcome(int& error) const {
    static_assert(POLLOUT == EPOLLOUT && POLLERR == EPOLLERR && POLLHUP == EPOLLHUP);
    pollfd p{Fd(), POLLOUT, 0};
    if (::poll(&p, 1, 0) != 1) return false;
    // Success shows as OUT, failure as ERR|HUP with the error pending.
    error = TakeSocketError(Fd());
    return error != 0 || (p.revents & POLLOUT) != 0;
}

void SocketRecord::GiveUpConnect() {
    if (m_facts.phase != SocketPhase::Connecting) return;
    int error = 0;
    if (!ConnectOutcome(error)) {
        AbandonConnect(Fd());
        error = WSAETIMEDOUT;
    }
    EndConnect(error);
    Update();
}

void SocketRecord::SettleConnect() {
    if (m_facts.phase != SocketPhase::Connecting || m_facts.mask != 0) return;  // the loop reports a registered one
    int error = 0;
    if (ConnectOutcome(error)) {
        EndConnect(error);
        Update();
    } else if (std::chrono::steady_clock::now() >= m_connectDeadline) {
        GiveUpConnect();
    }
}

void SocketRecord::StartListening(const sockaddr_in& local, int receiveBufferSize) {
    m_facts.phase = SocketPhase::Listening;
    m_localAddress = local.sin_addr.s_addr;
    m_localPort = local.sin_port;
    m_localKnown = local.sin_family == AF_INET;
    m_kernelRcvbuf = m_rcvbufSet == 0 ? receiveBufferSize : 0;
    Update();
}

void SocketRecord::ShutDown(int how) {
    if (how != SD_RECEIVE) m_facts.shutSend = true;
    if (how != SD_SEND) m_facts.shutRecv = true;
    Update();  // the read side, now ready for good, is no longer watched
}

void SocketRecord::AfterAccept(int error) {
    // Out of descriptors or memory, the connections wait and the listener stays ready:
    // re-enabled at once, FD_ACCEPT would come back without end.
    if (error == WSAEMFILE || error == WSAENOBUFS) {
        PauseAccepting();
        return;
    }
    m_facts.armed |= m_facts.mask & FD_ACCEPT;
    // Another connection waiting is told at once; with none, the edge of the next
    // arrival tells of it.
    if (FetchesAhead(m_facts)) m_facts.fetched = m_watch.Fetch();
    Apply(Trigger::Accept());
    Update();
}

void SocketRecord::AfterSend(int error) {
    // Every call, even a failed one, re-enables FD_WRITE; one refused with 10035 makes
    // it owed once room returns.
    m_facts.armed |= m_facts.mask & FD_WRITE;
    if (error == WSAEWOULDBLOCK) m_facts.writeWanted = true;
    Update();
}

void SocketRecord::AfterReceive(int result, int len, int flags) {
    m_kernelRcvbuf = 0;  // the kernel sizes the buffer to the traffic from the first receive on
    m_facts.armed |= m_facts.mask & FD_READ;
    Apply(Trigger::Receive(result, len, flags, UnreadBytes::Of(Fd())));
    Update();
}

void SocketRecord::NoteBound() { m_bound = true; }

void SocketRecord::NoteBufferSize(int linuxName, int value) {
    if (linuxName == SO_RCVBUF) {
        m_rcvbufSet = value;
        m_kernelRcvbuf = 0;
    }
    if (linuxName == SO_SNDBUF) m_sndbufSet = value;
}

void SocketRecord::NoteType(int type) { m_type = type; }

void SocketRecord::NoteNonBlocking() { m_facts.nonBlocking = true; }

void SocketRecord::NoteReset() { m_facts.resetError = WSAECONNRESET; }

int SocketRecord::TakeDatagramReset() { return m_facts.datagram ? std::exchange(m_facts.resetError, 0) : 0; }

bool SocketRecord::TakeFetched(int& fd, sockaddr_in& peer, int& error) {
    if (!m_watch.TakeFetched(fd, peer, error)) return false;
    m_facts.fetched = false;
    return true;
}

// ---- Pausing a listener ----

void SocketRecord::PauseAccepting() {
    m_facts.armed |= m_facts.mask & FD_ACCEPT;
    if (!m_facts.acceptPaused) {
        m_facts.acceptPaused = true;
        Paused().fds.push_back(Fd());
        ScheduleProbe();
    }
    Update();
}

void SocketRecord::ResumeAccepting() {
    if (!m_facts.acceptPaused) return;
    m_facts.acceptPaused = false;
    std::erase(Paused().fds, Fd());
    Update(/*recheck=*/true);  // connections still waiting are reported at once
}

// ---- Reports of the kernel ----

void SocketRecord::OnReport(uint32_t generation, uint32_t events) {
    if (!m_watch.Hears(generation)) return;
    if (!Registered()) return;  // cancelled since epoll saw it
    switch (m_facts.phase) {
        case SocketPhase::Connecting: {
            // Success shows as OUT, failure as ERR|HUP with the error pending.
            const int error = TakeSocketError(Fd());
            if (error != 0 || (events & EPOLLOUT)) EndConnect(error);
            break;
        }
        case SocketPhase::Listening:
            if (FetchesAhead(m_facts) && (m_facts.armed & FD_ACCEPT) && !m_facts.acceptPaused &&
                (events & (EPOLLIN | EPOLLERR | EPOLLHUP))) {
                m_facts.fetched = m_watch.Fetch();
            }
            Apply(Trigger::Report(events, UnreadBytes::Known(0)));
            break;
        case SocketPhase::Connected:
            if (m_facts.datagram) {
                // A connected datagram socket's ICMP port unreachable: the next receive reports it.
                if ((events & EPOLLERR) && TakeSocketError(Fd()) != 0) m_facts.resetError = WSAECONNRESET;
            } else {
                if (events & (EPOLLRDHUP | EPOLLHUP)) m_facts.finSeen = true;
                if (events & EPOLLERR) {
                    // EPIPE here is the peer's reset after its FIN; the table gives it 10054.
                    if (const int error = TakeSocketError(Fd()); error != 0) m_facts.resetError = error;
                }
            }
            Apply(Trigger::Report(events, UnreadBytes::Of(Fd())));
            break;
        case SocketPhase::Fresh:
        case SocketPhase::Failed:
            break;
    }
    Update();
}

// ---- Telling ----

void SocketRecord::Apply(const Trigger& t) {
    for (const long event : kEventOrder) {
        if (OwedOf(event, m_facts, t) == Owed::Now) Tell(event, t);
    }
}

void SocketRecord::Tell(long event, const Trigger& t) {
    int error = 0;
    switch (event) {
        case FD_CONNECT:
            error = t.error;
            break;
        case FD_WRITE:
            m_facts.writeWanted = false;  // sending can go on: a 10035 before is answered
            break;
        case FD_CLOSE:
            m_facts.closeTold = true;
            if (t.kind == Trigger::Kind::WatchFailed) {
                error = t.error;
            } else if (m_facts.resetError != 0) {
                error = m_facts.resetError;
            } else if (t.kind == Trigger::Kind::Report) {
                m_facts.atEnd = (t.events & EPOLLRDHUP) != 0;  // nothing can follow the peer's FIN
            } else if (t.kind == Trigger::Kind::Receive) {
                m_facts.atEnd = t.result >= 0;
            }
            break;
        default:
            break;
    }
    Deliver(event, error);
    // A socket that cannot be watched is told of its end, and of nothing more.
    if (t.kind == Trigger::Kind::WatchFailed) m_facts.armed = 0;
}

void SocketRecord::Deliver(long event, int error) {
    if (!(m_facts.mask & m_facts.armed & event)) return;
    m_facts.armed &= ~event;
    EventLoop::Instance().Post(m_hwnd, m_msg, static_cast<WPARAM>(Fd()),
                               MAKELONG(static_cast<WORD>(event), static_cast<WORD>(error)));
}

// ---- Watching ----

uint32_t SocketRecord::Wanted(bool& edge) const {
    const Trigger look = Trigger::Watch(UnreadBytes::Of(Fd()));
    edge = true;
    if (ReceivesTellWhatIsLeft(m_facts)) {
        // Everything the read side may report is heard, armed or not, so the interest
        // stays as it is from one receive to the next.
        return EPOLLIN | EPOLLRDHUP | (WriteOwed(m_facts, look) == Owed::Later ? uint32_t{EPOLLOUT} : 0u);
    }
    if (FetchesAhead(m_facts)) return m_facts.acceptPaused ? 0u : uint32_t{EPOLLIN};
    edge = false;
    const auto later = [&](long event) { return OwedOf(event, m_facts, look) == Owed::Later; };
    uint32_t events = 0;
    if (later(FD_CONNECT)) events |= EPOLLOUT;  // success shows as OUT, failure as ERR|HUP
    if (later(FD_ACCEPT)) events |= EPOLLIN;
    if (later(FD_READ)) events |= m_facts.datagram ? uint32_t{EPOLLIN} : EPOLLIN | EPOLLRDHUP;
    if (later(FD_CLOSE)) events |= EPOLLRDHUP;
    if (later(FD_WRITE)) events |= EPOLLOUT;
    return events;
}

int SocketRecord::TryUpdate(bool recheck) {
    bool edge;
    const uint32_t events = Wanted(edge);
    const int error = m_watch.Set(events, edge, recheck);
#ifndef NDEBUG
    if (error == 0) m_watch.CheckInvariants(edge, events);
#endif
    CheckInvariants();
    return error;
}

void SocketRecord::Update(bool recheck) {
    if (const int error = TryUpdate(recheck)) {
        Apply(Trigger::WatchFailed(error));
        CheckInvariants();
    }
}

void SocketRecord::CheckInvariants() const {
#ifndef NDEBUG
    const SocketFacts& f = m_facts;
    // Only registered events can be owed.
    assert((f.armed & ~f.mask) == 0);
    // A datagram socket neither connects nor listens: it can send from the start.
    assert(!f.datagram || f.phase == SocketPhase::Connected);
    // FD_CLOSE comes once per connection.
    assert(!f.closeTold || !(f.armed & FD_CLOSE));
    // closesocket withdraws what was posted under every registration the socket had.
    assert(f.mask == 0 || m_registrations.Contains(m_hwnd, m_msg));
    // A reset is kept as the Windows number it is reported as.
    assert(f.resetError == 0 || f.resetError >= WSAEINTR);
    // The end of the stream is known only after the peer's close was seen.
    assert(!f.atEnd || f.finSeen);
    // Only a socket that can send waits for room.
    assert(!f.writeWanted || f.phase == SocketPhase::Connected);
    // Fetching ahead: only a listener holds a connection for its accept call, and the
    // facts say whether it does.
    assert(f.fetched == m_watch.HoldsFetched());
    assert(!f.fetched || f.phase == SocketPhase::Listening);
    // Pausing: only a listener rests, and a resting listener is among those a timer wakes.
    assert(f.acceptPaused == IsPaused(Fd()));
    assert(!f.acceptPaused || f.phase == SocketPhase::Listening);
    // Inheriting: only an accepted connection has its listener's registration.
    assert(!m_inherited || (f.phase == SocketPhase::Connected && !f.datagram));
#endif
}

// ---- Leaving ----

void SocketRecord::Leave() {
    EventLoop::Instance().CancelTimer(std::exchange(m_connectTimer, 0));
    m_watch.Leave();
    const int fd = Fd();
    m_registrations.ForEach(
        [fd](HWND hwnd, UINT msg) { EventLoop::Instance().Withdraw(hwnd, msg, static_cast<WPARAM>(fd)); });
    if (m_facts.acceptPaused) std::erase(Paused().fds, fd);
}

// ---- The records ----

void AbandonConnect(int fd) {
    // Disconnecting (AF_UNSPEC) ends an attempt in SYN_SENT; it notes a reset, which is
    // not the attempt's outcome.
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    ::connect(fd, &unspecified, sizeof unspecified);
    TakeSocketError(fd);
}

SocketRecord* FindRecord(int fd) {
    const auto& records = Records();
    return fd >= 0 && static_cast<size_t>(fd) < records.size() ? records[static_cast<size_t>(fd)].get() : nullptr;
}

SocketRecord& AddRecord(int fd, bool datagram) {
    return AddRecord(fd, datagram, datagram ? SocketPhase::Connected : SocketPhase::Fresh);
}

SocketRecord& AddRecord(int fd, bool datagram, SocketPhase phase) {
    auto& records = Records();
    if (static_cast<size_t>(fd) >= records.size()) records.resize(static_cast<size_t>(fd) + 1);
    records[static_cast<size_t>(fd)] = std::make_unique<SocketRecord>(fd, datagram, phase);
    return *records[static_cast<size_t>(fd)];
}

SocketRecord& AddAccepted(int fd, const SocketRecord* listener, bool nonBlocking, const sockaddr_in& peer) {
    SocketRecord& child = AddRecord(fd, false, SocketPhase::Connected);  // records never move: listener stays valid
    child.Accepted(listener, nonBlocking, peer);
    return child;
}

void RemoveRecord(int fd) {
    SocketRecord* rec = FindRecord(fd);
    if (rec == nullptr) return;
    rec->Leave();
    Records()[static_cast<size_t>(fd)].reset();
    // The descriptor about to be closed is one a paused listener can take.
    if (!Paused().fds.empty()) ScheduleNudge();
}

void OnSocketReady(int fd, uint32_t generation, uint32_t events) {
    if (SocketRecord* rec = FindRecord(fd)) rec->OnReport(generation, events);
}

}  // namespace platform::detail
