// SPDX-License-Identifier: MIT
// main() for the tests that need a QApplication.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // CTest sets the offscreen platform; this also covers listing the tests at build
    // time and runs started by hand on a machine without a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);  // the tests close windows, not the program
    return RUN_ALL_TESTS();
}
