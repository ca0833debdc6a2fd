// SPDX-License-Identifier: MIT
// Internal to the platform layer: how a failure reaches the caller as a Windows number.
//
// One table turns errno into a Windows Sockets number (WsaErrorFromErrno). Where
// Windows answers otherwise for a particular call, or according to what the socket
// went through, that call's translation sits beside the table, not in the caller:
// the calls see Windows numbers only, and so does what the layer keeps of a socket.
#pragma once

#include <cstdint>

#include "platform/ErrorNumbers.h"

namespace platform::detail {

struct SocketFacts;

// errno to the Windows Sockets number (EAGAIN to 10035, ECONNRESET to 10054, ...).
int WsaErrorFromErrno(int error);

// getaddrinfo's EAI_* result to the Windows lookup number (EAI_NONAME to 11001, ...).
int WsaErrorFromEai(int eai, int savedErrno);

// ---- Translations that depend on the call ----

// What a failed data call reports, and what it tells of the connection.
struct CallFailure {
    int  error;  // the Windows number the call reports
    bool reset;  // the peer reset the connection: the kernel says so only once, so it is kept
};

// A failed connect.
int  ConnectError(int error);
// The connect attempt goes on (its outcome comes later), where Windows says 10035.
bool ConnectUnderWay(int error);
// A failed send, or a sendto without an address; `socket` is nullptr for a socket made elsewhere.
CallFailure SendFailure(int error, const SocketFacts* socket);
// A failed sendto on a datagram socket, to `destination` (network order).
int  SendToError(int error, uint32_t destination);
// A failed recv or recvfrom.
CallFailure ReceiveFailure(int error);

// ---- Reporting ----

// Leaves error as the calling thread's last error (WSAGetLastError); returns SOCKET_ERROR.
int Fail(int error);
// Fail with errno, translated.
int FailErrno();
// True while WSAStartup is in force; otherwise leaves WSANOTINITIALISED as the last error.
bool Started();

}  // namespace platform::detail
