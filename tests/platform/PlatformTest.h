// SPDX-License-Identifier: MIT
// Shared fixture for the platform tests: a started service, a hidden window whose
// procedure records every message, and plain POSIX peers on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/MessageLoop.h"
#include "platform/Window.h"
#include "platform/Winsock.h"
#include "tests/support/Loopback.h"

namespace platformtest {

using namespace std::chrono_literals;
using namespace platform;
// Spelled out too, so that on Windows they are preferred to the Windows headers'
// own functions and types of the same names.
using platform::SOCKET;
using platform::HANDLE;
using platform::WNDPROC;
using platform::WSAStartup;
using platform::WSACleanup;
using platform::WSAGetLastError;
using platform::WSASetLastError;
using platform::WSAAsyncSelect;
using platform::WSAAsyncGetHostByName;
using platform::WSACancelAsyncRequest;
using platform::CreateWindowExA;
using platform::SetWindowLongA;
using platform::RegisterWindowMessageA;
using platform::PostQuitMessage;

struct Record {
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

// Everything the recording procedure received, oldest first.
std::vector<Record>& Received();
// Called by the recording procedure after it recorded a message; empty by default.
std::function<void(const Record&)>& OnRecord();
LRESULT CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Pumps until pred() holds or the time is up; returns pred().
using testsupport::ClosedPort;
using testsupport::PumpFor;
using testsupport::PumpUntil;
using testsupport::ResetClose;  // closes with a reset (SO_LINGER 0)
using testsupport::kOnWindows;
using testsupport::UnderWine;
using testsupport::kWineResetIsGraceful;
inline sockaddr_in Loopback(int port) { return testsupport::LoopbackAddress(port); }
inline const sockaddr* Sa(const sockaddr_in& a) { return reinterpret_cast<const sockaddr*>(&a); }
inline int LocalPort(int fd) { return testsupport::LocalPortOf(fd); }

// A plain listening socket on 127.0.0.1, outside the layer.
struct RawListener {
    RawListener();
    ~RawListener();
    testsupport::RawListener listener;
    int fd = -1;
    int port = 0;
    int Accept();  // blocking
};

// A port on 127.0.0.1 where nothing listens.
bool Readable(int fd, std::chrono::milliseconds limit);

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A layer socket, closed by TearDown unless the test closes it with Close.
    SOCKET NewSocket(int type = SOCK_STREAM);
    int Close(SOCKET s);
    // A layer socket connected (blocking) to a plain peer; peerFd receives the peer.
    SOCKET ConnectedPair(int& peerFd);
    // A layer socket listening on 127.0.0.1 with an ephemeral port.
    SOCKET Listening(int& port);
    int Peer(int fd);  // a plain descriptor TearDown closes
    void ResetPeer(int fd);  // closes a peer with a reset now
    void ClosePeer(int fd);

    int Register(SOCKET s, long mask) { return WSAAsyncSelect(s, m_hwnd, m_msg, mask); }

    // The events (LOWORD of lParam) notified for s, in order.
    std::vector<int> Events(SOCKET s) const;
    int Count(SOCKET s, long event) const;
    // HIWORD of the lParam of the first notification of event for s; -1 when none came.
    int ErrorOf(SOCKET s, long event) const;
    bool Got(SOCKET s, long event) const { return Count(s, event) > 0; }

    HWND m_hwnd = 0;
    UINT m_msg = 0;
    std::vector<SOCKET> m_sockets;
    std::vector<int> m_peers;
};

}  // namespace platformtest
