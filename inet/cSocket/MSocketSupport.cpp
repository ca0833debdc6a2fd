// SPDX-License-Identifier: MIT
#include "inet/cSocket/MSocketSupport.h"

#include <cstring>
#include <map>
#include <unordered_map>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Memory.h"
#include "platform/Process.h"
#include "platform/Window.h"
#include "platform/Winsock.h"

namespace inet::MSocketSupport {

namespace {

using platform::HWND;
using platform::LPARAM;
using platform::LRESULT;
using platform::UINT;
using platform::WPARAM;

// The socket registry, keyed by the handle's number: every notification looks it up,
// so small handles (all of them on Linux, most on Windows) sit in a table indexed by
// the number itself, one load away; any other handle goes to a map.
class SocketRegistry {
public:
    using Owner = std::weak_ptr<NotificationTarget>;

    // False when the handle is registered already.
    bool Add(int32_t handle, Owner owner) {
        if (IsSmall(handle)) {
            if (static_cast<size_t>(handle) >= m_small.size()) m_small.resize(static_cast<size_t>(handle) + 1);
            auto& slot = m_small[static_cast<size_t>(handle)];
            if (slot) return false;
            slot = std::move(owner);
        } else if (!m_large.emplace(handle, std::move(owner)).second) {
            return false;
        }
        ++m_count;
        return true;
    }

    // False when the handle was not registered.
    bool Remove(int32_t handle) {
        if (IsSmall(handle)) {
            if (static_cast<size_t>(handle) >= m_small.size() || !m_small[static_cast<size_t>(handle)]) return false;
            m_small[static_cast<size_t>(handle)].reset();
        } else if (m_large.erase(handle) == 0) {
            return false;
        }
        --m_count;
        return true;
    }

    // False when the handle is not registered.
    bool Replace(int32_t handle, Owner owner) {
        Owner* entry = FindIn(*this, handle);
        if (entry == nullptr) return false;
        *entry = std::move(owner);
        return true;
    }

    // The owner registered for the handle, or null.
    const Owner* Find(int32_t handle) const { return FindIn(*this, handle); }

    size_t size() const { return m_count; }
    bool empty() const { return m_count == 0; }

private:
    static constexpr int32_t kSmallLimit = 1 << 16;
    static bool IsSmall(int32_t handle) { return handle >= 0 && handle < kSmallLimit; }

    // Find for a registry and for a const one alike.
    template <typename Registry>
    static auto FindIn(Registry& registry, int32_t handle) -> decltype(&*registry.m_small.front()) {
        if (IsSmall(handle)) {
            if (static_cast<size_t>(handle) >= registry.m_small.size()) return nullptr;
            auto& slot = registry.m_small[static_cast<size_t>(handle)];
            return slot ? &*slot : nullptr;
        }
        const auto entry = registry.m_large.find(handle);
        return entry == registry.m_large.end() ? nullptr : &entry->second;
    }

