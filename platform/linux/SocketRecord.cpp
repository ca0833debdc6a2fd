#include "platform/linux/SocketRecord.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

#include "platform/linux/ErrorMap.h"
#include "platform/linux/EventLoop.h"
#include "platform/linux/SystemCall.h"

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

// Listeners paused for want of descriptors; almost always empty.
std::vector<int>& PausedListeners() {
    static auto* paused = new std::vector<int>;
    return *paused;
}

// How often a paused listener looks for a free descriptor when none is closed here.
constexpr std::chrono::milliseconds kAcceptRetry{250};

int TakeSocketError(int fd) {
    int value = 0;
    socklen_t len = sizeof value;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &value, &len) < 0) return errno;
    return value;
}

// How often the process has forked. A socket made before a fork may be open in the
// child too, and then its close here does not take it out of epoll by itself.
std::atomic<uint32_t> forks{0};

uint32_t ForkCount() {
    static const bool registered = [] {
        return ::pthread_atfork([] { forks.fetch_add(1, std::memory_order_relaxed); }, nullptr, nullptr) == 0;
    }();
    // Without the hook no fork can be told: every socket counts as shared.
    return registered ? forks.load(std::memory_order_relaxed) : ~0u;
}

uint32_t NextGeneration() {
    static uint32_t last = 0;
    if (++last == 0) ++last;  // 0 marks the loop's own descriptors
    return last;
}

int BytesWaiting(int fd) {
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

}  // namespace

SocketRecord::SocketRecord(int fd, bool datagram, SocketPhase phase)
    : m_fd(fd),
      m_generation(NextGeneration()),
      m_phase(phase),
      m_datagram(datagram),
      m_forksAtMaking(ForkCount()),
      m_type(datagram ? SOCK_DGRAM : SOCK_STREAM) {}

namespace {

sockaddr_in AddressRecord(in_addr_t address, in_port_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = port;
    return a;
}

}  // namespace

bool SocketRecord::KnownPeer(sockaddr_in& peer) const {
    // Once the connection may have ended the kernel has the last word: it says "not
    // connected" after a reset, or after both sides closed.
    if (!m_peerKnown || m_finSeen || m_resetError != 0 || m_shutSend || m_shutRecv) return false;
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
    if (m_inherited && hwnd == m_hwnd && msg == m_msg && events == m_mask && m_armed == m_inheritedArmed &&
        m_watched) {
        // The registration an accepted socket inherited, confirmed before anything
        // happened on it: its FD_WRITE is posted already, and the watch put in place at
        // the accept reports what holds. Nothing is owed afresh.
        m_inherited = false;
        CheckInvariants();
        return 0;
    }
    m_inherited = false;
    m_hwnd = hwnd;
    m_msg = msg;
    m_registrations.Add(hwnd, msg);
    m_mask = events;
    m_armed = events;
    m_closePosted = false;
    // What already holds is reported at once: a connected stream socket can send, and
    // so can any datagram socket (Windows reports it writable here too). Reads,
    // accepts and closes are found by the re-check that re-arming makes. FD_CONNECT
    // belongs to a connect call only: re-registering an established or accepted
    // socket does not report it again.
    m_watchFailed = false;
    if (m_phase == SocketPhase::Connected || m_datagram) Post(FD_WRITE, 0);
    if (m_phase == SocketPhase::Listening && (m_fetchedFd >= 0 || m_fetchError != 0)) Post(FD_ACCEPT, 0);
    if (const int error = Watch(/*recheck=*/true)) {
        CancelRegistration();
        return error;
    }
    CheckInvariants();
    return 0;
}

void SocketRecord::CancelRegistration() {
    m_inherited = false;
    m_mask = 0;
    m_armed = 0;
    m_writeWanted = false;
    Rearm();
}

void SocketRecord::StopLingering() {
    EventLoop::Instance().Watch(m_fd, m_generation, 0, m_watched);
    m_edge = false;
    m_lingering = false;
    CheckInvariants();
}

void SocketRecord::StartConnect(bool completed) {
    // A new attempt: its FD_CONNECT, FD_WRITE and FD_CLOSE are owed afresh, also
    // after an earlier attempt failed.
    m_armed |= m_mask & (FD_CONNECT | FD_WRITE | FD_CLOSE);
    m_closePosted = false;
    m_bound = true;
    m_phase = completed ? SocketPhase::Connected : SocketPhase::Connecting;
    if (completed) {
        Post(FD_CONNECT, 0);
        if (!m_datagram) Post(FD_WRITE, 0);
    }
    Rearm();
}

