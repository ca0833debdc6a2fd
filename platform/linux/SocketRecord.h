// SPDX-License-Identifier: MIT
// Internal to the platform layer: what the layer knows of each socket it made, and
// how what happens to a socket becomes Windows network-event messages.
//
// A record keeps the socket's facts (SocketFacts), its registration and its watch
// (SocketWatch). Each verb notes what a call of the application or a report of the
// kernel tells, asks the event rules (EventRules.h) what is owed now, posts it
// (Deliver), and ends in Update, which has the watch look for what is owed later.
// Debug builds check the record's invariants there. The verbs that only note a fact
// say why they need no update.
#pragma once

#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/WinTypes.h"
#include "platform/linux/EventRules.h"
#include "platform/linux/SocketWatch.h"

namespace platform::detail {

// How long a connect waits for an answer before it fails with WSAETIMEDOUT (10060).
// Windows sends the SYN, retransmits it twice (3 s, then 6 s later) and gives up 12 s
// after that: about 21 s in all. Linux would retransmit six times, for about 127 s,
// so the layer gives up itself, for a socket registered or not and for a blocking
// connect alike.
inline constexpr std::chrono::seconds kConnectGiveUp{21};

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

class SocketRecord {
public:
    SocketRecord(int fd, bool datagram, SocketPhase phase);

    // ---- What the record knows ----

    int                Fd() const { return m_watch.Fd(); }
    const SocketFacts& Facts() const { return m_facts; }
    bool               Datagram() const { return m_facts.datagram; }
    SocketPhase        Phase() const { return m_facts.phase; }
    bool               Bound() const { return m_bound; }
    bool               ShutSend() const { return m_facts.shutSend; }
    bool               ShutRecv() const { return m_facts.shutRecv; }
    int                ResetError() const { return m_facts.resetError; }
    // SO_RCVBUF / SO_SNDBUF as the application set them; 0 when it did not.
    int                BufferSizeSet(int linuxName) const;
    bool               Registered() const { return m_facts.mask != 0; }
    // What SO_TYPE reads: known from the socket's making, so no call asks the kernel.
    int                Type() const { return m_type; }
    // The layer made the socket non-blocking (registration, or an accept that inherited it).
    bool               NonBlocking() const { return m_facts.nonBlocking; }
    // Addresses the layer knows without asking the kernel: an accepted connection's
    // peer (from the accept) while nothing has ended it, and its local address when
    // its listener was bound to one address (the connection's is that one).
    bool               KnownPeer(sockaddr_in& peer) const;
    bool               KnownLocal(sockaddr_in& local) const;
    // SO_RCVBUF as the kernel reads it, known without asking: an accepted connection
    // takes its listener's size, and keeps it until its first receive (the kernel tunes
    // it to the traffic from then on). 0 when not known.
    int                KnownReceiveBufferSize() const { return m_kernelRcvbuf; }
    // The peer closed and every byte it sent has been read: a receive can only find the
    // end of the stream, and needs no call to find it.
    bool               AtEnd() const { return m_facts.atEnd && m_facts.resetError == 0; }
    // A stream socket that cannot carry data yet: Windows says "not connected" where
    // Linux would say EAGAIN (connect pending) or EPIPE.
    bool               NotConnectedStream() const {
        return !m_facts.datagram && m_facts.phase != SocketPhase::Connected;
    }

    // ---- Calls of the application ----

    // WSAAsyncSelect with events: the socket's events go to (hwnd, msg) from now on,
    // all of them owed afresh; what already holds is reported at once. Returns 0, or
    // the Windows number of the epoll call that failed (then the socket is not registered).
    int  Register(HWND hwnd, UINT msg, long events);
    // WSAAsyncSelect with no events: nothing more is posted.
    void CancelRegistration();
    // This socket was accepted from `listener` (nullptr: a listener made elsewhere), made
    // non-blocking by the accept or not, with the peer the accept reported.
    void Accepted(const SocketRecord* listener, bool nonBlocking, const sockaddr_in& peer);
    // connect started an attempt (completed: it succeeded at once). An attempt that is
    // still under way kConnectGiveUp later fails with WSAETIMEDOUT (GiveUpConnect).
    void StartConnect(bool completed);
    // A connect under way on a socket that is not registered (never, or cancelled since)
    // has no one watching it: once the kernel knows the outcome, or the attempt has
    // waited kConnectGiveUp, it is taken now. A registered socket's outcome comes
    // through the loop, and its state changes then.
    void SettleConnect();
    // listen succeeded on the socket, bound to `local`; `receiveBufferSize` is its
    // SO_RCVBUF as the kernel reads it (0 when not read), which connections it accepts take.
    void StartListening(const sockaddr_in& local, int receiveBufferSize);
    // shutdown(how) succeeded.
    void ShutDown(int how);
    // accept was called: `error` is 0, or the Windows number it failed with.
    void AfterAccept(int error);
    // send or sendto was called: `error` is 0, or the Windows number it failed with.
    void AfterSend(int error);
    // recv or recvfrom was called (FD_READ is re-enabled) and returned `result` for `len`
    // bytes with `flags`.
    void AfterReceive(int result, int len, int flags);
    // The socket has a local address (bind, or a datagram's first send). Not watched.
    void NoteBound();
    // setsockopt set SO_RCVBUF or SO_SNDBUF. Not watched.
    void NoteBufferSize(int linuxName, int value);
    // The socket's type as it was made (SOCK_STREAM, SOCK_DGRAM, ...). Not watched.
    void NoteType(int type);
    // The socket was made non-blocking. Not watched: nothing is watched before a registration.
    void NoteNonBlocking();
    // A call found the connection reset. No update: what is watched stays as it was, and
    // the reset is reported as the watch in place finds it.
    void NoteReset();
    // A datagram socket's pending reset (an ICMP port unreachable), handed to the
    // receive that would otherwise find nothing; 0 when none is pending.
    int  TakeDatagramReset();
    // A listener's connection fetched ahead: true and the socket with its peer, or -1
    // with the Windows number of the failure fetching met; false when nothing was
    // fetched. The accept call that takes it re-enables FD_ACCEPT as ever (AfterAccept).
    bool TakeFetched(int& fd, sockaddr_in& peer, int& error);

