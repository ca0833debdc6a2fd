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

    int32_t Number() const { return number_; }
    const std::string& Source() const { return source_; }
    const std::string& Description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    // The same error as raised again by an outer routine.
    SocketError WithSource(std::string source) const;

private:
    int32_t number_;
    std::string source_;
    std::string description_;
};

// The runtime error numbers, as the component spells them.
using platform::kInvalidProcedureCall;
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
