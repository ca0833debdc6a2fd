// SPDX-License-Identifier: MIT
// recv_bench: what receiving through CSocket costs the receiving process, against
// a plain non-blocking epoll recv loop, over 127.0.0.1.
//
// Two workloads, each received by both sides in alternating runs (ref, csocket,
// ref, csocket, ...) from a sender in a forked child process:
//   bulk   1 GiB written in 64 KiB writes as fast as the sender can;
//   lines  10,000 lines of 40 bytes, one write each, one every 100 us.
// Only the receiving process's CPU time (CLOCK_PROCESS_CPUTIME_ID, user + system,
// all its threads) is measured, from the moment the connection is up and the
// sender is told to start until the receiver has seen the end of the stream.
//
//   ref      connect, then level-triggered epoll_wait and recv into one reused
//            buffer until a short read; the buffer is as large as CSocket's
//            receive size (the socket's SO_RCVBUF).
//   csocket  CSocket::Connect, the message loop pumped with PumpMessages, and an
//            OnDataArrival handler calling GetData(v, 8) (String).
//
// Reported: CPU seconds per GiB and CPU microseconds per line for both sides, and
// the median over the rounds of each round's csocket / ref ratio.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bench/BenchSupport.h"
#include "inet/cSocket/CSocket.h"
#include "platform/MessageLoop.h"

namespace {

using namespace std::chrono_literals;
using namespace bench;

constexpr size_t kBulkWrite = 64 * 1024;
constexpr size_t kLineBytes = 40;
constexpr auto kRunLimit = 120s;  // one run that takes longer has hung

struct Options {
    int rounds = 5;
    int64_t bulkMib = 1024;
    int64_t lines = 10'000;
    int64_t lineIntervalUs = 100;
    bool bulk = true;
    bool paced = true;
    bool ref = true;
    bool csocket = true;
};

enum class Workload { Bulk, Lines };
enum class Side { Ref, CSocket };

struct Sample {
    double cpu = 0;    // seconds, user + system
    double user = 0;
    double sys = 0;
    double wall = 0;
    uint64_t bytes = 0;
};

// ---- The receiver's own CPU time ----

Sample Between(const CpuMark& a, const CpuMark& b, uint64_t bytes) {
    const CpuTime t = bench::Between(a, b);
    return Sample{t.cpu, t.user, t.sys, t.wall, bytes};
}

// ---- The sender, a forked child ----

// A listening socket on 127.0.0.1 made before the fork: the child accepts on it,
// the parent only connects to it.
struct Rendezvous {
    int listenFd = -1;
    int port = 0;
    int goPipe[2] = {-1, -1};  // the parent writes one byte when the child may start
    pid_t child = -1;
};

// Everything the child does is plain system calls on its own stack and static
// data: it never returns into the parent's code.
[[noreturn]] void SenderMain(const Rendezvous& r, Workload workload, const Options& options) {
    ::close(r.goPipe[1]);
    const int fd = ::accept(r.listenFd, nullptr, nullptr);
    if (fd < 0) ::_exit(10);
    ::close(r.listenFd);
    char go;
    if (::read(r.goPipe[0], &go, 1) != 1) ::_exit(11);

    auto sendAll = [fd](const char* data, size_t size) {
        while (size > 0) {
            const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                ::_exit(12);
            }
            data += n;
            size -= static_cast<size_t>(n);
        }
    };

    if (workload == Workload::Bulk) {
        static char block[kBulkWrite];
        for (size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<char>('a' + i % 26);
        const uint64_t total = static_cast<uint64_t>(options.bulkMib) << 20;
        for (uint64_t sent = 0; sent < total; sent += kBulkWrite) {
            sendAll(block, static_cast<size_t>(std::min<uint64_t>(kBulkWrite, total - sent)));
        }
    } else {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // one segment per line
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);                 // keep to the 100 us beat
        char line[kLineBytes];
        std::memset(line, '-', sizeof line);
        line[kLineBytes - 1] = '\n';
        timespec next{};
        ::clock_gettime(CLOCK_MONOTONIC, &next);
        for (int64_t i = 0; i < options.lines; ++i) {
            SleepUntilNextBeat(next, options.lineIntervalUs);
            // The line number in decimal at the front, for whoever looks at the stream.
            int64_t v = i;
            for (int d = 15; d >= 0; --d, v /= 10) line[d] = static_cast<char>('0' + v % 10);
            sendAll(line, sizeof line);
        }
    }
    ::close(fd);
    ::_exit(0);
}

