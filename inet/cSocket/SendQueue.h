// SPDX-License-Identifier: MIT
// What a socket object was given to send and its socket has not taken yet: one
// queue per object, in the order SendData was called.
//
// A stream's bytes leave as one stream, in as many sends as the socket wants. A
// datagram socket's entries keep their boundaries: each is one datagram, sent whole
// or not at all. Every count the host is told of what waits (bytesRemaining) is a
// Long, so what waits in total never passes BufferLimit().
//
// Internal to the component and not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace inet::detail {

class SendQueue {
public:
    // Whether `bytes` more fit beside what waits.
    bool   CanTake(size_t bytes) const;
    // Adds bytes at the end; with `datagram`, as one datagram of their own.
    void   Append(std::string_view bytes, bool datagram);

    size_t Waiting() const { return m_bytes.size() - m_head; }
    bool   Empty() const { return Waiting() == 0 && Datagrams() == 0; }
    size_t Datagrams() const { return m_datagrams.size() - m_firstDatagram; }

    // What the next send takes: every byte that waits, or the first datagram whole.
    std::string_view Front() const;
    // The next send took `n` bytes of the front (a datagram goes whole: n is its length).
    void   Consume(size_t n);
    // Forgets everything, and the room it held.
    void   Clear();

private:
    std::string m_bytes;             // waiting bytes from m_head on
    size_t m_head = 0;
    // The lengths of the waiting datagrams, in order, from m_firstDatagram on. A vector,
    // not a deque: an idle queue, as every stream's is, then holds no allocation.
    std::vector<size_t> m_datagrams;
    size_t m_firstDatagram = 0;
};

// What a run of sends did: the bytes the socket took, and the failure that stopped the
// run (0 when everything went, or when the socket would block).
struct SendOutcome {
    size_t taken = 0;
    int32_t error = 0;
};

// Sends `bytes` on a stream socket until everything went or the socket refuses. A
// refusal with 10035 ends the run quietly: Windows owes FD_WRITE after that refusal,
// and only after it, so a run never stops at a send that took only part of the bytes.
SendOutcome SendStream(int32_t socketHandle, std::string_view bytes);

}  // namespace inet::detail
