// SPDX-License-Identifier: MIT
// server_bench: what serving many connections through CSocket costs the serving
// process, against a plain level-triggered epoll server, over 127.0.0.1.
//
// Workloads, each served by both sides in alternating runs (epoll, csocket, epoll,
// csocket, ...):
//   fan-in   N connections (1,000 and 10,000 by default) are opened and accepted,
//            then 100,000 lines of 40 bytes are spread over them round-robin, in
//            bursts of 10 lines (each to another connection), one burst every
//            200 us; measured from the first line to the last byte.
//   accept   20,000 connections opened and closed by the peer, at most 100 open at
//            a time; measured from the first connect to the server's last close.
//   memory   the serving process's resident memory per connection with N idle
//            connections, right after accepting them and again once each has
//            carried its lines (taken during the fan-in runs).
// Every run is a fresh server process with a fresh peer process beside it; only the
// server's CPU time (CLOCK_PROCESS_CPUTIME_ID, user + system) is counted. The peer
// connects only while the listener's accept queue has room (it reads the queue's
// length from the listening socket, which it shares), so it measures the server and
// never a SYN retry. Every byte is checked: each connection's stream is hashed as it
// arrives and compared with what the peer sent.
//
//   epoll    accept4 until EAGAIN on each listener readiness, each connection in
//            the level-triggered epoll set, recv into one shared buffer until a
//            short read, close on end of stream.
//   csocket  one listening CSocket; OnConnectionRequest -> Create() -> Accept(id);
//            GetData(v, 8) in OnDataArrival; CloseSocket() and release in OnClose.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <signal.h>
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
#include <deque>
#include <fstream>
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

constexpr size_t kLineBytes = 40;
constexpr int kBacklog = 5;  // what CSocket::Listen asks for; the epoll server asks the same
constexpr auto kRunLimit = 180s;  // one run that takes longer has hung

struct Options {
    int rounds = 5;
    std::vector<int> fanIn = {1000, 10000};
    int64_t lines = 100'000;
    int64_t burst = 10;           // lines sent back to back, each to the next connection
    int64_t burstIntervalUs = 200;
    int accepts = 20'000;
    int window = 100;  // connections the accept peer keeps open at once
    bool doFanIn = true;
    bool doAccept = true;
    bool epoll = true;
    bool csocket = true;
};

enum class Side { Epoll, CSocket };
enum class Workload { FanIn, Accept };

// What a server process reports to the orchestrator, through a pipe.
struct Result {
    double cpu = 0, user = 0, sys = 0, wall = 0;
    long rssBase = 0, rssIdle = 0, rssAfter = 0;  // KiB: listening; N accepted; after the lines
    long overflows = 0;                           // ListenOverflows seen while the run went on
    char failure[160] = {};
};

// ---- Measuring ----

void Between(const CpuMark& a, const CpuMark& b, Result& r) {
    const CpuTime t = bench::Between(a, b);
    r.cpu = t.cpu;
    r.user = t.user;
    r.sys = t.sys;
    r.wall = t.wall;
}

long ResidentKiB() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

// The kernel's count of connections dropped because an accept queue was full
// (machine-wide: another program's overflows show here too).
long ListenOverflows() {
    std::ifstream in("/proc/net/netstat");
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (names.rfind("TcpExt:", 0) != 0) continue;
        size_t n = 0, v = 0;
        while (n != std::string::npos && v != std::string::npos) {
            const size_t ne = names.find(' ', n + 1), ve = values.find(' ', v + 1);
            if (names.compare(n + 1, ne == std::string::npos ? std::string::npos : ne - n - 1, "ListenOverflows") == 0) {
                return std::strtol(values.c_str() + v + 1, nullptr, 10);
            }
            n = ne;
            v = ve;
        }
    }
    return 0;
}

// ---- The stream each connection carries ----

// Line `seq` of connection `conn`: its numbers in decimal, then a pattern of both.
void MakeLine(int64_t conn, int64_t seq, char* line) {
    int64_t v = conn;
    for (int d = 6; d >= 0; --d, v /= 10) line[d] = static_cast<char>('0' + v % 10);
    line[7] = ' ';
    v = seq;
    for (int d = 16; d >= 8; --d, v /= 10) line[d] = static_cast<char>('0' + v % 10);
    line[17] = ' ';
    for (size_t i = 18; i < kLineBytes - 1; ++i) line[i] = static_cast<char>('a' + (conn * 7 + seq * 3 + i) % 26);
    line[kLineBytes - 1] = '\n';
}

