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
// which re-checks the condition. An idle socket therefore costs nothing.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "platform/WinTypes.h"

namespace platform::detail {

enum class Phase {
    Fresh,        // stream socket, neither connected nor listening
    Connecting,   // non-blocking connect under way
    Connected,    // stream connected, or any datagram socket
    Listening,
    Failed,       // a connect attempt failed
};

struct SocketRecord {
    int fd = -1;
    bool datagram = false;
    Phase phase = Phase::Fresh;
    bool bound = false;
    bool shutSend = false;
    bool shutRecv = false;         // the read side is shut here: no FD_READ or FD_CLOSE any more
    int  resetError = 0;           // sticky error once the kernel reported a reset
    int  rcvbufSet = 0;            // SO_RCVBUF / SO_SNDBUF as the application set them
    int  sndbufSet = 0;
    // Registration of WSAAsyncSelect.
    HWND hwnd = 0;
    UINT msg = 0;
    long mask = 0;
    long armed = 0;                // events that may still be posted
    bool writeWanted = false;      // a send would have blocked: FD_WRITE owed
    bool closePosted = false;
    bool watched = false;          // in the epoll set
    bool edge = false;             // watched edge-triggered (a healthy connected stream)
    uint32_t edgeInterest = 0;     // what it is watched for then
    bool finSeen = false;          // epoll reported the peer's close
    // Every (window, message) the socket was ever registered with, so that closesocket
    // can withdraw all notifications still queued for it, a cancelled registration's too.
    std::vector<std::pair<HWND, UINT>> registrations;
};

// True while WSAStartup is in force.
bool ServiceStarted();

SocketRecord* FindRecord(int fd);
SocketRecord& AddRecord(int fd, bool datagram);
// Forgets the socket: leaves epoll and withdraws its queued notifications.
void RemoveRecord(int fd);

// Recomputes the epoll interest of the socket and re-arms it. An edge-triggered
// socket whose interest is unchanged costs nothing, unless `recheck` asks the
// kernel to report what already holds.
void Rearm(SocketRecord& rec, bool recheck = false);
// A receive was made (FD_READ is re-enabled): tell at once what is known to be
// left, or have the kernel look again.
void AfterReceive(SocketRecord& rec, int result, int len, int flags);
// A connect under way on a socket that is not registered (never, or cancelled since)
// has no one watching it: once the kernel knows the outcome it is taken now. A
// registered socket's outcome comes through the loop, and its state changes then.
void SettleConnect(SocketRecord& rec);
// A re-enabling call for the event was made: arm it again and re-check.
void Reenable(SocketRecord& rec, long event);
// Posts one network event to the socket's window, if it is registered and armed for it.
void PostEvent(SocketRecord& rec, long event, int error);

// Called by the loop with the events epoll reported for fd.
void OnSocketReady(int fd, uint32_t events);

}  // namespace platform::detail
