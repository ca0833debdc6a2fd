// SPDX-License-Identifier: MIT
// A made-up infrared remote that "presses" its buttons on demand, in the line
// format that an infrared remote-control server (lircd) sends its clients:
//
//     <code, 16 hex digits> <repeat count, 2 hex digits> <button> <remote>\n
//     0000000000ff18e7 00 KEY_UP demoremote
//
// A fresh press has the repeat count 00. Now and then a button is held: the next
// lines repeat its code with the counts 01, 02, ... before another button is
// pressed. The sequence comes from a fixed seed, so every run presses the same
// buttons in the same order.
#pragma once

#include <cstddef>
#include <random>
#include <string>

namespace tools {

class DemoRemote {
public:
    explicit DemoRemote(std::string remoteName = "demoremote");

    // The next line, newline included.
    std::string NextLine();

    const std::string& Name() const { return m_name; }

private:
    std::string m_name;
    std::minstd_rand m_random;
    size_t m_held = 0;   // the button of the last line, an index into the table
    int m_repeat = 0;    // the repeat count of the last line
    int m_holdLeft = 0;  // repeats of m_held still to come
};

}  // namespace tools
