// SPDX-License-Identifier: MIT
#include "platform/AsyncSelect.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <netinet/in.h>

#include "platform/linux/ErrorMap.h"
#include "platform/linux/SocketRecord.h"
#include "platform/Testing.h"

namespace platform {

namespace {

// A socket made elsewhere gets a record in the phase it is found in.
detail::SocketRecord* RecordOfForeignSocket(SOCKET s) {
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) < 0) return nullptr;
    const bool datagram = type == SOCK_DGRAM;
    int accepting = 0;
    len = sizeof accepting;
    if (::getsockopt(s, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) == 0 && accepting) {
        detail::SocketRecord& rec = detail::AddRecord(s, datagram, detail::SocketPhase::Listening);
        rec.NoteType(type);
        return &rec;
    }
    if (sockaddr_in peer{}; type == SOCK_STREAM) {
        len = sizeof peer;
        if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &len) == 0) {
            detail::SocketRecord& rec = detail::AddRecord(s, datagram, detail::SocketPhase::Connected);
            rec.NoteType(type);
            return &rec;
        }
    }
    detail::SocketRecord& rec = detail::AddRecord(s, datagram);
    rec.NoteType(type);
    // A socket bound elsewhere can receive: a datagram socket taken for unbound would
    // refuse every receive and be told of its waiting datagram again and again.
    sockaddr_in local{};
    len = sizeof local;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&local), &len) == 0 && local.sin_port != 0) rec.NoteBound();
    return &rec;
}

}  // namespace

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT wMsg, long lEvent) {
    if (!detail::Started()) return SOCKET_ERROR;
    detail::SocketRecord* rec = detail::FindRecord(s);
    if (rec == nullptr) rec = RecordOfForeignSocket(s);
    if (rec == nullptr) return detail::Fail(WSAENOTSOCK);
    if (lEvent != 0) {
        if (const int failure = testing::detail::TakeAsyncSelectFailure()) return detail::Fail(failure);
    }
    if (!rec->NonBlocking()) {
        const int flags = ::fcntl(s, F_GETFL);
        if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) < 0) return detail::FailErrno();
        rec->NoteNonBlocking();
    }
    if (lEvent == 0) {
        rec->CancelRegistration();
    } else {
        if (const int error = rec->Register(hwnd, wMsg, lEvent)) return detail::Fail(error);
    }
    return 0;
}

}  // namespace platform
