#include "IaxModemPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace tavrin::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 5000;
constexpr const char* kName = "ttyIAX0";
// Where iaxmodem looks for its configuration and writes its logs; the
// package makes both.
constexpr const char* kEtc = "/etc/iaxmodem";
constexpr const char* kLog = "/var/log/iaxmodem";

int RemainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool IsDirectory(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A UDP port on 127.0.0.1 that was free a moment ago (0 on failure).
int FreeUdpPort()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
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

// Waits until path exists, on an inotify watch of its folder made before
// the program that creates it started.
bool WaitForLink(int watch, const std::string& path, Clock::time_point deadline)
{
    struct stat st{};
    while (lstat(path.c_str(), &st) != 0) {
        pollfd fd{watch, POLLIN, 0};
        const int ready = poll(&fd, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        alignas(inotify_event) char buffer[4096];
        while (read(watch, buffer, sizeof buffer) > 0) {
        }
    }
    return true;
}

}  // namespace

std::string FindInPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        const size_t end = folders.find(':', start);
        std::string folder = folders.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (folder.empty())
            folder = ".";
        const std::string candidate = folder + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (end == std::string::npos)
            return {};
        start = end + 1;
    }
}

IaxModemPeer::IaxModemPeer() : m_devicePath(m_dir.Path() + "/" + kName)
{
    m_ready = Start();
}

bool IaxModemPeer::NeedsRoot()
{
    return geteuid() != 0;
}

bool IaxModemPeer::Start()
{
    if (NeedsRoot()) {
        m_error = "iaxmodem is confined in a mount namespace of its own (unshare -m), which needs root; "
                  "run this test as root, as CI does";
        return false;
    }
    for (const char* program : {"iaxmodem", "unshare", "mount"}) {
        if (FindInPath(program).empty()) {
            m_error = std::string(program) + " is not installed (.ci/deps installs the Debian package iaxmodem)";
            return false;
        }
    }
    for (const char* folder : {kEtc, kLog}) {
        if (!IsDirectory(folder)) {
            m_error = std::string(folder) + " is missing: the iaxmodem package makes it, and the test mounts "
                      "its own folder over it rather than create it on this system";
            return false;
        }
    }
    const std::string dir = m_dir.Path();
    if (dir.empty() || mkdir((dir + "/etc").c_str(), 0700) != 0 || mkdir((dir + "/log").c_str(), 0700) != 0) {
        m_error = "cannot make the folders for iaxmodem in " + dir + ": " + std::strerror(errno);
        return false;
    }
    const int port = FreeUdpPort();
    if (port == 0) {
        m_error = "no free UDP port";
        return false;
    }
    {
        // iaxmodem's own keys; refresh 0: no registration with the server.
        std::ofstream config(dir + "/etc/" + kName);
        config << "device " << m_devicePath << "\n"
               << "owner root:root\n"
               << "mode 600\n"
               << "port " << port << "\n"
               << "refresh 0\n"
               << "server 127.0.0.1\n"
               << "peername tavrin\n"
               << "secret tavrin\n"
               << "cidname Tavrin\n"
               << "cidnumber 42\n"
               << "codec slinear\n";
        if (!config) {
            m_error = "cannot write the iaxmodem configuration in " + dir;
            return false;
        }
    }
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0 || inotify_add_watch(watch, dir.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
        m_error = std::string("inotify: ") + std::strerror(errno);
        if (watch >= 0)
            close(watch);
        return false;
    }
    ChildOptions options;
    // The folder is $0 of the script, so no quoting of it is needed. unshare
    // makes the new namespace's mounts private already; saying so again
    // keeps the bind mounts from reaching the system's namespace should
    // that default ever change.
    options.argv = {"unshare", "-m", "sh", "-c",
                    std::string("mount --make-rprivate / && mount --bind \"$0/etc\" ") + kEtc +
                        " && mount --bind \"$0/log\" " + kLog + " && exec iaxmodem " + kName,
                    dir};
    m_iaxmodem = std::make_unique<ChildProcess>(options);
    if (!m_iaxmodem->Started()) {
        m_error = "cannot start iaxmodem: " + m_iaxmodem->Error();
        close(watch);
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    if (!m_iaxmodem->WaitForStderr("Modem started", kStartTimeoutMs)) {
        m_error = "iaxmodem did not start: " + Output();
        close(watch);
        return false;
    }
    const bool linked = WaitForLink(watch, m_devicePath, deadline);
    close(watch);
    if (!linked) {
        m_error = "iaxmodem made no " + m_devicePath + ": " + Output();
        return false;
    }
    // Started is not answering yet: the first AT must come back as OK.
    const int fd = open(m_devicePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        m_error = "cannot open " + m_devicePath + ": " + std::strerror(errno);
        return false;
    }
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    std::string answer;
    const bool answered =
        write(fd, "AT\r", 3) == 3 && ReadUntil(fd, answer, "OK\r\n", RemainingMs(deadline) > 0 ? RemainingMs(deadline) : 1);
    close(fd);
    if (!answered) {
        m_error = "iaxmodem does not answer AT on " + m_devicePath + " (got \"" + answer + "\"): " + Output();
        return false;
    }
    return true;
}

IaxModemPeer::~IaxModemPeer()
{
    if (m_iaxmodem && m_iaxmodem->Started())
        m_iaxmodem->Stop(SIGTERM, kStopTimeoutMs);
}

std::string IaxModemPeer::Output() const
{
    return m_iaxmodem ? m_iaxmodem->Stdout() + m_iaxmodem->Stderr() : std::string();
}

}  // namespace tavrin::test
