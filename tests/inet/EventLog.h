// SPDX-License-Identifier: MIT
// Records the events a CSocket raises, in order, as short texts:
// "Connect", "Close", "DataArrival 5", "SendProgress 3 0", "SendComplete",
// "ConnectionRequest", "Error 10061 Connection refused. []" (the source in brackets).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "inet/cSocket/CSocket.h"
#include "platform/Testing.h"
#include "tests/support/Loopback.h"

namespace testsupport {

struct EventLog {
    std::vector<std::string> events;
    std::vector<int32_t> requests;  // the requestIDs of OnConnectionRequest
    std::string received;           // what a taking OnDataArrival handler got

    // Attaches recording handlers. With `take`, OnDataArrival also takes everything as text.
    void Attach(inet::CSocket& s, bool take = false) {
        std::weak_ptr<inet::CSocket> weak = s.weak_from_this();
        s.OnConnect = [this] { events.push_back("Connect"); };
        s.OnClose = [this] { events.push_back("Close"); };
        s.OnSendComplete = [this] { events.push_back("SendComplete"); };
        s.OnSendProgress = [this](int32_t sent, int32_t left) {
            events.push_back("SendProgress " + std::to_string(sent) + " " + std::to_string(left));
        };
        s.OnConnectionRequest = [this](int32_t id) {
            events.push_back("ConnectionRequest");
            requests.push_back(id);
        };
        s.OnDataArrival = [this, weak, take](int32_t total) {
            events.push_back("DataArrival " + std::to_string(total));
            if (auto self = weak.lock(); self && take) {
                inet::Variant v;
                self->GetData(v, 8);
                received += std::get<std::string>(v);
            }
        };
        s.OnError = [this](int16_t number, std::string& description, int32_t scode, const std::string& source,
                           const std::string& helpFile, int32_t helpContext, bool& cancel) {
            events.push_back("Error " + std::to_string(number) + " " + description + " [" + source + "]");
            lastScode = scode;
            lastHelpFile = helpFile;
            lastHelpContext = helpContext;
            lastCancel = cancel;
        };
    }

    bool Has(const std::string& e) const {
        for (const auto& x : events) if (x == e) return true;
        return false;
    }
    int Count(const std::string& e) const {
        int n = 0;
        for (const auto& x : events) n += x == e;
        return n;
    }
    bool HasPrefix(const std::string& p) const {
        for (const auto& x : events) if (x.rfind(p, 0) == 0) return true;
        return false;
    }

    int32_t lastScode = -1;
    std::string lastHelpFile = "unset";
    int32_t lastHelpContext = -1;
    bool lastCancel = true;
};

}  // namespace testsupport
