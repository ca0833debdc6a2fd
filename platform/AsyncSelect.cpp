#include "platform/AsyncSelect.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <unordered_map>

#include "platform/ErrorMap.h"
#include "platform/EventLoop.h"

namespace platform::detail {

namespace {

std::unordered_map<int, SocketRecord>& Records() {
    static std::unordered_map<int, SocketRecord> records;
    return records;
}

int TakeSocketError(int fd) {
    int value = 0;
    socklen_t len = sizeof value;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &value, &len) < 0) return errno;
    return value;
}

int BytesWaiting(int fd) {
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

uint32_t Interest(const SocketRecord& r) {
    if (r.mask == 0) return 0;
    uint32_t ev = 0;
    switch (r.phase) {
        case Phase::Connecting:
            ev = EPOLLOUT;  // success shows as OUT, failure as ERR|HUP
            break;
        case Phase::Listening:
            if (r.armed & FD_ACCEPT) ev = EPOLLIN;
            break;
        case Phase::Connected:
            if (r.datagram) {
                if (r.armed & FD_READ) ev |= EPOLLIN;
            } else if (!r.shutRecv) {
                // Data and the peer's close are both seen through the read side; while an
                // FD_READ waits for its recv there is nothing to report on that side. Once
                // the peer has gone the read side stays ready for good, so it is watched
                // only while unread data is left to announce.
                if (r.closePosted) {
                    if ((r.armed & FD_READ) && BytesWaiting(r.fd) > 0) ev |= EPOLLIN;
                } else if (r.armed & FD_READ) {
                    ev |= EPOLLIN | EPOLLRDHUP;
                } else if (!(r.mask & FD_READ) && (r.armed & FD_CLOSE) && BytesWaiting(r.fd) == 0) {
                    ev |= EPOLLRDHUP;  // unread data holds FD_CLOSE back until a recv
                }
            }
            if (r.writeWanted) ev |= EPOLLOUT;
            break;
        case Phase::Fresh:
        case Phase::Failed:
            break;  // an unconnected stream socket polls HUP: not worth watching
    }
    return ev;
}

void OnConnecting(SocketRecord& rec, uint32_t events) {
    const int error = TakeSocketError(rec.fd);
    if (error != 0) {
        rec.phase = Phase::Failed;
        PostEvent(rec, FD_CONNECT, WsaErrorFromErrno(error));
        return;
    }
    if (!(events & EPOLLOUT)) return;
    rec.phase = Phase::Connected;
    PostEvent(rec, FD_CONNECT, 0);
    PostEvent(rec, FD_WRITE, 0);
}

// A connected stream that still reads is watched edge-triggered: the kernel tells of
// each arrival once, so a receive needs no epoll call to re-enable FD_READ. What a
// receive leaves behind is known from the receive itself (see AfterReceive).
bool EdgeMode(const SocketRecord& r) {
    return r.mask != 0 && (r.mask & FD_READ) && r.phase == Phase::Connected && !r.datagram && !r.closePosted &&
           !r.shutRecv && r.resetError == 0;
}

void OnStream(SocketRecord& rec, uint32_t events) {
    if (events & (EPOLLRDHUP | EPOLLHUP)) rec.finSeen = true;
    if (events & EPOLLERR) {
        const int error = TakeSocketError(rec.fd);
        // EPIPE here is the peer's reset after its FIN.
        if (error == ECONNRESET || error == EPIPE) {
            rec.resetError = WSAECONNRESET;
        } else if (error != 0) {
            rec.resetError = WsaErrorFromErrno(error);
        }
    }
    // Asked for RDHUP alone, epoll leaves IN out of what it reports: ask the socket itself.
    // Plain EPOLLIN means data; only a possible close needs the count.
    const int waiting = (events & (EPOLLRDHUP | EPOLLERR | EPOLLHUP)) ? BytesWaiting(rec.fd)
                        : (events & EPOLLIN)                         ? 1
                                                                     : 0;
    if (waiting > 0) PostEvent(rec, FD_READ, 0);
    if (rec.resetError != 0) {
        if (!rec.closePosted) {
            rec.closePosted = true;
            PostEvent(rec, FD_CLOSE, rec.resetError);
        }
    } else if ((events & (EPOLLRDHUP | EPOLLHUP)) && waiting == 0 && !rec.closePosted && !rec.shutRecv) {
        // The peer closed and every byte has been read.
        rec.closePosted = true;
        PostEvent(rec, FD_CLOSE, 0);
    }
    if ((events & EPOLLOUT) && rec.writeWanted) {
        rec.writeWanted = false;
        PostEvent(rec, FD_WRITE, 0);
    }
}

void OnDatagram(SocketRecord& rec, uint32_t events) {
    if (events & EPOLLERR) {
        // A connected datagram socket's ICMP port unreachable: the next receive reports it.
        const int error = TakeSocketError(rec.fd);
        if (error != 0) rec.resetError = WSAECONNRESET;
    }
    if (events & (EPOLLIN | EPOLLERR)) PostEvent(rec, FD_READ, 0);
    if ((events & EPOLLOUT) && rec.writeWanted) {
        rec.writeWanted = false;
        PostEvent(rec, FD_WRITE, 0);
    }
}

}  // namespace

