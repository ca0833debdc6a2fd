// SPDX-License-Identifier: MIT
// Internal to the platform layer: how the layer makes the system calls that can fail
// for want of resources or be interrupted.
//
// The policy: an interrupted call (EINTR) is made again, since nothing of it took
// effect; any other failure goes back to the caller, which turns it into a Windows
// number for its own caller or a notification for the socket's owner. Nothing is
// dropped. Tests can make the calls fail through the seam (Testing.h).
#pragma once

#include <cerrno>

#include "platform/Testing.h"

namespace platform::detail {

// Makes call() (a system call returning -1 on failure) unless the seam fails it.
template <typename Call>
auto SystemCall(testing::SystemCall which, Call call) -> decltype(call()) {
    for (;;) {
        decltype(call()) result;
        if (const int injected = testing::detail::TakeSystemCallFailure(which)) {
            errno = injected;
            result = -1;
        } else {
            result = call();
        }
        if (result < 0 && errno == EINTR) continue;
        return result;
    }
}

}  // namespace platform::detail
