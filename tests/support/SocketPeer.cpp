#include "SocketPeer.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>

namespace tavrin::test {

namespace {

#if defined(_WIN32)
using Length = int;
using Count = int;
constexpr int kNoSignal = 0;   // Winsock raises no SIGPIPE

// Winsock refuses every call until WSAStartup. The peers start it for
// themselves, once per process, rather than rely on the library having done
// so; never cleaned up, since a peer may outlive the test that made it.
bool g_started = false;

NativeSocket OpenSocket(int type)
{
    static const bool started = [] {
        WSADATA data{};
        return g_started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        return kNoSocket;
    const SOCKET s = ::socket(AF_INET, type, 0);
    if (s == INVALID_SOCKET)
        return kNoSocket;
    // Not inherited by programs the test may start.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return s;
}

bool Interrupted()
{
    return false;   // Winsock calls are not interrupted by signals
}

bool ResetByPeer()
{
    return WSAGetLastError() == WSAECONNRESET;
}
#else
using Length = socklen_t;
using Count = ssize_t;
constexpr int kNoSignal = MSG_NOSIGNAL;

NativeSocket OpenSocket(int type)
{
    return ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
}

bool Interrupted()
{
    return errno == EINTR;
}

bool ResetByPeer()
{
    return errno == ECONNRESET;
}
#endif

sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

std::uint16_t LocalPort(NativeSocket fd)
{
    sockaddr_in address{};
    Length length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

bool WaitReadable(NativeSocket fd, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
#if defined(_WIN32)
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        timeval limit{static_cast<long>(left.count() / 1000), static_cast<long>(left.count() % 1000 * 1000)};
        const int ready = ::select(0, &readable, nullptr, nullptr, &limit);
#else
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left.count()));
#endif
        if (ready > 0)
            return true;
        if (ready < 0 && !Interrupted())
            return false;
    }
}

Count Receive(const Fd& fd, char* buffer, size_t length)
{
#if defined(_WIN32)
    return ::recv(fd.Get(), buffer, static_cast<int>(std::min<size_t>(length, INT_MAX)), 0);
#else
    return ::recv(fd.Get(), buffer, length, 0);
#endif
}

}  // namespace

void Fd::Reset()
{
    if (m_fd != kNoSocket) {
#if defined(_WIN32)
        closesocket(m_fd);
#else
        close(m_fd);
#endif
    }
    m_fd = kNoSocket;
}

Fd ListenLoopback(std::uint16_t& port)
{
    Fd fd(OpenSocket(SOCK_STREAM));
    const sockaddr_in address = Loopback(0);
    if (!fd.Valid() || bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.Get(), 512) != 0)
        return Fd();
    port = LocalPort(fd.Get());
    return fd;
}

Fd ListenLoopbackOn(std::uint16_t port)
{
    Fd fd(OpenSocket(SOCK_STREAM));
    const sockaddr_in address = Loopback(port);
    // The port's last connection may still be in TIME_WAIT here.
    const int one = 1;
    if (!fd.Valid() ||
        setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one) != 0 ||
        bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd.Get(), 512) != 0)
        return Fd();
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
#if defined(_WIN32)
    const SOCKET s = ::accept(listener.Get(), nullptr, nullptr);
    if (s == INVALID_SOCKET)
        return Fd();
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return Fd(s);
#else
    return Fd(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
#endif
}

Fd ConnectLoopbackTcp(std::uint16_t port)
{
    Fd fd(OpenSocket(SOCK_STREAM));
    const sockaddr_in address = Loopback(port);
    if (!fd.Valid() || connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return Fd();
    return fd;
}

Fd BindLoopbackUdp(std::uint16_t& port)
{
    Fd fd(OpenSocket(SOCK_DGRAM));
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
        const size_t chunk = std::min<size_t>(bytes.size() - sent, 1 << 30);
        const Count count = ::send(fd.Get(), bytes.data() + sent, static_cast<int>(chunk), kNoSignal);
        if (count < 0) {
            if (Interrupted())
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
    return ::sendto(fd.Get(), bytes.data(), static_cast<int>(bytes.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to) == static_cast<Count>(bytes.size());
}

std::string ReceiveExactly(const Fd& fd, size_t count, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string bytes;
    char buffer[65536];
    while (bytes.size() < count && WaitReadable(fd.Get(), deadline)) {
        const Count got = Receive(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
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
    Length length = sizeof from;
    const Count got =
        ::recvfrom(fd.Get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
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
        const Count got = Receive(fd, buffer, sizeof buffer);
        if (got == 0)
            return true;
        if (got < 0)
            return ResetByPeer();
    }
    return false;
}

int PendingBytes(const Fd& fd)
{
#if defined(_WIN32)
    u_long count = 0;
    if (ioctlsocket(fd.Get(), FIONREAD, &count) != 0)
        return -1;
    return static_cast<int>(count);
#else
    int count = 0;
    if (ioctl(fd.Get(), FIONREAD, &count) != 0)
        return -1;
    return count;
#endif
}

void ResetConnection(Fd& fd)
{
    linger hard{1, 0};
    setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    fd.Reset();
}

void SetBufferSizes(const Fd& fd, int bytes)
{
    setsockopt(fd.Get(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
    setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

#if !defined(_WIN32)
bool FailSocketReceives(int error)
{
#if defined(__x86_64__)
    constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#else
    constexpr unsigned kArch = 0;
#endif
    if (kArch == 0)
        return false;
    // recv is recvfrom to the kernel on these architectures.
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_recvfrom, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    // Without TSYNC the filter binds this thread and its future children
    // only; no_new_privs lets an unprivileged process install it.
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) == 0;
}
#endif

long long ProcessCpuMs()
{
#if defined(_WIN32)
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user))
        return 0;
    const auto ticks = [](const FILETIME& time) {
        return (static_cast<long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return (ticks(kernel) + ticks(user)) / 10000;   // 100 ns ticks
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000LL +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
#endif
}

#if defined(_WIN32)
int PeerSocketStarts()
{
    return g_started ? 1 : 0;
}

bool RunningUnderWine()
{
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}
#else
int PeerSocketStarts()
{
    return 0;
}

bool RunningUnderWine()
{
    return false;
}
#endif

}  // namespace tavrin::test
