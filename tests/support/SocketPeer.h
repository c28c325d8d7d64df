// The other end of a network device under test: plain system sockets on
// 127.0.0.1, with every wait bounded.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tavrin::test {

inline constexpr std::chrono::milliseconds kPeerWait{5000};

// An owned descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
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
    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset();

private:
    int m_fd = -1;
};

// A TCP listener on 127.0.0.1 with a port of the system's choice.
Fd ListenLoopback(std::uint16_t& port);
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
// Process CPU time used so far, in milliseconds.
long long ProcessCpuMs();

}  // namespace tavrin::test
