#include "VmPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>

namespace tavrin::vm {
namespace {

using Clock = std::chrono::steady_clock;

int Remaining(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::string Hex(const std::string& bytes)
{
    std::string out;
    char pair[3];
    for (unsigned char c : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", c);
        out += pair;
    }
    return out;
}

// Waits on /dev's changes (a node made, removed, or its owner and mode set
// by the hot-plug daemon) until done() holds.
bool WaitForDev(const std::function<bool()>& done, int ms)
{
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0)
        return done();
    inotify_add_watch(fd, "/dev", IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_TO);
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    bool result;
    for (;;) {
        if ((result = done()) || Remaining(deadline) == 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, Remaining(deadline)) > 0) {
            char events[4096];
            while (::read(fd, events, sizeof events) > 0) {
            }
        }
    }
    ::close(fd);
    return result;
}

}  // namespace

VmPeer::VmPeer()
{
    m_fd = ::open("/dev/ttyS2", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_fd < 0) {
        std::perror("control line /dev/ttyS2");
        return;
    }
    termios tio{};
    tcgetattr(m_fd, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tcsetattr(m_fd, TCSANOW, &tio);
}

VmPeer::~VmPeer()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool VmPeer::Ask(const std::string& command, int ms)
{
    m_answer.clear();
    if (m_fd < 0)
        return false;
    const std::string line = command + "\n";
    if (::write(m_fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    std::string got;
    for (;;) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, Remaining(deadline)) <= 0) {
            m_answer = "(no answer to '" + command + "')";
            return false;
        }
        char c;
        if (::read(m_fd, &c, 1) != 1)
            return false;
        if (c == '\n')
            break;
        got += c;
    }
    m_answer = got;
    return got == "ok" || got.rfind("data ", 0) == 0;
}

bool VmPeer::Send(const std::string& line, const std::string& bytes)
{
    return Ask("send " + line + " " + Hex(bytes));
}

std::optional<std::string> VmPeer::Receive(const std::string& line, std::size_t count, int ms)
{
    if (!Ask("recv " + line + " " + std::to_string(count) + " " + std::to_string(ms), ms + 10000))
        return std::nullopt;
    std::string out;
    const std::string hex = m_answer.substr(5);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

DCB LineDcb(DWORD rate, BYTE bits, BYTE parity, BYTE stop)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = rate;
    dcb.ByteSize = bits;
    dcb.Parity = parity;
    dcb.StopBits = stop;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    return dcb;
}

std::string EveryByte()
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    return bytes;
}

::testing::AssertionResult Open(CCom& com, const test::WindowThread& window, const char* path, DCB dcb)
{
    window.Attach(com);
    const auto connects = window.NoticesOf(DEVMSG_CONNECTED).size();
    if (!com.Connect(path, &dcb))
        return ::testing::AssertionFailure() << "Connect " << path << ": error " << GetLastError();
    if (!window.WaitForIndex(DEVMSG_CONNECTED, connects + 1))
        return ::testing::AssertionFailure() << "no connection notice from " << path;
    return ::testing::AssertionSuccess();
}

bool WaitUsable(const std::string& path, int ms)
{
    return WaitForDev([&] { return ::access(path.c_str(), R_OK | W_OK) == 0; }, ms);
}

bool WaitGone(const std::string& path, int ms)
{
    return WaitForDev([&] { return ::access(path.c_str(), F_OK) != 0; }, ms);
}

}  // namespace tavrin::vm
