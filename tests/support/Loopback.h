// SPDX-License-Identifier: MIT
// Test helpers: plain POSIX peers on 127.0.0.1 and a bounded message pump. They need
// only the platform layer.
#pragma once

#ifdef _WIN32
#include "platform/WinTypes.h"
#else
#include <netinet/in.h>

#include "tests/support/Descriptors.h"  // OpenDescriptors
#endif

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace testsupport {

using namespace std::chrono_literals;

// Pumps the message loop until pred() holds or the time is up; returns pred().
bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit = 5000ms);
// Pumps for the whole duration.
void PumpFor(std::chrono::milliseconds duration);

// A plain listening socket on 127.0.0.1 with an ephemeral port (blocking accept).
class RawListener {
public:
    explicit RawListener(int backlog = 16);
    ~RawListener();
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;

    int Port() const { return m_port; }
    int Fd() const { return m_fd; }
    // Accepts one connection, waiting at most `limit` while pumping the loop; -1 on time-out.
    int Accept(std::chrono::milliseconds limit = 5000ms);

private:
    int m_fd = -1;
    int m_port = 0;
};

// 127.0.0.1:port as an address record.
sockaddr_in LoopbackAddress(int port);
// A port on 127.0.0.1 where nothing listens (bound, then closed).
int ClosedPort();
// A blocking plain TCP connection to 127.0.0.1:port; -1 on failure.
int RawConnect(int port);
// Writes everything; false on failure.
bool WriteAll(int fd, const std::string& data);
// Reads until `count` bytes came, the peer closed or the time ran out (pumping meanwhile).
std::string ReadSome(int fd, size_t count, std::chrono::milliseconds limit = 5000ms);
// Closes with a reset (SO_LINGER 0).
void ResetClose(int fd);
// The local port of a socket descriptor.
int LocalPortOf(int fd);

// True when the program runs on Windows' calls as Wine provides them. Where Wine
// departs from Windows' documented behaviour, a test skips with the reason.
bool UnderWine();
// Wine 8 delivers a reset between two of its own sockets as a graceful close.
inline constexpr const char* kWineResetIsGraceful =
    "Wine reports a reset between its own sockets as a graceful close; Windows reports 10054";
// True on Windows (or Wine): where a test checks a rule of the Linux substitute
// that Windows itself does not promise, it skips there with the reason.
constexpr bool kOnWindows =
#ifdef _WIN32
    true;
#else
    false;
#endif

// Plain socket calls for peers outside the layer, on both platforms. A peer is an
// int: on Linux the descriptor, on Windows the SOCKET narrowed as the layer narrows it.
int  RawSocket(int type);                                   // SOCK_STREAM or SOCK_DGRAM; -1 on failure
int  RawConnectTo(int fd, const sockaddr_in& to);           // blocking; 0 or -1
int  RawBind(int fd, const sockaddr_in& at);                // 0 or -1
int  RawAccept(int listenFd);                               // blocking; -1 on failure
int  RawSend(int fd, const char* data, int len);            // as send(); never raises SIGPIPE
int  RawSendTo(int fd, const char* data, int len, const sockaddr_in& to);
int  RawRecv(int fd, char* buf, int len);                   // blocking, as recv()
int  RawShutdownSend(int fd);
void RawClose(int fd);
bool RawReadable(int fd, std::chrono::milliseconds limit);  // readable (or closed) within the limit
bool RawWritable(int fd, std::chrono::milliseconds limit);
int  RawSetReceiveBuffer(int fd, int bytes);                // SO_RCVBUF
// The last failed Raw call on this thread failed because the peer reset the connection.
bool RawFailedWithReset();

#ifndef _WIN32
// Bytes of heap in use (the sanitizer's count in a sanitizer build).
size_t HeapInUse();
#endif

}  // namespace testsupport
