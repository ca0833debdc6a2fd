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

}  // namespace testsupport
