// SPDX-License-Identifier: MIT
#include "platform/Process.h"

namespace platform {

std::string ExecutableName() {
    char path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    std::string name = n > 0 && n < sizeof path ? std::string(path, n) : std::string("program");
    name.erase(0, name.find_last_of("\\/") + 1);
    if (const size_t dot = name.find_last_of('.'); dot != std::string::npos && dot > 0) name.erase(dot);
    return name;
}

HINSTANCE GetModuleHandleA(const char* moduleName) {
    return reinterpret_cast<HINSTANCE>(::GetModuleHandleA(moduleName));
}

}  // namespace platform