void SocketRecord::SettleConnect() {
    static_assert(POLLOUT == EPOLLOUT && POLLERR == EPOLLERR && POLLHUP == EPOLLHUP);
    if (m_phase != SocketPhase::Connecting || m_mask != 0) return;  // the loop reports a registered one
    pollfd p{m_fd, POLLOUT, 0};
    if (::poll(&p, 1, 0) != 1) return;
    OnConnecting(static_cast<uint32_t>(p.revents));
    Rearm();
}

void SocketRecord::StartListening(const sockaddr_in& local, int receiveBufferSize) {
    m_phase = SocketPhase::Listening;
    m_localAddress = local.sin_addr.s_addr;
    m_localPort = local.sin_port;
    m_localKnown = local.sin_family == AF_INET;
    m_kernelRcvbuf = m_rcvbufSet == 0 ? receiveBufferSize : 0;
    Rearm();
}

void SocketRecord::PauseAccepting() {
    if (m_mask & FD_ACCEPT) m_armed |= FD_ACCEPT;
    if (!m_acceptPaused) {
        m_acceptPaused = true;
        PausedListeners().push_back(m_fd);
        EventLoop::Instance().RunAfter(kAcceptRetry, [] { ResumeAccepting(/*probe=*/true); });
    }
    Rearm();
}

void SocketRecord::ShutDown(int how) {
    if (how != SD_RECEIVE) m_shutSend = true;
    if (how != SD_SEND) m_shutRecv = true;
    Rearm();  // the read side, now ready for good, is no longer watched
}

void SocketRecord::Reenable(long event) {
    if (m_mask & event) m_armed |= event;
    // Another connection waiting is told at once; with none, the edge of the next
    // arrival tells of it.
    if (event == FD_ACCEPT && FetchesAhead() && FetchNext() != Fetch::None) Post(FD_ACCEPT, 0);
    Rearm();
}

void SocketRecord::WantWrite() {
    m_writeWanted = true;
    Rearm();
}

