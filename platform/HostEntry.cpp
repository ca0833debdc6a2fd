// SPDX-License-Identifier: MIT
#include "platform/HostEntry.h"

#include <algorithm>
#include <cstring>

#ifdef _WIN32
#include "platform/windows/Native.h"
#else
#include <sys/socket.h>
#endif

namespace platform::detail {

namespace {

size_t AlignUp(size_t n, size_t a) { return (n + a - 1) / a * a; }

}  // namespace

size_t LayOutHostEntry(const testing::LookupAnswer& answer, char* buffer, size_t capacity) {
    const size_t addressLength = static_cast<size_t>(std::max(answer.addressLength, 0));
    size_t needed = AlignUp(sizeof(hostent), alignof(char*));
    const size_t aliasesAt = needed;
    needed += (answer.aliases.size() + 1) * sizeof(char*);
    const size_t addrListAt = needed;
    needed += (answer.addresses.size() + 1) * sizeof(char*);
    const size_t addrsAt = needed;
    needed += answer.addresses.size() * addressLength;
    const size_t namesAt = needed;
    needed += answer.officialName.size() + 1;
    for (const std::string& alias : answer.aliases) needed += alias.size() + 1;
    if (needed > capacity) return needed;

    auto* entry = reinterpret_cast<hostent*>(buffer);
    auto** aliases = reinterpret_cast<char**>(buffer + aliasesAt);
    auto** addrList = reinterpret_cast<char**>(buffer + addrListAt);
    char* text = buffer + namesAt;
    auto put = [&](const std::string& s) {
        char* start = text;
        std::memcpy(text, s.c_str(), s.size() + 1);
        text += s.size() + 1;
        return start;
    };
    entry->h_name = put(answer.officialName);
    for (size_t i = 0; i < answer.aliases.size(); ++i) aliases[i] = put(answer.aliases[i]);
    aliases[answer.aliases.size()] = nullptr;
    for (size_t i = 0; i < answer.addresses.size(); ++i) {
        char* slot = buffer + addrsAt + i * addressLength;
        std::memset(slot, 0, addressLength);
        std::memcpy(slot, &answer.addresses[i], std::min<size_t>(addressLength, 4));
        addrList[i] = slot;
    }
    addrList[answer.addresses.size()] = nullptr;
    entry->h_aliases = aliases;
    entry->h_addrtype = AF_INET;
    entry->h_length = static_cast<decltype(entry->h_length)>(addressLength);
    entry->h_addr_list = addrList;
    return needed;
}

hostent* ThreadHostEntry(const std::string& name, uint32_t address) {
    thread_local std::string storedName;
    thread_local uint32_t storedAddress;
    thread_local char* aliases[1];
    thread_local char* addresses[2];
    thread_local hostent entry;
    storedName = name;
    storedAddress = address;
    aliases[0] = nullptr;
    addresses[0] = reinterpret_cast<char*>(&storedAddress);
    addresses[1] = nullptr;
    entry = hostent{};
    entry.h_name = storedName.data();
    entry.h_aliases = aliases;
    entry.h_addrtype = AF_INET;
    entry.h_length = 4;
    entry.h_addr_list = addresses;
    return &entry;
}

}  // namespace platform::detail