int64_t LinesOf(int64_t conn, int64_t conns, int64_t lines) { return lines / conns + (conn < lines % conns ? 1 : 0); }

// Each connection's stream as it arrives: its length, its hash, its first bytes.
struct StreamCheck {
    uint64_t bytes = 0;
    uint64_t hash = 1469598103934665603ull;  // FNV-1a
    char head[8] = {};

    void Add(const char* data, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (bytes + i < sizeof head) head[bytes + i] = data[i];
            hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ull;
        }
        bytes += n;
    }
};

// Empty when the stream is what the peer sent on its connection.
std::string Verify(const StreamCheck& got, int64_t conns, int64_t lines) {
    if (got.bytes < sizeof got.head) return "a connection carried only " + std::to_string(got.bytes) + " bytes";
    int64_t conn = 0;
    std::from_chars(got.head, got.head + 7, conn);
    if (conn < 0 || conn >= conns) return "a stream does not start with a connection number";
    StreamCheck want;
    char line[kLineBytes];
    for (int64_t seq = 0, n = LinesOf(conn, conns, lines); seq < n; ++seq) {
        MakeLine(conn, seq, line);
        want.Add(line, sizeof line);
    }
    if (want.bytes != got.bytes || want.hash != got.hash) {
        return "connection " + std::to_string(conn) + " carried " + std::to_string(got.bytes) + " bytes that differ from the " +
               std::to_string(want.bytes) + " sent";
    }
    return {};
}

// ---- The peer, a forked child of the server ----

// Set up by the server before it forks the peer: the peer shares the listening
// socket, to read the length of its accept queue.
struct Link {
    int listenFd = -1;
    int port = 0;
    int toPeer[2] = {-1, -1};  // the server writes one byte per step the peer may take
};

// How many connections wait in the listener's accept queue, and how many it holds.
void QueueLength(int listenFd, int& waiting, int& room) {
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(listenFd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) ::_exit(20);
    waiting = static_cast<int>(info.tcpi_unacked);
    room = static_cast<int>(info.tcpi_sacked);
}

void WaitForStep(const Link& link) {
    char step;
    if (::read(link.toPeer[0], &step, 1) != 1) ::_exit(21);
}

