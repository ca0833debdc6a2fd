// SPDX-License-Identifier: MIT
// ChildProcess: a program that a test starts, watches and always stops.
//
// The child gets /dev/null as standard input, optionally a pipe as standard output
// (collected by the test) and optionally one more descriptor as its fd 3. Every wait
// is bounded. The destructor stops a child still running: SIGTERM, a short wait,
// then SIGKILL, and reaps it. Not copyable.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace clienttest {

using namespace std::chrono_literals;

class ChildProcess {
public:
    struct Options {
        std::vector<std::string> args;         // args[0] is the program's path
        std::vector<std::string> environment;  // NAME=value entries, the whole environment
        bool captureStdout = false;
        int fd3 = -1;                          // given to the child as its descriptor 3
        bool stderrToo = false;                // with captureStdout: standard error joins it
    };

    // Starts the program; throws std::runtime_error when it cannot be started.
    explicit ChildProcess(Options options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return m_pid; }

    // Standard output collected so far (captureStdout only).
    const std::string& Output();
    // Collects output until pred(output) holds, the child ends or the time is up; returns pred.
    bool WaitForOutput(const std::function<bool(const std::string&)>& pred,
                       std::chrono::milliseconds limit);

    // Waits for the child to end; its wait status, or nullopt if it still runs after `limit`.
    std::optional<int> Wait(std::chrono::milliseconds limit);
    // Sends `signal` and waits up to `limit`; then SIGKILL. The wait status of the end.
    int Stop(int signal = 15, std::chrono::milliseconds limit = 3000ms);

private:
    void Collect(int timeoutMs);

    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_output;
    std::optional<int> m_status;
};

// Runs a program to its end within `limit` and returns its standard output; nullopt
// when it failed to start, timed out or exited non-zero.
std::optional<std::string> RunForOutput(const std::vector<std::string>& args,
                                        const std::vector<std::string>& environment,
                                        std::chrono::milliseconds limit = 10000ms);

// The environment of this process with `changes` applied: "NAME=value" sets NAME,
// a bare "NAME" removes it.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& changes);

// The full path of a program found on PATH or in /usr/sbin and /sbin; empty if none.
std::string FindProgram(const std::string& name);

}  // namespace clienttest
