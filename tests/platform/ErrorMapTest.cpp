// SPDX-License-Identifier: MIT
// How the substitute turns errno into Windows numbers: the table, and the calls whose
// answer depends on the call or on what the socket went through.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>

#include "platform/linux/ErrorMap.h"
#include "platform/linux/EventRules.h"

namespace platformtest {
namespace {

using namespace platform;
using namespace platform::detail;

TEST(ErrnoTranslation, EachErrnoHasItsWindowsNumberAndAnyOtherIsASystemCallFailure) {
    constexpr struct {
        int error;
        int windows;
    } kTable[] = {
        {0, 0},
        {EAGAIN, WSAEWOULDBLOCK},         {EINPROGRESS, WSAEWOULDBLOCK},     {EALREADY, WSAEALREADY},
        {EBADF, WSAENOTSOCK},             {ENOTSOCK, WSAENOTSOCK},           {EDESTADDRREQ, WSAENOTCONN},
        {EMSGSIZE, WSAEMSGSIZE},          {EPROTOTYPE, WSAEPROTOTYPE},       {ENOPROTOOPT, WSAENOPROTOOPT},
        {EPROTONOSUPPORT, WSAEPROTONOSUPPORT}, {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
        {EOPNOTSUPP, WSAEOPNOTSUPP},      {EPFNOSUPPORT, WSAEPFNOSUPPORT},   {EAFNOSUPPORT, WSAEAFNOSUPPORT},
        {EADDRINUSE, WSAEADDRINUSE},      {EADDRNOTAVAIL, WSAEADDRNOTAVAIL}, {ENETDOWN, WSAENETDOWN},
        {ENETUNREACH, WSAENETUNREACH},    {ENETRESET, WSAENETRESET},         {ECONNABORTED, WSAECONNABORTED},
        {ECONNRESET, WSAECONNRESET},      {ENOMEM, WSAENOBUFS},              {ENOBUFS, WSAENOBUFS},
        {EISCONN, WSAEISCONN},            {ENOTCONN, WSAENOTCONN},           {ESHUTDOWN, WSAESHUTDOWN},
        {EPIPE, WSAECONNRESET},           {ETIMEDOUT, WSAETIMEDOUT},         {ECONNREFUSED, WSAECONNREFUSED},
        {EHOSTDOWN, WSAEHOSTDOWN},        {EHOSTUNREACH, WSAEHOSTUNREACH},   {EINTR, WSAEINTR},
        {EPERM, WSAEACCES},               {EACCES, WSAEACCES},               {EFAULT, WSAEFAULT},
        {EINVAL, WSAEINVAL},              {ENFILE, WSAEMFILE},               {EMFILE, WSAEMFILE},
        // Nothing Windows would say: the call failed.
        {ENOENT, WSASYSCALLFAILURE},      {19980927, WSASYSCALLFAILURE},     {-1, WSASYSCALLFAILURE},
    };
    for (const auto& [error, windows] : kTable) {
        SCOPED_TRACE(error);
        EXPECT_EQ(WsaErrorFromErrno(error), windows);
    }
}

// Where Linux says one thing for several situations, the call or the socket's story
// tells them apart; a reset is kept, since the kernel tells of it only once.
TEST(ErrnoTranslation, ACallsOwnTranslationTellsWhatTheSocketWentThrough) {
    SocketFacts connected;
    connected.phase = SocketPhase::Connected;
    SocketFacts shut = connected;
    shut.shutSend = true;
    SocketFacts connecting;
    connecting.phase = SocketPhase::Connecting;
    SocketFacts datagram = connected;
    datagram.datagram = true;

    constexpr int kNoCall = 0;
    const struct {
        const char* what;
        CallFailure got;
        int windows;
        bool reset;
    } kCases[] = {
        {"send EPIPE on a socket made elsewhere", SendFailure(EPIPE, nullptr), WSAENOTCONN, false},
        {"send EPIPE after shutdown(SD_SEND)", SendFailure(EPIPE, &shut), WSAESHUTDOWN, false},
        {"send EPIPE before the connection", SendFailure(EPIPE, &connecting), WSAENOTCONN, false},
        {"send EPIPE once the peer has gone", SendFailure(EPIPE, &connected), WSAECONNRESET, false},
        {"send ECONNRESET", SendFailure(ECONNRESET, &connected), WSAECONNRESET, true},
        {"send ECONNREFUSED on a connected datagram socket", SendFailure(ECONNREFUSED, &datagram), WSAECONNRESET,
         false},
        {"send ECONNREFUSED on a stream", SendFailure(ECONNREFUSED, &connected), WSAECONNREFUSED, false},
        {"send EAGAIN", SendFailure(EAGAIN, &connected), WSAEWOULDBLOCK, false},
        {"receive ECONNREFUSED (a datagram's port unreachable)", ReceiveFailure(ECONNREFUSED), WSAECONNRESET, false},
        {"receive ECONNRESET", ReceiveFailure(ECONNRESET), WSAECONNRESET, true},
        {"receive an unknown errno", ReceiveFailure(19980927), WSASYSCALLFAILURE, false},
        {"connect EPIPE on a stream whose connection ended", {ConnectError(EPIPE), false}, WSAEISCONN, false},
        {"connect EINPROGRESS", {ConnectError(EINPROGRESS), false}, WSAEWOULDBLOCK, false},
        {"sendto EINVAL to 0.0.0.0", {SendToError(EINVAL, INADDR_ANY), false}, WSAEADDRNOTAVAIL, false},
        {"sendto EINVAL otherwise", {SendToError(EINVAL, htonl(INADDR_LOOPBACK)), false}, WSAEINVAL, false},
        {"sendto ECONNREFUSED", {SendToError(ECONNREFUSED, htonl(INADDR_LOOPBACK)), false}, WSAECONNRESET, false},
        {"lookup EAI_NONAME", {WsaErrorFromEai(EAI_NONAME, kNoCall), false}, WSAHOST_NOT_FOUND, false},
        {"lookup EAI_AGAIN", {WsaErrorFromEai(EAI_AGAIN, kNoCall), false}, WSATRY_AGAIN, false},
        {"lookup EAI_FAIL", {WsaErrorFromEai(EAI_FAIL, kNoCall), false}, WSANO_RECOVERY, false},
        {"lookup EAI_NODATA", {WsaErrorFromEai(EAI_NODATA, kNoCall), false}, WSANO_DATA, false},
        {"lookup EAI_MEMORY", {WsaErrorFromEai(EAI_MEMORY, kNoCall), false}, WSAENOBUFS, false},
        {"lookup EAI_SYSTEM takes its errno", {WsaErrorFromEai(EAI_SYSTEM, EMFILE), false}, WSAEMFILE, false},
        {"lookup, an unknown code", {WsaErrorFromEai(-19980927, kNoCall), false}, WSANO_RECOVERY, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.got.error, c.windows);
        EXPECT_EQ(c.got.reset, c.reset);
    }
    EXPECT_TRUE(ConnectUnderWay(EINPROGRESS));
    EXPECT_FALSE(ConnectUnderWay(EAGAIN)) << "only EINPROGRESS means the attempt goes on";
}

}  // namespace
}  // namespace platformtest