int ConnectWhenRoom(const Link& link) {
    // A full queue drops the SYN and the peer would retry a second later: wait for room.
    for (int waiting, room;;) {
        QueueLength(link.listenFd, waiting, room);
        if (waiting < room) break;
        const timespec pause{0, 20'000};
        ::nanosleep(&pause, nullptr);
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = LoopbackAddress(link.port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) ::_exit(22);
    return fd;
}

// Plain system calls only: the peer never returns into the server's code.
[[noreturn]] void PeerMain(const Link& link, Workload workload, int conns, const Options& o) {
    ::close(link.toPeer[1]);
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    WaitForStep(link);
    if (workload == Workload::Accept) {
        std::deque<int> open;
        for (int i = 0; i < o.accepts; ++i) {
            open.push_back(ConnectWhenRoom(link));
            if (static_cast<int>(open.size()) > o.window) {
                ::close(open.front());
                open.pop_front();
            }
        }
        for (const int fd : open) ::close(fd);
        ::_exit(0);
    }
    std::vector<int> fds;
    for (int i = 0; i < conns; ++i) {
        const int fd = ConnectWhenRoom(link);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // one segment per line
        fds.push_back(fd);
    }
    WaitForStep(link);  // every connection is accepted; the lines may start
    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    char line[kLineBytes];
    for (int64_t k = 0; k < o.lines; ++k) {
        if (k % o.burst == 0) SleepUntilNextBeat(next, o.burstIntervalUs);
        MakeLine(k % conns, k / conns, line);
        if (::send(fds[static_cast<size_t>(k % conns)], line, sizeof line, MSG_NOSIGNAL) != sizeof line) ::_exit(23);
    }
    WaitForStep(link);  // every byte arrived; close
    for (const int fd : fds) ::close(fd);
    ::_exit(0);
}

// ---- The server side of one run, in its own process ----

class Server {
public:
    Server(Workload workload, int conns, const Options& o) : workload_(workload), conns_(conns), o_(o) {}
    virtual ~Server() = default;

    // The listening socket is made; starts the peer beside it.
    void StartPeer(int listenFd) {
        link_.listenFd = listenFd;
        sockaddr_in a{};
        socklen_t len = sizeof a;
        if (::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0) FailErrno("getsockname");
        link_.port = ntohs(a.sin_port);
        if (::pipe2(link_.toPeer, O_CLOEXEC) != 0) FailErrno("pipe");
        std::fflush(nullptr);
        peer_ = ::fork();
        if (peer_ < 0) FailErrno("fork");
        if (peer_ == 0) PeerMain(link_, workload_, conns_, o_);
        ::close(link_.toPeer[0]);
    }

    void Step() {
        if (::write(link_.toPeer[1], "s", 1) != 1) FailErrno("cannot signal the peer");
    }

    Result Run() {
        Result r;
        Listen();
        r.rssBase = ResidentKiB();
        const long overflows = ListenOverflows();
        deadline_ = Clock::now() + kRunLimit;
        if (workload_ == Workload::Accept) {
            const CpuMark start = CpuMark::Now();
            Step();
            ServeUntil([&] { return closed_ >= o_.accepts; }, "the connections");
            Between(start, CpuMark::Now(), r);
        } else {
            Step();
            ServeUntil([&] { return accepted_ >= conns_; }, "the connections");
            r.rssIdle = ResidentKiB();
            const CpuMark start = CpuMark::Now();
            Step();
            const uint64_t total = static_cast<uint64_t>(o_.lines) * kLineBytes;
            ServeUntil([&] { return bytes_ >= total; }, "the lines");
            Between(start, CpuMark::Now(), r);
            r.rssAfter = ResidentKiB();
            Step();
            ServeUntil([&] { return closed_ >= conns_; }, "the closes");
            if (bytes_ != total) Report(r, "received " + std::to_string(bytes_) + " bytes instead of " + std::to_string(total));
            for (const StreamCheck& s : streams_) {
                if (const std::string error = Verify(s, conns_, o_.lines); !error.empty()) Report(r, error);
            }
            if (static_cast<int>(streams_.size()) != conns_) Report(r, "not every connection was served");
        }
        r.overflows = ListenOverflows() - overflows;
        int status = 0;
        if (::waitpid(peer_, &status, 0) != peer_ || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            Report(r, "the peer failed (status " + std::to_string(status) + ")");
        }
        return r;
    }

protected:
    virtual void Listen() = 0;
    virtual void ServeOnce() = 0;  // waits for and handles what is ready

    template <typename Done>
    void ServeUntil(Done done, const char* what) {
        while (!done()) {
            if (Clock::now() > deadline_) {
                ::kill(peer_, SIGKILL);
                Fail(std::string(what) + " did not all come in time");
            }
            ServeOnce();
        }
    }

    static void Report(Result& r, const std::string& failure) {
        if (r.failure[0] == '\0') std::snprintf(r.failure, sizeof r.failure, "%s", failure.c_str());
    }

    // The connection's stream, kept until the run's end to be checked.
    StreamCheck& Stream(size_t& slot) {
        if (slot == 0) {
            streams_.emplace_back();
            slot = streams_.size();
        }
        return streams_[slot - 1];
    }

    const Workload workload_;
    const int conns_;
    const Options& o_;
    int accepted_ = 0;
    int closed_ = 0;
    uint64_t bytes_ = 0;
    std::deque<StreamCheck> streams_;

private:
    Link link_;
    pid_t peer_ = -1;
    Clock::time_point deadline_;
};

// A plain level-triggered epoll server.
class EpollServer final : public Server {
public:
    using Server::Server;
    ~EpollServer() override {
        for (const Conn& c : open_) {
            if (c.fd >= 0) ::close(c.fd);
        }
        ::close(ep_);
        ::close(listenFd_);
    }

private:
    struct Conn {
        int fd = -1;
        size_t stream = 0;
    };

    void Listen() override {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const sockaddr_in a = LoopbackAddress(0);
        if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listenFd_, kBacklog) != 0) {
            FailErrno("epoll: cannot listen");
        }
        ep_ = ::epoll_create1(EPOLL_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = listenFd_;
        if (ep_ < 0 || ::epoll_ctl(ep_, EPOLL_CTL_ADD, listenFd_, &ev) != 0) FailErrno("epoll");
        buffer_.resize(64 * 1024);
        StartPeer(listenFd_);
    }

    void ServeOnce() override {
        epoll_event got[64];
        const int n = ::epoll_wait(ep_, got, 64, 100);
        if (n < 0 && errno != EINTR) FailErrno("epoll_wait");
        for (int i = 0; i < n; ++i) {
            const int fd = got[i].data.fd;
            if (fd == listenFd_) {
                Accept();
            } else {
                Read(fd);
            }
        }
    }

    void Accept() {
        while (true) {
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) return;
                FailErrno("accept4");
            }
            if (static_cast<size_t>(fd) >= open_.size()) open_.resize(static_cast<size_t>(fd) + 1024);
            open_[static_cast<size_t>(fd)] = Conn{fd, 0};
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLRDHUP;
            ev.data.fd = fd;
            if (::epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev) != 0) FailErrno("epoll_ctl");
            ++accepted_;
        }
    }

    void Read(int fd) {
        Conn& c = open_[static_cast<size_t>(fd)];
        while (true) {
            const ssize_t k = ::recv(fd, buffer_.data(), buffer_.size(), 0);
            if (k > 0) {
                if (workload_ == Workload::FanIn) Stream(c.stream).Add(buffer_.data(), static_cast<size_t>(k));
                bytes_ += static_cast<uint64_t>(k);
                if (static_cast<size_t>(k) < buffer_.size()) return;  // drained for now
                continue;
            }
            if (k < 0 && (errno == EAGAIN || errno == EINTR)) return;
            ::close(fd);  // the end of the stream, or a failure
            c.fd = -1;
            ++closed_;
            return;
        }
    }

    int listenFd_ = -1;
    int ep_ = -1;
    std::vector<char> buffer_;
    std::vector<Conn> open_;
};

