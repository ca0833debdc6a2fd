// SPDX-License-Identifier: MIT
#include "platform/Process.h"

#include <unistd.h>

#include <climits>

namespace platform {

std::string ExecutableName() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    std::string name = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string("program");
    name.erase(0, name.find_last_of('/') + 1);
    if (const size_t dot = name.find_last_of('.'); dot != std::string::npos && dot > 0) name.erase(dot);
    return name;
}

HINSTANCE GetModuleHandleA(const char*) { return 0x00400000; }

}  // namespace platform
