// A made-up infrared remote that "presses" its buttons on demand, in the line
// format that an infrared remote-control server (lircd, WinLIRC) sends its clients:
//
//     <code, 16 hex digits> <repeat count, 2 hex digits> <button> <remote>\n
//     0000000000ff18e7 00 KEY_UP demoremote
//
// A fresh press has the repeat count 00. Now and then a button is held: the next
// lines repeat its code with the counts 01, 02, ... before another button is
// pressed. The sequence comes from a fixed seed, so every run presses the same
// buttons in the same order.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace tools {

class DemoRemote {
public:
    explicit DemoRemote(std::string remoteName = "demoremote");

    // The next line, newline included.
    std::string NextLine();

    const std::string& Name() const { return name_; }

private:
    struct Button {
        std::string_view name;
        uint64_t code;
        bool repeats;  // volume, channel and arrow keys are held; the others are tapped
    };

    const Button& Pick();

    std::string name_;
    std::minstd_rand random_;
    const Button* held_ = nullptr;  // the button still held, or none
    int repeat_ = 0;                // repeat count of the last line for held_
    int holdLeft_ = 0;              // repeats still to come for held_
};

}  // namespace tools
