// SPDX-License-Identifier: MIT
#include "tests/support/Descriptors.h"

#include <dirent.h>
#include <unistd.h>

namespace testsupport {

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
        ::closedir(dir);
        --count;  // the listing's own descriptor
    }
    return count;
}

std::string DescribeDescriptors() {
    std::string out;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            char target[256] = {};
            const std::string path = std::string("/proc/self/fd/") + entry->d_name;
            if (::readlink(path.c_str(), target, sizeof target - 1) < 0) continue;
            out += std::string(entry->d_name) + " -> " + target + "\n";
        }
        ::closedir(dir);
    }
    return out;
}

}  // namespace testsupport
