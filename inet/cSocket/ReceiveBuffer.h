// SPDX-License-Identifier: MIT
// What a socket object has received and its host has not taken yet.
//
// Received bytes are appended at the end and taken from the front. The buffer keeps
// its room from one receive to the next, so a small arrival costs neither an
// allocation nor zero-filling; text of 4 KiB or more is handed to the host without a
// copy; many small takes advance an offset and are not quadratic.
//
// The buffer never holds more than BufferLimit() bytes, so every count the host is
// told (bytesTotal, BytesReceived) is a Long. While it is full, the socket's next read
// waits in the socket (and the peer's sends wait for the window): the notification
// that would have read is put off, and goes on once the host takes data. A close that
// Windows reports while data still waits is put off the same way, so nothing is lost.
//
// Internal to the component and not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "inet/cSocket/Variant.h"

namespace inet::detail {

// Where a datagram came from: its IPv4 address and port, in network order.
struct DatagramSender {
    uint32_t address = 0;
    uint16_t port = 0;
};

class ReceiveBuffer {
public:
    size_t Length() const { return m_tail - m_head; }

    // Whether a receive may be made now: the buffer is below its limit and, for a
    // datagram socket, has room for the largest datagram, so that none is cut short.
    bool HasRoom(bool datagram, size_t receiveSize) const;
    // One receive call on the socket of at most `receiveSize` bytes (a datagram: all of
    // it), appended to what waits. Returns the call's result: the bytes appended, 0 at
    // the end of the stream (or for an empty datagram), or SOCKET_ERROR (-1), with
    // nothing appended and WSAGetLastError() telling why. A datagram's sender is written
    // to `sender`. Call only when HasRoom says so.
    int Receive(int32_t socketHandle, size_t receiveSize, bool datagram, DatagramSender* sender);

    // The first `n` bytes (n <= Length()).
    std::string_view Front(size_t n) const { return std::string_view(m_bytes).substr(m_head, n); }
    // The first `n` bytes were taken.
    void Drop(size_t n);
    // Everything as text: a large buffer is handed over itself, a small one is copied
    // into the host's own text when that has small room (never a large one, which the
    // host would then hold for good). `receiveSize` is the size of one receive.
    void TakeText(Variant& into, size_t receiveSize);
    // Forgets everything and gives the room back.
    void Clear();

    // The notification (FD_READ or FD_CLOSE) that found the buffer full. A close put
    // off stays put off when a read finds the buffer full too.
    void PutOff(int32_t event);
    // The notification put off, once a receive may be made again; 0 when none is due.
    int32_t TakePutOff(bool datagram, size_t receiveSize);
    // The socket has gone: nothing put off is due any more (what waits stays).
    void ForgetPutOff() { m_putOff = 0; }

private:
    std::string m_bytes;      // what waits lies in [m_head, m_tail); beyond is room
    size_t m_head = 0;
    size_t m_tail = 0;
    size_t m_readHint = 0;    // twice the last stream receive: the next one's room
    int32_t m_putOff = 0;
};

}  // namespace inet::detail
