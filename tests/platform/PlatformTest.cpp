// SPDX-License-Identifier: MIT
#include "tests/platform/PlatformTest.h"

#include <algorithm>
#include <stdexcept>

#include "platform/Testing.h"

namespace platformtest {

std::vector<Record>& Received() {
    static std::vector<Record> records;
    return records;
}

std::function<void(const Record&)>& OnRecord() {
    static std::function<void(const Record&)> hook;
    return hook;
}

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Received().push_back({hwnd, msg, wParam, lParam});
    if (OnRecord()) OnRecord()(Received().back());
    return 0;
}

RawListener::RawListener() : listener(8), fd(listener.Fd()), port(listener.Port()) {}

RawListener::~RawListener() = default;

int RawListener::Accept() { return testsupport::RawAccept(fd); }

bool Readable(int fd, std::chrono::milliseconds limit) { return testsupport::RawReadable(fd, limit); }

void PlatformTest::SetUp() {
    platform::testing::Reset();
    for (int i = 0; i < 10 && PumpMessages(0ms) > 0; ++i) {
    }
    Received().clear();
    OnRecord() = nullptr;
    WSADATA data;
    ASSERT_EQ(platform::WSAStartup(0x0202, &data), 0);
    m_hwnd = CreateWindowExA(0, "STATIC", "platform test", 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
    ASSERT_NE(m_hwnd, HWND{});
    SetWindowLongA(m_hwnd, GWL_WNDPROC, &RecordingProc);
    m_msg = RegisterWindowMessageA("platform test socket");
}

void PlatformTest::TearDown() {
    OnRecord() = nullptr;
    for (SOCKET s : m_sockets) platform::closesocket(s);
    for (int fd : m_peers) testsupport::RawClose(fd);
    DestroyWindow(m_hwnd);
    WSACleanup();
}

SOCKET PlatformTest::NewSocket(int type) {
    const SOCKET s = platform::socket(AF_INET, type, 0);
    EXPECT_NE(s, INVALID_SOCKET) << WSAGetLastError();
    if (s != INVALID_SOCKET) m_sockets.push_back(s);
    return s;
}

int PlatformTest::Close(SOCKET s) {
    std::erase(m_sockets, s);
    return platform::closesocket(s);
}

SOCKET PlatformTest::ConnectedPair(int& peerFd) {
    RawListener listener;
    const SOCKET s = NewSocket();
    const sockaddr_in a = Loopback(listener.port);
    EXPECT_EQ(platform::connect(s, Sa(a), sizeof a), 0) << WSAGetLastError();
    peerFd = Peer(listener.Accept());
    return s;
}

SOCKET PlatformTest::Listening(int& port) {
    const SOCKET s = NewSocket();
    const sockaddr_in a = Loopback(0);
    EXPECT_EQ(platform::bind(s, Sa(a), sizeof a), 0) << WSAGetLastError();
    EXPECT_EQ(platform::listen(s, 8), 0) << WSAGetLastError();
    port = LocalPort(s);
    return s;
}

int PlatformTest::Peer(int fd) {
    EXPECT_GE(fd, 0);
    m_peers.push_back(fd);
    return fd;
}

void PlatformTest::ResetPeer(int fd) {
    std::erase(m_peers, fd);
    ResetClose(fd);
}

void PlatformTest::ClosePeer(int fd) {
    std::erase(m_peers, fd);
    testsupport::RawClose(fd);
}

std::vector<int> PlatformTest::Events(SOCKET s) const {
    std::vector<int> events;
    for (const Record& r : Received()) {
        if (r.hwnd == m_hwnd && r.msg == m_msg && r.wParam == static_cast<WPARAM>(s)) events.push_back(LOWORD(r.lParam));
    }
    return events;
}

int PlatformTest::Count(SOCKET s, long event) const {
    return static_cast<int>(std::ranges::count(Events(s), static_cast<int>(event)));
}

int PlatformTest::ErrorOf(SOCKET s, long event) const {
    for (const Record& r : Received()) {
        if (r.hwnd == m_hwnd && r.msg == m_msg && r.wParam == static_cast<WPARAM>(s) && LOWORD(r.lParam) == event) {
            return HIWORD(r.lParam);
        }
    }
    return -1;
}

}  // namespace platformtest
