// SPDX-License-Identifier: MIT
// Shared by the fuzz targets: a bounded pump, a descriptor count, plain loopback peers
// and a check that stops the run with a message when a property does not hold.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "inet/cSocket/Variant.h"
#include "tests/support/Descriptors.h"

namespace fuzz {

// Prints the message and aborts: libFuzzer keeps the input that got here.
[[noreturn]] void Fail(const std::string& message);
inline void Check(bool condition, const char* what) {
    if (!condition) Fail(what);
}

// Pumps the message loop until pred() holds or `limit` is over; returns pred().
bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit);
// Dispatches what is ready, without waiting.
void PumpReady();

using testsupport::DescribeDescriptors;
using testsupport::OpenDescriptors;

// The first time: makes the loop's own descriptors, gives reverse lookups a quick
// substitute answer and ignores SIGPIPE.
void Setup();

// A plain, non-blocking listening socket on 127.0.0.1 with an ephemeral port.
int RawListen(int& port);
// A connection accepted from it, or -1.
int RawAccept(int listener);

// The value of type code `type` made from `bytes`; Empty for a code without a layout.
inline inet::Variant ValueOf(int32_t type, const std::string& bytes) {
    inet::Variant v;
    inet::ValueFromBytes(type, bytes, v);
    return v;
}

// The byte layouts, for picking a type code.
inline constexpr int32_t kTypeCodes[] = {0, 2, 3, 4, 5, 6, 7, 8, 11, 17, 8209};

}  // namespace fuzz
