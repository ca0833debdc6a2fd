// SPDX-License-Identifier: MIT
// A socket object in static storage, listening when main returns: its end comes
// after main, and everything it reaches then must still be there. Exits 0, and a
// sanitizer build reports nothing.
#include "inet/cSocket/CSocket.h"

int main() {
    static auto listening = inet::CSocket::Create();
    listening->Bind(0, "127.0.0.1");
    listening->Listen();
    static auto other = inet::CSocket::Create();
    other->Connect("127.0.0.1", inet::Variant(int32_t{1}));
    return listening->State() == inet::SocketState::Listening ? 0 : 1;
}
