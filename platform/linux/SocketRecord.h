// Internal to the platform layer: what the layer knows of each socket it made,
// and the translation of epoll readiness into Windows network-event messages.
//
// The Windows rules kept here: one message per event until the call that
// re-enables it (recv/recvfrom for FD_READ, send/sendto for FD_WRITE, accept for
// FD_ACCEPT); a message at once for a condition that already holds at
// registration or at re-enabling; FD_WRITE after a connection is established and
// whenever a send that would have blocked can go on; FD_CONNECT with the connect
// result; FD_CLOSE once, after the data has been read, or with 10054 on a reset.
//
// Each socket sits in epoll with EPOLLONESHOT and an interest computed from its
// record; the kernel disarms it when it reports, and re-enabling calls re-arm it,
// which re-checks the condition. An idle socket therefore costs nothing. A healthy
// connected stream is watched edge-triggered instead; once it wants nothing more it
// is left in the set until its close (no epoll call), and what it reports meanwhile
// is dropped.
//
// The record changes only through the verbs of SocketRecord, all of them in
// SocketRecord.cpp. Every verb that changes what the socket is waited for ends by
// re-arming it, and debug builds check the record's invariants there; the few
// verbs that only note a fact say why they need no re-arm.
#pragma once

#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/WinTypes.h"

namespace platform::detail {

// The (window, message) pairs a socket was ever registered with: almost always one,
// kept without an allocation.
class Registrations {
public:
    bool Contains(HWND hwnd, UINT msg) const {
        return (m_hasFirst && m_first == std::pair{hwnd, msg}) ||
               std::find(m_more.begin(), m_more.end(), std::pair{hwnd, msg}) != m_more.end();
    }
    void Add(HWND hwnd, UINT msg) {
        if (Contains(hwnd, msg)) return;
        if (!m_hasFirst) {
            m_first = {hwnd, msg};
            m_hasFirst = true;
        } else {
            m_more.emplace_back(hwnd, msg);
        }
    }
    template <typename Visit>
    void ForEach(Visit visit) const {
        if (m_hasFirst) visit(m_first.first, m_first.second);
        for (const auto& [hwnd, msg] : m_more) visit(hwnd, msg);
    }

private:
    std::pair<HWND, UINT> m_first{};
    bool m_hasFirst = false;
    std::vector<std::pair<HWND, UINT>> m_more;
};

enum class SocketPhase : uint8_t {
    Fresh,        // stream socket, neither connected nor listening
    Connecting,   // non-blocking connect under way
    Connected,    // stream connected, or any datagram socket
    Listening,
    Failed,       // a connect attempt failed
};

class SocketRecord {
public:
    SocketRecord(int fd, bool datagram, SocketPhase phase);

    // ---- What the record knows ----

    int         Fd() const { return m_fd; }
    bool        Datagram() const { return m_datagram; }
    SocketPhase Phase() const { return m_phase; }
    bool        Bound() const { return m_bound; }
    bool        ShutSend() const { return m_shutSend; }
    bool        ShutRecv() const { return m_shutRecv; }
    int         ResetError() const { return m_resetError; }
    // SO_RCVBUF / SO_SNDBUF as the application set them; 0 when it did not.
    int         BufferSizeSet(int linuxName) const;
    bool        Registered() const { return m_mask != 0; }
    // What SO_TYPE reads: known from the socket's making, so no call asks the kernel.
    int         Type() const { return m_type; }
    // The layer made the socket non-blocking (registration, or an accept that inherited it).
    bool        NonBlocking() const { return m_nonBlocking; }
    // Addresses the layer knows without asking the kernel: an accepted connection's
    // peer (from the accept) while nothing has ended it, and its local address when
    // its listener was bound to one address (the connection's is that one).
    bool        KnownPeer(sockaddr_in& peer) const;
    bool        KnownLocal(sockaddr_in& local) const;
    // SO_RCVBUF as the kernel reads it, known without asking: an accepted connection
    // takes its listener's size, and keeps it until its first receive (the kernel tunes
    // it to the traffic from then on). 0 when not known.
    int         KnownReceiveBufferSize() const { return m_kernelRcvbuf; }
    // The peer closed and every byte it sent has been read: a receive can only find the
    // end of the stream, and needs no call to find it.
    bool        AtEnd() const { return m_atEnd && m_resetError == 0; }
    // A stream socket that cannot carry data yet: Windows says "not connected" where
    // Linux would say EAGAIN (connect pending) or EPIPE.
    bool        NotConnectedStream() const { return !m_datagram && m_phase != SocketPhase::Connected; }

