// Windows Sockets over the system's sockets, on 127.0.0.1 with ephemeral
// ports: the Winsock codes real conditions produce, closesocket waking
// threads blocked on the socket, datagram corners, select beyond 64 sockets
// and beyond descriptor 1024, the name functions, and start-up.
#include <gtest/gtest.h>
#include <tavrin/platform/Kernel.h>
#include <tavrin/platform/Winsock.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/Timing.h"

using tavrin::test::Stopwatch;
using tavrin::test::Within;
using namespace std::chrono_literals;
namespace ws = tavrin::winsock;

namespace {

constexpr int kWaitMs = 2000;  // generous: the machine is shared

// Until the library's start-up object starts the sockets when it is loaded,
// the test program does.
class WinsockEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        WSADATA data{};
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { WSACleanup(); }
};
[[maybe_unused]] ::testing::Environment* const g_winsock =
    ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

class Socket {
public:
    Socket() = default;
    explicit Socket(SOCKET s) : m_s(s) {}
    ~Socket() { Close(); }
    Socket(Socket&& other) noexcept : m_s(other.Release()) {}
    Socket& operator=(Socket&& other) noexcept
    {
        if (this != &other) {
            Close();
            m_s = other.Release();
        }
        return *this;
    }

    SOCKET Get() const { return m_s; }
    operator SOCKET() const { return m_s; }
    SOCKET Release()
    {
        SOCKET s = m_s;
        m_s = INVALID_SOCKET;
        return s;
    }
    void Close()
    {
        if (m_s != INVALID_SOCKET)
            closesocket(m_s);
        m_s = INVALID_SOCKET;
    }

private:
    SOCKET m_s = INVALID_SOCKET;
};

sockaddr_in Loopback(std::uint16_t port = 0)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

const sockaddr* Addr(const sockaddr_in& address)
{
    return reinterpret_cast<const sockaddr*>(&address);
}

sockaddr_in LocalAddress(SOCKET s)
{
    sockaddr_in address{};
    int length = sizeof address;
    EXPECT_EQ(ws::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length), 0) << WSAGetLastError();
    return address;
}

