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
        return &detail::AddRecord(s, datagram, detail::SocketPhase::Listening);
    }
    if (sockaddr_in peer{}; type == SOCK_STREAM) {
        len = sizeof peer;
        if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &len) == 0) {
            return &detail::AddRecord(s, datagram, detail::SocketPhase::Connected);
        }
    }
    return &detail::AddRecord(s, datagram);
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
    const int flags = ::fcntl(s, F_GETFL);
    if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) < 0) return detail::FailErrno();
    if (lEvent == 0) {
        rec->CancelRegistration();
    } else {
        rec->Register(hwnd, wMsg, lEvent);
    }
    return 0;
}

}  // namespace platform