    // ---- Calls of the application ----

    // WSAAsyncSelect with events: the socket's events go to (hwnd, msg) from now on,
    // all of them owed afresh; what already holds is reported at once. Returns 0, or
    // the errno of the epoll call that failed (then the socket is not registered).
    int  Register(HWND hwnd, UINT msg, long events);
    // WSAAsyncSelect with no events: nothing more is posted.
    void CancelRegistration();
    // connect started an attempt (completed: it succeeded at once).
    void StartConnect(bool completed);
    // A connect under way on a socket that is not registered (never, or cancelled since)
    // has no one watching it: once the kernel knows the outcome it is taken now. A
    // registered socket's outcome comes through the loop, and its state changes then.
    void SettleConnect();
    // listen succeeded on the socket, bound to `local`; `receiveBufferSize` is its
    // SO_RCVBUF as the kernel reads it (0 when not read), which connections it accepts take.
    void StartListening(const sockaddr_in& local, int receiveBufferSize);
    // accept failed for want of descriptors or memory: FD_ACCEPT stays owed, but the
    // listener is not watched until a descriptor is free again (one is closed here, or
    // a periodic probe finds one), so that the waiting connections do not spin the loop.
    void PauseAccepting();
    // shutdown(how) succeeded.
    void ShutDown(int how);
    // A re-enabling call for the event was made: arm it again and re-check.
    void Reenable(long event);
    // A send would block, now or on the next call: FD_WRITE is owed once it can go on.
    void WantWrite();
    // A receive was made (FD_READ is re-enabled): tell at once what is known to be
    // left, or have the kernel look again.
    void AfterReceive(int result, int len, int flags);
    // The socket has a local address (bind, or a datagram's first send). Not watched.
    void NoteBound();
    // setsockopt set SO_RCVBUF or SO_SNDBUF. Not watched.
    void NoteBufferSize(int linuxName, int value);
    // The socket's type as it was made (SOCK_STREAM, SOCK_DGRAM, ...). Not watched.
    void NoteType(int type);
    // The socket was made non-blocking. Not watched.
    void NoteNonBlocking();
    // A call found the connection reset. No re-arm: what is watched stays as it was,
    // and the reset is reported as the watch in place finds it.
    void NoteReset();
    // A datagram socket's pending reset (an ICMP port unreachable), handed to the
    // receive that would otherwise find nothing; 0 when none is pending.
    int  TakeDatagramReset();
    // A listener's connection fetched ahead (see FetchNext): true and the socket with its
    // peer, or -1 with the errno that fetching met; false when nothing was fetched. The
    // accept call that takes it re-enables FD_ACCEPT as ever.
    bool TakeFetched(int& fd, sockaddr_in& peer, int& error);

    // ---- Reports of the kernel ----

    // epoll reported these events for the socket.
    void OnReady(uint32_t events);
    // A report from epoll for a socket that wants nothing (see Watch): it leaves the set.
    void StopLingering();

private:
    enum class Fetch { Fetched, None, Failed };

    uint32_t Interest() const;
    // The epoll part of Rearm; 0 or the failed call's errno.
    int      Watch(bool recheck);
    // The socket cannot be watched any more: its owner is told at once, with the error,
    // as the socket's end, rather than never hearing of it again.
    void     WatchFailed(int error);
    bool     EdgeMode() const;
    // A listener registered for FD_ACCEPT is watched edge-triggered and fetches the
    // connection an FD_ACCEPT announces before posting it: the accept call then takes
    // it without asking the kernel, and fetches the next at once, so a run of waiting
    // connections costs neither an epoll call nor a wait per connection.
    bool     FetchesAhead() const;
    Fetch    FetchNext();
    // Recomputes the epoll interest of the socket and re-arms it. An edge-triggered
    // socket whose interest is unchanged costs nothing, unless `recheck` asks the
    // kernel to report what already holds.
    void     Rearm(bool recheck = false);
    // Posts one network event to the socket's window, if it is registered and armed for it.
    void     Post(long event, int error);
    void     PostClose(int error);
    void     PostWriteIfWanted(uint32_t events);
    void     OnConnecting(uint32_t events);
    void     OnStream(uint32_t events);
    void     OnDatagram(uint32_t events);
    void     CheckInvariants() const;

