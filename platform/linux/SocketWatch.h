// SPDX-License-Identifier: MIT
// Internal to the platform layer: how a socket's descriptor is watched in epoll.
//
// The socket record says what it wants heard (epoll events) and in which mode; the
// watch makes the fewest epoll calls that give it that:
// - One-shot (EPOLLONESHOT), the default: the kernel disarms the watch when it reports,
//   and re-arming (EPOLL_CTL_MOD) looks at the condition again, which gives Windows'
//   "a message at the re-enabling call if the condition still holds". A watch that its
//   report disarmed stays in the set, silent, while it wants nothing.
// - Edge-triggered, for a stream that reads and for a listener that fetches ahead: the
//   kernel tells of each change once, so neither a receive nor an accept needs an epoll
//   call, and an unchanged interest costs nothing.
// - Lingering: an edge-triggered stream that wants nothing more has mostly ended and is
//   closed next, which takes it out of the set. It stays until then, or until its next
//   report, which is dropped and takes it out: an epoll call saved per connection.
// - Fetch-ahead: a listener watched edge-triggered hears of a run of waiting
//   connections once, so it takes the connection an edge announces ahead of the accept
//   call (Fetch), which then takes it without asking the kernel (TakeFetched) and
//   fetches the next.
// - Generations: reports carry the socket's generation beside its number, so that one
//   for a socket closed since (whose number the kernel hands out again at once) is
//   dropped; a socket made before a fork, which the child may hold open, leaves the set
//   before its close.
#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace platform::detail {

class SocketWatch {
public:
    explicit SocketWatch(int fd);

    int      Fd() const { return m_fd; }
    uint32_t Generation() const { return m_generation; }
    bool     Watched() const { return m_watched; }

    // Watches for `events`, edge-triggered or one-shot; events 0 stops watching (an
    // edge-triggered stream lingers). `recheck` has the kernel report what already holds
    // even when the interest is unchanged. Returns 0, or the Windows number of the epoll
    // call that failed (then the old interest may still be in force).
    int  Set(uint32_t events, bool edge, bool recheck);
    // A report epoll made for the descriptor, entered as `generation`: false when it is
    // not to be heard, being an earlier socket's, or one for a lingering watch, which
    // leaves the set now.
    bool Hears(uint32_t generation);

    // Takes the next connection waiting on the listener, or the failure taking it met;
    // true when one (or a failure) is held for the accept call.
    bool Fetch();
    bool HoldsFetched() const;
    // The connection fetched ahead and its peer, or -1 and the Windows number of the
    // failure; false when nothing is held.
    bool TakeFetched(int& fd, sockaddr_in& peer, int& error);

    // The descriptor is closed next: a connection fetched ahead goes with it, and one
    // that a fork since its making may hold open leaves the set now.
    void Leave();

    void CheckInvariants(bool wantsEdge, uint32_t events) const;

private:
    int      m_fd;
    uint32_t m_generation;          // tells this socket's reports from an earlier one's with its number
    uint32_t m_interest = 0;        // what an edge-triggered watch looks for
    uint32_t m_forksAtMaking;       // the process's fork count when the socket was made
    bool     m_watched = false;     // in the epoll set
    bool     m_edge = false;        // watched edge-triggered
    bool     m_lingering = false;   // edge-triggered, left in the set although it wants nothing
    bool     m_disarmed = false;    // one-shot, disarmed by its last report
};

}  // namespace platform::detail
