// SPDX-License-Identifier: MIT
// What the benchmarks share: failing loudly, the measuring process's own CPU time,
// a paced sender's beat, the option counts and the report's first line.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// "recv_bench: what went wrong", and the exit status 1.
[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
    std::exit(1);
}

[[noreturn]] inline void FailErrno(const std::string& what) { Fail(what + ": " + std::strerror(errno)); }

inline double Seconds(const timespec& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}
inline double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

// The process's CPU time (all its threads) and the wall clock at one moment.
struct CpuMark {
    timespec process{};
    rusage usage{};
    Clock::time_point wall;

    static CpuMark Now() {
        CpuMark m;
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &m.process);
        ::getrusage(RUSAGE_SELF, &m.usage);
        m.wall = Clock::now();
        return m;
    }
};

// What a run cost between two marks, in seconds.
struct CpuTime {
    double cpu = 0;  // user + system
    double user = 0;
    double sys = 0;
    double wall = 0;
};

inline CpuTime Between(const CpuMark& a, const CpuMark& b) {
    CpuTime t;
    t.cpu = Seconds(b.process) - Seconds(a.process);
    t.user = Seconds(b.usage.ru_utime) - Seconds(a.usage.ru_utime);
    t.sys = Seconds(b.usage.ru_stime) - Seconds(a.usage.ru_stime);
    t.wall = std::chrono::duration<double>(b.wall - a.wall).count();
    return t;
}

inline sockaddr_in LoopbackAddress(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A paced sender's beat: sleeps until `next` moved on by the interval (an absolute
// time, so that a late wake-up does not shift every later beat).
inline void SleepUntilNextBeat(timespec& next, int64_t intervalUs) {
    next.tv_nsec += intervalUs * 1000;
    while (next.tv_nsec >= 1'000'000'000) {
        next.tv_nsec -= 1'000'000'000;
        ++next.tv_sec;
    }
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
    }
}

inline double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// A whole positive decimal number, and nothing else.
inline bool ParseCount(std::string_view text, int64_t& out) {
    int64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < 1) return false;
    out = v;
    return true;
}

inline std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("model name", 0) == 0) {
            const auto colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown CPU";
}

// The report's first line: the build, the processor and the kernel the figures are of.
inline void PrintMachine() {
    utsname host{};
    ::uname(&host);
#ifdef NDEBUG
    const char* build = "optimised build";
#else
    const char* build = "UNOPTIMISED build (assertions on): figures are not representative";
#endif
    std::printf("%s: %s; %s, %ld CPU(s); %s %s\n", program_invocation_short_name, build, CpuModel().c_str(),
                ::sysconf(_SC_NPROCESSORS_ONLN), host.sysname, host.release);
}

}  // namespace bench
