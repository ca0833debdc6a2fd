// SPDX-License-Identifier: MIT
// The test seam of the platform layer: what real sockets and a real resolver
// cannot be made to do on demand. Production code never calls any of it.
//
// Each Fail... call arms a one-shot failure for the next matching call on the
// loop thread. Reset() disarms everything and restores the system resolver.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

namespace platform::testing {

// The next WSAStartup returns this code instead of starting (0 disarms).
void FailNextStartup(int code);
// iMaxUdpDg that WSAStartup reports from now on (the default is 65507).
void SetMaxUdpDatagram(uint16_t value);
// The next WSAAsyncSelect with a nonzero event mask fails with this code.
void FailNextAsyncSelect(int code);
// The next CreateWindowExA returns 0.
void FailNextWindowCreation();
// The next GlobalAlloc returns 0.
void FailNextGlobalAlloc();
// The next WSAAsyncGetHostByName returns 0 with this code.
void FailNextAsyncGetHostByName(int code);

// System calls of the layer whose failure can be injected. GlobalAlloc is the memory
// block that a host lookup's result is laid out in.
enum class SystemCall { Socket, Accept, Recv, Send, EpollCtl, GlobalAlloc };
// The next `count` calls of `call` fail with the errno `error` (ENOMEM, ENOBUFS,
// EMFILE, EINTR ...) without being made, as if the system had refused them. A
// GlobalAlloc so failed returns 0, whatever the errno: an allocation is never
// interrupted.
void FailSystemCall(SystemCall call, int error, int count = 1);

// What a substitute resolver answers for a name.
struct LookupAnswer {
    int error = 0;                      // a Windows code (11001 ...), 0 on success
    std::string officialName;
    std::vector<std::string> aliases;
    std::vector<uint32_t> addresses;    // IPv4, network byte order
    int addressLength = 4;              // a result with another length has no usable address
    int delayMs = 0;                    // the worker waits this long before answering
};
// Replaces the system resolver for forward lookups; it runs on the lookup worker.
// An empty function restores the system resolver.
void SetResolver(std::function<LookupAnswer(const std::string& name)> resolver);
// Replaces reverse lookups (gethostbyaddr): the official name for an address in
// network byte order, or nullopt for "no name". An empty function restores the system.
void SetReverseResolver(std::function<std::optional<std::string>(uint32_t address)> resolver);

// Disarms every seam and restores the system resolvers and the datagram size.
void Reset();

namespace detail {
int  TakeStartupFailure();
uint16_t MaxUdpDatagram();
int  TakeAsyncSelectFailure();
bool TakeWindowCreationFailure();
bool TakeGlobalAllocFailure();
int  TakeAsyncGetHostByNameFailure();
int  TakeSystemCallFailure(SystemCall call);
std::function<LookupAnswer(const std::string&)> Resolver();
std::function<std::optional<std::string>(uint32_t)> ReverseResolver();
}  // namespace detail

}  // namespace platform::testing
