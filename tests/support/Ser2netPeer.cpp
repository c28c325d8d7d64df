#include "Ser2netPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tavrin::test {

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 5000;

}  // namespace

SocatPtyPair::SocatPtyPair(const std::string& dir, const std::string& name)
    : m_pathA(dir + "/" + name + "a"), m_pathB(dir + "/" + name + "b")
{
    ChildOptions options;
    options.argv = {"socat", "-d", "-d", "pty,raw,echo=0,link=" + m_pathA, "pty,raw,echo=0,link=" + m_pathB};
    m_socat = std::make_unique<ChildProcess>(options);
    if (!m_socat->Started()) {
        m_error = m_socat->Error();
        return;
    }
    // socat makes both links before it starts moving data.
    m_ready = m_socat->WaitForStderr("starting data transfer loop", kStartTimeoutMs);
    if (!m_ready)
        m_error = "socat did not start: " + m_socat->Stderr();
}

SocatPtyPair::~SocatPtyPair()
{
    if (m_socat && m_socat->Started())
        m_socat->Stop(SIGTERM, kStopTimeoutMs);
}

Ser2netServer::Ser2netServer(const std::string& device, const std::string& dir, bool rfc2217,
                             const std::string& lineSettings)
{
    m_ready = Start(device, dir, rfc2217, lineSettings);
}

bool Ser2netServer::Start(const std::string& device, const std::string& dir, bool rfc2217,
                          const std::string& lineSettings)
{
    m_port = FreeLoopbackPort();
    if (m_port == 0) {
        m_error = "no free loopback port";
        return false;
    }
    const std::string config = dir + "/ser2net.yaml";
    const std::string pidName = "ser2net.pid";
    {
        std::ofstream out(config);
        out << "connection: &tavrin\n"
            << "  accepter: " << (rfc2217 ? "telnet(rfc2217),tcp,127.0.0.1," : "tcp,127.0.0.1,") << m_port << "\n"
            << "  connector: serialdev," << device << "," << lineSettings << ",local\n";
        if (!out) {
            m_error = "cannot write " + config;
            return false;
        }
    }
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0 || inotify_add_watch(watch, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
        m_error = std::string("inotify: ") + std::strerror(errno);
        if (watch >= 0)
            close(watch);
        return false;
    }
    ChildOptions options;
    // -n foreground, -d messages to stderr, -u no UUCP locks (a pty has none).
    options.argv = {"ser2net", "-n", "-d", "-u", "-P", dir + "/" + pidName, "-c", config};
    m_ser2net = std::make_unique<ChildProcess>(options);
    if (!m_ser2net->Started()) {
        m_error = m_ser2net->Error();
        close(watch);
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    bool pidWritten = false;
    while (!pidWritten) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            break;
        pollfd fds[2] = {{watch, POLLIN, 0}, {m_ser2net->ExitFd(), POLLIN, 0}};
        const int ready = poll(fds, 2, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        if (fds[1].revents != 0) {
            m_ser2net->WaitForExit(kStopTimeoutMs);
            m_error = "ser2net ended at start: " + Output();
            close(watch);
            return false;
        }
        alignas(inotify_event) char buffer[4096];
        const ssize_t n = read(watch, buffer, sizeof buffer);
        for (ssize_t at = 0; n > 0 && at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->len > 0 && pidName == event->name)
                pidWritten = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    close(watch);
    if (!pidWritten) {
        m_error = "ser2net wrote no pid file within the time-out: " + Output();
        return false;
    }
    if (!IsListeningOnLoopback(m_port)) {
        m_error = "ser2net does not listen on 127.0.0.1:" + std::to_string(m_port) + ": " + Output();
        return false;
    }
    return true;
}

Ser2netServer::~Ser2netServer()
{
    if (m_ser2net && m_ser2net->Started())
        m_ser2net->Stop(SIGTERM, kStopTimeoutMs);
}

std::string Ser2netServer::Output() const
{
    return m_ser2net ? m_ser2net->Stdout() + m_ser2net->Stderr() : std::string();
}

int FreeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool IsListeningOnLoopback(int port)
{
    std::ifstream tcp("/proc/net/tcp");
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    std::string line;
    std::getline(tcp, line);   // the heading
    while (std::getline(tcp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A")   // TCP_LISTEN
            return true;
    }
    return false;
}

int ConnectLoopback(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace tavrin::test
