#include "SocketPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tavrin::test {

namespace {

sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

std::uint16_t LocalPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

}  // namespace

void Fd::Reset()
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

Fd ListenLoopback(std::uint16_t& port)
{
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = Loopback(0);
    if (!fd.Valid() || bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.Get(), 512) != 0)
        return Fd();
    port = LocalPort(fd.Get());
    return fd;
}

std::uint16_t UnusedTcpPort()
{
    std::uint16_t port = 0;
    Fd fd = ListenLoopback(port);
    return port;   // closed again: nothing listens on it now
}

std::uint16_t UnusedUdpPort()
{
    std::uint16_t port = 0;
    Fd fd = BindLoopbackUdp(port);
    return port;
}

Fd AcceptWithin(const Fd& listener, std::chrono::milliseconds timeout)
{
    if (!WaitReadable(listener.Get(), std::chrono::steady_clock::now() + timeout))
        return Fd();
    return Fd(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
}

Fd ConnectLoopbackTcp(std::uint16_t port)
{
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = Loopback(port);
    if (!fd.Valid() || connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return Fd();
    return fd;
}

Fd BindLoopbackUdp(std::uint16_t& port)
{
    Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = Loopback(0);
    if (!fd.Valid() || bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return Fd();
    port = LocalPort(fd.Get());
    return fd;
}

bool SendAll(const Fd& fd, const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = send(fd.Get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        sent += static_cast<size_t>(count);
    }
    return true;
}

bool SendDatagram(const Fd& fd, std::uint16_t port, const std::string& bytes)
{
    const sockaddr_in to = Loopback(port);
    return sendto(fd.Get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(bytes.size());
}

std::string ReceiveExactly(const Fd& fd, size_t count, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string bytes;
    char buffer[65536];
    while (bytes.size() < count && WaitReadable(fd.Get(), deadline)) {
        const ssize_t got = recv(fd.Get(), buffer, std::min(sizeof buffer, count - bytes.size()), 0);
        if (got <= 0)
            break;
        bytes.append(buffer, static_cast<size_t>(got));
    }
    return bytes;
}

bool ReceiveDatagram(const Fd& fd, std::string& bytes, std::uint16_t* fromPort, std::chrono::milliseconds timeout)
{
    if (!WaitReadable(fd.Get(), std::chrono::steady_clock::now() + timeout))
        return false;
    char buffer[65536];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t got = recvfrom(fd.Get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0)
        return false;
    bytes.assign(buffer, static_cast<size_t>(got));
    if (fromPort)
        *fromPort = ntohs(from.sin_port);
    return true;
}

bool WaitForEndOfStream(const Fd& fd, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    while (WaitReadable(fd.Get(), deadline)) {
        const ssize_t got = recv(fd.Get(), buffer, sizeof buffer, 0);
        if (got == 0)
            return true;
        if (got < 0)
            return errno == ECONNRESET;
    }
    return false;
}

int PendingBytes(const Fd& fd)
{
    int count = 0;
    if (ioctl(fd.Get(), FIONREAD, &count) != 0)
        return -1;
    return count;
}

void ResetConnection(Fd& fd)
{
    linger hard{1, 0};
    setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    fd.Reset();
}

long long ProcessCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000LL +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

}  // namespace tavrin::test