SocketRecord* FindRecord(int fd) {
    auto it = Records().find(fd);
    return it == Records().end() ? nullptr : &it->second;
}

SocketRecord& AddRecord(int fd, bool datagram) {
    SocketRecord& rec = Records()[fd];
    rec = SocketRecord{};
    rec.fd = fd;
    rec.datagram = datagram;
    rec.phase = datagram ? Phase::Connected : Phase::Fresh;
    return rec;
}

void RemoveRecord(int fd) {
    auto it = Records().find(fd);
    if (it == Records().end()) return;
    SocketRecord& rec = it->second;
    EventLoop::Instance().Watch(fd, 0, rec.watched);
    for (const auto& [hwnd, msg] : rec.registrations) {
        EventLoop::Instance().Withdraw(hwnd, msg, static_cast<WPARAM>(fd));
    }
    Records().erase(it);
}

void Rearm(SocketRecord& rec, bool recheck) {
    if (EdgeMode(rec)) {
        const uint32_t want = EPOLLIN | EPOLLRDHUP | (rec.writeWanted ? EPOLLOUT : 0u);
        if (rec.edge && rec.watched && rec.edgeInterest == want && !recheck) return;
        EventLoop::Instance().Watch(rec.fd, want, rec.watched, EPOLLET);
        rec.edge = rec.watched;
        rec.edgeInterest = want;
        return;
    }
    rec.edge = false;
    EventLoop::Instance().Watch(rec.fd, Interest(rec), rec.watched);
}

void AfterReceive(SocketRecord& rec, int result, int len, int flags) {
    if (rec.mask & FD_READ) rec.armed |= FD_READ;
    if (!rec.edge || !EdgeMode(rec)) {
        Rearm(rec);  // one-shot: re-arming makes the kernel look again
        return;
    }
    if (result > 0 && (result == len || (flags & MSG_PEEK))) {
        PostEvent(rec, FD_READ, 0);  // the receive left data behind
    } else if (rec.finSeen && BytesWaiting(rec.fd) == 0) {
        // The peer's close came while data was still unread; now it has all been read.
        rec.closePosted = true;
        PostEvent(rec, FD_CLOSE, 0);
        Rearm(rec);
    } else if (rec.finSeen) {
        PostEvent(rec, FD_READ, 0);
    }
    // Otherwise the next arrival is an edge of its own.
}

void SettleConnect(SocketRecord& rec) {
    static_assert(POLLOUT == EPOLLOUT && POLLERR == EPOLLERR && POLLHUP == EPOLLHUP);
    if (rec.phase != Phase::Connecting || rec.mask != 0) return;  // the loop reports a registered one
    pollfd p{rec.fd, POLLOUT, 0};
    if (::poll(&p, 1, 0) != 1) return;
    OnConnecting(rec, static_cast<uint32_t>(p.revents));
    Rearm(rec);
}

void Reenable(SocketRecord& rec, long event) {
    if (rec.mask & event) rec.armed |= event;
    Rearm(rec);
}

void PostEvent(SocketRecord& rec, long event, int error) {
    if (!(rec.mask & event) || !(rec.armed & event)) return;
    rec.armed &= ~event;
    EventLoop::Instance().Post(rec.hwnd, rec.msg, static_cast<WPARAM>(rec.fd),
                               MAKELONG(static_cast<WORD>(event), static_cast<WORD>(error)));
}

void OnSocketReady(int fd, uint32_t events) {
    SocketRecord* rec = FindRecord(fd);
    if (rec == nullptr || rec->mask == 0) return;  // closed or cancelled since epoll saw it
    switch (rec->phase) {
        case Phase::Connecting:
            OnConnecting(*rec, events);
            break;
        case Phase::Listening:
            if (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) PostEvent(*rec, FD_ACCEPT, 0);
            break;
        case Phase::Connected:
            if (rec->datagram) {
                OnDatagram(*rec, events);
            } else {
                OnStream(*rec, events);
            }
            break;
        case Phase::Fresh:
        case Phase::Failed:
            break;
    }
    if (!rec->edge && Interest(*rec) == 0 && rec->watched) return;  // ONESHOT has disarmed it already
    Rearm(*rec);
}

}  // namespace platform::detail
