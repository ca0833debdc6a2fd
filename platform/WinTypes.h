// The Windows types, constants and records that the substitute services exchange.
//
// Socket handles are the operating system's descriptors. Window handles are small
// process-unique numbers that are never handed out twice.
#pragma once

#include <cstdint>

namespace platform {

using UINT    = uint32_t;
using WORD    = uint16_t;
using DWORD   = uint32_t;
using BOOL    = int32_t;
using HWND    = uint32_t;       // 0 means "no window"
using WPARAM  = uintptr_t;
using LPARAM  = intptr_t;
using LRESULT = intptr_t;
using HANDLE  = uintptr_t;      // asynchronous request handle; 0 means failure
using HGLOBAL = uintptr_t;      // memory block handle; 0 means failure
using HINSTANCE = uintptr_t;
using SOCKET  = int32_t;        // the descriptor itself

using WNDPROC = LRESULT (*)(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

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

}  // namespace platform
