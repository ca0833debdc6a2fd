// Internal to the platform layer: how a failure reaches the caller as a Windows number.
//
// One table turns errno into a Windows Sockets number (WsaErrorFromErrno). Where
// Windows answers otherwise for a particular call, or according to what the socket
// went through, that call's translation sits beside the table, not in the caller.
#pragma once

#include <cstdint>

#include "platform/ErrorNumbers.h"

namespace platform::detail {

class SocketRecord;

// errno to the Windows Sockets number (EAGAIN to 10035, ECONNRESET to 10054, ...).
int WsaErrorFromErrno(int error);

// getaddrinfo's EAI_* result to the Windows lookup number (EAI_NONAME to 11001, ...).
int WsaErrorFromEai(int eai, int savedErrno);

// ---- Translations that depend on the call ----

// A failed connect.
int ConnectError(int error);
// A failed send, or a sendto without an address; rec is nullptr for a socket made elsewhere.
int SendError(int error, const SocketRecord* rec);
// A failed sendto on a datagram socket, to `destination` (network order).
int SendToError(int error, uint32_t destination);
// A failed recv or recvfrom.
int ReceiveError(int error);

// ---- Reporting ----

// Leaves error as the calling thread's last error (WSAGetLastError); returns SOCKET_ERROR.
int Fail(int error);
// Fail with errno, translated.
int FailErrno();
// True while WSAStartup is in force; otherwise leaves WSANOTINITIALISED as the last error.
bool Started();

}  // namespace platform::detail