    std::vector<std::optional<Owner>> m_small;
    std::unordered_map<int32_t, Owner> m_large;
    size_t m_count = 0;
};

constexpr long kNotificationMask = platform::FD_READ | platform::FD_WRITE | platform::FD_ACCEPT |
                                   platform::FD_CONNECT | platform::FD_CLOSE;  // 0x3B
constexpr int kLookupBufferSize = platform::MAXGETHOSTSTRUCT;

// A host lookup under way: who asked (nobody once forgotten), and the block its
// result is laid out in.
struct Lookup {
    std::weak_ptr<NotificationTarget> owner;
    platform::HGLOBAL block = 0;
};

// Module state, one per process. Never destroyed: socket objects that live in static
// storage may still unregister while the process exits.
struct Module {
    bool m_winsockStarted = false;
    int32_t m_maxUdpDatagram = 0;
    UINT m_winsockMessage = 0;
    UINT m_resolveMessage = 0;
    HWND m_notifyWindow = 0;
    platform::WNDPROC m_previousWindowProc = nullptr;
    std::unique_ptr<SocketRegistry> m_sockets;                             // absent until the first registration
    std::map<int32_t, Lookup> m_lookups;                                   // by lookup handle
    std::optional<SocketError> m_lastError;
};

Module& M() {
    static Module* module = new Module;
    return *module;
}


bool LookupsOutstanding() { return !M().m_lookups.empty(); }

// The window goes with the last registration, unless a lookup still has to report
// through it: then it goes with that lookup's completion.
bool ReleaseWindowIfUnused() {
    Module& m = M();
    if ((m.m_sockets && !m.m_sockets->empty()) || LookupsOutstanding() || m.m_notifyWindow == 0) return true;
    return DestroyNotifyWindow();
}

void LeaveError(int32_t number, const char* source, std::string description) {
    M().m_lastError.emplace(number, source, std::move(description));
}

void CompleteLookup(WPARAM wParam, LPARAM lParam) {
    Module& m = M();
    const int32_t errorCode = HighWordOf(static_cast<int32_t>(lParam));
    const int32_t lookupHandle = static_cast<int32_t>(wParam);
    const auto lookup = m.m_lookups.find(lookupHandle);
    if (lookup == m.m_lookups.end()) return;
    // A message that names a lookup still running was not posted by it (anyone may post
    // to the window): the lookup may still write into its block, so it is ignored.
    if (platform::AsyncRequestRunning(static_cast<platform::HANDLE>(lookupHandle))) return;

    // Read this lookup's own result, then release everything of it before the object
    // hears of it: the object may start its next lookup from inside its handler.
    const platform::HGLOBAL block = lookup->second.block;
    const auto* result = static_cast<const hostent*>(platform::GlobalLock(block));
    std::shared_ptr<NotificationTarget> owner = SocketFromPointer(lookup->second.owner);
    int32_t deliveredHandle = 0;
    uint32_t address = 0;
    std::string hostName;
    int32_t deliveredError = errorCode;
    if (errorCode == 0) {
        // A result without a four-byte first address has nothing to connect to.
        if (result == nullptr || result->h_length != 4 || result->h_addr_list == nullptr ||
            result->h_addr_list[0] == nullptr) {
            deliveredError = platform::WSANO_DATA;
        } else {
            std::memcpy(&address, result->h_addr_list[0], 4);
            hostName = AnsiPointerToString(result->h_name);
            deliveredHandle = lookupHandle;
        }
    }
    platform::GlobalUnlock(block);
    platform::GlobalFree(block);
    m.m_lookups.erase(lookup);
    if (m.m_lookups.empty()) ReleaseWindowIfUnused();

    // An object that has ended since it asked is not told.
    if (owner) owner->PostGetHostEvent(deliveredHandle, address, hostName, deliveredError);
}

}  // namespace

// ---- Error texts and conversions ----

std::string SocketErrorText(int32_t code) {
    const char* text = platform::SocketErrorTextOf(code);
    return text != nullptr ? text : "Unknown error.";
}

int16_t LongToPortWord(int32_t value) {
    if (value < 0 || value > 65535) throw RuntimeError(kOverflow, "MSocketSupport.LongToPortWord");
    return static_cast<int16_t>(value > 32767 ? value - 65536 : value);
}

int32_t PortWordToLong(int16_t value) { return value < 0 ? value + 65536 : value; }

std::string AnsiPointerToString(const char* text) { return text == nullptr ? std::string() : std::string(text); }

int32_t LowWordOf(int32_t value) { return value & 0xFFFF; }

int32_t HighWordOf(int32_t value) { return static_cast<int32_t>((static_cast<uint32_t>(value) >> 16) & 0xFFFF); }

// ---- Service ----

int32_t InitWinsockService() {
    Module& m = M();
    if (m.m_winsockStarted) return m.m_maxUdpDatagram;
    platform::WSADATA data{};
    const int result = platform::WSAStartup(0x0101, &data);
    if (result != 0) {
        const char* description = "";
        switch (result) {
            case platform::WSAEINVAL:
                description = "The Windows Sockets version specified by the application is not supported by this DLL.";
                break;
            case platform::WSASYSNOTREADY:
                description = "The underlying network subsystem is not ready for network communication.";
                break;
            case platform::WSAVERNOTSUPPORTED:
                description = "The version of Windows Sockets API support requested is not provided by this "
                              "particular Windows Sockets implementation.";
                break;
        }
        throw SocketError(result, "MSocketSupport.InitWinsockService", description);
    }
    m.m_winsockStarted = true;
    m.m_maxUdpDatagram = PortWordToLong(static_cast<int16_t>(data.iMaxUdpDg));
    const std::string program = platform::ExecutableName();
    m.m_resolveMessage = platform::RegisterWindowMessageA((program + ".ResolveMessage").c_str());
    m.m_winsockMessage = platform::RegisterWindowMessageA((program + ".WinsockMessage").c_str());
    return m.m_maxUdpDatagram;
}

void StopWinsockService() {
    Module& m = M();
    if ((!m.m_sockets || m.m_sockets->empty()) && m.m_winsockStarted) {
        platform::WSACleanup();
        m.m_winsockStarted = false;
    }
}

// ---- Notification window ----

HWND CreateNotifyWindow() {
    Module& m = M();
    m.m_notifyWindow = platform::CreateWindowExA(0, "STATIC", "SOCKET_WINDOW", 0, 0, 0, 0, 0, 0, 0,
                                                 platform::GetModuleHandleA(nullptr), nullptr);
    if (m.m_notifyWindow != 0) {
        m.m_previousWindowProc = platform::SetWindowLongA(m.m_notifyWindow, platform::GWL_WNDPROC, &NotifyWindowProc);
    }
    return m.m_notifyWindow;
}

bool DestroyNotifyWindow() {
    Module& m = M();
    try {
        platform::SetWindowLongA(m.m_notifyWindow, platform::GWL_WNDPROC, m.m_previousWindowProc);
        platform::DestroyWindow(m.m_notifyWindow);
        m.m_notifyWindow = 0;
        return true;
    } catch (...) {
        return false;
    }
}

LRESULT CALLBACK NotifyWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Module& m = M();
    try {
        if (msg == m.m_winsockMessage) {
            if (!m.m_sockets) return 0;
            const auto* owner = m.m_sockets->Find(static_cast<int32_t>(wParam));
            if (owner == nullptr) return 0;  // unregistered since it was posted
            // Held for the whole dispatch, so a handler may drop the host's last reference.
            std::shared_ptr<NotificationTarget> target = SocketFromPointer(*owner);
            if (target) {
                const auto value = static_cast<int32_t>(lParam);
                target->PostSocketEvent(LowWordOf(value), HighWordOf(value));
            }
            return 0;
        }
        if (msg == m.m_resolveMessage) {
            CompleteLookup(wParam, lParam);
            return 0;
        }
        return platform::CallWindowProcA(m.m_previousWindowProc, hwnd, msg, wParam, lParam);
    } catch (const HostException& e) {
        platform::ThrowAfterDispatch(e.error);  // a host's handler threw: it leaves the pump
        return 0;
    } catch (...) {
        return 0;  // the objects report their own failures: nothing else can be raised here
    }
}

