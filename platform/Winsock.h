// SPDX-License-Identifier: MIT
// Windows Sockets 1.1 over POSIX sockets: the socket calls. (On Windows the same
// calls pass straight through to ws2_32; only the handle is narrowed to 32 bits.)
//
// Each call behaves as its Windows namesake does towards a caller: the same
// results, and after a failure WSAGetLastError() gives the Windows error number
// of that very call. Socket handles are the descriptors themselves. Nothing here
// raises SIGPIPE. Socket calls made while the service is not started fail with
// WSANOTINITIALISED (10093). Everything but WSAAsyncGetHostByName's worker runs on
// the loop thread.
//
// Address helpers that POSIX already provides with the Windows meaning (htons,
// ntohs, the sockaddr_in record) are used as they are.
//
// The rest of Windows Sockets has headers of its own, which come with this one as
// they do with the Windows header: the error numbers (ErrorNumbers.h), the
// notifications (AsyncSelect.h) and the host lookups (HostLookup.h).
#pragma once

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "platform/AsyncSelect.h"
#include "platform/ErrorNumbers.h"
#include "platform/HostLookup.h"
#include "platform/WinTypes.h"

namespace platform {

// Service start and stop. Starts nest: the service runs until as many WSACleanup
// calls as WSAStartup calls have been made.
int  WSAStartup(WORD versionRequested, WSADATA* data);
int  WSACleanup();
int  WSAGetLastError();
void WSASetLastError(int error);

SOCKET socket(int af, int type, int protocol);
int    closesocket(SOCKET s);   // also withdraws the socket's notifications still queued
int    shutdown(SOCKET s, int how);
// A stream connect that gets no answer fails after about 21 s with WSAETIMEDOUT, as
// on Windows: from the call when the socket blocks, through FD_CONNECT when it is
// registered. A datagram connect only sets the peer; it succeeds at once, and a
// registered socket still gets its FD_CONNECT.
int    connect(SOCKET s, const sockaddr* name, int namelen);
int    bind(SOCKET s, const sockaddr* name, int namelen);
int    listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
int    send(SOCKET s, const char* buf, int len, int flags);
int    sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
int    recv(SOCKET s, char* buf, int len, int flags);
int    recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
// level and optname take the Windows numbers (SOL_SOCKET_W 0xFFFF, SO_RCVBUF_W ...).
int    getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int    setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int    getsockname(SOCKET s, sockaddr* name, int* namelen);
int    getpeername(SOCKET s, sockaddr* name, int* namelen);

// Dotted text to an address in network order; INADDR_NONE when it does not parse.
// One to four parts, each decimal, octal (leading 0) or hexadecimal (0x).
uint32_t inet_addr(const char* cp);
// The dotted text of an address; the text stays valid until the next call on this thread.
char* inet_ntoa(in_addr in);

}  // namespace platform
