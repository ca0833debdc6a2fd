#include "tools/DemoRemote.h"

#include <array>
#include <cstdio>

namespace tools {

namespace {

// NEC-style codes as lircd prints them: address 0x00 and its complement, then the
// command byte and its complement.
constexpr uint64_t NecCode(uint8_t command) {
    return 0x00ff0000u | (uint64_t{command} << 8) | uint64_t{static_cast<uint8_t>(~command)};
}

struct ButtonDef {
    std::string_view name;
    uint8_t command;
    bool repeats;
};

constexpr std::array<ButtonDef, 12> kButtons{{
    {"KEY_POWER", 0x45, false},
    {"KEY_MUTE", 0x47, false},
    {"KEY_VOLUMEUP", 0x15, true},
    {"KEY_VOLUMEDOWN", 0x07, true},
    {"KEY_CHANNELUP", 0x09, true},
    {"KEY_CHANNELDOWN", 0x19, true},
    {"KEY_UP", 0x18, true},
    {"KEY_DOWN", 0x52, true},
    {"KEY_LEFT", 0x08, true},
    {"KEY_RIGHT", 0x5a, true},
    {"KEY_OK", 0x1c, false},
    {"KEY_PLAYPAUSE", 0x43, false},
}};

constexpr unsigned kSeed = 20240611;

}  // namespace

DemoRemote::DemoRemote(std::string remoteName) : name_(std::move(remoteName)), random_(kSeed) {}

const DemoRemote::Button& DemoRemote::Pick() {
    static const auto buttons = [] {
        std::array<Button, kButtons.size()> out{};
        for (size_t i = 0; i < kButtons.size(); ++i) {
            out[i] = Button{kButtons[i].name, NecCode(kButtons[i].command), kButtons[i].repeats};
        }
        return out;
    }();
    return buttons[random_() % buttons.size()];
}

std::string DemoRemote::NextLine() {
    const Button* button;
    int repeat;
    if (held_ != nullptr && holdLeft_ > 0) {
        button = held_;
        repeat = ++repeat_;
        --holdLeft_;
    } else {
        button = &Pick();
        repeat = 0;
        // About one press in four of a repeating key is held for one to five repeats.
        held_ = nullptr;
        if (button->repeats && random_() % 4 == 0) {
            held_ = button;
            repeat_ = 0;
            holdLeft_ = 1 + static_cast<int>(random_() % 5);
        }
    }

    char head[32];
    std::snprintf(head, sizeof head, "%016llx %02x ", static_cast<unsigned long long>(button->code),
                  static_cast<unsigned>(repeat & 0xff));
    std::string line(head);
    line.append(button->name);
    line += ' ';
    line += name_;
    line += '\n';
    return line;
}

}  // namespace tools
