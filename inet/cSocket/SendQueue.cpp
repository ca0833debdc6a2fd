// SPDX-License-Identifier: MIT
#include "inet/cSocket/SendQueue.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "inet/cSocket/BufferLimit.h"
#include "platform/Winsock.h"

namespace inet::detail {

namespace {
// Room a queue keeps once it empties: enough for the usual small sends, so that they
// cost no allocation; more is given back.
constexpr size_t kKeptRoom = 64 * 1024;
}  // namespace

bool SendQueue::CanTake(size_t bytes) const { return bytes <= BufferLimit() - std::min(Waiting(), BufferLimit()); }

void SendQueue::Append(std::string_view bytes, bool datagram) {
    // Bytes already sent are dropped once they are most of the string, so appending
    // while sending never grows the string without end.
    if (m_head > 0 && m_head * 2 >= m_bytes.size()) {
        m_bytes.erase(0, m_head);
        m_head = 0;
    }
    m_bytes.append(bytes);
    if (!datagram) return;
    if (m_firstDatagram > 0 && m_firstDatagram * 2 >= m_datagrams.size()) {
        m_datagrams.erase(m_datagrams.begin(), m_datagrams.begin() + static_cast<std::ptrdiff_t>(m_firstDatagram));
        m_firstDatagram = 0;
    }
    m_datagrams.push_back(bytes.size());
}

std::string_view SendQueue::Front() const {
    const std::string_view waiting = std::string_view(m_bytes).substr(m_head);
    return Datagrams() == 0 ? waiting : waiting.substr(0, m_datagrams[m_firstDatagram]);
}

void SendQueue::Consume(size_t n) {
    if (Datagrams() > 0 && ++m_firstDatagram == m_datagrams.size()) {
        m_datagrams.clear();
        m_firstDatagram = 0;
    }
    m_head += n;
    if (m_head < m_bytes.size()) return;
    // Empty again: start over at the front, keeping the room unless it is large.
    m_head = 0;
    if (m_bytes.capacity() > kKeptRoom) {
        std::string().swap(m_bytes);
    } else {
        m_bytes.clear();
    }
}

void SendQueue::Clear() {
    std::string().swap(m_bytes);
    m_head = 0;
    std::vector<size_t>().swap(m_datagrams);
    m_firstDatagram = 0;
}

SendOutcome SendStream(int32_t socketHandle, std::string_view bytes) {
    SendOutcome outcome;
    while (outcome.taken < bytes.size()) {
        const std::string_view rest = bytes.substr(outcome.taken);
        const int n = platform::send(socketHandle, rest.data(), static_cast<int>(std::min<size_t>(rest.size(), INT_MAX)), 0);
        if (n == platform::SOCKET_ERROR) {
            const int error = platform::WSAGetLastError();
            if (error != platform::WSAEWOULDBLOCK) outcome.error = error;
            break;
        }
        if (n == 0) break;  // no system answers a stream send so; were it answered, the run ends
        outcome.taken += static_cast<size_t>(n);
    }
    return outcome;
}

}  // namespace inet::detail