// The same server as a host of CSocket writes it.
class CSocketServer final : public Server {
public:
    using Server::Server;
    ~CSocketServer() override {
        open_.clear();
        listener_.reset();
    }

private:
    struct Conn {
        std::shared_ptr<inet::CSocket> socket;
        size_t stream = 0;
        int32_t handle = -1;
    };

    void Listen() override {
        listener_ = inet::CSocket::Create();
        listener_->SetLocalPort(0);
        listener_->OnConnectionRequest = [this](int32_t requestID) { Adopt(requestID); };
        listener_->Bind(0, "127.0.0.1");
        listener_->Listen();
        StartPeer(listener_->SocketHandle());
    }

    void Adopt(int32_t requestID) {
        if (requestID < 0) Fail("csocket: an accept failed");
        std::shared_ptr<inet::CSocket> socket = inet::CSocket::Create();
        inet::CSocket* s = socket.get();  // handlers must not own their own object
        auto conn = std::make_unique<Conn>();
        Conn* c = conn.get();
        c->socket = std::move(socket);
        s->OnDataArrival = [this, c](int32_t) {
            c->socket->GetData(data_, static_cast<int32_t>(inet::VarType::String));
            const std::string& text = std::get<std::string>(data_);
            if (workload_ == Workload::FanIn) Stream(c->stream).Add(text.data(), text.size());
            bytes_ += text.size();
        };
        s->OnClose = [this, c] {
            c->socket->CloseSocket();
            ++closed_;
            open_[static_cast<size_t>(c->handle)].reset();  // the dispatch holds the object until it returns
        };
        c->handle = requestID;
        s->Accept(requestID);
        if (static_cast<size_t>(requestID) >= open_.size()) open_.resize(static_cast<size_t>(requestID) + 1024);
        open_[static_cast<size_t>(requestID)] = std::move(conn);
        ++accepted_;
    }

    void ServeOnce() override { platform::PumpMessages(100ms); }

    std::shared_ptr<inet::CSocket> listener_;
    std::vector<std::unique_ptr<Conn>> open_;
    inet::Variant data_;
};

// ---- Runs and the report ----

