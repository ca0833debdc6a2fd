// SPDX-License-Identifier: MIT
#include "tests/client/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace clienttest {

namespace {

std::vector<char*> CStrings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

ChildProcess::ChildProcess(Options options) {
    int pipeFds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (options.captureStdout) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
        if (options.stderrToo) posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    }
    int fd3 = -1;
    if (options.fd3 >= 0) {
        // A descriptor above 3, so that dup2 really copies it (and drops close-on-exec).
        fd3 = ::fcntl(options.fd3, F_DUPFD_CLOEXEC, 10);
        posix_spawn_file_actions_adddup2(&actions, fd3, 3);
    }

    std::vector<char*> argv = CStrings(options.args);
    std::vector<char*> envp = CStrings(options.environment);
    const int rc = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (fd3 >= 0) ::close(fd3);
    if (pipeFds[1] >= 0) ::close(pipeFds[1]);
    m_out = pipeFds[0];
    if (rc != 0) {
        if (m_out >= 0) ::close(m_out);
        m_pid = -1;
        throw std::runtime_error("cannot start " + options.args[0] + ": " + std::strerror(rc));
    }
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0 && !m_status) Stop();
    if (m_out >= 0) ::close(m_out);
}

void ChildProcess::Collect(int timeoutMs) {
    if (m_out < 0) return;
    pollfd p{m_out, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return;
    char buf[4096];
    const ssize_t n = ::read(m_out, buf, sizeof buf);
    if (n > 0) {
        m_output.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
        ::close(m_out);  // the child closed its end
        m_out = -1;
    }
}

const std::string& ChildProcess::Output() {
    Collect(0);
    return m_output;
}

bool ChildProcess::WaitForOutput(const std::function<bool(const std::string&)>& pred,
                                 std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred(m_output)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_out < 0) return pred(m_output);
        Collect(static_cast<int>(std::min<long long>(left.count(), 50)));
    }
    return true;
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds limit) {
    if (m_status || m_pid <= 0) return m_status;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid || (r < 0 && errno == ECHILD)) {
            m_status = status;
            return m_status;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        Collect(10);  // keeps a chatty child from blocking on a full pipe
        std::this_thread::sleep_for(5ms);
    }
}

int ChildProcess::Stop(int signal, std::chrono::milliseconds limit) {
    if (m_pid <= 0) return 0;
    if (!m_status) ::kill(m_pid, signal);
    if (auto status = Wait(limit)) return *status;
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_status = status;
    return status;
}

std::optional<std::string> RunForOutput(const std::vector<std::string>& args,
                                        const std::vector<std::string>& environment,
                                        std::chrono::milliseconds limit) {
    try {
        ChildProcess child({args, environment, true, -1});
        const auto status = child.Wait(limit);
        if (!status) return std::nullopt;  // the destructor kills it
        child.WaitForOutput([](const std::string&) { return false; }, 200ms);  // the rest, up to EOF
        if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) return std::nullopt;
        return child.Output();
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& changes) {
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        bool changed = false;
        for (const std::string& c : changes) changed = changed || nameOf(c) == nameOf(entry);
        if (!changed) env.push_back(entry);
    }
    for (const std::string& c : changes) {
        if (c.find('=') != std::string::npos) env.push_back(c);
    }
    return env;
}

std::string FindProgram(const std::string& name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::istringstream dirs(path);
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (dir.empty()) continue;
        const std::filesystem::path candidate = std::filesystem::path(dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return "";
}

}  // namespace clienttest
