// The layout of a lookup's answer in the caller's buffer, shared by both platforms:
// a hostent first, then the lists and texts it points to, all inside the buffer.
#pragma once

#include <cstddef>

#include "platform/Testing.h"

#ifndef _WIN32
#include <netdb.h>
#endif

namespace platform::detail {

// Lays the answer out in buffer; returns the bytes needed, which may exceed capacity
// (then nothing is written).
size_t LayOutHostEntry(const testing::LookupAnswer& answer, char* buffer, size_t capacity);

}  // namespace platform::detail
