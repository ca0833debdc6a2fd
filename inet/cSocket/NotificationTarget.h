// SPDX-License-Identifier: MIT
// The two entry points through which the support module calls back into a socket
// object. Only the support module calls them; hosts never do.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace inet {

class NotificationTarget {
public:
    // A network notification for the object's socket: the event (platform::FD_READ,
    // FD_WRITE, FD_ACCEPT, FD_CONNECT or FD_CLOSE) and the error code, 0 for none.
    virtual void PostSocketEvent(int32_t eventCode, int32_t errorCode) = 0;
    // A host lookup that the object started has completed. `address` holds the four
    // address bytes in network order; after a failure the handle, address and name are empty.
    virtual void PostGetHostEvent(int32_t lookupHandle, uint32_t address, const std::string& hostName,
                                  int32_t errorCode) = 0;
    // An entry point never lets out a failure of its own: it reports it to the object's
    // host (OnError). What it does let out is a HostException, when one of the host's
    // handlers threw: the dispatch hands it on to the loop, which lets it out of the
    // pump.

protected:
    ~NotificationTarget() = default;
};

// What a host's event handler threw, on its way out of the notification that raised it.
struct HostException {
    std::exception_ptr error;
};

}  // namespace inet
