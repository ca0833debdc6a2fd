// Internal to the platform layer: POSIX and resolver error numbers to Windows ones.
#pragma once

namespace platform::detail {

// errno to the Windows Sockets number (EAGAIN to 10035, ECONNRESET to 10054, ...).
// EPIPE depends on the socket's history; callers resolve it before asking.
int WsaErrorFromErrno(int error);

// getaddrinfo's EAI_* result to the Windows lookup number (EAI_NONAME to 11001, ...).
int WsaErrorFromEai(int eai, int savedErrno);

}  // namespace platform::detail
