// SPDX-License-Identifier: MIT
// The one kind of error the socket component raises.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "platform/ErrorNumbers.h"

namespace inet {

// An error with its number (a Windows Sockets code, or a runtime number: 6 overflow,
// 7 out of memory, 9 subscript out of range, 13 type mismatch, 40006 wrong protocol or connection
// state), the routine it left ("CSocket.GetData") and its description.
class SocketError : public std::exception {
public:
    SocketError(int32_t number, std::string source, std::string description);

    int32_t Number() const { return m_number; }
    const std::string& Source() const { return m_source; }
    const std::string& Description() const { return m_description; }
    const char* what() const noexcept override { return m_description.c_str(); }

    // The same error as raised again by an outer routine.
    SocketError WithSource(std::string source) const;

private:
    int32_t m_number;
    std::string m_source;
    std::string m_description;
};

// The runtime error numbers, as the component spells them.
using platform::kInvalidProcedureCall;
using platform::kObjectNotSet;
using platform::kOutOfMemory;
using platform::kOverflow;
using platform::kSubscriptOutOfRange;
using platform::kTypeMismatch;
using platform::kWrongProtocolOrState;

// The text of a runtime error number ("Overflow"); empty for other numbers.
std::string RuntimeErrorText(int32_t number);

// A runtime error with its own text.
SocketError RuntimeError(int32_t number, std::string source);

}  // namespace inet
