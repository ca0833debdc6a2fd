// SPDX-License-Identifier: MIT
// WSAAsyncGetHostByName: the test seam's resolver for everything but "localhost".
#include <cstring>
#include <map>

#include "platform/Testing.h"
#include "tests/platform/PlatformTest.h"

namespace platformtest {
namespace {

using platform::testing::LookupAnswer;

uint32_t Addr(const char* dotted) { return ::inet_addr(dotted); }

class HostLookupTest : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        m_lookupMsg = RegisterWindowMessageA("platform test lookup");
    }

    HANDLE Start(const char* name, char* buf, int len) {
        const HANDLE h = platform::WSAAsyncGetHostByName(m_hwnd, m_lookupMsg, name, buf, len);
        EXPECT_NE(h, 0u) << WSAGetLastError();
        return h;
    }

    // The completion for handle h, after pumping for it; nullptr if none came.
    const Record* Completion(HANDLE h, std::chrono::milliseconds limit = 3000ms) {
        const Record* found = nullptr;
        PumpUntil([&] {
            for (const Record& r : Received()) {
                if (r.msg == m_lookupMsg && r.wParam == h) found = &r;
            }
            return found != nullptr;
        }, limit);
        return found;
    }

    UINT m_lookupMsg = 0;
};

bool Inside(const void* p, const char* buf, size_t len) {
    const char* c = static_cast<const char*>(p);
    return c >= buf && c < buf + len;
}

TEST_F(HostLookupTest, SuccessLaysTheHostentOutInTheCallersBuffer) {
    platform::testing::SetResolver([](const std::string& name) {
        LookupAnswer a;
        a.officialName = "official." + name;
        a.aliases = {"alias.test"};
        a.addresses = {Addr("192.0.2.7"), Addr("192.0.2.8")};
        return a;
    });
    alignas(hostent) char buf[MAXGETHOSTSTRUCT];
    const HANDLE h = Start("host.test", buf, sizeof buf);
    const Record* done = Completion(h);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(HIWORD(done->lParam), 0);
    EXPECT_GT(LOWORD(done->lParam), sizeof(hostent));
    EXPECT_LE(LOWORD(done->lParam), sizeof buf);

    const auto* entry = reinterpret_cast<const hostent*>(buf);
    EXPECT_STREQ(entry->h_name, "official.host.test");
    EXPECT_TRUE(Inside(entry->h_name, buf, sizeof buf)) << "points outside the caller's buffer";
    EXPECT_EQ(entry->h_addrtype, AF_INET);
    ASSERT_EQ(entry->h_length, 4);
    ASSERT_NE(entry->h_addr_list[0], nullptr);
    EXPECT_TRUE(Inside(entry->h_addr_list[0], buf, sizeof buf));
    uint32_t first;
    std::memcpy(&first, entry->h_addr_list[0], 4);
    EXPECT_EQ(first, Addr("192.0.2.7")) << "the first address comes first";
    ASSERT_NE(entry->h_addr_list[1], nullptr);
    EXPECT_EQ(entry->h_addr_list[2], nullptr);
    ASSERT_NE(entry->h_aliases[0], nullptr);
    EXPECT_STREQ(entry->h_aliases[0], "alias.test");
    EXPECT_EQ(entry->h_aliases[1], nullptr);
}

TEST_F(HostLookupTest, SeveralLookupsCompleteEachWithItsOwnHandleAndResult) {
    platform::testing::SetResolver([](const std::string& name) {
        static const std::map<std::string, int> errors = {{"gone.test", WSAHOST_NOT_FOUND},
                                                          {"flaky.test", WSATRY_AGAIN},
                                                          {"empty.test", WSANO_DATA}};
        LookupAnswer a;
        if (auto it = errors.find(name); it != errors.end()) {
            a.error = it->second;
        } else {
            a.officialName = name;
            a.addresses = {Addr(name == "one.test" ? "192.0.2.1" : "192.0.2.2")};
        }
        return a;
    });
    const char* names[] = {"one.test", "gone.test", "flaky.test", "empty.test", "two.test"};
    const int expectedError[] = {0, WSAHOST_NOT_FOUND, WSATRY_AGAIN, WSANO_DATA, 0};
    alignas(hostent) char bufs[5][MAXGETHOSTSTRUCT];
    HANDLE handles[5];
    for (int i = 0; i < 5; ++i) handles[i] = Start(names[i], bufs[i], MAXGETHOSTSTRUCT);
    for (int i = 0; i < 5; ++i) {
        for (int j = 0; j < i; ++j) EXPECT_NE(handles[i], handles[j]);
    }
    for (int i = 0; i < 5; ++i) {
        const Record* done = Completion(handles[i]);
        ASSERT_NE(done, nullptr) << names[i];
        EXPECT_EQ(HIWORD(done->lParam), expectedError[i]) << names[i];
        if (expectedError[i] != 0) {
            EXPECT_EQ(LOWORD(done->lParam), 0) << names[i];
        }
    }
    EXPECT_EQ(Received().size(), 5u) << "one completion per lookup";
    uint32_t a1, a2;
    std::memcpy(&a1, reinterpret_cast<const hostent*>(bufs[0])->h_addr_list[0], 4);
    std::memcpy(&a2, reinterpret_cast<const hostent*>(bufs[4])->h_addr_list[0], 4);
    EXPECT_EQ(a1, Addr("192.0.2.1"));
    EXPECT_EQ(a2, Addr("192.0.2.2"));
}

