// SPDX-License-Identifier: MIT
// The support module: error texts and conversions, the service, the notification
// window, the socket registry with its dispatch, and asynchronous host lookups.
//
// The module's state is process-wide. Every test starts from a started service with
// nothing registered and leaves it stopped, with no window and no lookup under way,
// so the tests also pass one after another in a single process.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "inet/cSocket/MSocketSupport.h"
#include "inet/cSocket/NotificationTarget.h"
#include "inet/cSocket/SocketError.h"
#include "platform/MessageLoop.h"
#include "platform/Process.h"
#include "platform/Testing.h"
#include "platform/Window.h"
#include "platform/Winsock.h"
#include "tests/support/Loopback.h"

namespace {

namespace MS = inet::MSocketSupport;
namespace seam = platform::testing;
using namespace std::chrono_literals;
using platform::MAKELONG;
using platform::SOCKET;

struct HostEvent {
    int32_t handle;
    uint32_t address;
    std::string name;
    int32_t error;
    int32_t lookupsAtCall;  // lookups still outstanding when the object heard of this one
};

// What a target heard; outlives the target so that a test can look after it ended.
struct Log {
    std::vector<std::pair<int32_t, int32_t>> socketEvents;
    std::vector<HostEvent> hostEvents;
    bool destroyed = false;
    bool aliveAfterDrop = false;
};

class FakeTarget : public inet::NotificationTarget {
public:
    explicit FakeTarget(std::shared_ptr<Log> log) : m_log(std::move(log)) {}
    ~FakeTarget() {
        m_log->destroyed = true;
        if (onDestroy) onDestroy();
    }

    void PostSocketEvent(int32_t eventCode, int32_t errorCode) override {
        if (onSocketEvent) onSocketEvent();
        // Deliberately touches the object after the hook, which may have dropped the
        // last outside reference.
        ++m_calls;
        m_log->socketEvents.emplace_back(eventCode, errorCode);
    }
    void PostGetHostEvent(int32_t lookupHandle, uint32_t address, const std::string& hostName,
                          int32_t errorCode) override {
        ++m_calls;
        m_log->hostEvents.push_back({lookupHandle, address, hostName, errorCode, MS::OutstandingLookupCount()});
        if (onHostEvent) onHostEvent();
    }

    std::function<void()> onSocketEvent;
    std::function<void()> onHostEvent;
    std::function<void()> onDestroy;  // an ending socket object gives its handle up

private:
    std::shared_ptr<Log> m_log;
    int m_calls = 0;
};

struct Peer {
    std::shared_ptr<Log> log = std::make_shared<Log>();
    std::shared_ptr<FakeTarget> target = std::make_shared<FakeTarget>(log);
};

uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return htonl((uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d);
}

class MSocketSupportTest : public ::testing::Test {
protected:
    void SetUp() override {
        seam::Reset();
        ASSERT_EQ(MS::RegisteredSocketCount(), 0);
        ASSERT_EQ(MS::NotifyWindow(), platform::HWND{});
        ASSERT_NO_THROW(MS::InitWinsockService());
    }

    void TearDown() override {
        for (SOCKET s : m_sockets) {
            if (MS::IsRegistered(s)) MS::UnregisterSocket(s);
            platform::closesocket(s);
        }
        // A lookup still under way completes into the void (its object has ended).
        testsupport::PumpUntil([] { return MS::OutstandingLookupCount() == 0; }, 10s);
        MS::StopWinsockService();
        seam::Reset();
        EXPECT_EQ(MS::RegisteredSocketCount(), 0);
        EXPECT_EQ(MS::OutstandingLookupCount(), 0);
        EXPECT_EQ(MS::NotifyWindow(), platform::HWND{});
        EXPECT_FALSE(MS::WinsockStarted());
    }

    SOCKET NewSocket() {
        const SOCKET s = platform::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        EXPECT_NE(s, platform::INVALID_SOCKET);
        m_sockets.push_back(s);
        return s;
    }
    void Close(SOCKET s) {
        std::erase(m_sockets, s);
        platform::closesocket(s);
    }
    static void ExpectLastError(int32_t number, const std::string& source, const std::string& description) {
        ASSERT_TRUE(MS::LastError().has_value());
        EXPECT_EQ(MS::LastError()->Number(), number);
        EXPECT_EQ(MS::LastError()->Source(), source);
        EXPECT_EQ(MS::LastError()->Description(), description);
    }
    static bool WaitForHostEvents(const Peer& peer, size_t count) {
        return testsupport::PumpUntil([&] { return peer.log->hostEvents.size() >= count; }, 5s);
    }

