// SPDX-License-Identifier: MIT
// The fixture shared by the socket object's tests: a clean seam before, and after
// each test a check that nothing stayed registered.
#pragma once

#include <gtest/gtest.h>

#ifndef _WIN32
#include <arpa/inet.h>
#endif

#include "inet/cSocket/BufferLimit.h"
#include "inet/cSocket/CSocket.h"
#include "inet/cSocket/MSocketSupport.h"
#include "platform/Testing.h"
#include "tests/inet/EventLog.h"
#include "tests/support/Loopback.h"

namespace testsupport {

// The substitute resolver answers every name with 127.0.0.1, under the name asked
// for, after `delayMs`.
inline void ResolveEveryNameToLoopback(int delayMs = 0) {
    platform::testing::SetResolver([delayMs](const std::string& name) {
        platform::testing::LookupAnswer answer;
        answer.officialName = name;
        answer.addresses = {htonl(INADDR_LOOPBACK)};
        answer.delayMs = delayMs;
        return answer;
    });
}

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::testing::Reset();
        // Reverse lookups stay on this machine: 127.0.0.1 is "localhost", nothing else has a name.
        platform::testing::SetReverseResolver([](uint32_t address) -> std::optional<std::string> {
            if (address == htonl(INADDR_LOOPBACK)) return "localhost";
            return std::nullopt;
        });
    }
    void TearDown() override {
        PumpFor(std::chrono::milliseconds(20));
        EXPECT_EQ(inet::MSocketSupport::RegisteredSocketCount(), 0) << "a socket stayed registered";
        platform::testing::Reset();
        inet::detail::SetBufferLimitForTesting(0);
    }
};

// A client object connected to a plain peer: the usual start of a data test.
class ClientTest : public SocketTest {
protected:
    // s connected to a fresh raw peer, its events from the connection on in log.
    void ConnectClient() {
        s = inet::CSocket::Create();
        log.Attach(*s);
        s->Connect("127.0.0.1", inet::Variant(int32_t{server.Port()}));
        peer = server.Accept();
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(PumpUntil([&] { return log.Has("Connect"); }));
        log.events.clear();
    }
    // A peer still open is closed, and its close is let through before the check.
    void TearDown() override {
        if (peer >= 0) {
            RawClose(peer);
            PumpUntil([&] { return !s || s->SocketHandle() == -1; });
        }
        s.reset();
        SocketTest::TearDown();
    }

    RawListener server;
    std::shared_ptr<inet::CSocket> s;
    EventLog log;
    int peer = -1;
};

}  // namespace testsupport