TEST_F(HostLookupTest, TooSmallABufferGives10055WithTheSizeNeeded) {
    platform::testing::SetResolver([](const std::string& name) {
        LookupAnswer a;
        a.officialName = name;
        a.addresses = {Addr("192.0.2.9")};
        return a;
    });
    alignas(hostent) char small[32];
    std::memset(small, 0x5A, sizeof small);
    const Record* done = Completion(Start("a-rather-long-name.test", small, sizeof small));
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(HIWORD(done->lParam), WSAENOBUFS);
    const int needed = LOWORD(done->lParam);
    EXPECT_GT(needed, static_cast<int>(sizeof small));
    for (char c : small) ASSERT_EQ(c, 0x5A) << "the buffer was written although it was too small";

    std::vector<char> exact(static_cast<size_t>(needed));
    done = Completion(Start("a-rather-long-name.test", exact.data(), needed));
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(HIWORD(done->lParam), 0) << "the size reported as needed was not enough";
    EXPECT_STREQ(reinterpret_cast<const hostent*>(exact.data())->h_name, "a-rather-long-name.test");
}

TEST_F(HostLookupTest, CancelledLookupDeliversNothing) {
    platform::testing::SetResolver([](const std::string& name) {
        LookupAnswer a;
        a.officialName = name;
        a.addresses = {Addr("192.0.2.3")};
        a.delayMs = 100;
        return a;
    });
    alignas(hostent) char buf[MAXGETHOSTSTRUCT];
    std::memset(buf, 0, sizeof buf);
    const HANDLE cancelled = Start("slow.test", buf, sizeof buf);
    ASSERT_EQ(WSACancelAsyncRequest(cancelled), 0);
    EXPECT_EQ(WSACancelAsyncRequest(cancelled), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);

    alignas(hostent) char other[MAXGETHOSTSTRUCT];
    const HANDLE later = Start("later.test", other, sizeof other);  // queued behind the cancelled one
    ASSERT_NE(Completion(later), nullptr);
    PumpFor(50ms);
    EXPECT_EQ(Completion(cancelled, 0ms), nullptr) << "a cancelled lookup completed";
    EXPECT_EQ(Received().size(), 1u);
    for (char c : buf) ASSERT_EQ(c, 0) << "a cancelled lookup wrote into its buffer";
}

TEST_F(HostLookupTest, SystemResolverAnswersLocalhostAndRefusesABadName) {
    alignas(hostent) char buf[MAXGETHOSTSTRUCT];
    const Record* done = Completion(Start("localhost", buf, sizeof buf), 5000ms);
    ASSERT_NE(done, nullptr);
    ASSERT_EQ(HIWORD(done->lParam), 0);
    uint32_t address;
    std::memcpy(&address, reinterpret_cast<const hostent*>(buf)->h_addr_list[0], 4);
    EXPECT_EQ(address, htonl(INADDR_LOOPBACK));

    done = Completion(Start("127.0.0.1", buf, sizeof buf), 5000ms);
    ASSERT_NE(done, nullptr);
    ASSERT_EQ(HIWORD(done->lParam), 0);
    EXPECT_STREQ(reinterpret_cast<const hostent*>(buf)->h_name, "127.0.0.1");

    // An empty label is refused by the resolver library itself, without any query.
    done = Completion(Start("no-such-host..invalid", buf, sizeof buf), 5000ms);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(HIWORD(done->lParam), WSAHOST_NOT_FOUND);

    if (UnderWine()) {
        GTEST_SKIP() << "Wine answers a malformed dotted address with 11001; Windows documents 11004 (no data)";
    }
    done = Completion(Start("999.1.1.1", buf, sizeof buf), 5000ms);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(HIWORD(done->lParam), WSANO_DATA) << "a malformed dotted address is no name to look up";
}

}  // namespace
}  // namespace platformtest
