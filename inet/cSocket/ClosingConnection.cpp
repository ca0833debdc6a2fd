// SPDX-License-Identifier: MIT
#include "inet/cSocket/ClosingConnection.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "inet/cSocket/MSocketSupport.h"
#include "inet/cSocket/NotificationTarget.h"
#include "platform/Winsock.h"

namespace inet::detail {

namespace {

namespace MS = MSocketSupport;

// Reads taken from a connection being finished are dropped: its object let it go.
// A few rounds at most per notification; what is left is announced again.
void DiscardWhatArrived(int32_t handle) {
    char sink[16384];
    for (int round = 0; round < 16; ++round) {
        if (platform::recv(handle, sink, sizeof sink, 0) <= 0) return;
    }
}

class ClosingConnection;

// The connections being finished. They own themselves through this list: the
// registry only ever holds a weak reference.
std::vector<std::shared_ptr<ClosingConnection>>& Closing() {
    static auto* closing = new std::vector<std::shared_ptr<ClosingConnection>>;
    return *closing;
}

class ClosingConnection final : public NotificationTarget, public std::enable_shared_from_this<ClosingConnection> {
public:
    ClosingConnection(int32_t handle, SendQueue waiting, std::function<void(int32_t)> onFailure,
                      std::function<void()> onFinished)
        : m_handle(handle),
          m_waiting(std::move(waiting)),
          m_onFailure(std::move(onFailure)),
          m_onFinished(std::move(onFinished)) {}

    void Start() {
        MS::HandOverSocket(m_handle, weak_from_this());
        SendWhatWaits();
    }

    void PostSocketEvent(int32_t eventCode, int32_t errorCode) override {
        if (m_finished) return;
        if (errorCode > 0) {
            Fail(errorCode);
            return;
        }
        switch (eventCode) {
            case platform::FD_READ:
            case platform::FD_CLOSE:
                // The peer's data is nobody's now; its close does not stop what waits.
                DiscardWhatArrived(m_handle);
                break;
            case platform::FD_WRITE:
                SendWhatWaits();
                break;
            default:
                break;
        }
    }

    void PostGetHostEvent(int32_t, uint32_t, const std::string&, int32_t) override {}

private:
    void SendWhatWaits() {
        const SendOutcome outcome = SendStream(m_handle, m_waiting.Front());
        m_waiting.Consume(outcome.taken);
        if (outcome.error != 0) {
            Fail(outcome.error);
        } else if (m_waiting.Empty()) {
            platform::shutdown(m_handle, platform::SD_SEND);
            Finish();
        }
        // Otherwise the socket is full: FD_WRITE comes once it has room.
    }

    void Fail(int32_t error) {
        const auto onFailure = m_onFailure;
        Finish();
        if (onFailure) onFailure(error);
    }

    // Closes the socket: what was sent is the kernel's to deliver, and the end of the
    // stream with it. Unread data would turn the close into a reset, so it is read first.
    void Finish() {
        m_finished = true;
        const auto self = shared_from_this();
        DiscardWhatArrived(m_handle);
        if (MS::IsRegistered(m_handle)) MS::UnregisterSocket(m_handle);
        platform::closesocket(m_handle);
        std::erase(Closing(), self);
        if (m_onFinished) m_onFinished();
    }

    int32_t m_handle;
    SendQueue m_waiting;
    std::function<void(int32_t)> m_onFailure;
    std::function<void()> m_onFinished;
    bool m_finished = false;
};

}  // namespace

void FinishClosing(int32_t handle, SendQueue waiting, std::function<void(int32_t error)> onFailure,
                   std::function<void()> onFinished) {
    auto connection =
        std::make_shared<ClosingConnection>(handle, std::move(waiting), std::move(onFailure), std::move(onFinished));
    Closing().push_back(connection);
    connection->Start();
}

int32_t ClosingConnectionCount() { return static_cast<int32_t>(Closing().size()); }

}  // namespace inet::detail
