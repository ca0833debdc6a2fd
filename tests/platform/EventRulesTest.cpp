// SPDX-License-Identifier: MIT
// The substitute's network-event rules, from a table of facts and triggers: no
// socket, no loop. Each row is one rule as Windows documents it, or one of the
// substitute's own (the kernel's reports, what a receive tells, fetching ahead).
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <initializer_list>

#include "platform/ErrorNumbers.h"
#include "platform/linux/EventRules.h"

namespace platformtest {
namespace {

using namespace platform;
using namespace platform::detail;

constexpr long kAll = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr Owed N = Owed::Never;
constexpr Owed L = Owed::Later;
constexpr Owed Now = Owed::Now;

SocketFacts Facts(SocketPhase phase, std::initializer_list<bool SocketFacts::*> set = {}, long armed = kAll,
                  int reset = 0, long mask = kAll) {
    SocketFacts f;
    f.phase = phase;
    f.mask = mask;
    f.armed = armed & mask;
    f.resetError = reset;
    for (bool SocketFacts::*flag : set) f.*flag = true;
    return f;
}

constexpr SocketPhase kConnected = SocketPhase::Connected;
constexpr SocketPhase kListening = SocketPhase::Listening;

// -1: the rules must not ask what waits unread (a system call).
constexpr int kNoCount = -1;
UnreadBytes Unread(int count) { return UnreadBytes::Known(count < 0 ? 0 : count); }
Trigger Watch(int unread = kNoCount) { return Trigger::Watch(Unread(unread)); }
Trigger Report(uint32_t events, int unread = kNoCount) { return Trigger::Report(events, Unread(unread)); }
Trigger Receive(int result, int length, int flags = 0, int unread = kNoCount) {
    return Trigger::Receive(result, length, flags, Unread(unread));
}

struct Expect {
    Owed read = N, write = N, accept = N, connect = N, close = N;
};

struct Case {
    const char* rule;
    SocketFacts facts;
    Trigger trigger;
    bool mayCount;
    Expect expect;
};

Case Row(const char* rule, SocketFacts facts, Trigger trigger, Expect expect) {
    return {rule, facts, trigger, true, expect};
}
Case Uncounted(const char* rule, SocketFacts facts, Trigger trigger, Expect expect) {
    return {rule, facts, trigger, false, expect};
}

const char* Name(Owed o) { return o == Now ? "now" : o == L ? "later" : "never"; }

TEST(EventRules, EachEventIsOwedNowLaterOrNeverAsWindowsRulesSay) {
    using F = SocketFacts;
    const long notRead = kAll & ~FD_READ;
    const long closeTold = kAll & ~FD_CLOSE;
    const Case cases[] = {
        // ---- Registration ----
        Uncounted("a connected stream can send at once; its data and close are looked for",
                  Facts(kConnected), Trigger::Registration(), {.read = L, .write = Now, .close = L}),
        Uncounted("a stream still connecting: only the outcome is looked for", Facts(SocketPhase::Connecting),
                  Trigger::Registration(), {.connect = L}),
        Uncounted("a listener with a connection fetched ahead: FD_ACCEPT at once",
                  Facts(kListening, {&F::nonBlocking, &F::fetched}), Trigger::Registration(), {.accept = Now}),
        Uncounted("a datagram socket can send at once", Facts(kConnected, {&F::datagram}), Trigger::Registration(),
                  {.read = L, .write = Now}),
        // ---- Connect ----
        Uncounted("a connect that succeeded: FD_CONNECT, then FD_WRITE", Facts(kConnected), Trigger::Connect(0),
                  {.read = L, .write = Now, .connect = Now, .close = L}),
        Uncounted("a connect that failed: FD_CONNECT alone", Facts(SocketPhase::Failed),
                  Trigger::Connect(WSAECONNREFUSED), {.connect = Now}),
        Uncounted("a datagram's connect: FD_CONNECT alone, its FD_WRITE came at registration",
                  Facts(kConnected, {&F::datagram}), Trigger::Connect(0), {.read = L, .connect = Now}),
        // ---- Reports of a stream ----
        Uncounted("plain IN is data: FD_READ, told without asking what waits", Facts(kConnected), Report(EPOLLIN),
                  {.read = Now, .close = L}),
        Row("the peer's close with nothing unread: FD_CLOSE", Facts(kConnected, {&F::finSeen}),
            Report(EPOLLIN | EPOLLRDHUP, 0), {.read = L, .close = Now}),
        Row("the peer's close with data unread: FD_READ, and the close waits for the data",
            Facts(kConnected, {&F::finSeen}), Report(EPOLLIN | EPOLLRDHUP, 5), {.read = Now, .close = L}),
        Row("a reset with data left: FD_READ, and FD_CLOSE with the reset",
            Facts(kConnected, {&F::finSeen}, kAll, WSAECONNRESET), Report(EPOLLIN | EPOLLERR | EPOLLHUP, 10),
            {.read = Now, .close = Now}),
        Row("a reset with nothing left: FD_CLOSE alone", Facts(kConnected, {&F::finSeen}, kAll, WSAECONNRESET),
            Report(EPOLLIN | EPOLLERR | EPOLLHUP, 0), {.read = L, .close = Now}),
        Uncounted("the layer's own shutdown of the read side is not the peer's close",
                  Facts(kConnected, {&F::shutRecv}), Report(EPOLLIN | EPOLLRDHUP), {}),
        Uncounted("room after a send refused with 10035: FD_WRITE", Facts(kConnected, {&F::writeWanted}),
                  Report(EPOLLOUT), {.read = L, .write = Now, .close = L}),
        Uncounted("room that no refused send waited for: nothing", Facts(kConnected), Report(EPOLLOUT),
                  {.read = L, .close = L}),
        // ---- Receives of a stream that reads ----
        Uncounted("a receive that filled its buffer may have left data: FD_READ again", Facts(kConnected),
                  Receive(100, 100), {.read = Now, .close = L}),
        Uncounted("a peek takes nothing: FD_READ again", Facts(kConnected), Receive(5, 100, MSG_PEEK),
                  {.read = Now, .close = L}),
        Uncounted("a receive that took less than it asked for took the last: the next arrival tells",
                  Facts(kConnected), Receive(40, 100), {.read = L, .close = L}),
        Uncounted("after the peer's close, that was the end: FD_CLOSE", Facts(kConnected, {&F::finSeen}),
                  Receive(40, 100), {.read = L, .close = Now}),
        Uncounted("the end of the stream after the peer's close: FD_CLOSE", Facts(kConnected, {&F::finSeen}),
                  Receive(0, 100), {.read = L, .close = Now}),
        Row("a failed receive took nothing: what waits is still owed", Facts(kConnected), Receive(-1, 100, 0, 7),
            {.read = Now, .close = L}),
        Row("a failed receive after the peer's close with nothing left: FD_CLOSE", Facts(kConnected, {&F::finSeen}),
            Receive(-1, 100, 0, 0), {.read = L, .close = Now}),
        Row("a receive of no bytes tells nothing: data still waiting is owed, the close waits",
            Facts(kConnected, {&F::finSeen}), Receive(0, 0, 0, 3), {.read = Now, .close = L}),
        Uncounted("a datagram socket has the kernel look again after each receive",
                  Facts(kConnected, {&F::datagram}), Receive(3, 10), {.read = L}),
        // ---- Listeners ----
        Uncounted("a listener's report announces a connection", Facts(kListening), Report(EPOLLIN),
                  {.accept = Now}),
        Uncounted("fetching ahead, an edge whose connection was taken already is stale",
                  Facts(kListening, {&F::nonBlocking}), Report(EPOLLIN), {.accept = L}),
        Uncounted("fetching ahead, a connection fetched: FD_ACCEPT", Facts(kListening, {&F::nonBlocking, &F::fetched}),
                  Report(EPOLLIN), {.accept = Now}),
        Uncounted("a listener out of descriptors neither announces nor is watched",
                  Facts(kListening, {&F::acceptPaused}), Report(EPOLLIN), {}),
        Uncounted("an accept call with the next connection fetched: FD_ACCEPT at once",
                  Facts(kListening, {&F::nonBlocking, &F::fetched}), Trigger::Accept(),
                  {.accept = Now}),
        // ---- What is looked for ----
        Uncounted("a refused send has room looked for", Facts(kConnected, {&F::writeWanted}), Watch(),
                  {.read = L, .write = L, .close = L}),
        Uncounted("an FD_READ waiting for its receive: neither data nor the close is looked for",
                  Facts(kConnected, {}, notRead), Watch(), {}),
        Row("after a reset was told, unread data is still looked for",
            Facts(kConnected, {&F::finSeen, &F::closeTold}, closeTold, WSAECONNRESET), Watch(4), {.read = L}),
        Row("after a reset was told and all was read, nothing",
            Facts(kConnected, {&F::finSeen, &F::closeTold}, closeTold, WSAECONNRESET), Watch(0), {}),
        Uncounted("after a graceful close was told, nothing",
                  Facts(kConnected, {&F::finSeen, &F::atEnd, &F::closeTold}, closeTold), Watch(), {}),
        Row("without FD_READ, the close is looked for while nothing is unread",
            Facts(kConnected, {}, kAll, 0, FD_WRITE | FD_CLOSE), Watch(0), {.close = L}),
        Row("without FD_READ, unread data holds the close back until a receive",
            Facts(kConnected, {}, kAll, 0, FD_WRITE | FD_CLOSE), Watch(3), {}),
        Uncounted("unregistered, nothing is owed", Facts(kConnected, {}, 0, 0, 0), Watch(), {}),
        // ---- A socket that cannot be watched ----
        Uncounted("it ends with FD_CLOSE and the error, whatever its phase", Facts(SocketPhase::Connecting),
                  Trigger::WatchFailed(WSAENOBUFS), {.connect = L, .close = Now}),
        Uncounted("but only once", Facts(kConnected, {&F::closeTold}, closeTold), Trigger::WatchFailed(WSAENOBUFS),
                  {}),
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        const Expect& e = c.expect;
        EXPECT_STREQ(Name(ReadOwed(c.facts, c.trigger)), Name(e.read)) << "FD_READ";
        EXPECT_STREQ(Name(WriteOwed(c.facts, c.trigger)), Name(e.write)) << "FD_WRITE";
        EXPECT_STREQ(Name(AcceptOwed(c.facts, c.trigger)), Name(e.accept)) << "FD_ACCEPT";
        EXPECT_STREQ(Name(ConnectOwed(c.facts, c.trigger)), Name(e.connect)) << "FD_CONNECT";
        EXPECT_STREQ(Name(CloseOwed(c.facts, c.trigger)), Name(e.close)) << "FD_CLOSE";
        if (!c.mayCount) {
            EXPECT_FALSE(c.trigger.unread.Asked()) << "asked the kernel what waits unread";
        }
        // Nothing is posted for merely looking: the watch takes only Later and Never.
        const Trigger look = Watch(0);
        for (const long event : kEventOrder) EXPECT_NE(OwedOf(event, c.facts, look), Now) << "event " << event;
    }
}

}  // namespace
}  // namespace platformtest
