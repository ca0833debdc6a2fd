// SPDX-License-Identifier: MIT
// What the program knows of itself.
#pragma once

#include <string>

#include "platform/WinTypes.h"

namespace platform {

// The executable's file name without directory or extension ("wlclient").
std::string ExecutableName();

// The module instance handle of the program (never 0).
HINSTANCE GetModuleHandleA(const char* moduleName);

}  // namespace platform
