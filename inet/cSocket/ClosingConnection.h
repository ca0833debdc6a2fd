// SPDX-License-Identifier: MIT
// Stream connections that their socket objects let go of while bytes still waited to
// be sent: the object started on a new connection (Connect, Listen, Accept after
// CloseSocket) or ended. Each is finished without its object: what waited is sent,
// the stream is ended, and the socket is closed.
//
// Internal to the component and not installed.
#pragma once

#include <cstdint>
#include <functional>

#include "inet/cSocket/SendQueue.h"

namespace inet::detail {

// Takes over `handle`, registered until now to the object that lets it go, with the
// bytes that still wait. `onFailure` hears of a send that failed (those bytes never
// went); `onFinished` runs once the connection is closed, either way.
void FinishClosing(int32_t handle, SendQueue waiting, std::function<void(int32_t error)> onFailure,
                   std::function<void()> onFinished);

// How many connections are still being finished so.
int32_t ClosingConnectionCount();

}  // namespace inet::detail
