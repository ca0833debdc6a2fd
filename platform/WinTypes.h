// SPDX-License-Identifier: MIT
// The Windows types, constants and records that the substitute services exchange.
//
// Socket handles are the operating system's descriptors. Window handles are small
// process-unique numbers that are never handed out twice.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include "platform/windows/Native.h"
#elif !defined(CALLBACK)
#define CALLBACK
#endif

namespace platform {

#ifdef _WIN32
// The Windows types themselves, so that procedures and records pass straight through.
using ::UINT;
using ::WORD;
using ::DWORD;
using ::BOOL;
using ::HWND;
using ::WPARAM;
using ::LPARAM;
using ::LRESULT;
using ::WSADATA;
using ::WNDPROC;
#else
using UINT    = uint32_t;
using WORD    = uint16_t;
using DWORD   = uint32_t;
using BOOL    = int32_t;
using HWND    = uint32_t;       // 0 means "no window"
using WPARAM  = uintptr_t;
using LPARAM  = intptr_t;
using LRESULT = intptr_t;
#endif
using HANDLE  = uintptr_t;      // asynchronous request handle; 0 means failure
using HGLOBAL = uintptr_t;      // memory block handle; 0 means failure
using HINSTANCE = uintptr_t;
// The socket handle as the socket object keeps it: 32 bits. On Linux it is the
// descriptor itself. A Windows SOCKET is 64 bits wide on Win64, but it is a kernel
// handle, and Windows keeps kernel handles within 32 bits (they are shared with
// 32-bit processes), so the pass-through narrows and widens it in one place
// (platform/windows/SocketHandles.h) without loss. A notification's wParam carries the
// wide value; converting it to SOCKET gives the same 32 bits.
using SOCKET  = int32_t;

// A window procedure, called with the calling convention the system uses for its
// callbacks: on Windows that is CALLBACK (__stdcall on 32-bit Windows, where a
// procedure of the compiler's default convention would leave the stack wrong), so
// every procedure handed to SetWindowLongA is declared `LRESULT CALLBACK Proc(...)`.
// Elsewhere CALLBACK says nothing.
#ifndef _WIN32
using WNDPROC = LRESULT (*)(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
#endif

inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int    SOCKET_ERROR   = -1;
inline constexpr int    GWL_WNDPROC    = -4;
inline constexpr UINT   WM_NULL        = 0x0000;
inline constexpr UINT   WM_PAINT       = 0x000F;
inline constexpr UINT   WM_TIMER       = 0x0113;
inline constexpr UINT   WM_USER        = 0x0400;

// Network events of WSAAsyncSelect: the low word of a notification's lParam. These
// are the only definitions of the event codes; the component uses them as they are.
inline constexpr long FD_READ    = 0x01;
inline constexpr long FD_WRITE   = 0x02;
inline constexpr long FD_OOB     = 0x04;
inline constexpr long FD_ACCEPT  = 0x08;
inline constexpr long FD_CONNECT = 0x10;
inline constexpr long FD_CLOSE   = 0x20;

inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND    = 1;
inline constexpr int SD_BOTH    = 2;

// A receive flag as Windows numbers it: look at the data without taking it.
inline constexpr int MSG_PEEK_W = 0x2;

// Socket option levels and names as Windows numbers them.
inline constexpr int SOL_SOCKET_W   = 0xFFFF;
inline constexpr int SO_REUSEADDR_W = 0x0004;
inline constexpr int SO_KEEPALIVE_W = 0x0008;
inline constexpr int SO_BROADCAST_W = 0x0020;
inline constexpr int SO_LINGER_W    = 0x0080;
inline constexpr int SO_SNDBUF_W    = 0x1001;
inline constexpr int SO_RCVBUF_W    = 0x1002;
inline constexpr int SO_ERROR_W     = 0x1007;
inline constexpr int SO_TYPE_W      = 0x1008;
inline constexpr int TCP_NODELAY_W  = 0x0001;   // at level IPPROTO_TCP, which both number 6

inline constexpr int MAXGETHOSTSTRUCT = 1024;

constexpr WORD LOWORD(LPARAM v) { return static_cast<WORD>(static_cast<uintptr_t>(v) & 0xFFFF); }
constexpr WORD HIWORD(LPARAM v) { return static_cast<WORD>((static_cast<uintptr_t>(v) >> 16) & 0xFFFF); }
constexpr LPARAM MAKELONG(WORD low, WORD high) {
    return static_cast<LPARAM>(static_cast<uint32_t>(low) | (static_cast<uint32_t>(high) << 16));
}

#ifndef _WIN32
// The start-up record; only iMaxUdpDg is of use to callers.
struct WSADATA {
    WORD     wVersion;
    WORD     wHighVersion;
    char     szDescription[257];
    char     szSystemStatus[129];
    uint16_t iMaxSockets;
    uint16_t iMaxUdpDg;
    char*    lpVendorInfo;
};
#endif

}  // namespace platform

#ifdef _WIN32
// The names whose Windows macros Native.h took away, for code written against the
// Windows headers.
using platform::INVALID_SOCKET;
using platform::SOCKET_ERROR;
using platform::WM_NULL;
using platform::WM_PAINT;
using platform::WM_TIMER;
using platform::WM_USER;
using platform::FD_READ;
using platform::FD_WRITE;
using platform::FD_OOB;
using platform::FD_ACCEPT;
using platform::FD_CONNECT;
using platform::FD_CLOSE;
using platform::SD_RECEIVE;
using platform::SD_SEND;
using platform::SD_BOTH;
using platform::MAXGETHOSTSTRUCT;
using platform::LOWORD;
using platform::HIWORD;
using platform::MAKELONG;
#endif
