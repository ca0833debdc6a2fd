// SPDX-License-Identifier: MIT
#include "tools/DemoRemote.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace tools {

namespace {

// NEC-style codes as lircd prints them: address 0x00 and its complement, then the
// command byte and its complement.
constexpr uint64_t NecCode(uint8_t command) {
    return 0x00ff0000u | (uint64_t{command} << 8) | uint64_t{static_cast<uint8_t>(~command)};
}

struct Button {
    std::string_view name;
    uint64_t code;
    bool repeats;  // volume, channel and arrow keys get held; the others are tapped
};

constexpr std::array<Button, 12> kButtons{{
    {"KEY_POWER", NecCode(0x45), false},
    {"KEY_MUTE", NecCode(0x47), false},
    {"KEY_VOLUMEUP", NecCode(0x15), true},
    {"KEY_VOLUMEDOWN", NecCode(0x07), true},
    {"KEY_CHANNELUP", NecCode(0x09), true},
    {"KEY_CHANNELDOWN", NecCode(0x19), true},
    {"KEY_UP", NecCode(0x18), true},
    {"KEY_DOWN", NecCode(0x52), true},
    {"KEY_LEFT", NecCode(0x08), true},
    {"KEY_RIGHT", NecCode(0x5a), true},
    {"KEY_OK", NecCode(0x1c), false},
    {"KEY_PLAYPAUSE", NecCode(0x43), false},
}};

constexpr unsigned kSeed = 20240611;

}  // namespace

DemoRemote::DemoRemote(std::string remoteName) : m_name(std::move(remoteName)), m_random(kSeed) {}

std::string DemoRemote::NextLine() {
    if (m_holdLeft > 0) {
        ++m_repeat;
        --m_holdLeft;
    } else {
        m_held = m_random() % kButtons.size();
        m_repeat = 0;
        // About one press in four of a repeating key is held for one to five repeats.
        if (kButtons[m_held].repeats && m_random() % 4 == 0) m_holdLeft = 1 + static_cast<int>(m_random() % 5);
    }
    const Button& button = kButtons[m_held];

    char head[32];
    std::snprintf(head, sizeof head, "%016llx %02x ", static_cast<unsigned long long>(button.code),
                  static_cast<unsigned>(m_repeat & 0xff));
    std::string line(head);
    line.append(button.name);
    line += ' ';
    line += m_name;
    line += '\n';
    return line;
}

}  // namespace tools