Rendezvous StartSender(Workload workload, const Options& options) {
    Rendezvous r;
    r.listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddress(0);
    socklen_t len = sizeof a;
    if (r.listenFd < 0 || ::bind(r.listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(r.listenFd, 1) != 0 || ::getsockname(r.listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        FailErrno("cannot listen on 127.0.0.1");
    }
    r.port = ntohs(a.sin_port);
    if (::pipe2(r.goPipe, O_CLOEXEC) != 0) FailErrno("pipe");
    std::fflush(nullptr);
    r.child = ::fork();
    if (r.child < 0) FailErrno("fork");
    if (r.child == 0) SenderMain(r, workload, options);
    ::close(r.listenFd);
    ::close(r.goPipe[0]);
    return r;
}

void Go(Rendezvous& r) {
    if (::write(r.goPipe[1], "g", 1) != 1) FailErrno("cannot start the sender");
    ::close(r.goPipe[1]);
}

void FinishSender(Rendezvous& r, bool kill) {
    if (kill) ::kill(r.child, SIGKILL);
    int status = 0;
    if (::waitpid(r.child, &status, 0) != r.child) FailErrno("waitpid");
    if (!kill && (!WIFEXITED(status) || WEXITSTATUS(status) != 0)) {
        Fail("the sender failed (status " + std::to_string(status) + ")");
    }
}

uint64_t ExpectedBytes(Workload workload, const Options& options) {
    return workload == Workload::Bulk ? static_cast<uint64_t>(options.bulkMib) << 20
                                      : static_cast<uint64_t>(options.lines) * kLineBytes;
}

// ---- ref: a plain epoll receive loop ----

Sample ReceiveRef(Workload workload, const Options& options) {
    Rendezvous r = StartSender(workload, options);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Receive as much per call as CSocket does: the fresh socket's SO_RCVBUF.
    int size = 0;
    socklen_t sizeLen = sizeof size;
    ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &sizeLen);
    std::vector<char> buffer(static_cast<size_t>(std::max(size, 4096)));
    const sockaddr_in a = LoopbackAddress(r.port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) FailErrno("connect");
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (ep < 0 || ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) != 0) FailErrno("epoll");

    const CpuMark start = CpuMark::Now();
    Go(r);
    const auto deadline = Clock::now() + kRunLimit;
    uint64_t bytes = 0;
    bool ended = false;
    while (!ended) {
        if (Clock::now() > deadline) {
            FinishSender(r, true);
            Fail("ref: the transfer did not end in time");
        }
        epoll_event got[4];
        const int n = ::epoll_wait(ep, got, 4, 1000);
        if (n < 0 && errno != EINTR) FailErrno("epoll_wait");
        if (n <= 0) continue;
        while (true) {
            const ssize_t k = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (k > 0) {
                bytes += static_cast<uint64_t>(k);
                if (static_cast<size_t>(k) < buffer.size()) break;  // drained for now
                continue;
            }
            if (k == 0) {
                ended = true;
            } else if (errno != EAGAIN && errno != EINTR) {
                FailErrno("recv");
            }
            break;
        }
    }
    const CpuMark end = CpuMark::Now();
    ::close(ep);
    ::close(fd);
    FinishSender(r, false);
    return Between(start, end, bytes);
}

// ---- csocket: the same through CSocket and the message loop ----

Sample ReceiveCSocket(Workload workload, const Options& options) {
    Rendezvous r = StartSender(workload, options);
    std::shared_ptr<inet::CSocket> socket = inet::CSocket::Create();
    inet::CSocket* s = socket.get();  // handlers must not own their own object
    bool connected = false;
    bool closed = false;
    std::string error;
    uint64_t bytes = 0;
    inet::Variant data;
    s->OnConnect = [&] { connected = true; };
    s->OnDataArrival = [&, s](int32_t) {
        s->GetData(data, static_cast<int32_t>(inet::VarType::String));
        bytes += std::get<std::string>(data).size();
    };
    s->OnClose = [&] { closed = true; };
    s->OnError = [&](int16_t number, std::string& description, int32_t, const std::string&, const std::string&,
                     int32_t, bool&) { error = description + " (" + std::to_string(number) + ")"; };
    s->Connect(std::string("127.0.0.1"), inet::Variant(static_cast<int32_t>(r.port)));

    auto pumpUntil = [&](const bool& done, const char* what) {
        const auto deadline = Clock::now() + kRunLimit;
        while (!done && error.empty()) {
            if (Clock::now() > deadline) {
                FinishSender(r, true);
                Fail(std::string("csocket: ") + what + " did not happen in time");
            }
            platform::PumpMessages(100ms);
        }
        if (!error.empty()) {
            FinishSender(r, true);
            Fail("csocket: " + error);
        }
    };
    pumpUntil(connected, "the connection");
    const CpuMark start = CpuMark::Now();
    Go(r);
    pumpUntil(closed, "the end of the stream");
    const CpuMark end = CpuMark::Now();
    socket.reset();
    FinishSender(r, false);
    return Between(start, end, bytes);
}

// ---- Report ----

