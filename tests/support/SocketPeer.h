// The other end of a network device under test: plain system sockets on
// 127.0.0.1, with every wait bounded. The same calls on Windows (Winsock,
// started by the first socket made here) and on POSIX systems.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tavrin::test {

inline constexpr std::chrono::milliseconds kPeerWait{5000};

// A Winsock SOCKET is a pointer-sized handle, not a small int: keeping it in
// an int would cut it on Win64.
#if defined(_WIN32)
using NativeSocket = std::uintptr_t;
inline constexpr NativeSocket kNoSocket = ~static_cast<NativeSocket>(0);
#else
using NativeSocket = int;
inline constexpr NativeSocket kNoSocket = -1;
#endif

// An owned socket.
class Fd {
public:
    Fd() = default;
    explicit Fd(NativeSocket fd) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : m_fd(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_fd = other.Release();
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    NativeSocket Get() const { return m_fd; }
    bool Valid() const { return m_fd != kNoSocket; }
    NativeSocket Release()
    {
        const NativeSocket fd = m_fd;
        m_fd = kNoSocket;
        return fd;
    }
    void Reset();

private:
    NativeSocket m_fd = kNoSocket;
};

// A TCP listener on 127.0.0.1 with a port of the system's choice.
Fd ListenLoopback(std::uint16_t& port);
// A TCP listener on 127.0.0.1:port, as a server that comes back on its port.
Fd ListenLoopbackOn(std::uint16_t port);
// A port on 127.0.0.1 that nothing listens on right now.
std::uint16_t UnusedTcpPort();
std::uint16_t UnusedUdpPort();
// Accepts one caller; an invalid Fd after the time-out.
Fd AcceptWithin(const Fd& listener, std::chrono::milliseconds timeout = kPeerWait);
Fd ConnectLoopbackTcp(std::uint16_t port);
// A UDP socket bound to 127.0.0.1 with a port of the system's choice.
Fd BindLoopbackUdp(std::uint16_t& port);

bool SendAll(const Fd& fd, const std::string& bytes);
bool SendDatagram(const Fd& fd, std::uint16_t port, const std::string& bytes);
// Reads until `count` bytes have arrived or the time-out passed; what came.
std::string ReceiveExactly(const Fd& fd, size_t count, std::chrono::milliseconds timeout = kPeerWait);
// One datagram, or nullopt-like: ok=false after the time-out.
bool ReceiveDatagram(const Fd& fd, std::string& bytes, std::uint16_t* fromPort = nullptr,
                     std::chrono::milliseconds timeout = kPeerWait);
// True when the peer closed (a read gives 0) within the time-out.
bool WaitForEndOfStream(const Fd& fd, std::chrono::milliseconds timeout = kPeerWait);
// Bytes readable now without waiting.
int PendingBytes(const Fd& fd);
// Closes with SO_LINGER {1, 0}: the peer gets a reset, not an orderly end.
void ResetConnection(Fd& fd);
// Small send and receive buffers: a side that stops reading holds the
// other's sends back after little data.
void SetBufferSizes(const Fd& fd, int bytes);
#if !defined(_WIN32)
// Makes every recv and recvfrom of the calling thread, and of the threads
// it starts from now on, fail with the system error `error`: a seccomp
// filter, for failures loopback cannot be made to produce (a connection
// the system aborted). Other threads are untouched. False where no filter
// can be installed.
bool FailSocketReceives(int error);
#endif
// Process CPU time used so far, in milliseconds.
long long ProcessCpuMs();
// How many Winsock start-ups these helpers hold (WSAStartup is counted):
// 1 on Windows once a helper socket has been made, else 0.
int PeerSocketStarts();
// True when the test runs under Wine rather than on Windows itself.
bool RunningUnderWine();

}  // namespace tavrin::test
