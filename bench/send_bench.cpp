// SPDX-License-Identifier: MIT
// send_bench: what sending through CSocket costs the sending process, against a
// plain non-blocking send loop, over 127.0.0.1.
//
// Two workloads, each sent by both sides in alternating runs (ref, csocket, ref,
// csocket, ...) to a reader in a forked child process, which reads as fast as it can
// and reports the bytes it got:
//   bulk   1 GiB handed over in 64 KiB pieces;
//   small  200,000 pieces of 40 bytes, handed over as fast as they are taken.
// Only the sending process's CPU time (CLOCK_PROCESS_CPUTIME_ID, user + system, all
// its threads) is measured, from the moment the connection is up until the last byte
// has been handed to the kernel.
//
//   ref      connect, then send() each piece, and on EAGAIN wait with epoll for
//            EPOLLOUT and send the rest.
//   csocket  CSocket::Connect, then SendData of each piece (one Variant holding it)
//            while nothing waits in the object's queue; when something does, the
//            host waits for OnSendComplete, pumping the loop with PumpMessages.
//
// Reported: CPU seconds per GiB and CPU microseconds per piece for both sides, and
// the median over the rounds of each round's csocket / ref ratio.

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench/BenchSupport.h"
#include "inet/cSocket/CSocket.h"
#include "platform/MessageLoop.h"

namespace {

using namespace std::chrono_literals;
using namespace bench;

constexpr auto kRunLimit = 120s;  // one run that takes longer has hung

struct Options {
    int rounds = 5;
    int64_t bulkMib = 1024;
    int64_t pieces = 200'000;
    bool bulk = true;
    bool small = true;
};

enum class Workload { Bulk, Small };

size_t PieceSize(Workload w) { return w == Workload::Bulk ? 64 * 1024 : 40; }

uint64_t PieceCount(Workload w, const Options& o) {
    return w == Workload::Bulk ? (static_cast<uint64_t>(o.bulkMib) << 20) / PieceSize(w)
                               : static_cast<uint64_t>(o.pieces);
}

std::string Piece(Workload w) {
    std::string piece(PieceSize(w), '\0');
    for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>('a' + i % 26);
    return piece;
}

// ---- The reader, a forked child ----

struct Reader {
    int port = 0;
    int countPipe[2] = {-1, -1};  // the child writes the bytes it read when the stream ended
    pid_t child = -1;
};

[[noreturn]] void ReaderMain(int listenFd, int countFd) {
    const int fd = ::accept(listenFd, nullptr, nullptr);
    if (fd < 0) ::_exit(10);
    ::close(listenFd);
    static char buffer[256 * 1024];
    uint64_t bytes = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            bytes += static_cast<uint64_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ::_exit(11);
        }
    }
    if (::write(countFd, &bytes, sizeof bytes) != sizeof bytes) ::_exit(12);
    ::_exit(0);
}

Reader StartReader() {
    Reader r;
    const int listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddress(0);
    socklen_t len = sizeof a;
    if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listenFd, 1) != 0 || ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        FailErrno("cannot listen on 127.0.0.1");
    }
    r.port = ntohs(a.sin_port);
    if (::pipe2(r.countPipe, O_CLOEXEC) != 0) FailErrno("pipe");
    std::fflush(nullptr);
    r.child = ::fork();
    if (r.child < 0) FailErrno("fork");
    if (r.child == 0) {
        ::close(r.countPipe[0]);
        ReaderMain(listenFd, r.countPipe[1]);
    }
    ::close(listenFd);
    ::close(r.countPipe[1]);
    return r;
}

// The bytes the reader got; the sender has closed its end by now.
uint64_t FinishReader(Reader& r) {
    uint64_t bytes = 0;
    if (::read(r.countPipe[0], &bytes, sizeof bytes) != sizeof bytes) Fail("the reader did not report");
    ::close(r.countPipe[0]);
    int status = 0;
    if (::waitpid(r.child, &status, 0) != r.child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        Fail("the reader failed (status " + std::to_string(status) + ")");
    }
    return bytes;
}

// ---- ref: a plain non-blocking send loop ----

CpuTime SendRef(Workload workload, const Options& options, uint64_t& read) {
    Reader r = StartReader();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = LoopbackAddress(r.port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) FailErrno("connect");
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLOUT | EPOLLET;
    ev.data.fd = fd;
    if (ep < 0 || ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) != 0) FailErrno("epoll");
    const std::string piece = Piece(workload);
    const uint64_t count = PieceCount(workload, options);

    const CpuMark start = CpuMark::Now();
    const auto deadline = Clock::now() + kRunLimit;
    for (uint64_t i = 0; i < count; ++i) {
        std::string_view rest = piece;
        while (!rest.empty()) {
            const ssize_t n = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
            if (n > 0) {
                rest.remove_prefix(static_cast<size_t>(n));
                continue;
            }
            if (errno != EAGAIN && errno != EINTR) FailErrno("send");
            if (Clock::now() > deadline) Fail("ref: the transfer did not end in time");
            epoll_event got;
            if (::epoll_wait(ep, &got, 1, 1000) < 0 && errno != EINTR) FailErrno("epoll_wait");
        }
    }
    const CpuMark end = CpuMark::Now();
    ::close(ep);
    ::close(fd);
    read = FinishReader(r);
    return Between(start, end);
}

// ---- csocket: the same through CSocket and the message loop ----