    // What every notification and receive touches comes first, in the record's first
    // 64 bytes: a server's records are mostly cold, so each line touched is a miss.
    int         m_fd;
    uint32_t    m_generation;            // tells this socket's epoll reports from an earlier one's with its number
    SocketPhase m_phase;
    bool        m_datagram;
    bool        m_atEnd = false;         // see AtEnd
    bool        m_shutSend = false;
    bool        m_shutRecv = false;      // the read side is shut here: no FD_READ or FD_CLOSE any more
    // Registration of WSAAsyncSelect.
    HWND        m_hwnd = 0;
    UINT        m_msg = 0;
    long        m_mask = 0;
    long        m_armed = 0;             // events that may still be posted
    int         m_resetError = 0;        // sticky error once the kernel reported a reset
    int         m_kernelRcvbuf = 0;      // see KnownReceiveBufferSize; a listener's own, for what it accepts
    uint32_t    m_edgeInterest = 0;      // what it is watched for when edge-triggered
    bool        m_writeWanted = false;   // a send would have blocked: FD_WRITE owed
    bool        m_closePosted = false;
    bool        m_watched = false;       // in the epoll set
    bool        m_edge = false;          // watched edge-triggered (a healthy connected stream)
    bool        m_lingering = false;     // left in the set edge-triggered although it wants nothing
    bool        m_finSeen = false;       // epoll reported the peer's close
    bool        m_inherited = false;     // an accepted socket's inherited registration, not yet confirmed
    bool        m_acceptPaused = false;  // out of descriptors: not watched for connections
    bool        m_watchFailed = false;   // its owner was told that it cannot be watched
    bool        m_nonBlocking = false;
    bool        m_bound = false;

    long        m_inheritedArmed = 0;    // what an inherited registration had armed then
    uint32_t    m_forksAtMaking;         // the process's fork count when the record was made
    int         m_type;
    int         m_rcvbufSet = 0;
    int         m_sndbufSet = 0;
    // A listener's bound address, an accepted socket's own, and its peer (network order).
    in_addr_t   m_localAddress = 0;
    in_addr_t   m_peerAddress = 0;
    in_port_t   m_localPort = 0;
    in_port_t   m_peerPort = 0;
    bool        m_localKnown = false;
    bool        m_peerKnown = false;
    // A listener's connection fetched ahead of its accept call (or the errno of a failed fetch).
    int         m_fetchedFd = -1;
    int         m_fetchError = 0;
    sockaddr_in m_fetchedPeer{};
    // Every (window, message) the socket was ever registered with, so that closesocket
    // can withdraw all notifications still queued for it, a cancelled registration's too.
    Registrations m_registrations;

    friend SocketRecord& AddAccepted(int fd, const SocketRecord* listener, bool nonBlocking,
                                     const sockaddr_in& peer);
    friend void RemoveRecord(int fd);
    friend void ResumeAccepting(bool probe);
    friend void OnSocketReady(int fd, uint32_t generation, uint32_t events);
};

SocketRecord* FindRecord(int fd);
// A record for a socket made here: a datagram socket counts as connected from the start.
SocketRecord& AddRecord(int fd, bool datagram);
// A record for a socket made elsewhere, in the phase it was found in.
SocketRecord& AddRecord(int fd, bool datagram, SocketPhase phase);
// A record for a connection accepted from `listener` (nullptr: a listener made elsewhere),
// made non-blocking by the accept or not, with the peer the accept reported.
SocketRecord& AddAccepted(int fd, const SocketRecord* listener, bool nonBlocking, const sockaddr_in& peer);
// Forgets the socket, which is closed next, and withdraws its queued notifications.
void RemoveRecord(int fd);

// Listeners paused for want of descriptors are watched again if a descriptor is free
// (with `probe`, one is tried first); otherwise the next try is scheduled.
void ResumeAccepting(bool probe);

// Called by the loop with the events epoll reported for fd, entered as `generation`.
void OnSocketReady(int fd, uint32_t generation, uint32_t events);

}  // namespace platform::detail