void SocketRecord::AfterReceive(int result, int len, int flags) {
    m_kernelRcvbuf = 0;  // the kernel sizes the buffer to the traffic from the first receive on
    if (m_mask & FD_READ) m_armed |= FD_READ;
    if (!m_edge || !EdgeMode()) {
        Rearm();  // one-shot: re-arming makes the kernel look again
        return;
    }
    if (result > 0 && (result == len || (flags & MSG_PEEK))) {
        Post(FD_READ, 0);  // the receive left data behind
    } else if (result < 0 && BytesWaiting(m_fd) > 0) {
        Post(FD_READ, 0);  // a receive that failed took nothing: what waits is still owed
    } else if (m_finSeen && (result >= 0 || BytesWaiting(m_fd) == 0)) {
        // The peer's close came while data was still unread; now it has all been read.
        // Once the peer has closed, everything it sent is here: a receive that returned
        // less than it asked for, or the end, took the last of it.
        if (result >= 0) m_atEnd = true;
        PostClose(0);
        Rearm();
    } else if (m_finSeen) {
        Post(FD_READ, 0);
    }
    // Otherwise the next arrival is an edge of its own.
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

void SocketRecord::NoteNonBlocking() { m_nonBlocking = true; }

void SocketRecord::NoteReset() { m_resetError = WSAECONNRESET; }

int SocketRecord::TakeDatagramReset() { return m_datagram ? std::exchange(m_resetError, 0) : 0; }

bool SocketRecord::TakeFetched(int& fd, sockaddr_in& peer, int& error) {
    if (m_fetchedFd < 0 && m_fetchError == 0) return false;
    fd = std::exchange(m_fetchedFd, -1);
    error = std::exchange(m_fetchError, 0);
    peer = m_fetchedPeer;
    return true;
}

bool SocketRecord::FetchesAhead() const {
    return m_phase == SocketPhase::Listening && (m_mask & FD_ACCEPT) && m_nonBlocking;
}

SocketRecord::Fetch SocketRecord::FetchNext() {
    if (m_fetchedFd >= 0) return Fetch::Fetched;
    if (m_fetchError != 0) return Fetch::Failed;
    socklen_t len = sizeof m_fetchedPeer;
    const int fd = SystemCall(testing::SystemCall::Accept, [&] {
        return ::accept4(m_fd, reinterpret_cast<sockaddr*>(&m_fetchedPeer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    });
    if (fd >= 0) {
        m_fetchedFd = fd;
        return Fetch::Fetched;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Fetch::None;
    m_fetchError = errno;  // the accept call that takes it reports it
    return Fetch::Failed;
}

// ---- Reports of the kernel ----

void SocketRecord::OnReady(uint32_t events) {
    m_inherited = false;
    switch (m_phase) {
        case SocketPhase::Connecting:
            OnConnecting(events);
            break;
        case SocketPhase::Listening:
            // An edge may be stale (its connection fetched already): only a connection
            // fetched, or a failure the accept call will report, is announced.
            if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP)) && !m_acceptPaused &&
                (!FetchesAhead() || !(m_armed & FD_ACCEPT) || FetchNext() != Fetch::None)) {
                Post(FD_ACCEPT, 0);
            }
            break;
        case SocketPhase::Connected:
            if (m_datagram) {
                OnDatagram(events);
            } else {
                OnStream(events);
            }
            break;
        case SocketPhase::Fresh:
        case SocketPhase::Failed:
            break;
    }
    if (!m_edge && Interest() == 0 && m_watched) return;  // ONESHOT has disarmed it already
    Rearm();
}

void SocketRecord::OnConnecting(uint32_t events) {
    const int error = TakeSocketError(m_fd);
    if (error != 0) {
        m_phase = SocketPhase::Failed;
        Post(FD_CONNECT, WsaErrorFromErrno(error));
        return;
    }
    if (!(events & EPOLLOUT)) return;
    m_phase = SocketPhase::Connected;
    Post(FD_CONNECT, 0);
    Post(FD_WRITE, 0);
}

void SocketRecord::OnStream(uint32_t events) {
    if (events & (EPOLLRDHUP | EPOLLHUP)) m_finSeen = true;
    if (events & EPOLLERR) {
        // EPIPE here is the peer's reset after its FIN; the table gives it 10054.
        if (const int error = TakeSocketError(m_fd); error != 0) m_resetError = WsaErrorFromErrno(error);
    }
    // Asked for RDHUP alone, epoll leaves IN out of what it reports: ask the socket itself.
    // Plain EPOLLIN means data; only a possible close needs the count.
    const int waiting = (events & (EPOLLRDHUP | EPOLLERR | EPOLLHUP)) ? BytesWaiting(m_fd)
                        : (events & EPOLLIN)                         ? 1
                                                                     : 0;
    if (waiting > 0) Post(FD_READ, 0);
    if (m_resetError != 0) {
        if (!m_closePosted) PostClose(m_resetError);
    } else if ((events & (EPOLLRDHUP | EPOLLHUP)) && waiting == 0 && !m_closePosted && !m_shutRecv) {
        m_atEnd = (events & EPOLLRDHUP) != 0;  // nothing can follow the peer's FIN
        PostClose(0);  // the peer closed and every byte has been read
    }
    PostWriteIfWanted(events);
}

void SocketRecord::OnDatagram(uint32_t events) {
    if (events & EPOLLERR) {
        // A connected datagram socket's ICMP port unreachable: the next receive reports it.
        if (TakeSocketError(m_fd) != 0) m_resetError = WSAECONNRESET;
    }
    if (events & (EPOLLIN | EPOLLERR)) Post(FD_READ, 0);
    PostWriteIfWanted(events);
}

// ---- Watching ----

uint32_t SocketRecord::Interest() const {
    if (m_mask == 0) return 0;
    uint32_t ev = 0;
    switch (m_phase) {
        case SocketPhase::Connecting:
            ev = EPOLLOUT;  // success shows as OUT, failure as ERR|HUP
            break;
        case SocketPhase::Listening:
            if ((m_armed & FD_ACCEPT) && !m_acceptPaused) ev = EPOLLIN;
            break;
        case SocketPhase::Connected:
            if (m_datagram) {
                if (m_armed & FD_READ) ev |= EPOLLIN;
            } else if (!m_shutRecv) {
                // Data and the peer's close are both seen through the read side; while an
                // FD_READ waits for its recv there is nothing to report on that side. Once
                // the peer has gone the read side stays ready for good, so it is watched
                // only while unread data is left to announce.
                if (m_closePosted) {
                    // A graceful close is posted only once every byte was read: nothing is
                    // left to ask about. Data may outlive a reset.
                    if (m_resetError != 0 && (m_armed & FD_READ) && BytesWaiting(m_fd) > 0) ev |= EPOLLIN;
                } else if (m_armed & FD_READ) {
                    ev |= EPOLLIN | EPOLLRDHUP;
                } else if (!(m_mask & FD_READ) && (m_armed & FD_CLOSE) && BytesWaiting(m_fd) == 0) {
                    ev |= EPOLLRDHUP;  // unread data holds FD_CLOSE back until a recv
                }
            }
            if (m_writeWanted) ev |= EPOLLOUT;
            break;
        case SocketPhase::Fresh:
        case SocketPhase::Failed:
            break;  // an unconnected stream socket polls HUP: not worth watching
    }
    return ev;
}

// A connected stream that still reads is watched edge-triggered: the kernel tells of
// each arrival once, so a receive needs no epoll call to re-enable FD_READ. What a
// receive leaves behind is known from the receive itself (see AfterReceive).
bool SocketRecord::EdgeMode() const {
    return m_mask != 0 && (m_mask & FD_READ) && m_phase == SocketPhase::Connected && !m_datagram &&
           !m_closePosted && !m_shutRecv && m_resetError == 0;
}

void SocketRecord::Rearm(bool recheck) {
    if (const int error = Watch(recheck)) WatchFailed(error);
    CheckInvariants();
}

int SocketRecord::Watch(bool recheck) {
    const bool stream = EdgeMode();
    if (stream || FetchesAhead()) {
        // A listener paused for want of descriptors watches nothing until it resumes.
        const uint32_t want = stream ? EPOLLIN | EPOLLRDHUP | (m_writeWanted ? EPOLLOUT : 0u)
                                     : (m_acceptPaused ? 0u : uint32_t{EPOLLIN});
        if (m_edge && m_watched && m_edgeInterest == want && !recheck && !m_lingering) return 0;
        m_lingering = false;
        const int error = EventLoop::Instance().Watch(m_fd, m_generation, want, m_watched, EPOLLET);
        m_edge = m_watched && error == 0;
        m_edgeInterest = want;
        return error;
    }
    const uint32_t interest = Interest();
    if (interest == 0 && m_edge && m_watched) {
        // An edge-triggered watch reports only what happens from now on, and a stream
        // that wants nothing more has mostly ended and is closed next, which takes it
        // out of the set. So it stays until then, or until its next report, which is
        // dropped (OnSocketReady): an epoll call saved per connection.
        m_lingering = true;
        return 0;
    }
    m_edge = false;
    m_lingering = false;
    return EventLoop::Instance().Watch(m_fd, m_generation, interest, m_watched);
}

void SocketRecord::WatchFailed(int error) {
    if (m_mask == 0 || m_watchFailed) return;
    m_watchFailed = true;
    m_closePosted = true;
    m_armed = 0;
    EventLoop::Instance().Post(m_hwnd, m_msg, static_cast<WPARAM>(m_fd),
                               MAKELONG(static_cast<WORD>(FD_CLOSE), static_cast<WORD>(WsaErrorFromErrno(error))));
}

void SocketRecord::Post(long event, int error) {
    if (!(m_mask & event) || !(m_armed & event)) return;
    m_armed &= ~event;
    EventLoop::Instance().Post(m_hwnd, m_msg, static_cast<WPARAM>(m_fd),
                               MAKELONG(static_cast<WORD>(event), static_cast<WORD>(error)));
}

void SocketRecord::PostClose(int error) {
    m_closePosted = true;
    Post(FD_CLOSE, error);
}

void SocketRecord::PostWriteIfWanted(uint32_t events) {
    if (!(events & EPOLLOUT) || !m_writeWanted) return;
    m_writeWanted = false;
    Post(FD_WRITE, 0);
}

void SocketRecord::CheckInvariants() const {
    // Only registered events can be owed.
    assert((m_armed & ~m_mask) == 0);
    // A datagram socket neither connects nor listens: it can send from the start.
    assert(!m_datagram || m_phase == SocketPhase::Connected);
    // FD_CLOSE comes once per connection.
    assert(!m_closePosted || !(m_armed & FD_CLOSE));
    // closesocket withdraws what was posted under every registration the socket had.
    assert(m_mask == 0 || m_registrations.Contains(m_hwnd, m_msg));
    // Only a listener fetches connections ahead.
    assert((m_fetchedFd < 0 && m_fetchError == 0) || m_phase == SocketPhase::Listening);
    // Only a socket still in the set lingers there.
    assert(!m_lingering || (m_watched && m_edge));
    // A reset is kept as the Windows number it is reported as.
    assert(m_resetError == 0 || m_resetError >= WSAEINTR);
}

// ---- The records ----

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
    child.m_bound = true;
    child.m_nonBlocking = nonBlocking;
    child.m_peerAddress = peer.sin_addr.s_addr;
    child.m_peerPort = peer.sin_port;
    child.m_peerKnown = peer.sin_family == AF_INET;
    if (listener != nullptr) {
        // A listener on one address accepts connections to that address only (one on
        // all of them, connections to whichever the peer chose).
        child.m_localKnown = listener->m_localKnown && listener->m_localAddress != INADDR_ANY;
        child.m_localAddress = listener->m_localAddress;
        child.m_localPort = listener->m_localPort;
        // The kernel gives the connection its listener's receive buffer size.
        child.m_kernelRcvbuf = listener->m_kernelRcvbuf;
    }
    if (listener != nullptr && listener->m_mask != 0) {
        // The accepted socket inherits the listener's registration.
        child.m_hwnd = listener->m_hwnd;
        child.m_msg = listener->m_msg;
        child.m_mask = listener->m_mask;
        child.m_armed = listener->m_mask;
        child.m_registrations.Add(listener->m_hwnd, listener->m_msg);
        child.Post(FD_WRITE, 0);
        child.Rearm();
        child.m_inherited = true;
        child.m_inheritedArmed = child.m_armed;
    }
    return child;
}

