// SPDX-License-Identifier: MIT
#include "inet/cSocket/SocketError.h"

#include <utility>

namespace inet {

SocketError::SocketError(int32_t number, std::string source, std::string description)
    : m_number(number), m_source(std::move(source)), m_description(std::move(description)) {}

SocketError SocketError::WithSource(std::string source) const {
    return SocketError(m_number, std::move(source), m_description);
}

std::string RuntimeErrorText(int32_t number) {
    switch (number) {
        case kInvalidProcedureCall: return "Invalid procedure call or argument";
        case kOverflow: return "Overflow";
        case kOutOfMemory: return "Out of memory";
        case kSubscriptOutOfRange: return "Subscript out of range";
        case kTypeMismatch: return "Type mismatch";
        case kObjectNotSet: return "Object variable not set";
        case kWrongProtocolOrState:
            return "Wrong protocol or connection state for the requested transaction or request.";
        default: return "";
    }
}

SocketError RuntimeError(int32_t number, std::string source) {
    return SocketError(number, std::move(source), RuntimeErrorText(number));
}

}  // namespace inet
