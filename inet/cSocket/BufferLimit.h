// SPDX-License-Identifier: MIT
// The most bytes a socket object keeps waiting in its receive buffer, and the most it
// takes in one SendData. Every count the host is given (bytesTotal, BytesReceived,
// bytesSent, bytesRemaining) is a Long, so the limit is the largest Long.
//
// Internal to the component and not installed: tests lower the limit to see a full
// buffer with a few KiB instead of 2 GiB.
#pragma once

#include <cstddef>

namespace inet::detail {

size_t BufferLimit();
// For tests: the limit for every object from now on; 0 restores the largest Long.
void SetBufferLimitForTesting(size_t limit);

}  // namespace inet::detail