void RemoveRecord(int fd) {
    SocketRecord* rec = FindRecord(fd);
    if (rec == nullptr) return;
    // Closing the descriptor takes it out of epoll, unless a fork since it was made may
    // hold it open in the child: then it leaves the set now. (Were it still held
    // elsewhere, its late reports carry its own generation and are dropped.)
    if (rec->m_forksAtMaking != ForkCount()) EventLoop::Instance().Watch(fd, rec->m_generation, 0, rec->m_watched);
    if (rec->m_fetchedFd >= 0) ::close(rec->m_fetchedFd);  // a connection nobody accepted goes with its listener
    rec->m_registrations.ForEach(
        [fd](HWND hwnd, UINT msg) { EventLoop::Instance().Withdraw(hwnd, msg, static_cast<WPARAM>(fd)); });
    if (rec->m_acceptPaused) std::erase(PausedListeners(), fd);
    Records()[static_cast<size_t>(fd)].reset();
    // The descriptor about to be closed is one a paused listener can take.
    if (!PausedListeners().empty()) {
        EventLoop::Instance().RunAfter(std::chrono::milliseconds(1), [] { ResumeAccepting(/*probe=*/false); });
    }
}

void ResumeAccepting(bool probe) {
    auto& paused = PausedListeners();
    if (paused.empty()) return;
    if (probe) {
        // A descriptor is free when one can be made; keep it for nobody.
        const int spare = ::fcntl(EventLoop::Instance().Fd(), F_DUPFD_CLOEXEC, 0);
        if (spare < 0) {
            EventLoop::Instance().RunAfter(kAcceptRetry, [] { ResumeAccepting(/*probe=*/true); });
            return;
        }
        ::close(spare);
    }
    for (const int fd : std::exchange(paused, {})) {
        if (SocketRecord* rec = FindRecord(fd)) {
            rec->m_acceptPaused = false;
            rec->Rearm(/*recheck=*/true);  // connections still waiting are reported at once
        }
    }
}

void OnSocketReady(int fd, uint32_t generation, uint32_t events) {
    SocketRecord* rec = FindRecord(fd);
    if (rec == nullptr || rec->m_generation != generation) return;  // closed since epoll saw it
    if (rec->m_lingering) {
        rec->StopLingering();  // wants nothing: what it reports now is not heard
        return;
    }
    if (!rec->Registered()) return;  // cancelled since epoll saw it
    rec->OnReady(events);
}

}  // namespace platform::detail