// ---- Socket registry ----

bool RegisterSocket(int32_t handle, std::weak_ptr<NotificationTarget> owner) {
    static constexpr const char* kSource = "MSocketSupport.RegisterSocket";
    Module& m = M();
    m.m_lastError.reset();
    try {
        if (m.m_notifyWindow == 0 && CreateNotifyWindow() == 0) {
            LeaveError(platform::WSAEINTR, kSource, "The operation was canceled.");
            return false;
        }
        if (!m.m_sockets) m.m_sockets = std::make_unique<SocketRegistry>();
        if (!m.m_sockets->Add(handle, std::move(owner))) {
            LeaveError(platform::WSAEINVAL, kSource, SocketErrorText(platform::WSAEINVAL));
            return false;
        }
        if (platform::WSAAsyncSelect(handle, m.m_notifyWindow, m.m_winsockMessage, kNotificationMask) ==
            platform::SOCKET_ERROR) {
            const int code = platform::WSAGetLastError();
            LeaveError(code, kSource, SocketErrorText(code));
            // The caller gives the handle up: its entry must not outlive it.
            m.m_sockets->Remove(handle);
            if (m.m_sockets->empty()) m.m_sockets.reset();
            ReleaseWindowIfUnused();
            return false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        LeaveError(platform::WSAENOBUFS, kSource, SocketErrorText(platform::WSAENOBUFS));
        return false;
    }
}

bool UnregisterSocket(int32_t handle) {
    Module& m = M();
    if (!m.m_sockets || handle == -1) return false;
    platform::WSAAsyncSelect(handle, m.m_notifyWindow, 0, 0);
    if (!m.m_sockets->Remove(handle)) {
        throw RuntimeError(kInvalidProcedureCall, "MSocketSupport.UnregisterSocket");
    }
    if (!m.m_sockets->empty()) return true;
    m.m_sockets.reset();
    return ReleaseWindowIfUnused();
}

bool HandOverSocket(int32_t handle, std::weak_ptr<NotificationTarget> owner) {
    Module& m = M();
    return m.m_sockets && m.m_sockets->Replace(handle, std::move(owner));
}

std::shared_ptr<NotificationTarget> SocketFromPointer(const std::weak_ptr<NotificationTarget>& address) {
    return address.lock();
}

// ---- Host lookup ----

int32_t ResolveHost(const std::string& hostName, std::weak_ptr<NotificationTarget> owner) {
    Module& m = M();
    m.m_lastError.reset();
    if (m.m_notifyWindow == 0) {
        // Its completion could reach nobody, and would hold the window for good.
        LeaveError(platform::WSAEINTR, "MSocketSupport.ResolveHost", "The operation was canceled.");
        return 0;
    }
    const platform::HGLOBAL block = platform::GlobalAlloc(platform::GMEM_FIXED, kLookupBufferSize);
    if (block == 0) return 0;
    void* address = platform::GlobalLock(block);
    if (address == nullptr) {
        platform::GlobalFree(block);
        return 0;
    }
    platform::GlobalUnlock(block);
    const platform::HANDLE request = platform::WSAAsyncGetHostByName(
        m.m_notifyWindow, m.m_resolveMessage, hostName.c_str(), static_cast<char*>(address), kLookupBufferSize);
    if (request != 0) {
        // Entries are keyed by the lookup, so each completion finds its own block even
        // when one object has several lookups under way.
        m.m_lookups[static_cast<int32_t>(request)] = Lookup{std::move(owner), block};
        return static_cast<int32_t>(request);
    }
    const int code = platform::WSAGetLastError();
    platform::GlobalFree(block);
    LeaveError(code, "MSocketSupport.ResolveHost", SocketErrorText(code));
    return 0;
}

void ForgetLookup(int32_t lookupHandle) {
    if (const auto lookup = M().m_lookups.find(lookupHandle); lookup != M().m_lookups.end()) lookup->second.owner.reset();
}

// ---- State ----

const std::optional<SocketError>& LastError() { return M().m_lastError; }
bool WinsockStarted() { return M().m_winsockStarted; }
HWND NotifyWindow() { return M().m_notifyWindow; }
UINT WinsockMessage() { return M().m_winsockMessage; }
UINT ResolveMessage() { return M().m_resolveMessage; }
int32_t RegisteredSocketCount() { return M().m_sockets ? static_cast<int32_t>(M().m_sockets->size()) : 0; }
bool IsRegistered(int32_t handle) { return M().m_sockets && M().m_sockets->Find(handle) != nullptr; }
int32_t OutstandingLookupCount() { return static_cast<int32_t>(M().m_lookups.size()); }

}  // namespace inet::MSocketSupport
