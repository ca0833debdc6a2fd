// SPDX-License-Identifier: MIT
// Windows Sockets on Windows: the platform calls pass straight through to ws2_32.
//
// What is added on the way: the socket handle is narrowed to the 32 bits the
// socket object keeps and widened back (see SOCKET in WinTypes.h); closesocket
// withdraws the notifications still queued for the socket (SocketHandles.h); and
// the test seam of Testing.h where a real call can honour it.
#include "platform/Winsock.h"

#include "platform/Testing.h"
#include "platform/windows/SocketHandles.h"

namespace platform {

namespace {

using detail::FitsNarrow;
using detail::Narrow;
using detail::Wide;

int Fail(int error) {
    ::WSASetLastError(error);
    return SOCKET_ERROR;
}

}  // namespace

int WSAStartup(WORD versionRequested, WSADATA* data) {
    if (const int failure = testing::detail::TakeStartupFailure()) return failure;
    const int result = ::WSAStartup(versionRequested, data);
    // The largest datagram is left to the implementation (ignored from version 2 on;
    // Wine says 65467). Both platforms report the IPv4 maximum, 65507, so that the
    // socket object sizes its datagram receives alike; the test seam may change it.
    if (result == 0 && data != nullptr) data->iMaxUdpDg = testing::detail::MaxUdpDatagram();
    return result;
}

int WSACleanup() { return ::WSACleanup(); }
int WSAGetLastError() { return ::WSAGetLastError(); }
void WSASetLastError(int error) { ::WSASetLastError(error); }

SOCKET socket(int af, int type, int protocol) {
    const ::SOCKET s = ::socket(af, type, protocol);
    if (s == ~::SOCKET{0}) return INVALID_SOCKET;
    if (!FitsNarrow(s)) {
        ::closesocket(s);
        return Fail(WSAEMFILE);
    }
    return Narrow(s);
}

int closesocket(SOCKET s) {
    if (::closesocket(Wide(s)) == SOCKET_ERROR) return SOCKET_ERROR;
    detail::WithdrawNotifications(s);
    return 0;
}

int shutdown(SOCKET s, int how) { return ::shutdown(Wide(s), how); }
int connect(SOCKET s, const sockaddr* name, int namelen) { return ::connect(Wide(s), name, namelen); }
int bind(SOCKET s, const sockaddr* name, int namelen) { return ::bind(Wide(s), name, namelen); }
int listen(SOCKET s, int backlog) { return ::listen(Wide(s), backlog); }

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
    const ::SOCKET accepted = ::accept(Wide(s), addr, addrlen);
    if (accepted == ~::SOCKET{0}) return INVALID_SOCKET;
    if (!FitsNarrow(accepted)) {
        ::closesocket(accepted);
        return Fail(WSAEMFILE);
    }
    const SOCKET narrow = Narrow(accepted);
    detail::InheritRegistration(s, narrow);
    return narrow;
}

int send(SOCKET s, const char* buf, int len, int flags) { return ::send(Wide(s), buf, len, flags); }
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen) {
    return ::sendto(Wide(s), buf, len, flags, to, tolen);
}
int recv(SOCKET s, char* buf, int len, int flags) { return ::recv(Wide(s), buf, len, flags); }
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
    return ::recvfrom(Wide(s), buf, len, flags, from, fromlen);
}
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    return ::getsockopt(Wide(s), level, optname, optval, optlen);
}
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    return ::setsockopt(Wide(s), level, optname, optval, optlen);
}
int getsockname(SOCKET s, sockaddr* name, int* namelen) { return ::getsockname(Wide(s), name, namelen); }
int getpeername(SOCKET s, sockaddr* name, int* namelen) { return ::getpeername(Wide(s), name, namelen); }

uint32_t inet_addr(const char* cp) { return ::inet_addr(cp); }
char* inet_ntoa(in_addr in) { return ::inet_ntoa(in); }

}  // namespace platform
