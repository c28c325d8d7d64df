// Bytes per second from a TCP client through a serial-to-network bridge to
// the far end of a pseudo-terminal: `tavrin bridge serial:PTY listen:PORT`
// beside `socat TCP-LISTEN:PORT FILE:PTY,raw` on the same path, alternately
// in one run, each on a new pty pair and a free loopback port. The client
// sends the bytes 1..255 over and over (a zero byte would become a break on
// the tavrin bridge); the reader on the pty's master checks every byte, so a
// bridge that drops, repeats or reorders data fails instead of being fast.
// Prints the rate of each round, the medians, their ratio and the bridge
// process's CPU time per MB.
//
// Options: --mib=N (64 by default), --rounds=N (3), --only=tavrin|socat,
// --tavrin=PATH (another build of the host, such as one of an earlier
// revision, for a before-and-after in one run). socat is skipped with a
// notice when it is not installed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#define TAVRIN_BENCH_PROGRAM "bridge_bench"
#include "Watchdog.h"

#include "support/ChildProcess.h"
#include "support/PtyPair.h"

namespace {

using Clock = std::chrono::steady_clock;
using tavrin::test::ChildOptions;
using tavrin::test::ChildProcess;
using tavrin::test::PtyPair;

constexpr size_t kPeriod = 255;                 // the pattern: 1, 2, ..., 255, 1, ...
constexpr size_t kChunk = 64 * 1024;            // the client's sends and the reader's reads
constexpr int kStartMs = 10000;                 // a bridge's start, its link
constexpr int kStallMs = 10000;                 // no byte for this long: the bridge has stopped
constexpr std::chrono::seconds kRoundBound{300};

using tavrin::bench::Watchdog;

// The pattern, long enough that any chunk starts at any phase of it.
const std::vector<char>& Pattern()
{
    static const std::vector<char> pattern = [] {
        std::vector<char> bytes(kPeriod * (kChunk / kPeriod + 2));
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(1 + i % kPeriod);
        return bytes;
    }();
    return pattern;
}

const char* PatternAt(size_t offset) { return Pattern().data() + offset % kPeriod; }

sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port free a moment ago; the bridge is retried on another when it was
// taken meanwhile.
std::uint16_t UnusedPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

int ConnectTo(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // A bridge that stops reading fails the round instead of holding the
    // client's send for ever.
    const timeval bound{kStallMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    const sockaddr_in address = Loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// User plus system time of a process, in seconds; -1 when it cannot be read.
double CpuSeconds(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // After the name: state is field 3; utime and stime are fields 14, 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14)
            utime = std::strtoull(field.c_str(), nullptr, 10);
        if (index == 15)
            stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Bridge {
    const char* name;
    // The bridge's command line for a pty slave and a port.
    std::vector<std::string> (*command)(const std::string& pty, std::uint16_t port);
    const char* listening;    // on its stderr once it takes callers
    const char* linked;       // on its stderr once a caller's bytes go to the pty; nullptr: at once
};

std::string g_tavrin = TAVRIN_CLI_PATH;

std::vector<std::string> TavrinCommand(const std::string& pty, std::uint16_t port)
{
    return {g_tavrin, "bridge", "serial:" + pty, "listen:" + std::to_string(port)};
}

std::vector<std::string> SocatCommand(const std::string& pty, std::uint16_t port)
{
    return {"socat", "-d", "-d", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr",
            "FILE:" + pty + ",raw,echo=0"};
}

const Bridge kBridges[] = {
    // The tavrin bridge drops what a caller sends before it is linked.
    {"tavrin", TavrinCommand, "SIGINT or SIGTERM stops", "linked "},
    {"socat", SocatCommand, "listening on", nullptr},
};

struct Round {
    bool ok = false;
    std::string failure;
    double mbPerSecond = 0;
    double cpuSecondsPerMb = -1;
};

std::unique_ptr<ChildProcess> StartBridge(const Bridge& bridge, const std::string& pty, std::uint16_t& port,
                                          std::string& failure)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = UnusedPort();
        ChildOptions options;
        options.argv = bridge.command(pty, port);
        auto child = std::make_unique<ChildProcess>(options);
        if (!child->Started()) {
            failure = child->Error();
            return nullptr;
        }
        if (child->WaitForStderr(bridge.listening, kStartMs))
            return child;
        failure = "did not come up: " + child->Stderr();
        if (child->Stderr().find("listen") == std::string::npos &&
            child->Stderr().find("in use") == std::string::npos)
            return nullptr;
    }
    return nullptr;
}

// Reads the pty's master until `total` bytes came, checking each against
// the pattern; bytes the bridge sends back to the client are drained.
bool ReadAll(int master, int client, size_t total, std::string& failure)
{
    std::vector<char> buffer(kChunk);
    size_t got = 0;
    size_t returned = 0;
    while (got < total) {
        pollfd fds[2] = {{master, POLLIN, 0}, {client, POLLIN, 0}};
        const int ready = poll(fds, 2, kStallMs);
        if (ready <= 0) {
            failure = "stalled after " + std::to_string(got) + " of " + std::to_string(total) + " bytes";
            return false;
        }
        if (fds[1].revents & POLLIN) {
            const ssize_t n = recv(client, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n > 0)
                returned += static_cast<size_t>(n);
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t n = read(master, buffer.data(), std::min(buffer.size(), total - got));
        if (n <= 0) {
            failure = "the pty closed after " + std::to_string(got) + " bytes";
            return false;
        }
        if (std::memcmp(buffer.data(), PatternAt(got), static_cast<size_t>(n)) != 0) {
            size_t at = 0;
            while (buffer[at] == PatternAt(got)[at])
                ++at;
            failure = "byte " + std::to_string(got + at) + " differs";
            return false;
        }
        got += static_cast<size_t>(n);
    }
    // Anything beyond the total was not sent: a repeat.
    pollfd extra{master, POLLIN, 0};
    if (poll(&extra, 1, 0) == 1 && read(master, buffer.data(), buffer.size()) > 0) {
        failure = "more bytes than were sent";
        return false;
    }
    if (returned > 0)
        std::printf("  (%zu bytes came back to the client)\n", returned);
    return true;
}

Round RunRound(const Bridge& bridge, size_t total)
{
    Round round;
    Watchdog watchdog(std::string(bridge.name) + "'s round", kRoundBound);
    PtyPair pty;
    if (!pty.Ok()) {
        round.failure = "no pty pair";
        return round;
    }
    std::uint16_t port = 0;
    auto child = StartBridge(bridge, pty.SlavePath(), port, round.failure);
    if (!child)
        return round;
    const int client = ConnectTo(port);
    if (client < 0) {
        round.failure = "cannot connect to port " + std::to_string(port);
        return round;
    }
    if (bridge.linked && !child->WaitForStderr(bridge.linked, kStartMs)) {
        round.failure = "the caller was not linked: " + child->Stderr();
        close(client);
        return round;
    }

    const double cpuBefore = CpuSeconds(child->Pid());
    const auto start = Clock::now();
    std::atomic<bool> sent{true};
    std::thread sender([&] {
        for (size_t offset = 0; offset < total;) {
            const size_t size = std::min(kChunk, total - offset);
            const ssize_t n = send(client, PatternAt(offset), size, MSG_NOSIGNAL);
            if (n <= 0) {
                sent = false;
                return;
            }
            offset += static_cast<size_t>(n);
        }
    });
    round.ok = ReadAll(pty.MasterFd(), client, total, round.failure);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpuAfter = CpuSeconds(child->Pid());
    // A failed read leaves the sender blocked on a full socket: shutting it
    // down ends the send at once.
    shutdown(client, SHUT_RDWR);
    sender.join();
    close(client);
    if (round.ok && !sent) {
        round.ok = false;
        round.failure = "the client's send failed";
    }
    child->Stop(SIGTERM, kStartMs);
    if (!round.ok)
        return round;
    const double mb = static_cast<double>(total) / 1e6;
    round.mbPerSecond = mb / seconds;
    if (cpuBefore >= 0 && cpuAfter >= 0)
        round.cpuSecondsPerMb = (cpuAfter - cpuBefore) / mb;
    return round;
}

bool SocatInstalled()
{
    ChildOptions options;
    options.argv = {"socat", "-V"};
    ChildProcess probe(options);
    return probe.Started() && probe.WaitForExit(kStartMs) == 0;
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int main(int argc, char** argv)
{
    size_t mib = 64;
    int rounds = 3;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--mib=", 0) == 0)
            mib = std::strtoul(arg.c_str() + 6, nullptr, 10);
        else if (arg.rfind("--rounds=", 0) == 0)
            rounds = std::atoi(arg.c_str() + 9);
        else if (arg.rfind("--only=", 0) == 0)
            only = arg.substr(7);
        else if (arg.rfind("--tavrin=", 0) == 0)
            g_tavrin = arg.substr(9);
        else {
            std::fprintf(stderr, "usage: bridge_bench [--mib=N] [--rounds=N] [--only=tavrin|socat] [--tavrin=PATH]\n");
            return 2;
        }
    }
    if (mib == 0 || rounds <= 0)
        return 2;
    signal(SIGPIPE, SIG_IGN);
    const size_t total = mib * 1024 * 1024;
    const bool haveSocat = SocatInstalled();
    if (!haveSocat)
        std::printf("socat is not installed: its bridge is skipped\n");

    std::vector<double> rates[2], cpu[2];
    bool failed = false;
    // Alternately, so that a change in the machine's load reaches both.
    for (int r = 0; r < rounds; ++r) {
        for (int b = 0; b < 2; ++b) {
            const Bridge& bridge = kBridges[b];
            if ((b == 1 && !haveSocat) || (!only.empty() && only != bridge.name))
                continue;
            const Round round = RunRound(bridge, total);
            if (!round.ok) {
                std::printf("round %d, %s: FAILED: %s\n", r + 1, bridge.name, round.failure.c_str());
                failed = true;
                continue;
            }
            rates[b].push_back(round.mbPerSecond);
            cpu[b].push_back(round.cpuSecondsPerMb);
            std::printf("round %d, %-6s %zu MiB: %7.1f MB/s, bridge CPU %.2f ms/MB\n", r + 1, bridge.name, mib,
                        round.mbPerSecond, round.cpuSecondsPerMb * 1e3);
            std::fflush(stdout);
        }
    }
    for (int b = 0; b < 2; ++b) {
        if (!rates[b].empty())
            std::printf("%-6s median %7.1f MB/s, CPU %.2f ms/MB over %zu rounds\n", kBridges[b].name,
                        Median(rates[b]), Median(cpu[b]) * 1e3, rates[b].size());
    }
    if (!rates[0].empty() && !rates[1].empty())
        std::printf("tavrin/socat ratio %.2f\n", Median(rates[0]) / Median(rates[1]));
    return failed ? 1 : 0;
}
