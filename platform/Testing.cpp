// SPDX-License-Identifier: MIT
#include "platform/Testing.h"

#include <mutex>
#include <utility>

namespace platform::testing {

namespace {

struct Seams {
    int startupFailure = 0;
    uint16_t maxUdpDatagram = 65507;  // 65535 less the IPv4 and UDP headers
    int asyncSelectFailure = 0;
    bool windowCreationFailure = false;
    bool globalAllocFailure = false;
    int asyncGetHostByNameFailure = 0;
    struct Injected {
        int error = 0;
        int count = 0;
    };
    Injected systemCalls[static_cast<int>(SystemCall::GlobalAlloc) + 1];
    // The resolvers are read by the lookup worker: guarded by resolverMutex.
    std::mutex resolverMutex;
    std::function<LookupAnswer(const std::string&)> resolver;
    std::function<std::optional<std::string>(uint32_t)> reverseResolver;
};

Seams& S() {
    static Seams* seams = new Seams;  // outlives a lookup worker still running at exit
    return *seams;
}

}  // namespace

void FailNextStartup(int code) { S().startupFailure = code; }
void SetMaxUdpDatagram(uint16_t value) { S().maxUdpDatagram = value; }
void FailNextAsyncSelect(int code) { S().asyncSelectFailure = code; }
void FailNextWindowCreation() { S().windowCreationFailure = true; }
void FailNextGlobalAlloc() { S().globalAllocFailure = true; }
void FailNextAsyncGetHostByName(int code) { S().asyncGetHostByNameFailure = code; }

void FailSystemCall(SystemCall call, int error, int count) {
    S().systemCalls[static_cast<int>(call)] = {error, count};
}

void SetResolver(std::function<LookupAnswer(const std::string&)> resolver) {
    std::lock_guard lock(S().resolverMutex);
    S().resolver = std::move(resolver);
}

void SetReverseResolver(std::function<std::optional<std::string>(uint32_t)> resolver) {
    std::lock_guard lock(S().resolverMutex);
    S().reverseResolver = std::move(resolver);
}

void Reset() {
    Seams& s = S();
    s.startupFailure = 0;
    s.maxUdpDatagram = 65507;
    s.asyncSelectFailure = 0;
    s.windowCreationFailure = false;
    s.globalAllocFailure = false;
    s.asyncGetHostByNameFailure = 0;
    for (auto& injected : s.systemCalls) injected = {};
    SetResolver({});
    SetReverseResolver({});
}

namespace detail {

int TakeStartupFailure() { return std::exchange(S().startupFailure, 0); }
uint16_t MaxUdpDatagram() { return S().maxUdpDatagram; }
int TakeAsyncSelectFailure() { return std::exchange(S().asyncSelectFailure, 0); }
bool TakeWindowCreationFailure() { return std::exchange(S().windowCreationFailure, false); }
bool TakeGlobalAllocFailure() { return std::exchange(S().globalAllocFailure, false); }
int TakeAsyncGetHostByNameFailure() { return std::exchange(S().asyncGetHostByNameFailure, 0); }

int TakeSystemCallFailure(SystemCall call) {
    auto& injected = S().systemCalls[static_cast<int>(call)];
    if (injected.count <= 0) return 0;
    --injected.count;
    return injected.error;
}

std::function<LookupAnswer(const std::string&)> Resolver() {
    std::lock_guard lock(S().resolverMutex);
    return S().resolver;
}

std::function<std::optional<std::string>(uint32_t)> ReverseResolver() {
    std::lock_guard lock(S().resolverMutex);
    return S().reverseResolver;
}

}  // namespace detail

}  // namespace platform::testing
