// Host lookups on Windows: straight through to ws2_32, except where the test seam
// substitutes the reverse resolver.
#include "platform/HostLookup.h"

#include <cstring>
#include <optional>
#include <string>

#include "platform/ErrorNumbers.h"
#include "platform/Testing.h"

namespace platform {

HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT wMsg, const char* name, char* buf, int buflen) {
    if (const int failure = testing::detail::TakeAsyncGetHostByNameFailure()) {
        ::WSASetLastError(failure);
        return 0;
    }
    return reinterpret_cast<HANDLE>(::WSAAsyncGetHostByName(hwnd, wMsg, name, buf, buflen));
}

int WSACancelAsyncRequest(HANDLE asyncTaskHandle) {
    return ::WSACancelAsyncRequest(reinterpret_cast<::HANDLE>(asyncTaskHandle));
}

hostent* gethostbyaddr(const char* addr, int len, int type) {
    if (const auto reverse = testing::detail::ReverseResolver(); reverse && addr != nullptr && len == 4) {
        // A substitute answer, laid out like Windows' own per-thread record.
        thread_local std::string name;
        thread_local in_addr address;
        thread_local char* addresses[2];
        thread_local char* aliases[1];
        thread_local hostent entry;
        uint32_t value;
        std::memcpy(&value, addr, 4);
        const std::optional<std::string> answer = reverse(value);
        if (!answer) {
            ::WSASetLastError(WSAHOST_NOT_FOUND);
            return nullptr;
        }
        name = *answer;
        address.s_addr = value;
        addresses[0] = reinterpret_cast<char*>(&address);
        addresses[1] = nullptr;
        aliases[0] = nullptr;
        entry = hostent{};
        entry.h_name = name.data();
        entry.h_aliases = aliases;
        entry.h_addrtype = AF_INET;
        entry.h_length = 4;
        entry.h_addr_list = addresses;
        return &entry;
    }
    return ::gethostbyaddr(addr, len, type);
}

}  // namespace platform