Socket Tcp()
{
    Socket s(ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    EXPECT_NE(s.Get(), INVALID_SOCKET) << WSAGetLastError();
    return s;
}

Socket Udp()
{
    Socket s(ws::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    EXPECT_NE(s.Get(), INVALID_SOCKET) << WSAGetLastError();
    return s;
}

// A UDP socket bound to an ephemeral port of 127.0.0.1.
Socket BoundUdp(sockaddr_in& where)
{
    Socket s = Udp();
    sockaddr_in any = Loopback();
    EXPECT_EQ(ws::bind(s, Addr(any), sizeof any), 0) << WSAGetLastError();
    where = LocalAddress(s);
    return s;
}

Socket Listener(sockaddr_in& where)
{
    Socket s = Tcp();
    sockaddr_in any = Loopback();
    EXPECT_EQ(ws::bind(s, Addr(any), sizeof any), 0) << WSAGetLastError();
    EXPECT_EQ(ws::listen(s, 16), 0) << WSAGetLastError();
    where = LocalAddress(s);
    return s;
}

struct Connection {
    Socket client;
    Socket server;
};

Connection Connected()
{
    sockaddr_in where{};
    Socket listener = Listener(where);
    Connection pair;
    pair.client = Tcp();
    EXPECT_EQ(ws::connect(pair.client, Addr(where), sizeof where), 0) << WSAGetLastError();
    pair.server = Socket(ws::accept(listener, nullptr, nullptr));
    EXPECT_NE(pair.server.Get(), INVALID_SOCKET) << WSAGetLastError();
    return pair;
}

// A port of 127.0.0.1 on which nothing receives datagrams: one that was
// just bound and released.
sockaddr_in ClosedUdpPort()
{
    sockaddr_in where{};
    Socket s = BoundUdp(where);
    s.Close();
    return where;
}

enum Which { kRead, kWrite, kExcept };

// select on one socket in one set; the result, and whether the socket was
// left in the set.
int SelectOne(SOCKET s, Which which, long milliseconds, bool* inSet = nullptr)
{
    ws::fd_set set{};
    set.fd_count = 1;
    set.fd_array[0] = s;
    timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
    ws::fd_set* sets[3] = {nullptr, nullptr, nullptr};
    sets[which] = &set;
    int result = ws::select(0, sets[0], sets[1], sets[2], &timeout);
    if (inSet)
        *inSet = ws::IsSet(s, &set) != 0;
    return result;
}

bool Readable(SOCKET s, long milliseconds = kWaitMs)
{
    return SelectOne(s, kRead, milliseconds) == 1;
}

int Send(SOCKET s, const std::string& bytes)
{
    return ws::send(s, bytes.data(), static_cast<int>(bytes.size()), 0);
}

int SendTo(SOCKET s, const std::string& bytes, const sockaddr_in& to)
{
    return ws::sendto(s, bytes.data(), static_cast<int>(bytes.size()), 0, Addr(to), sizeof to);
}

// The call's result and the thread's last error right after it.
struct Outcome {
    long long result;
    int error;
};

template <class Fn>
Outcome Attempt(Fn&& fn)
{
    WSASetLastError(0);
    long long result = static_cast<long long>(fn());
    return Outcome{result, WSAGetLastError()};
}

// A thread's state letter in /proc ('S': asleep in the kernel).
char ThreadState(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    auto close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() ? '?' : line[close + 2];
}

// Runs a blocking call on another thread and closes the socket once that
// thread sleeps in the kernel; the call's outcome and how long it went on
// after the close.
template <class Fn>
std::pair<Outcome, long long> CloseWhileBlocked(Socket& socket, Fn&& call)
{
    std::atomic<pid_t> tid{0};
    std::promise<std::pair<Outcome, Stopwatch>> done;
    auto finished = done.get_future();
    std::thread blocked([&] {
        tid.store(::gettid());
        Outcome outcome = Attempt(call);
        done.set_value({outcome, Stopwatch()});
    });
    while (tid.load() == 0)
        std::this_thread::yield();
    // Asleep in the kernel means inside the blocking call: nothing else on
    // its way there waits (the socket table's lock is not contended here).
    Stopwatch waiting;
    while (ThreadState(tid.load()) != 'S' && waiting.Ms() < kWaitMs)
        std::this_thread::yield();
    EXPECT_EQ(finished.wait_for(0ms), std::future_status::timeout) << "the call did not block";
    Stopwatch sinceClose;
    EXPECT_EQ(closesocket(socket.Release()), 0);
    auto result = Within(10s, [&] { return finished.get(); }, "the blocked call after closesocket");
    const long long elapsed = sinceClose.Ms();
    blocked.join();
    return {result.first, elapsed};
}

}  // namespace

// --- Errors from real conditions ---------------------------------------

TEST(PlatformSocketErrors, ConnectToAClosedPortIsRefused)
{
    // Bound but not listening: the port is taken, and refuses.
    Socket closed = Tcp();
    sockaddr_in any = Loopback();
    ASSERT_EQ(ws::bind(closed, Addr(any), sizeof any), 0);
    sockaddr_in where = LocalAddress(closed);

    Socket client = Tcp();
    Outcome outcome = Attempt([&] { return ws::connect(client, Addr(where), sizeof where); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAECONNREFUSED);
    // A socket whose connect failed never had a peer.
    outcome = Attempt([&] { return Send(client, "x"); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAENOTCONN);
}

TEST(PlatformSocketErrors, AbortiveCloseResetsThePeerAndSendRaisesNoSigpipe)
{
    Connection pair = Connected();
    linger abortive{1, 0};
    ASSERT_EQ(ws::setsockopt(pair.server, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
                             sizeof abortive),
              0);
    ASSERT_EQ(closesocket(pair.server.Release()), 0);
    ASSERT_TRUE(Readable(pair.client));

    // A reset, not an orderly end: no FIN came first.
    char buffer[16];
    Outcome outcome = Attempt([&] { return ws::recv(pair.client, buffer, sizeof buffer, 0); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAECONNRESET);
    // The system now answers EPIPE, which would raise SIGPIPE and end this
    // test program without MSG_NOSIGNAL.
    for (int i = 0; i < 3; ++i) {
        outcome = Attempt([&] { return Send(pair.client, "after the reset"); });
        EXPECT_EQ(outcome.result, SOCKET_ERROR);
        EXPECT_EQ(outcome.error, WSAECONNRESET);
    }
}

TEST(PlatformSocketErrors, SendOnAResetConnectionFailsWithConnReset)
{
    Connection pair = Connected();
    linger abortive{1, 0};
    ASSERT_EQ(ws::setsockopt(pair.server, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
                             sizeof abortive),
              0);
    ASSERT_EQ(closesocket(pair.server.Release()), 0);
    ASSERT_TRUE(Readable(pair.client));
    // The first send meets the pending reset (ECONNRESET), the later ones
    // the closed connection (EPIPE).
    for (int i = 0; i < 3; ++i) {
        Outcome outcome = Attempt([&] { return Send(pair.client, "data"); });
        EXPECT_EQ(outcome.result, SOCKET_ERROR);
        EXPECT_EQ(outcome.error, WSAECONNRESET) << "send " << i;
    }
}

TEST(PlatformSocketErrors, SendsToAPeerThatClosedEndInConnResetWithoutSigpipe)
{
    Connection pair = Connected();
    pair.server.Close();  // an orderly close: FIN, then RST for what follows
    std::string block(4096, 'x');
    Outcome outcome{0, 0};
    Stopwatch clock;
    while (clock.Ms() < kWaitMs) {
        outcome = Attempt([&] { return Send(pair.client, block); });
        if (outcome.result == SOCKET_ERROR)
            break;
        // The peer's answer to what was sent (its FIN came first, its RST
        // follows the data) makes the socket readable.
        Readable(pair.client);
    }
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAECONNRESET);
}

TEST(PlatformSocketErrors, SendAfterOwnShutdownIsShutdown)
{
    Connection pair = Connected();
    ASSERT_EQ(ws::shutdown(pair.client, SD_SEND), 0);
    Outcome outcome = Attempt([&] { return Send(pair.client, "late"); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAESHUTDOWN);
    // The other direction still works.
    ASSERT_EQ(Send(pair.server, "still"), 5);
    char buffer[8];
    ASSERT_TRUE(Readable(pair.client));
    EXPECT_EQ(ws::recv(pair.client, buffer, sizeof buffer, 0), 5);
}

TEST(PlatformSocketErrors, ReceiveAfterOwnReceiveShutdownIsShutdown)
{
    Connection pair = Connected();
    ASSERT_EQ(ws::shutdown(pair.client, SD_RECEIVE), 0);
    char buffer[8];
    Outcome outcome = Attempt([&] { return ws::recv(pair.client, buffer, sizeof buffer, 0); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAESHUTDOWN);
    outcome = Attempt([&] { return ws::shutdown(pair.client, 3); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEINVAL);
}

TEST(PlatformSocketErrors, TransfersOnAnUnconnectedStreamAreNotConnected)
{
    Socket s = Tcp();
    char buffer[8];
    Outcome outcome = Attempt([&] { return ws::recv(s, buffer, sizeof buffer, 0); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAENOTCONN);
    outcome = Attempt([&] { return Send(s, "x"); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAENOTCONN);
    sockaddr_in peer{};
    int length = sizeof peer;
    outcome = Attempt([&] { return ws::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAENOTCONN);
}

TEST(PlatformSocketErrors, BindToAPortInUseIsAddrInUse)
{
    sockaddr_in where{};
    Socket listener = Listener(where);
    Socket second = Tcp();
    Outcome outcome = Attempt([&] { return ws::bind(second, Addr(where), sizeof where); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEADDRINUSE);
    // Already bound: Windows and Linux both refuse a second bind.
    sockaddr_in any = Loopback();
    outcome = Attempt([&] { return ws::bind(listener, Addr(any), sizeof any); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEINVAL);
}

TEST(PlatformSocketErrors, UnboundSocketsAreRefusedAsOnWindows)
{
    Socket s = Tcp();
    sockaddr_in address{};
    int length = sizeof address;
    Outcome outcome = Attempt([&] { return ws::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEINVAL);
    outcome = Attempt([&] { return ws::listen(s, 1); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEINVAL);
    Socket u = Udp();
    outcome = Attempt([&] { return ws::listen(u, 1); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEOPNOTSUPP);
}

TEST(PlatformSocketErrors, AddressRecordsTooShortAreFaults)
{
    sockaddr_in where{};
    Socket listener = Listener(where);
    Socket s = Tcp();
    Outcome outcome = Attempt([&] { return ws::connect(s, Addr(where), sizeof where - 1); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEFAULT);
    outcome = Attempt([&] { return ws::connect(s, nullptr, sizeof where); });
    EXPECT_EQ(outcome.error, WSAEFAULT);
    // accept checks the caller's record before it takes the connection.
    ASSERT_EQ(ws::connect(s, Addr(where), sizeof where), 0);
    sockaddr_in peer{};
    int length = sizeof peer - 1;
    outcome = Attempt([&] { return ws::accept(listener, reinterpret_cast<sockaddr*>(&peer), &length); });
    EXPECT_EQ(static_cast<SOCKET>(outcome.result), INVALID_SOCKET);
    EXPECT_EQ(outcome.error, WSAEFAULT);
    length = sizeof peer;
    Socket accepted(ws::accept(listener, reinterpret_cast<sockaddr*>(&peer), &length));
    ASSERT_NE(accepted.Get(), INVALID_SOCKET) << WSAGetLastError();
    EXPECT_EQ(length, 16);
    EXPECT_EQ(peer.sin_family, AF_INET);
    EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(peer.sin_port, LocalAddress(s).sin_port);
}

TEST(PlatformSocketErrors, ClosedAndUnknownSocketsAreNotSockets)
{
    Socket s = Udp();
    const SOCKET stale = s.Release();
    ASSERT_EQ(closesocket(stale), 0);
    char buffer[4] = {};
    sockaddr_in address = Loopback(9);
    int length = sizeof address;
    ULONG value = 0;
    int option = 0;
    int optionLength = sizeof option;
    for (SOCKET id : {stale, SOCKET{0}, INVALID_SOCKET, SOCKET{3}, SOCKET{0x7fffffff}}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(Attempt([&] { return closesocket(id); }).error, WSAENOTSOCK);
        EXPECT_EQ(Attempt([&] { return ws::send(id, buffer, 1, 0); }).error, WSAENOTSOCK);
        EXPECT_EQ(Attempt([&] { return ws::recv(id, buffer, 1, 0); }).error, WSAENOTSOCK);
        EXPECT_EQ(Attempt([&] { return ws::bind(id, Addr(address), sizeof address); }).error, WSAENOTSOCK);
        EXPECT_EQ(Attempt([&] { return ws::connect(id, Addr(address), sizeof address); }).error, WSAENOTSOCK);
        EXPECT_EQ(Attempt([&] { return ws::listen(id, 1); }).error, WSAENOTSOCK);
        EXPECT_EQ(Attempt([&] { return ws::accept(id, nullptr, nullptr); }).error, WSAENOTSOCK);
        EXPECT_EQ(Attempt([&] { return ioctlsocket(id, FIONREAD, &value); }).error, WSAENOTSOCK);
        EXPECT_EQ(Attempt([&] { return ws::getsockopt(id, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&option),
                                                  &optionLength); })
                      .error,
                  WSAENOTSOCK);
        EXPECT_EQ(Attempt([&] { return ws::getsockname(id, reinterpret_cast<sockaddr*>(&address), &length); }).error,
                  WSAENOTSOCK);
        EXPECT_EQ(Attempt([&] { return ws::shutdown(id, SD_BOTH); }).error, WSAENOTSOCK);
        Outcome outcome = Attempt([&] { return SelectOne(id, kRead, 0); });
        EXPECT_EQ(outcome.result, SOCKET_ERROR);
        EXPECT_EQ(outcome.error, WSAENOTSOCK);
    }
}

TEST(PlatformSocketErrors, SocketNumbersAreNeverReused)
{
    std::set<SOCKET> seen;
    for (int i = 0; i < 200; ++i) {
        Socket s = Udp();
        ASSERT_NE(s.Get(), 0u);
        ASSERT_NE(s.Get(), INVALID_SOCKET);
        EXPECT_TRUE(seen.insert(s.Get()).second) << "socket " << s.Get() << " handed out twice";
    }
}

TEST(PlatformSocketErrors, LastErrorIsTheThreadsOwnAndGetLastError)
{
    WSASetLastError(WSAEWOULDBLOCK);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAEWOULDBLOCK));
    std::thread other([] {
        EXPECT_EQ(WSAGetLastError(), 0);
        char buffer[4];
        ws::recv(INVALID_SOCKET, buffer, 1, 0);
        EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    });
    other.join();
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
}

TEST(PlatformSocketErrors, NonBlockingCallsWouldBlock)
{
    sockaddr_in where{};
    Socket listener = Listener(where);
    ULONG on = 1;
    ASSERT_EQ(ioctlsocket(listener, FIONBIO, &on), 0);
    Outcome outcome = Attempt([&] { return ws::accept(listener, nullptr, nullptr); });
    EXPECT_EQ(static_cast<SOCKET>(outcome.result), INVALID_SOCKET);
    EXPECT_EQ(outcome.error, WSAEWOULDBLOCK);

    // A non-blocking connect under way is WSAEWOULDBLOCK, as on Windows;
    // select then reports it writable.
    Socket client = Tcp();
    ASSERT_EQ(ioctlsocket(client, FIONBIO, &on), 0);
    outcome = Attempt([&] { return ws::connect(client, Addr(where), sizeof where); });
    if (outcome.result == SOCKET_ERROR)
        EXPECT_EQ(outcome.error, WSAEWOULDBLOCK);
    EXPECT_EQ(SelectOne(client, kWrite, kWaitMs), 1);
    ASSERT_TRUE(Readable(listener));
    // The accepted socket keeps the listener's mode, as on Windows.
    Socket accepted(ws::accept(listener, nullptr, nullptr));
    ASSERT_NE(accepted.Get(), INVALID_SOCKET) << WSAGetLastError();
    char buffer[8];
    outcome = Attempt([&] { return ws::recv(accepted, buffer, sizeof buffer, 0); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEWOULDBLOCK);
}

TEST(PlatformSocketErrors, AFailedNonBlockingConnectIsInTheExceptSet)
{
    Socket closed = Tcp();
    sockaddr_in any = Loopback();
    ASSERT_EQ(ws::bind(closed, Addr(any), sizeof any), 0);
    sockaddr_in where = LocalAddress(closed);

    Socket client = Tcp();
    ULONG on = 1;
    ASSERT_EQ(ioctlsocket(client, FIONBIO, &on), 0);
    Outcome outcome = Attempt([&] { return ws::connect(client, Addr(where), sizeof where); });
    ASSERT_EQ(outcome.result, SOCKET_ERROR);
    if (outcome.error != WSAECONNREFUSED) {
        EXPECT_EQ(outcome.error, WSAEWOULDBLOCK);
        ws::fd_set writable{1, {client}};
        ws::fd_set failed{1, {client}};
        timeval timeout{kWaitMs / 1000, 0};
        EXPECT_GE(ws::select(0, nullptr, &writable, &failed, &timeout), 1);
        EXPECT_TRUE(ws::IsSet(client, &failed));
    }
    int error = 0;
    int length = sizeof error;
    ASSERT_EQ(ws::getsockopt(client, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length), 0);
    if (outcome.error != WSAECONNREFUSED)
        EXPECT_EQ(error, WSAECONNREFUSED);  // a Winsock code, as Windows gives
}

TEST(PlatformSocketErrors, ReceiveTimeOutGivenInMillisecondsTimesOut)
{
    sockaddr_in where{};
    Socket s = BoundUdp(where);
    const DWORD timeoutMs = 200;
    ASSERT_EQ(ws::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                             sizeof timeoutMs),
              0)
        << WSAGetLastError();
    DWORD readBack = 0;
    int length = sizeof readBack;
    ASSERT_EQ(ws::getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&readBack), &length), 0);
    EXPECT_EQ(readBack, timeoutMs);
    char buffer[8];
    Stopwatch clock;
    Outcome outcome = Attempt([&] { return ws::recv(s, buffer, sizeof buffer, 0); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAETIMEDOUT);
    EXPECT_GE(clock.Ms(), 150);
}

// --- closesocket wakes blocked threads -------------------------------------

TEST(PlatformSocketClose, EndsASelectOnAListeningSocket)
{
    sockaddr_in where{};
    Socket listener = Listener(where);
    const SOCKET id = listener.Get();
    bool inSet = false;
    auto [outcome, ms] = CloseWhileBlocked(listener, [&] { return SelectOne(id, kRead, 30000, &inSet); });
    EXPECT_LT(ms, kWaitMs);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_TRUE(inSet);
    EXPECT_EQ(Attempt([&] { return ws::accept(id, nullptr, nullptr); }).error, WSAENOTSOCK);
}

TEST(PlatformSocketClose, EndsASelectOnAConnectedSocket)
{
    Connection pair = Connected();
    const SOCKET id = pair.client.Get();
    bool inSet = false;
    auto [outcome, ms] = CloseWhileBlocked(pair.client, [&] { return SelectOne(id, kRead, 30000, &inSet); });
    EXPECT_LT(ms, kWaitMs);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_TRUE(inSet);
    char buffer[4];
    EXPECT_EQ(Attempt([&] { return ws::recv(id, buffer, sizeof buffer, 0); }).error, WSAENOTSOCK);
}

TEST(PlatformSocketClose, EndsASelectOnADatagramSocket)
{
    sockaddr_in where{};
    Socket s = BoundUdp(where);
    const SOCKET id = s.Get();
    bool inSet = false;
    auto [outcome, ms] = CloseWhileBlocked(s, [&] { return SelectOne(id, kRead, 30000, &inSet); });
    EXPECT_LT(ms, kWaitMs);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_TRUE(inSet);
}

TEST(PlatformSocketClose, EndsASelectWithoutATimeLimit)
{
    sockaddr_in where{};
    Socket s = BoundUdp(where);
    Socket other = BoundUdp(where);
    const SOCKET id = s.Get();
    ws::fd_set readable{2, {other.Get(), id}};
    auto [outcome, ms] =
        CloseWhileBlocked(s, [&] { return ws::select(0, &readable, nullptr, nullptr, nullptr); });
    EXPECT_LT(ms, kWaitMs);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(readable.fd_count, 1u);
    EXPECT_EQ(readable.fd_array[0], id);
}

TEST(PlatformSocketClose, EndsABlockedAccept)
{
    sockaddr_in where{};
    Socket listener = Listener(where);
    const SOCKET id = listener.Get();
    auto [outcome, ms] = CloseWhileBlocked(listener, [&] { return ws::accept(id, nullptr, nullptr); });
    EXPECT_LT(ms, kWaitMs);
    EXPECT_EQ(static_cast<SOCKET>(outcome.result), INVALID_SOCKET);
    EXPECT_EQ(outcome.error, WSAEINTR);
}

TEST(PlatformSocketClose, EndsABlockedConnect)
{
    // A listener whose queue of unaccepted connections is full drops
    // further SYNs, so the next connect waits for a retransmission.
    sockaddr_in where{};
    Socket listener = Tcp();
    sockaddr_in any = Loopback();
    ASSERT_EQ(ws::bind(listener, Addr(any), sizeof any), 0);
    ASSERT_EQ(ws::listen(listener, 0), 0);
    where = LocalAddress(listener);
    std::vector<Socket> queued;
    for (int i = 0; i < 2; ++i) {
        queued.push_back(Tcp());
        ULONG on = 1;
        ASSERT_EQ(ioctlsocket(queued.back(), FIONBIO, &on), 0);
        ws::connect(queued.back(), Addr(where), sizeof where);
    }
    // The first fills the queue of a backlog of 0; the next requests are
    // dropped and retried, so the blocking connect below stays blocked.
    ws::fd_set connected{};
    connected.fd_count = 1;
    connected.fd_array[0] = queued.front();
    timeval limit{kWaitMs / 1000, 0};
    ASSERT_EQ(ws::select(0, nullptr, &connected, nullptr, &limit), 1);
    Socket client = Tcp();
    const SOCKET id = client.Get();
    auto [outcome, ms] = CloseWhileBlocked(client, [&] { return ws::connect(id, Addr(where), sizeof where); });
    EXPECT_LT(ms, kWaitMs);
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEINTR);
}

TEST(PlatformSocketClose, EndsABlockedStreamReceiveWithZero)
{
    Connection pair = Connected();
    const SOCKET id = pair.client.Get();
    char buffer[16];
    auto [outcome, ms] = CloseWhileBlocked(pair.client, [&] { return ws::recv(id, buffer, sizeof buffer, 0); });
    EXPECT_LT(ms, kWaitMs);
    EXPECT_EQ(outcome.result, 0);
    // The peer sees an orderly end.
    ASSERT_TRUE(Readable(pair.server));
    EXPECT_EQ(ws::recv(pair.server, buffer, sizeof buffer, 0), 0);
}

TEST(PlatformSocketClose, EndsABlockedDatagramReceiveWithInterrupted)
{
    sockaddr_in where{};
    Socket s = BoundUdp(where);
    const SOCKET id = s.Get();
    char buffer[16];
    sockaddr_in from{};
    int fromLength = sizeof from;
    auto [outcome, ms] = CloseWhileBlocked(s, [&] {
        return ws::recvfrom(id, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    });
    EXPECT_LT(ms, kWaitMs);
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEINTR);
}

TEST(PlatformSocketClose, EndsABlockedSendWithInterrupted)
{
    Connection pair = Connected();
    const SOCKET id = pair.client.Get();
    // Fills both buffers; nobody reads on the other side.
    std::string block(1 << 20, 'x');
    auto [outcome, ms] = CloseWhileBlocked(pair.client, [&] {
        int result = 0;
        while ((result = Send(id, block)) > 0) {
        }
        return result;
    });
    EXPECT_LT(ms, kWaitMs);
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEINTR);
}

TEST(PlatformSocketClose, ManyThreadsUsingAndClosingSocketsAtOnce)
{
    // Calls that race a closesocket of their socket either work, or fail
    // with WSAENOTSOCK (closed before), or WSAEINTR (closed during).
    std::atomic<bool> stop{false};
    std::atomic<SOCKET> current[8];
    for (auto& slot : current)
        slot.store(Udp().Release());
    std::atomic<int> unexpected{0};
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t) {
        users.emplace_back([&, t] {
            char buffer[8];
            ULONG value = 0;
            unsigned i = static_cast<unsigned>(t);
            while (!stop.load()) {
                const SOCKET s = current[i++ % 8].load();
                int result = 0;
                switch (i % 3) {
                case 0:
                    result = ioctlsocket(s, FIONREAD, &value);
                    break;
                case 1:
                    result = ws::recv(s, buffer, sizeof buffer, MSG_DONTWAIT);
                    break;
                default:
                    result = SelectOne(s, kWrite, 0);
                    break;
                }
                const int error = WSAGetLastError();
                if (result == SOCKET_ERROR && error != WSAENOTSOCK && error != WSAEINTR &&
                    error != WSAEWOULDBLOCK && error != WSAETIMEDOUT)
                    unexpected.fetch_add(1);
            }
        });
    }
    Stopwatch clock;
    unsigned round = 0;
    while (clock.Ms() < 500) {
        auto& slot = current[round++ % 8];
        const SOCKET fresh = Udp().Release();
        EXPECT_EQ(closesocket(slot.exchange(fresh)), 0);
    }
    stop.store(true);
    for (auto& user : users)
        user.join();
    for (auto& slot : current)
        closesocket(slot.load());
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GT(round, 10u);
}

// --- Transfers -------------------------------------------------------------

namespace {

std::string NumberedBytes(std::uint32_t number, std::size_t length)
{
    std::string bytes(reinterpret_cast<const char*>(&number), sizeof number);
    std::mt19937 generator(number);
    for (std::size_t i = 0; i < length; ++i)
        bytes.push_back(static_cast<char>(generator() & 0xFF));
    return bytes;
}

// What a watch thread does: sleeps in select, reads what FIONREAD reports
// in blocks of at most 1024 bytes, stops at the end of the stream.
std::string ReadUntilEnd(SOCKET s)
{
    std::string received;
    char buffer[1024];
    for (;;) {
        ws::fd_set readable{1, {s}};
        if (ws::select(0, &readable, nullptr, nullptr, nullptr) != 1)
            return received + "(select failed)";
        ULONG pending = 0;
        if (ioctlsocket(s, FIONREAD, &pending) != 0)
            return received + "(FIONREAD failed)";
        if (pending == 0)
            return received;  // readable with nothing pending: the end
        while (pending > 0) {
            const int want = static_cast<int>(std::min<ULONG>(pending, sizeof buffer));
            const int got = ws::recv(s, buffer, want, 0);
            if (got <= 0)
                return received + "(recv failed)";
            received.append(buffer, static_cast<std::size_t>(got));
            pending -= static_cast<ULONG>(got);
        }
    }
}

}  // namespace

TEST(PlatformSocketTransfer, ManyConnectionsAtOnceDeliverEveryByteInOrder)
{
    static constexpr int kConnections = 64;
    static constexpr std::size_t kBytes = 256 * 1024;
    sockaddr_in where{};
    Socket listener = Listener(where);
    ASSERT_EQ(ws::listen(listener, kConnections), 0);
    std::atomic<int> wrong{0};
    Within(
        30s,
        [&] {
            std::vector<std::thread> threads;
            for (int i = 0; i < kConnections; ++i) {
                threads.emplace_back([&, i] {
                    Socket client = Tcp();
                    const std::string bytes = NumberedBytes(static_cast<std::uint32_t>(1000 + i), kBytes);
                    if (ws::connect(client, Addr(where), sizeof where) != 0 ||
                        Send(client, bytes) != static_cast<int>(bytes.size()))
                        wrong.fetch_add(1);
                });
            }
            for (int i = 0; i < kConnections; ++i) {
                auto accepted = std::make_shared<Socket>(ws::accept(listener, nullptr, nullptr));
                if (accepted->Get() == INVALID_SOCKET) {
                    wrong.fetch_add(1);
                    continue;
                }
                threads.emplace_back([&wrong, accepted] {
                    const std::string received = ReadUntilEnd(*accepted);
                    std::uint32_t number = 0;
                    std::memcpy(&number, received.data(), std::min(received.size(), sizeof number));
                    if (received != NumberedBytes(number, kBytes))
                        wrong.fetch_add(1);
                });
            }
            for (auto& thread : threads)
                thread.join();
        },
        "64 connections of 256 KiB");
    EXPECT_EQ(wrong.load(), 0);
}

// --- Datagrams ----------------------------------------------------------

TEST(PlatformSocketDatagrams, AZeroLengthDatagramIsReadableWithNothingPendingAndIsConsumed)
{
    sockaddr_in receiverAddress{};
    sockaddr_in senderAddress{};
    Socket receiver = BoundUdp(receiverAddress);
    Socket sender = BoundUdp(senderAddress);
    ASSERT_EQ(ws::sendto(sender, "", 0, 0, Addr(receiverAddress), sizeof receiverAddress), 0);
    ASSERT_TRUE(Readable(receiver));
    ULONG pending = 99;
    ASSERT_EQ(ioctlsocket(receiver, FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 0u);
    char buffer[16];
    sockaddr_in from{};
    int fromLength = sizeof from;
    EXPECT_EQ(ws::recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength), 0);
    EXPECT_EQ(fromLength, 16);
    EXPECT_EQ(from.sin_port, senderAddress.sin_port);
    EXPECT_EQ(SelectOne(receiver, kRead, 100), 0) << "the empty datagram is still there";
}

TEST(PlatformSocketDatagrams, ALargerDatagramFillsTheBufferAndFailsWithMsgSize)
{
    sockaddr_in receiverAddress{};
    sockaddr_in senderAddress{};
    Socket receiver = BoundUdp(receiverAddress);
    Socket sender = BoundUdp(senderAddress);
    ASSERT_EQ(SendTo(sender, "0123456789abcdef", receiverAddress), 16);
    ASSERT_EQ(SendTo(sender, "next", receiverAddress), 4);
    ASSERT_TRUE(Readable(receiver));
    char buffer[10] = {};
    sockaddr_in from{};
    int fromLength = sizeof from;
    Outcome outcome = Attempt([&] {
        return ws::recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEMSGSIZE);
    EXPECT_EQ(std::string(buffer, sizeof buffer), "0123456789");
    EXPECT_EQ(from.sin_port, senderAddress.sin_port);
    // The rest of that datagram is gone; the next one follows.
    ASSERT_TRUE(Readable(receiver));
    EXPECT_EQ(ws::recv(receiver, buffer, sizeof buffer, 0), 4);
    EXPECT_EQ(std::string(buffer, 4), "next");
}

TEST(PlatformSocketDatagrams, ARefusedDatagramIsReportedOnceOnTheNextReceive)
{
    sockaddr_in ownAddress{};
    Socket s = BoundUdp(ownAddress);
    const sockaddr_in nobody = ClosedUdpPort();
    ASSERT_EQ(SendTo(s, "anyone?", nobody), 7);
    // The ICMP refusal makes the socket readable.
    ASSERT_TRUE(Readable(s));
    char buffer[16];
    sockaddr_in from{};
    int fromLength = sizeof from;
    Outcome outcome = Attempt([&] {
        return ws::recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAECONNRESET);
    // Once: nothing more is ready (no POLLERR left behind to spin on).
    EXPECT_EQ(SelectOne(s, kRead, 100), 0);
    sockaddr_in peerAddress{};
    Socket peer = BoundUdp(peerAddress);
    ASSERT_EQ(SendTo(peer, "real", ownAddress), 4);
    ASSERT_TRUE(Readable(s));
    fromLength = sizeof from;
    EXPECT_EQ(ws::recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength), 4);
    EXPECT_EQ(std::string(buffer, 4), "real");
    EXPECT_EQ(from.sin_port, peerAddress.sin_port);
}

TEST(PlatformSocketDatagrams, ARefusalMetByTheNextSendIsKeptForTheNextReceive)
{
    sockaddr_in ownAddress{};
    sockaddr_in peerAddress{};
    Socket s = BoundUdp(ownAddress);
    Socket peer = BoundUdp(peerAddress);
    const sockaddr_in nobody = ClosedUdpPort();
    ASSERT_EQ(SendTo(s, "anyone?", nobody), 7);
    ASSERT_TRUE(Readable(s));  // the refusal has arrived
    // The system hands the refusal to this send; Windows sends the datagram.
    EXPECT_EQ(SendTo(s, "hello", peerAddress), 5) << WSAGetLastError();
    ASSERT_TRUE(Readable(peer));
    char buffer[16];
    EXPECT_EQ(ws::recv(peer, buffer, sizeof buffer, 0), 5);
    // The select still reports the refusal, and the receive reports it once.
    ASSERT_TRUE(Readable(s, 0));
    Outcome outcome = Attempt([&] { return ws::recv(s, buffer, sizeof buffer, 0); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAECONNRESET);
    EXPECT_EQ(SelectOne(s, kRead, 100), 0);
}

TEST(PlatformSocketDatagrams, AnOversizedDatagramIsMsgSize)
{
    sockaddr_in ownAddress{};
    Socket s = BoundUdp(ownAddress);
    std::string huge(70000, 'x');
    Outcome outcome = Attempt([&] { return SendTo(s, huge, ownAddress); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEMSGSIZE);
    EXPECT_EQ(SelectOne(s, kRead, 100), 0);
}

// --- ioctlsocket and options --------------------------------------------

TEST(PlatformSocketControl, PendingBytesOfAStreamAndOfTheNextDatagram)
{
    Connection pair = Connected();
    ASSERT_EQ(Send(pair.server, std::string(123, 'a')), 123);
    ULONG pending = 0;
    Stopwatch clock;
    while (pending < 123 && clock.Ms() < kWaitMs) {
        Readable(pair.client);
        ASSERT_EQ(ioctlsocket(pair.client, FIONREAD, &pending), 0);
    }
    EXPECT_EQ(pending, 123u);

    sockaddr_in receiverAddress{};
    sockaddr_in senderAddress{};
    Socket receiver = BoundUdp(receiverAddress);
    Socket sender = BoundUdp(senderAddress);
    ASSERT_EQ(SendTo(sender, "12345", receiverAddress), 5);
    ASSERT_EQ(SendTo(sender, "1234567", receiverAddress), 7);
    ASSERT_TRUE(Readable(receiver));
    ASSERT_EQ(ioctlsocket(receiver, FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 5u);
    char buffer[16];
    ASSERT_EQ(ws::recv(receiver, buffer, sizeof buffer, 0), 5);
    ASSERT_TRUE(Readable(receiver));
    ASSERT_EQ(ioctlsocket(receiver, FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 7u);
}

TEST(PlatformSocketControl, PendingBytesOfAListeningSocketIsInvalid)
{
    sockaddr_in where{};
    Socket listener = Listener(where);
    ULONG pending = 0;
    Outcome outcome = Attempt([&] { return ioctlsocket(listener, FIONREAD, &pending); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEINVAL);
    outcome = Attempt([&] { return ioctlsocket(listener, 0x12345, &pending); });
    EXPECT_EQ(outcome.error, WSAEINVAL);
    outcome = Attempt([&] { return ioctlsocket(listener, FIONREAD, nullptr); });
    EXPECT_EQ(outcome.error, WSAEFAULT);
}

TEST(PlatformSocketControl, AcceptConnShowsAListeningSocket)
{
    Socket s = Tcp();
    int value = -1;
    int length = sizeof value;
    ASSERT_EQ(ws::getsockopt(s, SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&value), &length), 0);
    EXPECT_EQ(value, 0);
    sockaddr_in any = Loopback();
    ASSERT_EQ(ws::bind(s, Addr(any), sizeof any), 0);
    ASSERT_EQ(ws::listen(s, 4), 0);
    length = sizeof value;
    ASSERT_EQ(ws::getsockopt(s, SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&value), &length), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(length, static_cast<int>(sizeof value));
}

// --- select -------------------------------------------------------------

TEST(PlatformSocketSelect, RefusesEmptyAndOverfullSets)
{
    ws::fd_set empty{};
    timeval none{0, 0};
    Outcome outcome = Attempt([&] { return ws::select(0, &empty, nullptr, nullptr, &none); });
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEINVAL);
    outcome = Attempt([&] { return ws::select(0, nullptr, nullptr, nullptr, &none); });
    EXPECT_EQ(outcome.error, WSAEINVAL);
    ws::fd_set overfull{};
    overfull.fd_count = ws::WS_FD_SETSIZE + 1;
    outcome = Attempt([&] { return ws::select(0, &overfull, nullptr, nullptr, &none); });
    EXPECT_EQ(outcome.error, WSAEINVAL);
}

TEST(PlatformSocketSelect, TimesOutNoEarlierThanAsked)
{
    sockaddr_in where{};
    Socket s = BoundUdp(where);
    Stopwatch clock;
    EXPECT_EQ(SelectOne(s, kRead, 0), 0);
    EXPECT_LT(clock.Ms(), 100);
    Stopwatch waited;
    ws::fd_set readable{1, {s.Get()}};
    timeval timeout{0, 150000};
    EXPECT_EQ(ws::select(0, &readable, nullptr, nullptr, &timeout), 0);
    EXPECT_GE(waited.Ms(), 150);
    EXPECT_EQ(readable.fd_count, 0u);
}

TEST(PlatformSocketSelect, ThreeFullSetsOfSocketsMadeAfterManyOthers)
{
    // Socket numbers well beyond 64, and 192 sockets in one select.
    for (int i = 0; i < 300; ++i)
        Udp();
    std::vector<Socket> sockets;
    std::vector<sockaddr_in> addresses(3 * ws::WS_FD_SETSIZE);
    for (std::size_t i = 0; i < addresses.size(); ++i)
        sockets.push_back(BoundUdp(addresses[i]));
    ws::fd_set readable{};
    ws::fd_set writable{};
    ws::fd_set failed{};
    for (UINT i = 0; i < ws::WS_FD_SETSIZE; ++i) {
        readable.fd_array[readable.fd_count++] = sockets[i];
        writable.fd_array[writable.fd_count++] = sockets[ws::WS_FD_SETSIZE + i];
        failed.fd_array[failed.fd_count++] = sockets[2 * ws::WS_FD_SETSIZE + i];
    }
    // Datagrams to three of the sockets of the read set.
    Socket sender = Udp();
    for (std::size_t i : {std::size_t{0}, std::size_t{31}, std::size_t{63}})
        ASSERT_EQ(SendTo(sender, "x", addresses[i]), 1);
    for (std::size_t i : {std::size_t{0}, std::size_t{31}, std::size_t{63}})
        ASSERT_TRUE(Readable(sockets[i]));
    timeval timeout{kWaitMs / 1000, 0};
    const int ready = ws::select(0, &readable, &writable, &failed, &timeout);
    EXPECT_EQ(ready, 3 + static_cast<int>(ws::WS_FD_SETSIZE)) << WSAGetLastError();
    ASSERT_EQ(readable.fd_count, 3u);
    EXPECT_EQ(readable.fd_array[0], sockets[0].Get());
    EXPECT_EQ(readable.fd_array[1], sockets[31].Get());
    EXPECT_EQ(readable.fd_array[2], sockets[63].Get());
    EXPECT_EQ(writable.fd_count, ws::WS_FD_SETSIZE);
    EXPECT_EQ(failed.fd_count, 0u);
}

TEST(PlatformSocketSelect, SocketsOnDescriptorsAbove1024)
{
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlim_t needed = 1200;
    if (limit.rlim_cur < needed) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed)
            GTEST_SKIP() << "the hard descriptor limit (" << limit.rlim_max << ") is below " << needed;
        rlimit raised = limit;
        raised.rlim_cur = needed;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    std::vector<Socket> filler;
    for (int i = 0; i < 1030; ++i) {
        filler.emplace_back(ws::socket(AF_INET, SOCK_DGRAM, 0));
        ASSERT_NE(filler.back().Get(), INVALID_SOCKET) << WSAGetLastError();
    }
    const int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GT(probe, 1024);
    ::close(probe);
    sockaddr_in receiverAddress{};
    sockaddr_in senderAddress{};
    Socket receiver = BoundUdp(receiverAddress);
    Socket sender = BoundUdp(senderAddress);
    EXPECT_EQ(SelectOne(receiver, kRead, 50), 0);
    ASSERT_EQ(SendTo(sender, "high", receiverAddress), 4);
    EXPECT_TRUE(Readable(receiver));
    char buffer[8];
    EXPECT_EQ(ws::recv(receiver, buffer, sizeof buffer, 0), 4);
    filler.clear();
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

// --- Addresses and names --------------------------------------------------

TEST(PlatformSocketNames, DottedTextAsOnWindows)
{
    EXPECT_EQ(ws::inet_addr("127.0.0.1"), htonl(0x7f000001));
    EXPECT_EQ(ws::inet_addr("0.0.0.0"), 0u);
    EXPECT_EQ(ws::inet_addr("255.255.255.255"), INADDR_NONE);
    EXPECT_EQ(ws::inet_addr("255.255.255.254"), htonl(0xfffffffe));
    // Shorter forms: the last part fills the remaining bytes.
    EXPECT_EQ(ws::inet_addr("1.2.3"), htonl(0x01020003));
    EXPECT_EQ(ws::inet_addr("1.2"), htonl(0x01000002));
    EXPECT_EQ(ws::inet_addr("1.65535"), htonl(0x0100ffff));
    EXPECT_EQ(ws::inet_addr("16909060"), htonl(0x01020304));
    // Hex and octal parts.
    EXPECT_EQ(ws::inet_addr("0x7f.0.0.1"), htonl(0x7f000001));
    EXPECT_EQ(ws::inet_addr("010.0.0.1"), htonl(0x08000001));
    // Whitespace ends the text.
    EXPECT_EQ(ws::inet_addr("10.1.2.3 trailing"), htonl(0x0a010203));
    for (const char* bad : {"", "abc", "1.2.3.4.5", "256.1.1.1", "1.2.3.256", "1..2.3", "1.2.3.", "09.1.1.1",
                            "0x100.1.1.1", "1.2.3.4x", "-1.2.3.4"}) {
        EXPECT_EQ(ws::inet_addr(bad), INADDR_NONE) << '"' << bad << '"';
    }
    EXPECT_EQ(ws::inet_addr(nullptr), INADDR_NONE);
}

TEST(PlatformSocketNames, AddressesAsDottedText)
{
    in_addr address{};
    address.s_addr = htonl(0x7f000001);
    EXPECT_STREQ(ws::inet_ntoa(address), "127.0.0.1");
    address.s_addr = INADDR_NONE;
    EXPECT_STREQ(ws::inet_ntoa(address), "255.255.255.255");
    address.s_addr = 0;
    EXPECT_STREQ(ws::inet_ntoa(address), "0.0.0.0");
    address.s_addr = htonl(0x0a00ff01);
    EXPECT_STREQ(ws::inet_ntoa(address), "10.0.255.1");
}

TEST(PlatformSocketNames, DottedTextFromSeveralThreadsAtOnce)
{
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 6; ++t) {
        threads.emplace_back([t, &wrong] {
            const std::string expected = "10." + std::to_string(t) + ".2." + std::to_string(200 + t);
            in_addr address{};
            address.s_addr = htonl(0x0a000200u | (t << 16) | (200 + t));
            for (int i = 0; i < 20000; ++i) {
                if (expected != ws::inet_ntoa(address))
                    wrong.fetch_add(1);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

namespace {

std::string FirstAddress(const hostent* host)
{
    if (!host || !host->h_addr_list || !host->h_addr_list[0])
        return "(none)";
    in_addr address{};
    std::memcpy(&address, host->h_addr_list[0], sizeof address);
    return ws::inet_ntoa(address);
}

}  // namespace

TEST(PlatformSocketNames, LocalhostIsTheLoopbackAddress)
{
    hostent* host = ws::gethostbyname("localhost");
    ASSERT_NE(host, nullptr) << WSAGetLastError();
    EXPECT_EQ(host->h_addrtype, AF_INET);
    EXPECT_EQ(host->h_length, 4);
    ASSERT_NE(host->h_name, nullptr);
    ASSERT_NE(host->h_aliases, nullptr);
    EXPECT_EQ(host->h_aliases[0], nullptr);
    EXPECT_EQ(FirstAddress(host), "127.0.0.1");
    int count = 0;
    while (host->h_addr_list[count])
        ++count;
    EXPECT_GE(count, 1);
}

TEST(PlatformSocketNames, ADottedNameIsItself)
{
    hostent* host = ws::gethostbyname("192.0.2.7");
    ASSERT_NE(host, nullptr) << WSAGetLastError();
    EXPECT_STREQ(host->h_name, "192.0.2.7");
    EXPECT_EQ(FirstAddress(host), "192.0.2.7");
    EXPECT_EQ(host->h_addr_list[1], nullptr);
}

TEST(PlatformSocketNames, ANameUnderInvalidIsNotFound)
{
    // RFC 6761: no name under .invalid exists. This machine's resolver says
    // EAI_NONAME (WSAHOST_NOT_FOUND); a resolver may also say the name has
    // no IPv4 data (WSANO_DATA). Both mean "not found"; WSATRY_AGAIN would
    // not (the resolver could not answer), so it fails the test.
    Outcome outcome = Attempt([] { return ws::gethostbyname("tavrin-no-such-host.invalid") == nullptr; });
    EXPECT_TRUE(outcome.result);
    EXPECT_TRUE(outcome.error == WSAHOST_NOT_FOUND || outcome.error == WSANO_DATA) << outcome.error;
}

TEST(PlatformSocketNames, LookupsFromSeveralThreadsAtOnce)
{
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong] {
            const std::string dotted = "192.0.2." + std::to_string(t + 1);
            for (int i = 0; i < 200; ++i) {
                const bool byName = (i + t) % 2 == 0;
                hostent* host = ws::gethostbyname(byName ? "localhost" : dotted.c_str());
                if (FirstAddress(host) != (byName ? "127.0.0.1" : dotted))
                    wrong.fetch_add(1);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

// --- Start-up -------------------------------------------------------------

TEST(PlatformSocketStartup, VersionsOneOneToTwoTwo)
{
    WSADATA data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(1, 1));
    EXPECT_EQ(data.wHighVersion, MAKEWORD(2, 2));
    EXPECT_EQ(WSACleanup(), 0);
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
    EXPECT_EQ(WSACleanup(), 0);
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 0), nullptr), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSAStartup(MAKEWORD(1, 0), &data), WSAVERNOTSUPPORTED);
    EXPECT_EQ(WSAStartup(MAKEWORD(3, 0), &data), WSAVERNOTSUPPORTED);
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 3), &data), WSAVERNOTSUPPORTED);
}

TEST(PlatformSocketStartup, NoDescriptorsLeftIsSysNotReadyAndTooManySockets)
{
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    // The lowest free descriptor becomes the limit: nothing more opens.
    const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit exhausted = limit;
    exhausted.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &exhausted), 0);
    const int startup = WSAStartup(MAKEWORD(2, 2), nullptr);
    Outcome outcome = Attempt([] { return ws::socket(AF_INET, SOCK_STREAM, 0); });
    ::setrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_EQ(startup, WSASYSNOTREADY);
    if (startup == 0)
        WSACleanup();
    EXPECT_EQ(static_cast<SOCKET>(outcome.result), INVALID_SOCKET);
    EXPECT_EQ(outcome.error, WSAEMFILE);
}

TEST(PlatformSocketStartup, EveryCallFailsAfterTheLastCleanup)
{
    Socket open = Udp();
    int cleanups = 0;
    Outcome outcome{0, 0};
    while ((outcome = Attempt([] { return WSACleanup(); })).result == 0)
        ++cleanups;
    ASSERT_GE(cleanups, 1);
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSANOTINITIALISED);

    char buffer[4];
    ULONG value = 0;
    EXPECT_EQ(Attempt([] { return ws::socket(AF_INET, SOCK_DGRAM, 0); }).error, WSANOTINITIALISED);
    EXPECT_EQ(Attempt([&] { return closesocket(open.Get()); }).error, WSANOTINITIALISED);
    EXPECT_EQ(Attempt([&] { return ws::recv(open.Get(), buffer, 1, 0); }).error, WSANOTINITIALISED);
    EXPECT_EQ(Attempt([&] { return ioctlsocket(open.Get(), FIONBIO, &value); }).error, WSANOTINITIALISED);
    EXPECT_EQ(Attempt([&] { return SelectOne(open.Get(), kRead, 0); }).error, WSANOTINITIALISED);
    EXPECT_EQ(Attempt([] { return ws::gethostbyname("localhost") == nullptr; }).error, WSANOTINITIALISED);
    // The pure functions need no start-up.
    EXPECT_EQ(ws::inet_addr("1.2.3.4"), htonl(0x01020304));
    in_addr address{};
    address.s_addr = htonl(0x01020304);
    EXPECT_STREQ(ws::inet_ntoa(address), "1.2.3.4");
    WSASetLastError(WSAEINTR);
    EXPECT_EQ(WSAGetLastError(), WSAEINTR);

    for (int i = 0; i < cleanups; ++i)
        ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), nullptr), 0);
    // The last clean-up closed what was open, as on Windows.
    EXPECT_EQ(Attempt([&] { return closesocket(open.Release()); }).error, WSAENOTSOCK);
    Socket fresh = Udp();
    EXPECT_NE(fresh.Get(), INVALID_SOCKET);
}
