// SPDX-License-Identifier: MIT
// What the process holds open, for tests and fuzz targets that must leave nothing
// behind. Linux only: it reads /proc/self/fd.
#pragma once

#include <string>

namespace testsupport {

// How many descriptors the process has open.
int OpenDescriptors();
// Each open descriptor with what it refers to, one a line.
std::string DescribeDescriptors();

}  // namespace testsupport
