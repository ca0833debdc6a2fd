// SPDX-License-Identifier: MIT
// Every error number the system reports, named once: the Windows Sockets numbers
// (what WSAGetLastError gives, and what a socket error carries) and the runtime
// numbers of the component's errors that are not socket errors.
//
// Product code uses these names only. Each Windows Sockets number has its text beside
// its name in kSocketErrorTexts, which MSocketSupport::SocketErrorText reads; the
// runtime numbers' texts are inet::RuntimeErrorText.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#ifdef _WIN32
#include "platform/windows/Native.h"
#endif

namespace platform {

// ---- Windows Sockets ----
inline constexpr int WSAEINTR           = 10004;
inline constexpr int WSAEACCES          = 10013;
inline constexpr int WSAEFAULT          = 10014;
inline constexpr int WSAEINVAL          = 10022;
inline constexpr int WSAEMFILE          = 10024;
inline constexpr int WSAEWOULDBLOCK     = 10035;
inline constexpr int WSAEINPROGRESS     = 10036;
inline constexpr int WSAEALREADY        = 10037;
inline constexpr int WSAENOTSOCK        = 10038;
inline constexpr int WSAEDESTADDRREQ    = 10039;
inline constexpr int WSAEMSGSIZE        = 10040;
inline constexpr int WSAEPROTOTYPE      = 10041;
inline constexpr int WSAENOPROTOOPT     = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP      = 10045;
inline constexpr int WSAEPFNOSUPPORT    = 10046;
inline constexpr int WSAEAFNOSUPPORT    = 10047;
inline constexpr int WSAEADDRINUSE      = 10048;
inline constexpr int WSAEADDRNOTAVAIL   = 10049;
inline constexpr int WSAENETDOWN        = 10050;
inline constexpr int WSAENETUNREACH     = 10051;
inline constexpr int WSAENETRESET       = 10052;
inline constexpr int WSAECONNABORTED    = 10053;
inline constexpr int WSAECONNRESET      = 10054;
inline constexpr int WSAENOBUFS         = 10055;
inline constexpr int WSAEISCONN         = 10056;
inline constexpr int WSAENOTCONN        = 10057;
inline constexpr int WSAESHUTDOWN       = 10058;
inline constexpr int WSAETIMEDOUT       = 10060;
inline constexpr int WSAECONNREFUSED    = 10061;
inline constexpr int WSAEHOSTDOWN       = 10064;
inline constexpr int WSAEHOSTUNREACH    = 10065;
inline constexpr int WSAEPROCLIM        = 10067;
inline constexpr int WSASYSNOTREADY     = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED  = 10093;
inline constexpr int WSAEDISCON         = 10101;
inline constexpr int WSASYSCALLFAILURE  = 10107;
inline constexpr int WSATYPE_NOT_FOUND  = 10109;
inline constexpr int WSAHOST_NOT_FOUND  = 11001;
inline constexpr int WSATRY_AGAIN       = 11002;
inline constexpr int WSANO_RECOVERY     = 11003;
inline constexpr int WSANO_DATA         = 11004;

// ---- Their texts ----
struct SocketErrorTextEntry {
    int number;
    const char* text;
};

inline constexpr SocketErrorTextEntry kSocketErrorTexts[] = {
    {WSAEINTR,           "Interrupted function call."},
    {WSAEACCES,          "Permission denied."},
    {WSAEFAULT,          "Bad address."},
    {WSAEINVAL,          "Invalid argument."},
    {WSAEMFILE,          "Too many open files."},
    {WSAEWOULDBLOCK,     "Resource temporarily unavailable."},
    {WSAEINPROGRESS,     "Operation now in progress."},
    {WSAEALREADY,        "Operation already in progress."},
    {WSAENOTSOCK,        "Socket operation on nonsocket."},
    {WSAEDESTADDRREQ,    "Destination address required."},
    {WSAEMSGSIZE,        "Message too long."},
    {WSAEPROTOTYPE,      "Protocol wrong type for socket."},
    {WSAENOPROTOOPT,     "Bad protocol option."},
    {WSAEPROTONOSUPPORT, "Protocol not supported."},
    {WSAESOCKTNOSUPPORT, "Socket type not supported."},
    {WSAEOPNOTSUPP,      "Operation not supported."},
    {WSAEPFNOSUPPORT,    "Protocol family not supported."},
    {WSAEAFNOSUPPORT,    "Address family not supported by protocol family."},
    {WSAEADDRINUSE,      "Address already in use."},
    {WSAEADDRNOTAVAIL,   "Cannot assign requested address."},
    {WSAENETDOWN,        "Network is down."},
    {WSAENETUNREACH,     "Network is unreachable."},
    {WSAENETRESET,       "Network dropped connection on reset."},
    {WSAECONNABORTED,    "Software caused connection abort."},
    {WSAECONNRESET,      "Connection reset by peer."},
    {WSAENOBUFS,         "No buffer space available."},
    {WSAEISCONN,         "Socket is already connected."},
    {WSAENOTCONN,        "Socket is not connected."},
    {WSAESHUTDOWN,       "Cannot send after socket shutdown."},
    {WSAETIMEDOUT,       "Connection timed out."},
    {WSAECONNREFUSED,    "Connection refused."},
    {WSAEHOSTDOWN,       "Host is down."},
    {WSAEHOSTUNREACH,    "No route to host."},
    {WSAEPROCLIM,        "Too many processes."},
    {WSASYSNOTREADY,     "Network subsystem is unavailable."},
    {WSAVERNOTSUPPORTED, "Winsock.dll version out of range."},
    {WSANOTINITIALISED,  "Successful WSAStartup not yet performed."},
    {WSAEDISCON,         "Graceful shutdown in progress."},
    {WSASYSCALLFAILURE,  "System call failure."},
    {WSATYPE_NOT_FOUND,  "Class type not found."},
    {WSAHOST_NOT_FOUND,  "Host not found."},
    {WSATRY_AGAIN,       "Nonauthoritative host not found."},
    {WSANO_RECOVERY,     "This is a nonrecoverable error."},
    {WSANO_DATA,         "Valid name, no data record of requested type."},
};

// The text of a Windows Sockets number; nullptr for a number without a name here.
constexpr const char* SocketErrorTextOf(int number) {
    for (const SocketErrorTextEntry& entry : kSocketErrorTexts) {
        if (entry.number == number) return entry.text;
    }
    return nullptr;
}

// One text per name: the table runs in the names' order, each number once.
static_assert(std::size(kSocketErrorTexts) == 44);
static_assert([] {
    for (size_t i = 1; i < std::size(kSocketErrorTexts); ++i) {
        if (kSocketErrorTexts[i - 1].number >= kSocketErrorTexts[i].number) return false;
    }
    return true;
}());

// ---- Runtime errors ----
inline constexpr int32_t kInvalidProcedureCall = 5;
inline constexpr int32_t kOverflow             = 6;
inline constexpr int32_t kOutOfMemory          = 7;
inline constexpr int32_t kSubscriptOutOfRange  = 9;
inline constexpr int32_t kTypeMismatch         = 13;
inline constexpr int32_t kObjectNotSet         = 91;  // the window's socket object is missing
inline constexpr int32_t kWrongProtocolOrState = 40006;

}  // namespace platform

