// SPDX-License-Identifier: MIT
#include "inet/cSocket/ReceiveBuffer.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <utility>

#include "inet/cSocket/BufferLimit.h"
#include "platform/Winsock.h"

namespace inet::detail {

namespace {

// Text of this length or more is handed over itself; less is copied out.
constexpr size_t kHandOverAt = 4096;
// The least room a stream receive prepares.
constexpr size_t kMinRoom = 4096;

// Room for a receive that the buffer cannot take in place, shared by every object on
// the thread: it is never zero-filled, and only what arrived is kept, so an idle
// connection holds no room and the end of a stream costs no allocation.
char* ScratchRoom(size_t size) {
    thread_local std::unique_ptr<char[]> room;
    thread_local size_t roomSize = 0;
    if (roomSize < size) {
        room.reset();
        roomSize = 0;
        room.reset(new char[size]);
        roomSize = size;
    }
    return room.get();
}

}  // namespace

bool ReceiveBuffer::HasRoom(bool datagram, size_t receiveSize) const {
    const size_t limit = BufferLimit();
    if (Length() >= limit) return false;
    return !datagram || limit - Length() >= std::min(receiveSize, limit);
}

int ReceiveBuffer::Receive(int32_t socketHandle, size_t receiveSize, bool datagram, DatagramSender* sender) {
    // A stream receive takes up to twice what came last time (at least kMinRoom), so a
    // small arrival needs no large room; a receive that fills its room makes the next
    // notification come at once, with twice the room. A datagram gets the whole size,
    // to be refused whole when it is larger. Never more than the limit leaves room for.
    const size_t room = std::min(datagram ? receiveSize
                                          : std::clamp(m_readHint, std::min(kMinRoom, receiveSize), receiveSize),
                                 BufferLimit() - Length());
    // Taken bytes at the front are dropped once they are most of the buffer.
    if (m_head > 0 && m_head * 2 >= m_tail) {
        std::memmove(m_bytes.data(), m_bytes.data() + m_head, Length());
        m_tail -= m_head;
        m_head = 0;
    }
    // Room the buffer already has is received into in place; otherwise the bytes go
    // through the scratch room and only those that came are appended.
    const bool inPlace = m_bytes.size() >= m_tail + room;
    char* into = inPlace ? m_bytes.data() + m_tail : ScratchRoom(room);
    const int length = static_cast<int>(std::min<size_t>(room, INT_MAX));
    int n;
    if (datagram) {
        sockaddr_in from{};
        int fromLength = sizeof from;
        n = platform::recvfrom(socketHandle, into, length, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n != platform::SOCKET_ERROR && sender != nullptr) *sender = {from.sin_addr.s_addr, from.sin_port};
    } else {
        n = platform::recv(socketHandle, into, length, 0);
    }
    if (n <= 0) return n;
    if (!inPlace) {
        m_bytes.resize(m_tail);
        m_bytes.append(into, static_cast<size_t>(n));
    }
    m_tail += static_cast<size_t>(n);
    m_readHint = std::min(2 * static_cast<size_t>(n), receiveSize);
    return n;
}

void ReceiveBuffer::Drop(size_t n) {
    m_head += n;
    if (m_head == m_tail) m_head = m_tail = 0;  // the room stays for the next receive
}

void ReceiveBuffer::TakeText(Variant& into, size_t receiveSize) {
    const size_t length = Length();
    if (length >= kHandOverAt) {
        if (m_head > 0) std::memmove(m_bytes.data(), m_bytes.data() + m_head, length);
        m_bytes.resize(length);
        // The host's old text gives its room back for the next receive when a receive
        // can use it, so that bulk data costs no allocation per arrival.
        std::string room;
        if (auto* text = std::get_if<std::string>(&into); text != nullptr && text->capacity() <= 2 * receiveSize) {
            text->swap(room);
        }
        into = std::string(std::move(m_bytes));
        room.clear();
        m_bytes.swap(room);
    } else {
        const std::string_view part = Front(length);
        if (auto* text = std::get_if<std::string>(&into); text == nullptr) {
            into = std::string(part);
        } else if (text->capacity() < kHandOverAt) {
            text->assign(part);
        } else {
            std::string(part).swap(*text);  // assigning would keep the large room
        }
    }
    m_head = m_tail = 0;
}

void ReceiveBuffer::Clear() {
    // Swapped out: moving a string in may leave the old room where it was.
    std::string().swap(m_bytes);
    m_head = m_tail = 0;
    m_putOff = 0;
}

void ReceiveBuffer::PutOff(int32_t event) {
    if (m_putOff != platform::FD_CLOSE) m_putOff = event;
}

int32_t ReceiveBuffer::TakePutOff(bool datagram, size_t receiveSize) {
    if (m_putOff == 0 || !HasRoom(datagram, receiveSize)) return 0;
    return std::exchange(m_putOff, 0);
}

}  // namespace inet::detail
