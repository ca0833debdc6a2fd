// SPDX-License-Identifier: MIT
// The layouts of a lookup's answer, shared by both platforms: a forward lookup's in
// the caller's buffer (a hostent first, then the lists and texts it points to, all
// inside the buffer), a reverse lookup's in a record of the thread's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Testing.h"

#ifndef _WIN32
#include <netdb.h>
#endif

namespace platform::detail {

// Lays the answer out in buffer; returns the bytes needed, which may exceed capacity
// (then nothing is written).
size_t LayOutHostEntry(const testing::LookupAnswer& answer, char* buffer, size_t capacity);

// The thread's reverse-lookup record, as Windows keeps its own (valid until the next
// lookup on the thread), now naming `name` with the one address `address` (network order).
hostent* ThreadHostEntry(const std::string& name, uint32_t address);

}  // namespace platform::detail