#ifdef _WIN32
// For code written against the Windows headers, whose macros Native.h took away.
using platform::WSAEINTR;
using platform::WSAEACCES;
using platform::WSAEFAULT;
using platform::WSAEINVAL;
using platform::WSAEMFILE;
using platform::WSAEWOULDBLOCK;
using platform::WSAEINPROGRESS;
using platform::WSAEALREADY;
using platform::WSAENOTSOCK;
using platform::WSAEDESTADDRREQ;
using platform::WSAEMSGSIZE;
using platform::WSAEPROTOTYPE;
using platform::WSAENOPROTOOPT;
using platform::WSAEPROTONOSUPPORT;
using platform::WSAESOCKTNOSUPPORT;
using platform::WSAEOPNOTSUPP;
using platform::WSAEPFNOSUPPORT;
using platform::WSAEAFNOSUPPORT;
using platform::WSAEADDRINUSE;
using platform::WSAEADDRNOTAVAIL;
using platform::WSAENETDOWN;
using platform::WSAENETUNREACH;
using platform::WSAENETRESET;
using platform::WSAECONNABORTED;
using platform::WSAECONNRESET;
using platform::WSAENOBUFS;
using platform::WSAEISCONN;
using platform::WSAENOTCONN;
using platform::WSAESHUTDOWN;
using platform::WSAETIMEDOUT;
using platform::WSAECONNREFUSED;
using platform::WSAEHOSTDOWN;
using platform::WSAEHOSTUNREACH;
using platform::WSAEPROCLIM;
using platform::WSASYSNOTREADY;
using platform::WSAVERNOTSUPPORTED;
using platform::WSANOTINITIALISED;
using platform::WSAEDISCON;
using platform::WSASYSCALLFAILURE;
using platform::WSATYPE_NOT_FOUND;
using platform::WSAHOST_NOT_FOUND;
using platform::WSATRY_AGAIN;
using platform::WSANO_RECOVERY;
using platform::WSANO_DATA;
#endif
