// SPDX-License-Identifier: MIT
// The Windows headers, made to live beside the platform layer's own names.
//
// The platform headers name the Windows constants in namespace platform
// (platform::FD_READ, platform::WSAEWOULDBLOCK, platform::LOWORD, ...) so that the
// same sources build on Linux, where there are no Windows headers. The Windows
// headers define those names as macros, which would turn `platform::FD_READ` into
// `platform::0x01`. So this header includes them once, takes those macros away,
// and the platform headers give the names back as constants and functions, in
// namespace platform and, for code written against the Windows headers, at global
// scope too (see the end of WinTypes.h). Only `#ifdef FD_READ` no longer works.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#undef FD_READ
#undef FD_WRITE
#undef FD_OOB
#undef FD_ACCEPT
#undef FD_CONNECT
#undef FD_CLOSE
#undef INVALID_SOCKET
#undef SOCKET_ERROR
#undef SD_RECEIVE
#undef SD_SEND
#undef SD_BOTH
#undef MAXGETHOSTSTRUCT
#undef GWL_WNDPROC
#undef WM_NULL
#undef WM_PAINT
#undef WM_TIMER
#undef WM_USER
#undef WM_GETDLGCODE
#undef DLGC_STATIC
#undef LOWORD
#undef HIWORD
#undef MAKELONG

#undef WSAEINTR
#undef WSAEACCES
#undef WSAEFAULT
#undef WSAEINVAL
#undef WSAEMFILE
#undef WSAEWOULDBLOCK
#undef WSAEINPROGRESS
#undef WSAEALREADY
#undef WSAENOTSOCK
#undef WSAEDESTADDRREQ
#undef WSAEMSGSIZE
#undef WSAEPROTOTYPE
#undef WSAENOPROTOOPT
#undef WSAEPROTONOSUPPORT
#undef WSAESOCKTNOSUPPORT
#undef WSAEOPNOTSUPP
#undef WSAEPFNOSUPPORT
#undef WSAEAFNOSUPPORT
#undef WSAEADDRINUSE
#undef WSAEADDRNOTAVAIL
#undef WSAENETDOWN
#undef WSAENETUNREACH
#undef WSAENETRESET
#undef WSAECONNABORTED
#undef WSAECONNRESET
#undef WSAENOBUFS
#undef WSAEISCONN
#undef WSAENOTCONN
#undef WSAESHUTDOWN
#undef WSAETIMEDOUT
#undef WSAECONNREFUSED
#undef WSAEHOSTDOWN
#undef WSAEHOSTUNREACH
#undef WSAEPROCLIM
#undef WSASYSNOTREADY
#undef WSAVERNOTSUPPORTED
#undef WSANOTINITIALISED
#undef WSAEDISCON
#undef WSASYSCALLFAILURE
#undef WSATYPE_NOT_FOUND
#undef WSAHOST_NOT_FOUND
#undef WSATRY_AGAIN
#undef WSANO_RECOVERY
#undef WSANO_DATA
#undef GMEM_FIXED
#undef GMEM_ZEROINIT