    std::vector<SOCKET> m_sockets;
};

// ---- Error texts and conversions ----

TEST(MSocketSupportTextTest, EveryCodeHasItsTextAndEveryOtherIsUnknown) {
    const std::vector<std::pair<int32_t, const char*>> table = {
        {10004, "Interrupted function call."}, {10013, "Permission denied."}, {10014, "Bad address."},
        {10022, "Invalid argument."}, {10024, "Too many open files."},
        {10035, "Resource temporarily unavailable."}, {10036, "Operation now in progress."},
        {10037, "Operation already in progress."}, {10038, "Socket operation on nonsocket."},
        {10039, "Destination address required."}, {10040, "Message too long."},
        {10041, "Protocol wrong type for socket."}, {10042, "Bad protocol option."},
        {10043, "Protocol not supported."}, {10044, "Socket type not supported."},
        {10045, "Operation not supported."}, {10046, "Protocol family not supported."},
        {10047, "Address family not supported by protocol family."}, {10048, "Address already in use."},
        {10049, "Cannot assign requested address."}, {10050, "Network is down."},
        {10051, "Network is unreachable."}, {10052, "Network dropped connection on reset."},
        {10053, "Software caused connection abort."}, {10054, "Connection reset by peer."},
        {10055, "No buffer space available."}, {10056, "Socket is already connected."},
        {10057, "Socket is not connected."}, {10058, "Cannot send after socket shutdown."},
        {10060, "Connection timed out."}, {10061, "Connection refused."}, {10064, "Host is down."},
        {10065, "No route to host."}, {10067, "Too many processes."},
        {10091, "Network subsystem is unavailable."}, {10092, "Winsock.dll version out of range."},
        {10093, "Successful WSAStartup not yet performed."}, {10101, "Graceful shutdown in progress."},
        {10107, "System call failure."}, {10109, "Class type not found."}, {11001, "Host not found."},
        {11002, "Nonauthoritative host not found."}, {11003, "This is a nonrecoverable error."},
        {11004, "Valid name, no data record of requested type."},
    };
    ASSERT_EQ(table.size(), 44u);
    for (const auto& [code, text] : table) {
        SCOPED_TRACE(code);
        EXPECT_EQ(MS::SocketErrorText(code), text);
    }
    for (int32_t code : {10059, 10062, 10063, 10066, 10068, 10090, 10094, 10100, 10102, 10106, 10108, 10110,
                         11000, 11005, 0, -1, -10035, 10035 + 65536, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(MS::SocketErrorText(code), "Unknown error.");
    }
}

TEST(MSocketSupportTextTest, PortWordsWordsAndTexts) {
    for (const auto& [value, word] : std::vector<std::pair<int32_t, int16_t>>{
             {0, 0}, {80, 80}, {8765, 8765}, {32767, 32767}, {32768, -32768}, {65535, -1}}) {
        SCOPED_TRACE(value);
        EXPECT_EQ(MS::LongToPortWord(value), word);
        EXPECT_EQ(MS::PortWordToLong(word), value);  // and back
    }
    for (int32_t value : {65536, -1, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(value);
        try {
            MS::LongToPortWord(value);
            ADD_FAILURE() << "no overflow";
        } catch (const inet::SocketError& e) {
            EXPECT_EQ(e.Number(), 6);
            EXPECT_EQ(e.Description(), "Overflow");
        }
    }

    struct Words { int64_t value; int32_t low, high; };
    for (const Words& w : {Words{MAKELONG(16, 10061), 16, 10061}, Words{MAKELONG(1, 0x8000), 1, 32768},
                           Words{0xFFFFFFFF, 65535, 65535}, Words{0, 0, 0}, Words{0x0001FFFF, 65535, 1}}) {
        SCOPED_TRACE(w.value);
        EXPECT_EQ(MS::LowWordOf(static_cast<int32_t>(w.value)), w.low);
        EXPECT_EQ(MS::HighWordOf(static_cast<int32_t>(w.value)), w.high);
    }

    EXPECT_EQ(MS::AnsiPointerToString("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(MS::AnsiPointerToString(""), "");
    EXPECT_EQ(MS::AnsiPointerToString(nullptr), "");
    EXPECT_EQ(MS::AnsiPointerToString("caf\xE9\0tail"), "caf\xE9");  // bytes as they are, up to the NUL
}

// ---- Service ----

TEST_F(MSocketSupportTest, ServiceStartsOnceAndNamesItsMessagesAfterTheProgram) {
    const int32_t size = MS::InitWinsockService();
    EXPECT_EQ(size, 65507);
    // Were WSAStartup called again, it would fail or report the new size.
    seam::FailNextStartup(platform::WSASYSNOTREADY);
    seam::SetMaxUdpDatagram(1000);
    EXPECT_EQ(MS::InitWinsockService(), size);
    seam::FailNextStartup(0);

    const std::string program = platform::ExecutableName();
    EXPECT_EQ(platform::RegisterWindowMessageA((program + ".WinsockMessage").c_str()), MS::WinsockMessage());
    EXPECT_EQ(platform::RegisterWindowMessageA((program + ".ResolveMessage").c_str()), MS::ResolveMessage());
    EXPECT_NE(MS::WinsockMessage(), MS::ResolveMessage());

    // A restart reads the size afresh and keeps the message numbers.
    const platform::UINT winsockMessage = MS::WinsockMessage();
    MS::StopWinsockService();
    EXPECT_EQ(MS::InitWinsockService(), 1000);
    EXPECT_EQ(MS::WinsockMessage(), winsockMessage);
}

TEST_F(MSocketSupportTest, DatagramSizeIsReadUnsigned) {
    for (const auto& [reported, size] : std::vector<std::pair<uint16_t, int32_t>>{
             {0xFFFF, 65535}, {0x8000, 32768}, {0x7FFF, 32767}, {512, 512}}) {
        SCOPED_TRACE(reported);
        MS::StopWinsockService();
        seam::SetMaxUdpDatagram(reported);
        EXPECT_EQ(MS::InitWinsockService(), size);
    }
}

TEST_F(MSocketSupportTest, FailedStartUpRaisesItsOwnTextAndIsRetried) {
    const std::vector<std::pair<int, std::string>> cases = {
        {10091, "The underlying network subsystem is not ready for network communication."},
        {10022, "The Windows Sockets version specified by the application is not supported by this DLL."},
        {10092, "The version of Windows Sockets API support requested is not provided by this particular "
                "Windows Sockets implementation."},
        {10050, ""},
    };
    for (const auto& [code, description] : cases) {
        SCOPED_TRACE(code);
        MS::StopWinsockService();
        seam::FailNextStartup(code);
        try {
            MS::InitWinsockService();
            ADD_FAILURE() << "start-up did not fail";
        } catch (const inet::SocketError& e) {
            EXPECT_EQ(e.Number(), code);
            EXPECT_EQ(e.Source(), "MSocketSupport.InitWinsockService");
            EXPECT_EQ(e.Description(), description);
        }
        EXPECT_FALSE(MS::WinsockStarted());
        EXPECT_EQ(MS::InitWinsockService(), 65507);  // the next creation tries again
    }
}

TEST_F(MSocketSupportTest, ServiceStopsOnlyWhenNothingIsRegistered) {
    Peer peer;
    const SOCKET s = NewSocket();
    ASSERT_TRUE(MS::RegisterSocket(s, peer.target));
    MS::StopWinsockService();
    EXPECT_TRUE(MS::WinsockStarted());

    EXPECT_TRUE(MS::UnregisterSocket(s));
    Close(s);
    MS::StopWinsockService();
    EXPECT_FALSE(MS::WinsockStarted());
    EXPECT_EQ(platform::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), platform::INVALID_SOCKET);
    EXPECT_EQ(platform::WSAGetLastError(), platform::WSANOTINITIALISED);

    ASSERT_NO_THROW(MS::InitWinsockService());
    NewSocket();
}

// ---- Notification window and registry ----

TEST_F(MSocketSupportTest, WindowLivesFromFirstRegistrationToLastUnregistration) {
    Peer peer;
    const SOCKET a = NewSocket(), b = NewSocket();
    ASSERT_TRUE(MS::RegisterSocket(a, peer.target));
    const platform::HWND first = MS::NotifyWindow();
    ASSERT_NE(first, platform::HWND{});
    EXPECT_TRUE(platform::IsWindow(first));
    ASSERT_TRUE(MS::RegisterSocket(b, peer.target));
    EXPECT_EQ(MS::NotifyWindow(), first);
    EXPECT_EQ(MS::RegisteredSocketCount(), 2);

    EXPECT_TRUE(MS::UnregisterSocket(a));
    EXPECT_EQ(MS::NotifyWindow(), first);
    EXPECT_TRUE(MS::UnregisterSocket(b));
    EXPECT_EQ(MS::NotifyWindow(), platform::HWND{});
    EXPECT_FALSE(platform::IsWindow(first));
    EXPECT_FALSE(MS::UnregisterSocket(b));  // registry gone: nothing to do

    ASSERT_TRUE(MS::RegisterSocket(b, peer.target));
    const platform::HWND second = MS::NotifyWindow();
    EXPECT_NE(second, first);
    // The old window's mail is dropped; the new one's reaches the object.
    platform::PostMessageA(first, MS::WinsockMessage(), b, MAKELONG(platform::FD_CLOSE, 0));
    platform::PostMessageA(second, MS::WinsockMessage(), b, MAKELONG(platform::FD_READ, 0));
    ASSERT_TRUE(testsupport::PumpUntil([&] { return !peer.log->socketEvents.empty(); }));
    testsupport::PumpFor(20ms);
    EXPECT_EQ(peer.log->socketEvents, (std::vector<std::pair<int32_t, int32_t>>{{1, 0}}));
}

TEST_F(MSocketSupportTest, NotificationsGoToTheObjectOfTheirHandle) {
    Peer pa, pb;
    const SOCKET a = NewSocket(), b = NewSocket();
    ASSERT_TRUE(MS::RegisterSocket(a, pa.target));
    ASSERT_TRUE(MS::RegisterSocket(b, pb.target));
    const platform::HWND w = MS::NotifyWindow();

    struct Case { int64_t lParam; int32_t event, error; };
    for (const Case& c : {Case{MAKELONG(16, 10061), 16, 10061}, Case{MAKELONG(1, 0x8000), 1, 32768},
                          Case{MAKELONG(32, 0), 32, 0}, Case{MAKELONG(0xFFFF, 0xFFFF), 65535, 65535}}) {
        SCOPED_TRACE(c.lParam);
        pa.log->socketEvents.clear();
        EXPECT_EQ(MS::NotifyWindowProc(w, MS::WinsockMessage(), a, static_cast<platform::LPARAM>(c.lParam)), 0);
        EXPECT_EQ(pa.log->socketEvents, (std::vector<std::pair<int32_t, int32_t>>{{c.event, c.error}}));
    }
    EXPECT_TRUE(pb.log->socketEvents.empty());

    // Through the queue as the platform delivers them.
    platform::PostMessageA(w, MS::WinsockMessage(), b, MAKELONG(platform::FD_CONNECT, 10060));
    ASSERT_TRUE(testsupport::PumpUntil([&] { return !pb.log->socketEvents.empty(); }));
    EXPECT_EQ(pb.log->socketEvents.front(), std::make_pair(16, 10060));

    // Handles that are not registered, or no longer: dropped, result 0.
    pa.log->socketEvents.clear();
    pb.log->socketEvents.clear();
    EXPECT_TRUE(MS::UnregisterSocket(b));
    for (platform::WPARAM handle : {static_cast<platform::WPARAM>(b), static_cast<platform::WPARAM>(a + b + 1000),
                                    static_cast<platform::WPARAM>(-1)}) {
        SCOPED_TRACE(handle);
        EXPECT_EQ(MS::NotifyWindowProc(w, MS::WinsockMessage(), handle, MAKELONG(1, 0)), 0);
    }
    EXPECT_TRUE(pa.log->socketEvents.empty());
    EXPECT_TRUE(pb.log->socketEvents.empty());

    // Any other message is the previous procedure's, result and all.
    EXPECT_EQ(MS::NotifyWindowProc(w, platform::WM_GETDLGCODE, 0, 0), platform::DLGC_STATIC);
    EXPECT_TRUE(pa.log->socketEvents.empty());
}

TEST_F(MSocketSupportTest, UnregisteringWhatIsNotRegistered) {
    Peer peer;
    EXPECT_FALSE(MS::UnregisterSocket(-1));  // no registry at all
    const SOCKET s = NewSocket();
    ASSERT_TRUE(MS::RegisterSocket(s, peer.target));
    EXPECT_FALSE(MS::UnregisterSocket(-1));
    try {
        MS::UnregisterSocket(s + 1000);
        ADD_FAILURE() << "an unknown handle was accepted";
    } catch (const inet::SocketError& e) {
        EXPECT_EQ(e.Number(), 5);
        EXPECT_EQ(e.Source(), "MSocketSupport.UnregisterSocket");
    }
    // The registered handle is untouched and still served.
    EXPECT_TRUE(MS::IsRegistered(s));
    EXPECT_EQ(MS::NotifyWindowProc(MS::NotifyWindow(), MS::WinsockMessage(), s, MAKELONG(2, 0)), 0);
    EXPECT_EQ(peer.log->socketEvents.size(), 1u);
}

TEST_F(MSocketSupportTest, RegistrationWithoutAWindowIsCanceled) {
    Peer peer;
    const SOCKET s = NewSocket();
    seam::FailNextWindowCreation();
    EXPECT_FALSE(MS::RegisterSocket(s, peer.target));
    ExpectLastError(10004, "MSocketSupport.RegisterSocket", "The operation was canceled.");
    EXPECT_NE(MS::SocketErrorText(10004), "The operation was canceled.");
    EXPECT_EQ(MS::NotifyWindow(), platform::HWND{});
    EXPECT_FALSE(MS::IsRegistered(s));

    EXPECT_TRUE(MS::RegisterSocket(s, peer.target));  // the next one tries again
    EXPECT_FALSE(MS::LastError().has_value());
    EXPECT_NE(MS::NotifyWindow(), platform::HWND{});
}

TEST_F(MSocketSupportTest, RefusedNotificationsWithdrawTheEntry) {
    for (const bool alone : {true, false}) {
        SCOPED_TRACE(alone ? "only registration" : "beside another");
        Peer peer;
        const SOCKET other = alone ? -1 : NewSocket();
        if (!alone) {
            ASSERT_TRUE(MS::RegisterSocket(other, peer.target));
        }
        const SOCKET s = NewSocket();
        seam::FailNextAsyncSelect(platform::WSAENOTSOCK);
        EXPECT_FALSE(MS::RegisterSocket(s, peer.target));
        ExpectLastError(10038, "MSocketSupport.RegisterSocket", "Socket operation on nonsocket.");
        EXPECT_FALSE(MS::IsRegistered(s));
        EXPECT_EQ(MS::RegisteredSocketCount(), alone ? 0 : 1);
        EXPECT_EQ(MS::NotifyWindow() == 0, alone);
        // Not left behind as a duplicate: the same handle registers again.
        EXPECT_TRUE(MS::RegisterSocket(s, peer.target));
        EXPECT_TRUE(MS::UnregisterSocket(s));
        if (!alone) {
            EXPECT_TRUE(MS::UnregisterSocket(other));
        }
        EXPECT_EQ(MS::NotifyWindow(), platform::HWND{});
    }
}

TEST_F(MSocketSupportTest, DuplicateRegistrationIsRefusedAndKeepsTheFirstOwner) {
    Peer first, second;
    const SOCKET s = NewSocket();
    ASSERT_TRUE(MS::RegisterSocket(s, first.target));
    EXPECT_FALSE(MS::RegisterSocket(s, second.target));
    ExpectLastError(10022, "MSocketSupport.RegisterSocket", "Invalid argument.");
    EXPECT_EQ(MS::RegisteredSocketCount(), 1);
    MS::NotifyWindowProc(MS::NotifyWindow(), MS::WinsockMessage(), s, MAKELONG(8, 0));
    EXPECT_EQ(first.log->socketEvents.size(), 1u);
    EXPECT_TRUE(second.log->socketEvents.empty());
}

TEST_F(MSocketSupportTest, HandlesOutsideTheIndexedRangeNeitherRegisterNorDisturbOthers) {
    Peer peer;
    const SOCKET s = NewSocket();
    ASSERT_TRUE(MS::RegisterSocket(s, peer.target));
    for (const SOCKET odd : {SOCKET{70000}, SOCKET{INT32_MAX}, SOCKET{-2}}) {
        SCOPED_TRACE(odd);
        EXPECT_FALSE(MS::RegisterSocket(odd, peer.target)) << "no such socket";
        EXPECT_FALSE(MS::IsRegistered(odd));
        EXPECT_EQ(MS::NotifyWindowProc(MS::NotifyWindow(), MS::WinsockMessage(), static_cast<platform::WPARAM>(odd),
                                       MAKELONG(1, 0)),
                  0);
    }
    EXPECT_TRUE(peer.log->socketEvents.empty());
    EXPECT_EQ(MS::RegisteredSocketCount(), 1);
    EXPECT_TRUE(MS::UnregisterSocket(s));
    EXPECT_EQ(MS::RegisteredSocketCount(), 0);
}

TEST_F(MSocketSupportTest, DispatchHoldsTheObjectWhileItsHandlerRuns) {
    Peer peer;
    const SOCKET s = NewSocket();
    ASSERT_TRUE(MS::RegisterSocket(s, peer.target));
    const platform::HWND w = MS::NotifyWindow();
    std::shared_ptr<Log> log = peer.log;
    peer.target->onSocketEvent = [&peer, log] {
        peer.target.reset();  // the host lets go of its last reference
        log->aliveAfterDrop = !log->destroyed;
    };
    // As a socket object does: its end unregisters the handle, here inside the
    // window's own procedure, taking the window down.
    peer.target->onDestroy = [s] { MS::UnregisterSocket(s); };
    EXPECT_EQ(MS::NotifyWindowProc(w, MS::WinsockMessage(), s, MAKELONG(32, 0)), 0);
    EXPECT_TRUE(log->aliveAfterDrop);
    EXPECT_EQ(log->socketEvents.size(), 1u);  // recorded after the drop
    EXPECT_TRUE(log->destroyed);              // and released once the dispatch was over
    EXPECT_FALSE(MS::IsRegistered(s));
    EXPECT_FALSE(platform::IsWindow(w));

    // An object that has ended without giving its handle up is not called.
    Peer gone;
    ASSERT_TRUE(MS::RegisterSocket(s, gone.target));
    gone.target.reset();
    EXPECT_EQ(MS::NotifyWindowProc(MS::NotifyWindow(), MS::WinsockMessage(), s, MAKELONG(1, 0)), 0);
    EXPECT_TRUE(gone.log->socketEvents.empty());
}

// ---- Host lookup ----

TEST_F(MSocketSupportTest, LookupOutcomesReachTheObject) {
    struct Case {
        const char* what;
        seam::LookupAnswer answer;
        bool delivered;  // handle, address and name delivered
        int32_t error;
    };
    const uint32_t first = Address(10, 1, 2, 3), second = Address(10, 9, 9, 9);
    const std::vector<Case> cases = {
        {"several addresses, other official name", {0, "official.example", {"alias.example"}, {first, second}},
         true, 0},
        {"not found", {11001, "", {}, {}}, false, 11001},
        {"try again", {11002, "", {}, {}}, false, 11002},
        {"no address", {0, "official.example", {}, {}}, false, 11004},
        {"sixteen-byte addresses", {0, "official.example", {}, {first}, 16}, false, 11004},
        {"two-byte addresses", {0, "official.example", {}, {first}, 2}, false, 11004},
    };
    Peer owner;
    ASSERT_TRUE(MS::RegisterSocket(NewSocket(), owner.target));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::mutex mutex;
        std::string asked;
        seam::SetResolver([&, answer = c.answer](const std::string& name) {
            std::lock_guard lock(mutex);
            asked = name;
            return answer;
        });
        Peer peer;
        const int32_t handle = MS::ResolveHost("requested.test", peer.target);
        ASSERT_NE(handle, 0);
        EXPECT_EQ(MS::OutstandingLookupCount(), 1);
        ASSERT_TRUE(WaitForHostEvents(peer, 1));
        const HostEvent& e = peer.log->hostEvents.front();
        EXPECT_EQ(e.handle, c.delivered ? handle : 0);
        EXPECT_EQ(e.address, c.delivered ? first : 0u);
        EXPECT_EQ(e.name, c.delivered ? "official.example" : "");
        EXPECT_EQ(e.error, c.error);
        EXPECT_EQ(e.lookupsAtCall, 0);  // released before the object heard of it
        EXPECT_EQ(MS::OutstandingLookupCount(), 0);
        std::lock_guard lock(mutex);
        EXPECT_EQ(asked, "requested.test");
    }
    EXPECT_TRUE(owner.log->hostEvents.empty());
}

TEST_F(MSocketSupportTest, OverlappingLookupsEachReachTheirOwnObject) {
    seam::SetResolver([](const std::string& name) {
        seam::LookupAnswer answer;
        answer.officialName = name;
        answer.addresses = {Address(10, 0, 0, static_cast<uint8_t>(name[0]))};
        return answer;
    });
    Peer a, b;
    ASSERT_TRUE(MS::RegisterSocket(NewSocket(), a.target));
    const int32_t ha = MS::ResolveHost("a.test", a.target);
    const int32_t hb = MS::ResolveHost("b.test", b.target);
    const int32_t hb2 = MS::ResolveHost("c.test", b.target);  // a second lookup of the same object
    ASSERT_NE(ha, 0);
    ASSERT_NE(hb, 0);
    ASSERT_NE(hb2, 0);
    EXPECT_EQ(MS::OutstandingLookupCount(), 3);
    // A completion nobody asked for changes nothing.
    EXPECT_EQ(MS::NotifyWindowProc(MS::NotifyWindow(), MS::ResolveMessage(), 0x7FFFFFF0, 0), 0);
    EXPECT_EQ(MS::OutstandingLookupCount(), 3);

    ASSERT_TRUE(WaitForHostEvents(a, 1));
    ASSERT_TRUE(WaitForHostEvents(b, 2));
    ASSERT_EQ(a.log->hostEvents.size(), 1u);
    EXPECT_EQ(a.log->hostEvents[0].handle, ha);
    EXPECT_EQ(a.log->hostEvents[0].name, "a.test");
    EXPECT_EQ(a.log->hostEvents[0].address, Address(10, 0, 0, 'a'));
    for (const HostEvent& e : b.log->hostEvents) {
        SCOPED_TRACE(e.name);
        ASSERT_TRUE(e.handle == hb || e.handle == hb2);
        EXPECT_EQ(e.name, e.handle == hb ? "b.test" : "c.test");
        EXPECT_EQ(e.address, Address(10, 0, 0, e.handle == hb ? 'b' : 'c'));
    }
    EXPECT_NE(b.log->hostEvents[0].handle, b.log->hostEvents[1].handle);
    // The tables go only with the last completion.
    std::vector<int32_t> counts = {a.log->hostEvents[0].lookupsAtCall};
    for (const HostEvent& e : b.log->hostEvents) counts.push_back(e.lookupsAtCall);
    std::sort(counts.begin(), counts.end());
    EXPECT_EQ(counts, (std::vector<int32_t>{0, 1, 2}));
}

// A resolve message that names a lookup still under way did not come from it: the
// worker may still write into the lookup's block, so nothing of the lookup may go.
TEST_F(MSocketSupportTest, AForgedCompletionOfARunningLookupIsIgnored) {
    seam::SetResolver([](const std::string&) {
        seam::LookupAnswer answer{0, "slow.example", {"alias.example"}, {Address(10, 0, 0, 9)}};
        answer.delayMs = 100;
        return answer;
    });
    Peer peer;
    ASSERT_TRUE(MS::RegisterSocket(NewSocket(), peer.target));
    const int32_t handle = MS::ResolveHost("slow.test", peer.target);
    ASSERT_NE(handle, 0);
    for (const int32_t error : {0, 11001}) {
        MS::NotifyWindowProc(MS::NotifyWindow(), MS::ResolveMessage(), static_cast<platform::WPARAM>(handle),
                             MAKELONG(0, static_cast<platform::WORD>(error)));
        platform::PostMessageA(MS::NotifyWindow(), MS::ResolveMessage(), static_cast<platform::WPARAM>(handle),
                               MAKELONG(0, static_cast<platform::WORD>(error)));
    }
    testsupport::PumpFor(20ms);
    EXPECT_TRUE(peer.log->hostEvents.empty()) << "a forged completion was delivered";
    EXPECT_EQ(MS::OutstandingLookupCount(), 1);

    ASSERT_TRUE(WaitForHostEvents(peer, 1));
    testsupport::PumpFor(20ms);
    ASSERT_EQ(peer.log->hostEvents.size(), 1u);
    EXPECT_EQ(peer.log->hostEvents[0].handle, handle);
    EXPECT_EQ(peer.log->hostEvents[0].name, "slow.example");
    EXPECT_EQ(peer.log->hostEvents[0].address, Address(10, 0, 0, 9));
    EXPECT_EQ(peer.log->hostEvents[0].error, 0);
    EXPECT_EQ(MS::OutstandingLookupCount(), 0);
}

TEST_F(MSocketSupportTest, RequestsThatCannotStartLeaveNothingBehind) {
    Peer peer;
    ASSERT_TRUE(MS::RegisterSocket(NewSocket(), peer.target));
    seam::FailNextAsyncGetHostByName(platform::WSAENOBUFS);
    EXPECT_EQ(MS::ResolveHost("refused.test", peer.target), 0);
    ExpectLastError(10055, "MSocketSupport.ResolveHost", "No buffer space available.");
    EXPECT_EQ(MS::OutstandingLookupCount(), 0);

    // No memory for the result: 0, and no error is left (not even the previous one).
    seam::FailNextGlobalAlloc();
    EXPECT_EQ(MS::ResolveHost("nomemory.test", peer.target), 0);
    EXPECT_FALSE(MS::LastError().has_value());
    EXPECT_EQ(MS::OutstandingLookupCount(), 0);
    testsupport::PumpFor(20ms);
    EXPECT_TRUE(peer.log->hostEvents.empty());
}

TEST_F(MSocketSupportTest, ObjectThatEndsDuringItsLookupIsNotCalledBack) {
    seam::SetResolver([](const std::string&) {
        seam::LookupAnswer answer{0, "late.example", {}, {Address(10, 0, 0, 1)}};
        answer.delayMs = 50;
        return answer;
    });
    Peer owner, asker;
    ASSERT_TRUE(MS::RegisterSocket(NewSocket(), owner.target));
    ASSERT_NE(MS::ResolveHost("late.test", asker.target), 0);
    std::shared_ptr<Log> log = asker.log;
    asker.target.reset();
    ASSERT_TRUE(log->destroyed);
    ASSERT_TRUE(testsupport::PumpUntil([] { return MS::OutstandingLookupCount() == 0; }));
    EXPECT_TRUE(log->hostEvents.empty());
    EXPECT_TRUE(owner.log->hostEvents.empty());
}

TEST_F(MSocketSupportTest, WindowWaitsForTheLastCompletion) {
    seam::SetResolver([](const std::string&) {
        seam::LookupAnswer answer{0, "slow.example", {}, {Address(10, 0, 0, 2)}};
        answer.delayMs = 50;
        return answer;
    });
    Peer peer;
    const SOCKET s = NewSocket();
    ASSERT_TRUE(MS::RegisterSocket(s, peer.target));
    const int32_t handle = MS::ResolveHost("slow.test", peer.target);
    ASSERT_NE(handle, 0);
    const platform::HWND w = MS::NotifyWindow();
    EXPECT_TRUE(MS::UnregisterSocket(s));
    EXPECT_EQ(MS::NotifyWindow(), w);  // a completion is still due through it
    ASSERT_TRUE(WaitForHostEvents(peer, 1));
    EXPECT_EQ(peer.log->hostEvents[0].handle, handle);
    EXPECT_EQ(peer.log->hostEvents[0].address, Address(10, 0, 0, 2));
    EXPECT_EQ(MS::NotifyWindow(), platform::HWND{});
    EXPECT_FALSE(platform::IsWindow(w));
}

TEST_F(MSocketSupportTest, CompletionHandlerMayStartTheNextLookup) {
    seam::SetResolver([](const std::string& name) {
        return seam::LookupAnswer{0, name, {}, {Address(10, 0, 0, static_cast<uint8_t>(name.size()))}};
    });
    Peer peer;
    ASSERT_TRUE(MS::RegisterSocket(NewSocket(), peer.target));
    int32_t next = -1;
    peer.target->onHostEvent = [&] {
        if (next == -1) next = MS::ResolveHost("second.test", peer.target);
    };
    const int32_t handle = MS::ResolveHost("first.test", peer.target);
    ASSERT_NE(handle, 0);
    ASSERT_TRUE(WaitForHostEvents(peer, 2));
    ASSERT_NE(next, 0);
    EXPECT_EQ(peer.log->hostEvents[0].handle, handle);
    EXPECT_EQ(peer.log->hostEvents[0].name, "first.test");
    EXPECT_EQ(peer.log->hostEvents[1].handle, next);
    EXPECT_EQ(peer.log->hostEvents[1].name, "second.test");
    EXPECT_EQ(MS::OutstandingLookupCount(), 0);
}

TEST_F(MSocketSupportTest, LocalhostResolvesToTheLoopbackAddress) {
    Peer peer;
    ASSERT_TRUE(MS::RegisterSocket(NewSocket(), peer.target));
    const int32_t handle = MS::ResolveHost("localhost", peer.target);
    ASSERT_NE(handle, 0);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return !peer.log->hostEvents.empty(); }, 10s));
    const HostEvent& e = peer.log->hostEvents.front();
    EXPECT_EQ(e.error, 0);
    EXPECT_EQ(e.handle, handle);
    EXPECT_EQ(e.address, Address(127, 0, 0, 1));
    EXPECT_FALSE(e.name.empty());
}

}  // namespace