void RunWorkload(Workload workload, const Options& options) {
    const bool bulk = workload == Workload::Bulk;
    const uint64_t expected = ExpectedBytes(workload, options);
    // Per GiB for bulk, per line for lines.
    const double units = bulk ? static_cast<double>(expected) / double(1ull << 30) : static_cast<double>(options.lines);
    const double scale = bulk ? 1.0 : 1e6;
    const char* unit = bulk ? "CPU s/GiB" : "CPU us/line";

    if (bulk) {
        std::printf("\nbulk: %lld MiB in %zu KiB writes, %d round(s)\n", static_cast<long long>(options.bulkMib),
                    kBulkWrite / 1024, options.rounds);
    } else {
        std::printf("\nlines: %lld lines of %zu bytes, one write every %lld us, %d round(s)\n",
                    static_cast<long long>(options.lines), kLineBytes, static_cast<long long>(options.lineIntervalUs),
                    options.rounds);
    }
    std::printf("  %-6s %13s %13s %8s   %-22s %-22s\n", "round", ("ref " + std::string(bulk ? "s/GiB" : "us/line")).c_str(),
                ("cs " + std::string(bulk ? "s/GiB" : "us/line")).c_str(), "cs/ref", "ref user+sys, wall s",
                "cs user+sys, wall s");

    std::vector<double> refs, css, ratios, refUser, refSys, csUser, csSys;
    for (int round = 1; round <= options.rounds; ++round) {
        std::optional<Sample> a, b;
        if (options.ref) a = ReceiveRef(workload, options);
        if (options.csocket) b = ReceiveCSocket(workload, options);
        for (const auto& s : {a, b}) {
            if (s && s->bytes != expected) {
                Fail("received " + std::to_string(s->bytes) + " bytes instead of " + std::to_string(expected));
            }
        }
        auto per = [&](const std::optional<Sample>& s) { return s ? s->cpu / units * scale : 0.0; };
        auto detail = [](const std::optional<Sample>& s) {
            char buf[64];
            if (!s) return std::string("-");
            std::snprintf(buf, sizeof buf, "%.3f+%.3f, %.3f", s->user, s->sys, s->wall);
            return std::string(buf);
        };
        if (a) {
            refs.push_back(per(a));
            refUser.push_back(a->user);
            refSys.push_back(a->sys);
        }
        if (b) {
            css.push_back(per(b));
            csUser.push_back(b->user);
            csSys.push_back(b->sys);
        }
        if (a && b) ratios.push_back(b->cpu / a->cpu);
        char ratio[16] = "-";
        if (a && b) std::snprintf(ratio, sizeof ratio, "%.3f", b->cpu / a->cpu);
        std::printf("  %-6d %13.3f %13.3f %8s   %-22s %-22s\n", round, per(a), per(b), ratio, detail(a).c_str(),
                    detail(b).c_str());
        std::fflush(stdout);
    }

    const double target = bulk ? 1.15 : 1.20;
    std::printf("  median %13.3f %13.3f %8.3f   (%s)\n", refs.empty() ? 0.0 : Median(refs),
                css.empty() ? 0.0 : Median(css), ratios.empty() ? 0.0 : Median(ratios), unit);
    if (!ratios.empty()) {
        std::printf("  user/sys split, median s: ref %.3f/%.3f, csocket %.3f/%.3f\n", Median(refUser), Median(refSys),
                    Median(csUser), Median(csSys));
        const double m = Median(ratios);
        std::printf("  target: csocket <= %.2f x ref: %s (median paired ratio %.3f)\n", target,
                    m <= target ? "met" : "MISSED", m);
    }
}

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
        "usage: recv_bench [--rounds N] [--bulk-mib N] [--lines N] [--line-interval-us N]\n"
        "                  [--workload bulk|lines|both] [--side ref|csocket|both] [--quick]\n"
        "\n"
        "Receiver CPU time of CSocket against a plain epoll recv loop over 127.0.0.1,\n"
        "each fed by a forked sender process; runs alternate ref, csocket, ref, ...\n"
        "Defaults: 5 rounds, bulk 1024 MiB in 64 KiB writes, 10000 lines of 40 bytes\n"
        "one every 100 us. --quick: 1 round, 64 MiB, 2000 lines. Build it in Release.\n");
}

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help") {
            PrintUsage(stdout);
            std::exit(0);
        }
        if (arg == "--quick") {
            o.rounds = 1;
            o.bulkMib = 64;
            o.lines = 2000;
            continue;
        }
        if (i + 1 >= argc) return false;
        const std::string_view value = argv[++i];
        int64_t n = 0;
        if (arg == "--rounds" && ParseCount(value, n) && n <= 1000) {
            o.rounds = static_cast<int>(n);
        } else if (arg == "--bulk-mib" && ParseCount(value, n) && n <= (1 << 20)) {
            o.bulkMib = n;
        } else if (arg == "--lines" && ParseCount(value, n) && n <= 100'000'000) {
            o.lines = n;
        } else if (arg == "--line-interval-us" && ParseCount(value, n) && n <= 1'000'000) {
            o.lineIntervalUs = n;
        } else if (arg == "--workload" && (value == "bulk" || value == "lines" || value == "both")) {
            o.bulk = value != "lines";
            o.paced = value != "bulk";
        } else if (arg == "--side" && (value == "ref" || value == "csocket" || value == "both")) {
            o.ref = value != "csocket";
            o.csocket = value != "ref";
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        PrintUsage(stderr);
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    PrintMachine();

    try {
        if (options.bulk) RunWorkload(Workload::Bulk, options);
        if (options.paced) RunWorkload(Workload::Lines, options);
    } catch (const inet::SocketError& e) {
        Fail(e.Source() + ": " + e.Description());
    }
    return 0;
}
