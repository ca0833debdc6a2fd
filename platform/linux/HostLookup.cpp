// SPDX-License-Identifier: MIT
// WSAAsyncGetHostByName: names are resolved one at a time on a worker thread; the
// completion is laid out in the caller's buffer and delivered on the loop thread.
//
// The worker touches only its request and the loop's thread-safe task queue. It is
// detached and never joined, so the process can end while a lookup still runs.
#include "platform/HostLookup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
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

#include "platform/HostEntry.h"
#include "platform/linux/ErrorMap.h"
#include "platform/linux/EventLoop.h"
#include "platform/Testing.h"
#include "platform/Window.h"
#include "platform/Winsock.h"

namespace platform {

namespace {

using testing::LookupAnswer;

struct Request {
    HANDLE handle;
    std::string name;
    HWND hwnd;
    UINT msg;
    char* buffer;
    int bufferLength;
    std::function<LookupAnswer(const std::string&)> resolver;  // empty: the system's
    LookupAnswer answer;                                       // written by the worker
};

// Shared with the worker; never destroyed, since the worker may outlive main().
struct WorkQueue {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::shared_ptr<Request>> pending;
    bool workerRunning = false;
};

WorkQueue& Work() {
    static WorkQueue* queue = new WorkQueue;
    return *queue;
}

// Loop thread only: the lookups whose completion is still to be delivered.
std::unordered_map<HANDLE, std::shared_ptr<Request>>& Outstanding() {
    // Never destroyed: a socket object in static storage may end after it would be.
    static auto* outstanding = new std::unordered_map<HANDLE, std::shared_ptr<Request>>;
    return *outstanding;
}

HANDLE nextHandle = 1;

bool LooksNumeric(const std::string& name) {
    return !name.empty() && name.find_first_not_of("0123456789.") == std::string::npos;
}

LookupAnswer SystemResolve(const std::string& name) {
    LookupAnswer answer;
    // Windows answers an IPv6 literal or a malformed dotted address with "no data";
    // glibc would send the latter to DNS as a name.
    if (name.find(':') != std::string::npos || (LooksNumeric(name) && ::inet_addr(name.c_str()) == INADDR_NONE &&
                                                name != "255.255.255.255")) {
        answer.error = WSANO_DATA;
        return answer;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
    if (rc != 0) {
        answer.error = detail::WsaErrorFromEai(rc, errno);
        return answer;
    }
    answer.officialName = (result->ai_canonname && *result->ai_canonname) ? result->ai_canonname : name;
    for (const addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET) continue;
        const uint32_t address = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
        if (std::find(answer.addresses.begin(), answer.addresses.end(), address) == answer.addresses.end()) {
            answer.addresses.push_back(address);
        }
    }
    ::freeaddrinfo(result);
    if (answer.addresses.empty()) answer.error = WSANO_DATA;
    return answer;
}

bool Complete(const std::shared_ptr<Request>& request);

void WorkerMain() {
    WorkQueue& work = Work();
    for (;;) {
        std::shared_ptr<Request> request;
        {
            std::unique_lock lock(work.mutex);
            work.ready.wait(lock, [&] { return !work.pending.empty(); });
            request = std::move(work.pending.front());
            work.pending.pop_front();
        }
        if (request->resolver) {
            request->answer = request->resolver(request->name);
            if (request->answer.delayMs > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(request->answer.delayMs));
            }
        } else {
            request->answer = SystemResolve(request->name);
        }
        detail::EventLoop::Instance().PostTask([request] { return Complete(request); });
    }
}

// Delivers the completion; false when nothing was delivered.
bool Complete(const std::shared_ptr<Request>& request) {
    auto& outstanding = Outstanding();
    auto it = outstanding.find(request->handle);
    if (it == outstanding.end() || it->second != request) return false;  // cancelled
    outstanding.erase(it);
    if (!IsWindow(request->hwnd)) return false;  // nobody to tell

    int error = request->answer.error;
    size_t length = 0;
    if (error == 0) {
        length = detail::LayOutHostEntry(request->answer, request->buffer, static_cast<size_t>(request->bufferLength));
        if (length > static_cast<size_t>(request->bufferLength)) error = WSAENOBUFS;  // length: the size needed
    }
    return detail::DispatchToWindow(request->hwnd, request->msg, static_cast<WPARAM>(request->handle),
                                    MAKELONG(static_cast<WORD>(std::min<size_t>(length, 0xFFFF)),
                                             static_cast<WORD>(error)));
}

}  // namespace

HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT wMsg, const char* name, char* buf, int buflen) {
    if (!detail::Started()) return 0;
    if (const int failure = testing::detail::TakeAsyncGetHostByNameFailure()) {
        WSASetLastError(failure);
        return 0;
    }
    if (name == nullptr || buf == nullptr || buflen <= 0) {
        WSASetLastError(WSAEFAULT);
        return 0;
    }
    auto request = std::make_shared<Request>();
    request->handle = nextHandle;
    nextHandle = nextHandle >= 0x7FFFFFFF ? 1 : nextHandle + 1;
    request->name = name;
    request->hwnd = hwnd;
    request->msg = wMsg;
    request->buffer = buf;
    request->bufferLength = buflen;
    request->resolver = testing::detail::Resolver();
    Outstanding()[request->handle] = request;

    WorkQueue& work = Work();
    {
        std::lock_guard lock(work.mutex);
        work.pending.push_back(request);
        if (!work.workerRunning) {
            std::thread(WorkerMain).detach();
            work.workerRunning = true;
        }
    }
    work.ready.notify_one();
    return request->handle;
}

int WSACancelAsyncRequest(HANDLE asyncTaskHandle) {
    if (Outstanding().erase(asyncTaskHandle) == 0) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    return 0;
}

bool AsyncRequestRunning(HANDLE asyncTaskHandle) { return Outstanding().count(asyncTaskHandle) != 0; }

hostent* gethostbyaddr(const char* addr, int len, int type) {
    if (!detail::Started()) return nullptr;
    if (addr == nullptr || len != 4) {
        WSASetLastError(WSAEFAULT);
        return nullptr;
    }
    if (type != AF_INET) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return nullptr;
    }
    uint32_t address;
    std::memcpy(&address, addr, 4);
    std::optional<std::string> found;
    if (auto reverse = testing::detail::ReverseResolver()) {
        found = reverse(address);
    } else {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = address;
        char host[NI_MAXHOST];
        if (::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0,
                          NI_NAMEREQD) == 0) {
            found = host;
        }
    }
    if (!found) {
        WSASetLastError(WSAHOST_NOT_FOUND);
        return nullptr;
    }
    return detail::ThreadHostEntry(*found, address);
}

}  // namespace platform
