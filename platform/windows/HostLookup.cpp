// SPDX-License-Identifier: MIT
// Host lookups on Windows: straight through to ws2_32, except where the test seam
// substitutes a resolver. A steered forward lookup is answered on a worker thread of
// its own and completes as Windows' own does: the answer laid out in the caller's
// buffer, then a message posted to the window.
#include "platform/HostLookup.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/ErrorNumbers.h"
#include "platform/HostEntry.h"
#include "platform/Testing.h"

namespace platform {

namespace {

struct Steered {
    HANDLE handle;
    std::string name;
    HWND hwnd;
    UINT msg;
    char* buffer;
    int bufferLength;
    std::function<testing::LookupAnswer(const std::string&)> resolver;
};

// Shared by the loop thread and the worker, under `mutex`. Never destroyed: the
// worker is detached and may outlive main().
struct SteeredLookups {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::shared_ptr<Steered>> pending;
    // Started and not yet completed or withdrawn; the buffer is written only while
    // its request is here, under the mutex, so a withdrawn buffer is never touched.
    std::unordered_map<HANDLE, std::shared_ptr<Steered>> outstanding;
    bool workerRunning = false;
    HANDLE nextHandle = kFirstHandle;
    // Steered handles stay apart from those Windows hands out, which are small.
    static constexpr HANDLE kFirstHandle = 0x40000000;
};

SteeredLookups& Lookups() {
    static auto* lookups = new SteeredLookups;
    return *lookups;
}

void Answer(const std::shared_ptr<Steered>& request) {
    testing::LookupAnswer answer = request->resolver(request->name);
    if (answer.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
    SteeredLookups& lookups = Lookups();
    std::lock_guard lock(lookups.mutex);
    const auto it = lookups.outstanding.find(request->handle);
    if (it == lookups.outstanding.end() || it->second != request) return;  // withdrawn
    lookups.outstanding.erase(it);
    int error = answer.error;
    size_t length = 0;
    if (error == 0) {
        length = detail::LayOutHostEntry(answer, request->buffer, static_cast<size_t>(request->bufferLength));
        if (length > static_cast<size_t>(request->bufferLength)) error = WSAENOBUFS;  // length: the size needed
    }
    ::PostMessageA(request->hwnd, request->msg, static_cast<WPARAM>(request->handle),
                   MAKELONG(static_cast<WORD>(std::min<size_t>(length, 0xFFFF)), static_cast<WORD>(error)));
}

void WorkerMain() {
    SteeredLookups& lookups = Lookups();
    for (;;) {
        std::shared_ptr<Steered> request;
        {
            std::unique_lock lock(lookups.mutex);
            lookups.ready.wait(lock, [&] { return !lookups.pending.empty(); });
            request = std::move(lookups.pending.front());
            lookups.pending.pop_front();
        }
        Answer(request);
    }
}

HANDLE StartSteered(std::function<testing::LookupAnswer(const std::string&)> resolver, HWND hwnd, UINT wMsg,
                    const char* name, char* buf, int buflen) {
    if (name == nullptr || buf == nullptr || buflen <= 0) {
        ::WSASetLastError(WSAEFAULT);
        return 0;
    }
    auto request = std::make_shared<Steered>();
    request->name = name;
    request->hwnd = hwnd;
    request->msg = wMsg;
    request->buffer = buf;
    request->bufferLength = buflen;
    request->resolver = std::move(resolver);
    SteeredLookups& lookups = Lookups();
    {
        std::lock_guard lock(lookups.mutex);
        request->handle = lookups.nextHandle;
        lookups.nextHandle = lookups.nextHandle >= 0x7FFFFFEF ? SteeredLookups::kFirstHandle : lookups.nextHandle + 1;
        lookups.outstanding[request->handle] = request;
        lookups.pending.push_back(request);
        if (!lookups.workerRunning) {
            std::thread(WorkerMain).detach();
            lookups.workerRunning = true;
        }
    }
    lookups.ready.notify_one();
    return request->handle;
}

}  // namespace

HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT wMsg, const char* name, char* buf, int buflen) {
    if (const int failure = testing::detail::TakeAsyncGetHostByNameFailure()) {
        ::WSASetLastError(failure);
        return 0;
    }
    if (auto resolver = testing::detail::Resolver()) {
        return StartSteered(std::move(resolver), hwnd, wMsg, name, buf, buflen);
    }
    return reinterpret_cast<HANDLE>(::WSAAsyncGetHostByName(hwnd, wMsg, name, buf, buflen));
}

int WSACancelAsyncRequest(HANDLE asyncTaskHandle) {
    {
        SteeredLookups& lookups = Lookups();
        std::lock_guard lock(lookups.mutex);
        if (lookups.outstanding.erase(asyncTaskHandle) != 0) return 0;
    }
    if (asyncTaskHandle >= SteeredLookups::kFirstHandle) {  // completed or withdrawn already
        ::WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    return ::WSACancelAsyncRequest(reinterpret_cast<::HANDLE>(asyncTaskHandle));
}

bool AsyncRequestRunning(HANDLE asyncTaskHandle) {
    // Only a steered lookup can tell: Windows' own cannot without being withdrawn.
    SteeredLookups& lookups = Lookups();
    std::lock_guard lock(lookups.mutex);
    return lookups.outstanding.count(asyncTaskHandle) != 0;
}

hostent* gethostbyaddr(const char* addr, int len, int type) {
    if (const auto reverse = testing::detail::ReverseResolver(); reverse && addr != nullptr && len == 4) {
        uint32_t value;
        std::memcpy(&value, addr, 4);
        const std::optional<std::string> answer = reverse(value);
        if (!answer) {
            ::WSASetLastError(WSAHOST_NOT_FOUND);
            return nullptr;
        }
        return detail::ThreadHostEntry(*answer, value);
    }
    return ::gethostbyaddr(addr, len, type);
}

}  // namespace platform
