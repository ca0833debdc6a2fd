// SPDX-License-Identifier: MIT
// typed_values: sends one record of typed values to itself over 127.0.0.1 and reads
// it back field by field.
//
//   typed_values [PORT]        (default 7001)
//
// Each value travels in the fixed layout of its type code (see docs/guide.md):
// little-endian, with no type tag and no length, so the two ends agree on the
// record's shape beforehand. This one is
//
//   Long n | String of n bytes | Integer | Double | Boolean | Date | Currency | Byte
#include <cstdio>
#include <cstdlib>
#include <string>

#include "inet/cSocket/CSocket.h"
#include "platform/MessageLoop.h"

using inet::VarType;

int main(int argc, char** argv) {
    const int port = argc > 1 ? std::atoi(argv[1]) : 7001;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    auto listener = inet::CSocket::Create();
    auto reader = inet::CSocket::Create();
    auto writer = inet::CSocket::Create();

    // The reading end. Data arrives in pieces of any size, so wait until the whole
    // record is there: its length field (PeekData leaves it in place) tells how long.
    reader->OnDataArrival = [&](int32_t bytesTotal) {
        if (bytesTotal < 4) return;
        inet::Variant v;
        reader->PeekData(v, VarType::Long, 4);
        const int32_t n = std::get<int32_t>(v);
        if (bytesTotal < 4 + n + 2 + 8 + 2 + 8 + 8 + 1) return;  // more is on its way

        // Give every fixed-width type its width as maxLen: without it, GetData takes
        // the whole buffer and builds the value from its first bytes.
        reader->GetData(v, VarType::Long, 4);
        reader->GetData(v, VarType::String, n);
        std::printf("String   \"%s\"\n", std::get<std::string>(v).c_str());
        reader->GetData(v, VarType::Integer, 2);
        std::printf("Integer  %d\n", std::get<int16_t>(v));
        reader->GetData(v, VarType::Double, 8);
        std::printf("Double   %g\n", std::get<double>(v));
        reader->GetData(v, VarType::Boolean, 2);
        std::printf("Boolean  %s\n", std::get<inet::VariantBool>(v).raw != 0 ? "true" : "false");
        reader->GetData(v, VarType::Date, 8);
        std::printf("Date     %.2f days after 30 December 1899\n", std::get<inet::Date>(v).days);
        reader->GetData(v, VarType::Currency, 8);
        std::printf("Currency %.4f\n", static_cast<double>(std::get<inet::Currency>(v).scaled) / 10000);
        reader->GetData(v, VarType::Byte, 1);
        std::printf("Byte     %d\n", std::get<uint8_t>(v));
        std::printf("left     %d bytes\n", reader->BytesReceived());
        platform::PostQuitMessage(0);
    };

    // The writing end: each SendData adds its value's bytes to what waits.
    writer->OnConnect = [&] {
        const std::string name = "kitchen";
        writer->SendData(static_cast<int32_t>(name.size()));  // Long: 4 bytes
        writer->SendData(name);                               // String: its bytes, no terminator
        writer->SendData(int16_t{-7});                        // Integer: 2 bytes
        writer->SendData(21.5);                               // Double: 8 bytes
        writer->SendData(inet::VariantBool{-1});              // Boolean: 2 bytes, -1 is true
        writer->SendData(inet::Date{45658.75});               // Date: 1 January 2025, 18:00
        writer->SendData(inet::Currency{123456});             // Currency: 12.3456, times 10000
        writer->SendData(uint8_t{200});                       // Byte
    };

    // Each failure ends the program with its reason.
    auto fail = [](int16_t number, std::string& description, int32_t, const std::string&, const std::string&,
                   int32_t, bool&) {
        std::fprintf(stderr, "typed_values: %s (error %d)\n", description.c_str(), number);
        platform::PostQuitMessage(1);
    };
    listener->OnError = reader->OnError = writer->OnError = fail;
    listener->OnConnectionRequest = [&](int32_t requestID) { reader->Accept(requestID); };
    try {
        listener->Bind(port, "127.0.0.1");
        listener->Listen();
        writer->Connect("127.0.0.1", inet::Variant(port));
        return platform::RunMessageLoop();
    } catch (const inet::SocketError& e) {
        std::fprintf(stderr, "typed_values: %s (error %d, %s)\n", e.what(), e.Number(), e.Source().c_str());
        return 1;
    }
}