CpuTime SendCSocket(Workload workload, const Options& options, uint64_t& read) {
    Reader r = StartReader();
    std::shared_ptr<inet::CSocket> socket = inet::CSocket::Create();
    inet::CSocket* s = socket.get();  // handlers must not own their own object
    bool connected = false;
    std::string error;
    const inet::Variant piece(Piece(workload));
    const uint64_t count = PieceCount(workload, options);
    uint64_t handed = 0;
    bool waiting = false;  // something waits in the object's queue
    bool done = false;
    // Hands pieces over while the socket takes them whole; then the object's queue
    // holds the rest, and OnSendComplete says when it is empty.
    auto handOver = [&] {
        while (handed < count && !waiting) {
            s->SendData(piece);
            ++handed;
        }
        done = handed == count && !waiting;
    };
    s->OnConnect = [&] { connected = true; };
    s->OnSendProgress = [&](int32_t, int32_t remaining) { waiting = remaining > 0; };
    s->OnSendComplete = [&] {
        waiting = false;
        handOver();
    };
    s->OnError = [&](int16_t number, std::string& description, int32_t, const std::string&, const std::string&,
                     int32_t, bool&) { error = description + " (" + std::to_string(number) + ")"; };
    s->Connect(std::string("127.0.0.1"), inet::Variant(static_cast<int32_t>(r.port)));

    auto pumpUntil = [&](const bool& flag, const char* what) {
        const auto deadline = Clock::now() + kRunLimit;
        while (!flag && error.empty()) {
            if (Clock::now() > deadline) Fail(std::string("csocket: ") + what + " did not happen in time");
            platform::PumpMessages(100ms);
        }
        if (!error.empty()) Fail("csocket: " + error);
    };
    pumpUntil(connected, "the connection");
    const CpuMark start = CpuMark::Now();
    handOver();
    pumpUntil(done, "the last send");
    const CpuMark end = CpuMark::Now();
    socket.reset();
    read = FinishReader(r);
    return Between(start, end);
}

// ---- Report ----

void RunWorkload(Workload workload, const Options& options) {
    const bool bulk = workload == Workload::Bulk;
    const uint64_t count = PieceCount(workload, options);
    const uint64_t expected = count * PieceSize(workload);
    const double units = bulk ? static_cast<double>(expected) / double(1ull << 30) : static_cast<double>(count);
    const double scale = bulk ? 1.0 : 1e6;
    const char* unit = bulk ? "CPU s/GiB" : "CPU us/piece";
    std::printf("\n%s: %llu pieces of %zu bytes, %d round(s)\n", bulk ? "bulk" : "small",
                static_cast<unsigned long long>(count), PieceSize(workload), options.rounds);
    std::printf("  %-6s %13s %13s %8s   %-22s %-22s\n", "round", bulk ? "ref s/GiB" : "ref us/piece",
                bulk ? "cs s/GiB" : "cs us/piece", "cs/ref", "ref user+sys, wall s", "cs user+sys, wall s");
    std::vector<double> refs, css, ratios;
    for (int round = 1; round <= options.rounds; ++round) {
        uint64_t readRef = 0, readCs = 0;
        const CpuTime a = SendRef(workload, options, readRef);
        const CpuTime b = SendCSocket(workload, options, readCs);
        for (const uint64_t read : {readRef, readCs}) {
            if (read != expected) Fail("the reader got " + std::to_string(read) + " of " + std::to_string(expected));
        }
        refs.push_back(a.cpu / units * scale);
        css.push_back(b.cpu / units * scale);
        ratios.push_back(b.cpu / a.cpu);
        std::printf("  %-6d %13.3f %13.3f %8.3f   %.3f+%.3f, %-8.3f %.3f+%.3f, %.3f\n", round, refs.back(), css.back(),
                    ratios.back(), a.user, a.sys, a.wall, b.user, b.sys, b.wall);
        std::fflush(stdout);
    }
    std::printf("  median %13.3f %13.3f %8.3f   (%s)\n", Median(refs), Median(css), Median(ratios), unit);
    if (bulk) {
        const double m = Median(ratios);
        std::printf("  target: csocket <= 1.10 x ref: %s (median paired ratio %.3f)\n", m <= 1.10 ? "met" : "MISSED",
                    m);
    }
}

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
        "usage: send_bench [--rounds N] [--bulk-mib N] [--pieces N] [--workload bulk|small|both] [--quick]\n"
        "\n"
        "Sender CPU time of CSocket against a plain non-blocking send loop over 127.0.0.1,\n"
        "each read by a forked reader process; runs alternate ref, csocket, ref, ...\n"
        "Defaults: 5 rounds, bulk 1024 MiB in 64 KiB pieces, 200000 pieces of 40 bytes.\n"
        "--quick: 1 round, 64 MiB, 20000 pieces. Build it in Release.\n");
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
            o.pieces = 20'000;
            continue;
        }
        if (i + 1 >= argc) return false;
        const std::string_view value = argv[++i];
        int64_t n = 0;
        if (arg == "--rounds" && ParseCount(value, n) && n <= 1000) {
            o.rounds = static_cast<int>(n);
        } else if (arg == "--bulk-mib" && ParseCount(value, n) && n <= (1 << 20)) {
            o.bulkMib = n;
        } else if (arg == "--pieces" && ParseCount(value, n) && n <= 100'000'000) {
            o.pieces = n;
        } else if (arg == "--workload" && (value == "bulk" || value == "small" || value == "both")) {
            o.bulk = value != "small";
            o.small = value != "bulk";
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
        if (options.small) RunWorkload(Workload::Small, options);
    } catch (const inet::SocketError& e) {
        Fail(e.Source() + ": " + e.Description());
    }
    return 0;
}