    // ---- Pausing a listener ----

    // Out of descriptors or memory, the listener rests: FD_ACCEPT stays owed, but the
    // listener is not watched until a descriptor is free again (one is closed here, or a
    // periodic probe finds one), so that the waiting connections do not spin the loop.
    void PauseAccepting();
    // A descriptor is free again: connections still waiting are reported at once.
    void ResumeAccepting();

    // ---- Reports of the kernel ----

    // epoll reported `events` for the socket, entered as `generation`.
    void OnReport(uint32_t generation, uint32_t events);

    // ---- Leaving ----

    // The socket is closed next: its queued notifications are withdrawn, under every
    // registration it had.
    void Leave();

private:
    // Asks each event's rule about the trigger, in kEventOrder, and tells what is owed now.
    void Apply(const Trigger& t);
    // Tells `event`, owed now under `t`: notes what it tells and posts it (Deliver).
    void Tell(long event, const Trigger& t);
    // Posts one network event to the socket's window, if it is registered and armed for
    // it: one message per event until the call that re-enables it.
    void Deliver(long event, int error);
    // An accepted socket takes its listener's registration.
    void Inherit(const SocketRecord& listener);
    bool ConfirmsInheritance(HWND hwnd, UINT msg, long events) const;
    // A connect attempt ended: connected, or failed with `error`.
    void EndConnect(int error);
    // The outcome of the connect under way, if the kernel knows it: true, with `error`
    // 0 (connected) or the Windows number it failed with.
    bool ConnectOutcome(int& error) const;
    // The attempt has waited kConnectGiveUp: unless its outcome came meanwhile, the
    // kernel's attempt is ended and the connect fails with WSAETIMEDOUT.
    void GiveUpConnect();
    // What the watch is to look for, from the rules' answers for what is owed later.
    uint32_t Wanted(bool& edge) const;
    // Has the watch look for what is owed later; `recheck` asks the kernel to report what
    // already holds. Returns 0 or the Windows number of the failure.
    int  TryUpdate(bool recheck);
    // As TryUpdate; a socket that cannot be watched any more ends (FD_CLOSE with the error).
    void Update(bool recheck = false);
    void CheckInvariants() const;

    // What every notification and receive touches comes first, in the record's first
    // 64 bytes: a server's records are mostly cold, so each line touched is a miss.
    SocketFacts m_facts;
    SocketWatch m_watch;
    HWND        m_hwnd = 0;              // where the socket's events go (WSAAsyncSelect)
    UINT        m_msg = 0;
    int         m_kernelRcvbuf = 0;      // see KnownReceiveBufferSize; a listener's own, for what it accepts

    bool        m_inherited = false;     // an accepted socket's registration, taken from its listener, as yet untouched
    bool        m_bound = false;
    bool        m_localKnown = false;
    bool        m_peerKnown = false;
    int         m_type;
    int         m_rcvbufSet = 0;
    int         m_sndbufSet = 0;
    // A listener's bound address, an accepted socket's own, and its peer (network order).
    in_addr_t   m_localAddress = 0;
    in_addr_t   m_peerAddress = 0;
    in_port_t   m_localPort = 0;
    in_port_t   m_peerPort = 0;
    // Every (window, message) the socket was ever registered with, so that closesocket
    // can withdraw all notifications still queued for it, a cancelled registration's too.
    Registrations m_registrations;
    // The connect under way: when it is given up, and the loop's timer for that.
    std::chrono::steady_clock::time_point m_connectDeadline{};
    uint64_t    m_connectTimer = 0;
};

SocketRecord* FindRecord(int fd);
// A record for a socket made here: a datagram socket counts as connected from the start.
SocketRecord& AddRecord(int fd, bool datagram);
// A record for a socket made elsewhere, in the phase it was found in.
SocketRecord& AddRecord(int fd, bool datagram, SocketPhase phase);
// A record for a connection accepted from `listener` (see SocketRecord::Accepted).
SocketRecord& AddAccepted(int fd, const SocketRecord* listener, bool nonBlocking, const sockaddr_in& peer);
// Forgets the socket, which is closed next, and withdraws its queued notifications.
void RemoveRecord(int fd);

// Ends the connect under way on fd in the kernel (the socket may connect again), and
// clears the error that leaves behind.
void AbandonConnect(int fd);

// Called by the loop with the events epoll reported for fd, entered as `generation`.
void OnSocketReady(int fd, uint32_t generation, uint32_t events);

}  // namespace platform::detail
