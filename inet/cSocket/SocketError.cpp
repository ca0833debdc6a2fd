#include "inet/cSocket/SocketError.h"

#include <utility>

namespace inet {

SocketError::SocketError(int32_t number, std::string source, std::string description)
    : number_(number), source_(std::move(source)), description_(std::move(description)) {}

SocketError SocketError::WithSource(std::string source) const {
    return SocketError(number_, std::move(source), description_);
}

std::string RuntimeErrorText(int32_t number) {
    switch (number) {
        case kInvalidProcedureCall: return "Invalid procedure call or argument";
        case kOverflow: return "Overflow";
        case kOutOfMemory: return "Out of memory";
        case kSubscriptOutOfRange: return "Subscript out of range";
        case kTypeMismatch: return "Type mismatch";
        case kWrongProtocolOrState:
            return "Wrong protocol or connection state for the requested transaction or request.";
        default: return "";
    }
}

SocketError RuntimeError(int32_t number, std::string source) {
    return SocketError(number, std::move(source), RuntimeErrorText(number));
}

}  // namespace inet