// One run in a fresh server process, so that no run inherits another's heap or tables.
Result RunOnce(Side side, Workload workload, int conns, const Options& o) {
    int pipeFd[2];
    if (::pipe2(pipeFd, O_CLOEXEC) != 0) FailErrno("pipe");
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) FailErrno("fork");
    if (child == 0) {
        ::close(pipeFd[0]);
        Result r;
        try {
            std::unique_ptr<Server> server;
            if (side == Side::Epoll) {
                server = std::make_unique<EpollServer>(workload, conns, o);
            } else {
                server = std::make_unique<CSocketServer>(workload, conns, o);
            }
            r = server->Run();
        } catch (const inet::SocketError& e) {
            std::snprintf(r.failure, sizeof r.failure, "%s: %s", e.Source().c_str(), e.Description().c_str());
        }
        const bool sent = ::write(pipeFd[1], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
        std::fflush(nullptr);
        ::_exit(sent ? 0 : 1);
    }
    ::close(pipeFd[1]);
    Result r;
    const ssize_t n = ::read(pipeFd[0], &r, sizeof r);
    ::close(pipeFd[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    const char* name = side == Side::Epoll ? "epoll" : "csocket";
    if (n != static_cast<ssize_t>(sizeof r)) Fail(std::string(name) + ": the server process failed");
    if (r.failure[0] != '\0') Fail(std::string(name) + ": " + r.failure);
    return r;
}

constexpr double kTarget = 1.10;

void RunWorkload(Workload workload, int conns, const Options& o) {
    const bool fanIn = workload == Workload::FanIn;
    // Per line for fan-in, per connection for accept.
    const double units = fanIn ? static_cast<double>(o.lines) : static_cast<double>(o.accepts);
    const char* unit = fanIn ? "us/line" : "us/conn";
    if (fanIn) {
        std::printf("\nfan-in: %d connections, %lld lines of %zu bytes round-robin, %lld every %lld us, %d round(s)\n",
                    conns, static_cast<long long>(o.lines), kLineBytes, static_cast<long long>(o.burst),
                    static_cast<long long>(o.burstIntervalUs), o.rounds);
    } else {
        std::printf("\naccept: %d connections opened and closed, at most %d open, %d round(s)\n", o.accepts, o.window,
                    o.rounds);
    }
    std::printf("  %-6s %12s %12s %8s   %-22s %-22s\n", "round", (std::string("epoll ") + unit).c_str(),
                (std::string("cs ") + unit).c_str(), "cs/epoll", "epoll user+sys, wall s", "cs user+sys, wall s");

    std::vector<double> eps, css, ratios, idleE, idleC, afterE, afterC;
    long overflows = 0;
    for (int round = 1; round <= o.rounds; ++round) {
        std::optional<Result> a, b;
        if (o.epoll) a = RunOnce(Side::Epoll, workload, conns, o);
        if (o.csocket) b = RunOnce(Side::CSocket, workload, conns, o);
        auto per = [&](const std::optional<Result>& r) { return r ? r->cpu / units * 1e6 : 0.0; };
        auto detail = [](const std::optional<Result>& r) {
            char buf[64];
            if (!r) return std::string("-");
            std::snprintf(buf, sizeof buf, "%.3f+%.3f, %.3f", r->user, r->sys, r->wall);
            return std::string(buf);
        };
        // Resident memory per connection in bytes, over what the process held while listening.
        auto mem = [conns](const Result& r, long kib) { return static_cast<double>(kib - r.rssBase) * 1024.0 / conns; };
        if (a) {
            eps.push_back(per(a));
            overflows += a->overflows;
            if (fanIn) {
                idleE.push_back(mem(*a, a->rssIdle));
                afterE.push_back(mem(*a, a->rssAfter));
            }
        }
        if (b) {
            css.push_back(per(b));
            overflows += b->overflows;
            if (fanIn) {
                idleC.push_back(mem(*b, b->rssIdle));
                afterC.push_back(mem(*b, b->rssAfter));
            }
        }
        char ratio[16] = "-";
        if (a && b) {
            ratios.push_back(b->cpu / a->cpu);
            std::snprintf(ratio, sizeof ratio, "%.3f", b->cpu / a->cpu);
        }
        std::printf("  %-6d %12.3f %12.3f %8s   %-22s %-22s\n", round, per(a), per(b), ratio, detail(a).c_str(),
                    detail(b).c_str());
        std::fflush(stdout);
    }
    std::printf("  median %12.3f %12.3f %8.3f   (CPU %s)\n", Median(eps), Median(css), Median(ratios), unit);
    if (fanIn) {
        std::printf("  resident memory per connection, median bytes: idle after accept: epoll %.0f, csocket %.0f;"
                    " idle after the lines: epoll %.0f, csocket %.0f\n",
                    Median(idleE), Median(idleC), Median(afterE), Median(afterC));
    }
    if (overflows != 0) {
        std::printf("  WARNING: %ld connection(s) overflowed an accept queue during these runs (machine-wide count)\n",
                    overflows);
    }
    if (!ratios.empty()) {
        const double m = Median(ratios);
        std::printf("  target: csocket <= %.2f x epoll: %s (median paired ratio %.3f)\n", kTarget,
                    m <= kTarget ? "met" : "MISSED", m);
    }
}

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
        "usage: server_bench [--rounds N] [--conns N[,N...]] [--lines N] [--burst N]\n"
        "                    [--burst-interval-us N] [--accepts N] [--window N]\n"
        "                    [--workload fanin|accept|both]\n"
        "                    [--side epoll|csocket|both] [--quick]\n"
        "\n"
        "Serving-process CPU time of a CSocket server against a plain epoll server over\n"
        "127.0.0.1; each run is a fresh server process with its own peer process, and runs\n"
        "alternate epoll, csocket, epoll, ... Defaults: 5 rounds; fan-in over 1000 and\n"
        "10000 connections, 100000 lines of 40 bytes, 10 every 200 us; accept: 20000\n"
        "connections, at most 100 open. --quick: 1 round, 200 connections, 2000 lines,\n"
        "2000 accepts. Build it in Release.\n");
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
            o.fanIn = {200};
            o.lines = 2000;
            o.accepts = 2000;
            continue;
        }
        if (i + 1 >= argc) return false;
        const std::string_view value = argv[++i];
        int64_t n = 0;
        if (arg == "--rounds" && ParseCount(value, n) && n <= 1000) {
            o.rounds = static_cast<int>(n);
        } else if (arg == "--conns") {
            o.fanIn.clear();
            for (std::string_view rest = value; !rest.empty();) {
                const size_t comma = rest.find(',');
                if (!ParseCount(rest.substr(0, comma), n) || n > 100'000) return false;
                o.fanIn.push_back(static_cast<int>(n));
                rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            }
        } else if (arg == "--lines" && ParseCount(value, n) && n <= 100'000'000) {
            o.lines = n;
        } else if (arg == "--burst" && ParseCount(value, n) && n <= 100'000) {
            o.burst = n;
        } else if (arg == "--burst-interval-us" && ParseCount(value, n) && n <= 1'000'000) {
            o.burstIntervalUs = n;
        } else if (arg == "--accepts" && ParseCount(value, n) && n <= 10'000'000) {
            o.accepts = static_cast<int>(n);
        } else if (arg == "--window" && ParseCount(value, n) && n <= 10'000) {
            o.window = static_cast<int>(n);
        } else if (arg == "--workload" && (value == "fanin" || value == "accept" || value == "both")) {
            o.doFanIn = value != "accept";
            o.doAccept = value != "fanin";
        } else if (arg == "--side" && (value == "epoll" || value == "csocket" || value == "both")) {
            o.epoll = value != "csocket";
            o.csocket = value != "epoll";
        } else {
            return false;
        }
    }
    for (const int conns : o.fanIn) {
        if (conns > o.lines) return false;  // every connection carries a line at least
    }
    return !o.fanIn.empty();
}

// Each process holds one side of every connection, and a few descriptors more.
void RaiseDescriptorLimit(const Options& o) {
    int most = o.window;
    for (const int conns : o.fanIn) most = std::max(most, conns);
    const rlim_t wanted = static_cast<rlim_t>(most) + 64;
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur >= wanted) return;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) {
        Fail("the descriptor limit (" + std::to_string(limit.rlim_max) + ") is below the " + std::to_string(wanted) +
             " needed; raise it with ulimit -Hn");
    }
    limit.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) FailErrno("setrlimit");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        PrintUsage(stderr);
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit(options);

    PrintMachine();

    if (options.doFanIn) {
        for (const int conns : options.fanIn) RunWorkload(Workload::FanIn, conns, options);
    }
    if (options.doAccept) RunWorkload(Workload::Accept, 0, options);
    return 0;
}
