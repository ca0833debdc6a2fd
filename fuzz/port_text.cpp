// SPDX-License-Identifier: MIT
// The port box's reading of arbitrary text: it never crashes, raises only overflow, and
// the number a text begins with does not depend on what follows it or on leading blanks.
#include <cmath>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "inet/cSocket/SocketError.h"
#include "inet/cSocket/client/PortText.h"

namespace {

bool SameNumber(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const double number = PortText::LeadingNumber(text);
    fuzz::Check(!std::isnan(number), "a reading is never NaN");
    fuzz::Check(SameNumber(number, PortText::LeadingNumber(text + "x")), "what follows the number does not count");
    fuzz::Check(SameNumber(number, PortText::LeadingNumber(" \t" + text)), "leading blanks do not count");
    try {
        const int32_t port = PortText::ToPortNumber(text);
        fuzz::Check(std::fabs(number - port) <= 0.5, "the port is the number rounded");
    } catch (const inet::SocketError& e) {
        fuzz::Check(e.Number() == inet::kOverflow && e.Source() == "PortText.ToPortNumber", "only overflow is raised");
        fuzz::Check(!(std::fabs(number) < 2147483647.0), "only a number beyond 32 bits overflows");
    }
    return 0;
}
