// A network device as a TCP client: opening by address and by name, the
// names it gives itself, a peer that goes away (closing, resetting, or the
// connection aborted under a receive), connecting again after that without
// a leak, and the sockets not started.
#include <gtest/gtest.h>

#include <tavrin/Tavrin.h>

#include <cerrno>
#include <thread>

#include "support/SocketPeer.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;

namespace {

// A host's own class, to wait for the end of the watch thread: the host
// hears of a dropped link just before the object counts as down, and the
// thread ends only after that.
class WatchedLan : public CLan {
public:
    bool WatchThreadEnded(DWORD ms = 5000) const
    {
        return m_hWatchThread && WaitForSingleObject(m_hWatchThread, ms) == WAIT_OBJECT_0;
    }
};

TEST(LanClient, ConnectsByDottedAddressAndByNameAndNamesItself)
{
    std::uint16_t port = 0;
    Fd listener = ListenLoopback(port);
    ASSERT_TRUE(listener.Valid());

    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        WindowThread window;
        CLan lan;
        window.Attach(lan);
        ASSERT_TRUE(lan.Connect(host, port));
        EXPECT_TRUE(lan.IsConnected());
        Fd server = AcceptWithin(listener);
        ASSERT_TRUE(server.Valid());
        ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));

        CString name;
        lan.GetName(name);
        EXPECT_EQ(std::string(name), std::string("TCP/IP ") + host + ":" + std::to_string(port));
        EXPECT_EQ(lan.GetPort(), port);

        // Both directions carry the bytes.
        BYTE hello[] = {'h', 'i', 0, 0xFF};
        ASSERT_TRUE(lan.Write(hello, sizeof hello));
        EXPECT_EQ(ReceiveExactly(server, 4), std::string("hi\0\xFF", 4));
        ASSERT_TRUE(SendAll(server, "back"));
        ASSERT_TRUE(window.WaitForData(4));
        EXPECT_EQ(window.DataBytes(), "back");
        lan.Disconnect();
        EXPECT_FALSE(lan.IsConnected());
        EXPECT_TRUE(WaitForEndOfStream(server));
    }
}

TEST(LanClient, NewObjectHasTheDefaultPortAndNoHost)
{
    CLan lan;
    CString name;
    lan.GetName(name);
    EXPECT_EQ(std::string(name), "TCP/IP :23");
    EXPECT_EQ(lan.GetPort(), 23u);
    EXPECT_FALSE(lan.IsConnected());
    EXPECT_FALSE(lan.IsRefusingTelnetOptions());
    BYTE byte = 'x';
    EXPECT_FALSE(lan.Write(&byte, 1));
}

TEST(LanClient, FailedOpeningsLeaveTheObjectIdleAndReusable)
{
    std::uint16_t port = 0;
    Fd listener = ListenLoopback(port);
    ASSERT_TRUE(listener.Valid());
    WindowThread window;
    CLan lan;
    window.Attach(lan);

    // A name the resolver does not know, then a port nobody listens on.
    Stopwatch watch;
    EXPECT_FALSE(lan.Connect("no-such-host.invalid", port));
    EXPECT_FALSE(lan.IsConnected());
    EXPECT_FALSE(lan.Connect("127.0.0.1", UnusedTcpPort()));
    EXPECT_FALSE(lan.IsConnected());
    EXPECT_LT(watch.Ms(), 30000);
    // Failed openings report nothing.
    EXPECT_TRUE(window.NoticesOf(DEVMSG_ERROR).empty());
    EXPECT_TRUE(window.NoticesOf(DEVMSG_CONNECTED).empty());

    ASSERT_TRUE(lan.Connect("127.0.0.1", port));
    Fd server = AcceptWithin(listener);
    EXPECT_TRUE(server.Valid());
    EXPECT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));
    // A second opening of a connected object is refused.
    EXPECT_FALSE(lan.Connect());
    lan.Disconnect();
}

TEST(LanClient, PeerClosingIsReportedOnceFromTheWatchThread)
{
    std::uint16_t port = 0;
    Fd listener = ListenLoopback(port);
    ASSERT_TRUE(listener.Valid());
    WindowThread window;
    WatchedLan lan;
    window.Attach(lan);
    ASSERT_TRUE(lan.Connect("127.0.0.1", port));
    Fd server = AcceptWithin(listener);
    ASSERT_TRUE(server.Valid());
    ASSERT_TRUE(SendAll(server, "last words"));
    server.Reset();

    ASSERT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, 1));
    EXPECT_EQ(window.DataBytes(), "last words");
    // The flag drops once the host has handled the notification.
    EXPECT_TRUE(lan.WatchThreadEnded());
    EXPECT_FALSE(lan.IsConnected());
    // The window was forgotten with the notification: the Disconnect that
    // closes the socket says nothing more.
    Within(std::chrono::seconds(10), [&] { lan.Disconnect(); }, "Disconnect after the peer left");
    EXPECT_EQ(window.NoticesOf(DEVMSG_DISCONNECTED).size(), 1u);
    const auto disconnected = window.NoticesOf(DEVMSG_DISCONNECTED).front();
    EXPECT_EQ(disconnected.lParam, reinterpret_cast<LPARAM>(static_cast<CDevice*>(&lan)));

    // The object connects again afterwards.
    window.Attach(lan);
    ASSERT_TRUE(lan.Connect("127.0.0.1", port));
    Fd again = AcceptWithin(listener);
    EXPECT_TRUE(again.Valid());
    lan.Disconnect();
}

TEST(LanClient, PeerResetIsNoticedOnceAndDoesNotSpin)
{
    std::uint16_t port = 0;
    Fd listener = ListenLoopback(port);
    ASSERT_TRUE(listener.Valid());
    WindowThread window;
    CLan lan;
    window.Attach(lan);
    ASSERT_TRUE(lan.Connect("127.0.0.1", port));
    Fd server = AcceptWithin(listener);
    ASSERT_TRUE(server.Valid());
    ResetConnection(server);
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, 1));
    // The watch thread has ended: nothing keeps the processor busy while
    // the host has not yet closed the socket.
    const long long before = ProcessCpuMs();
    EXPECT_FALSE(window.WaitForIndex(DEVMSG_DISCONNECTED, 2, std::chrono::milliseconds(300)));
    EXPECT_LT(ProcessCpuMs() - before, 150);
    lan.Disconnect();
}

#if !defined(_WIN32)
TEST(LanClient, AConnectionAbortedUnderAReceiveIsReportedOnce)
{
    std::uint16_t port = 0;
    Fd listener = ListenLoopback(port);
    ASSERT_TRUE(listener.Valid());
    WindowThread window;
    CLan lan;
    window.Attach(lan);
    // The device's threads, started from this one, find every receive
    // failing as on a connection the system aborted (WSAECONNABORTED).
    bool filtered = false;
    BOOL connected = FALSE;
    std::thread([&] {
        filtered = FailSocketReceives(ECONNABORTED);
        connected = filtered && lan.Connect("127.0.0.1", port);
    }).join();
    if (!filtered)
        GTEST_SKIP() << "no seccomp filter here";
    ASSERT_TRUE(connected);
    Fd server = AcceptWithin(listener);
    ASSERT_TRUE(server.Valid());
    ASSERT_TRUE(SendAll(server, "x"));
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, 1));
    lan.Disconnect();
    EXPECT_TRUE(WaitForEndOfStream(server));
}

TEST(LanClient, ConnectingAgainAfterThePeerLeftLeavesNothingBehind)
{
    std::uint16_t port = 0;
    Fd listener = ListenLoopback(port);
    ASSERT_TRUE(listener.Valid());
    WindowThread window;
    WatchedLan lan;
    constexpr int kRounds = 10;
    int descriptors = 0, threads = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        // No Disconnect between a drop and the next Connect: the host only
        // gives its window again.
        window.Attach(lan);
        ASSERT_TRUE(lan.Connect("127.0.0.1", port));
        Fd server = AcceptWithin(listener);
        ASSERT_TRUE(server.Valid());
        ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, round + 1));
        if (round == 0) {
            descriptors = CountOpenDescriptors();
            threads = CountProcessThreads();
        }
        server.Reset();
        ASSERT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, round + 1));
        ASSERT_TRUE(lan.WatchThreadEnded());
        ASSERT_FALSE(lan.IsConnected());
    }
    // Counted as at the end of the first round's opening: the last drop's
    // socket goes with the next opening, so open once more.
    window.Attach(lan);
    ASSERT_TRUE(lan.Connect("127.0.0.1", port));
    Fd server = AcceptWithin(listener);
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, kRounds + 1));
    EXPECT_EQ(CountOpenDescriptors(), descriptors);
    // A leak would be one thread per round; a thread just joined can still
    // be listed for a moment as it leaves.
    EXPECT_LE(CountProcessThreads(), threads + 1);
    // One notice per drop: what a dropped link left is released without
    // telling the window given for the next one.
    EXPECT_EQ(window.NoticesOf(DEVMSG_DISCONNECTED).size(), static_cast<size_t>(kRounds));
    lan.Disconnect();
}
#endif

TEST(LanClient, DisconnectEndsAQuietWatchThreadPromptly)
{
    std::uint16_t port = 0;
    Fd listener = ListenLoopback(port);
    ASSERT_TRUE(listener.Valid());
    WindowThread window;
    auto lan = std::make_unique<CLan>();
    window.Attach(*lan);
    ASSERT_TRUE(lan->Connect("127.0.0.1", port));
    Fd server = AcceptWithin(listener);
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));
    Stopwatch watch;
    Within(std::chrono::seconds(10), [&] { lan->Disconnect(); }, "Disconnect");
    EXPECT_LT(watch.Ms(), 2000);
    EXPECT_EQ(window.NoticesOf(DEVMSG_DISCONNECTED).size(), 1u);

    // And the destructor alone does it too.
    window.Attach(*lan);
    ASSERT_TRUE(lan->Connect("127.0.0.1", port));
    Fd second = AcceptWithin(listener);
    ASSERT_TRUE(second.Valid());
    Stopwatch destroy;
    Within(std::chrono::seconds(10), [&] { lan.reset(); }, "destructor");
    EXPECT_LT(destroy.Ms(), 2000);
    EXPECT_TRUE(WaitForEndOfStream(second));
}

TEST(LanClient, AutoReplyOnAConnectedObjectDisconnectsItFirst)
{
    std::uint16_t port = 0;
    Fd listener = ListenLoopback(port);
    WindowThread window;
    CLan lan;
    window.Attach(lan);
    ASSERT_TRUE(lan.Connect("127.0.0.1", port));
    Fd server = AcceptWithin(listener);
    ASSERT_TRUE(server.Valid());
    const std::uint16_t udpPort = UnusedUdpPort();
    ASSERT_TRUE(lan.AutoReply(udpPort, "pong"));
    EXPECT_TRUE(WaitForEndOfStream(server));
    EXPECT_TRUE(lan.IsConnected());
    // The name still shows the earlier host and port.
    CString name;
    lan.GetName(name);
    EXPECT_EQ(std::string(name), "TCP/IP 127.0.0.1:" + std::to_string(port));
    lan.Disconnect();
}

TEST(LanClient, EveryOpeningFailsWhileTheSocketsAreNotStarted)
{
    // A listener for the client to find, made while the sockets still work.
    std::uint16_t port = 0;
    Fd listener = ListenLoopback(port);
    ASSERT_TRUE(listener.Valid());
    // Stop the sockets as a failed start-up leaves them.
    int stops = 0;
    while (WSACleanup() == 0)
        ++stops;
    ASSERT_EQ(WSAGetLastError(), WSANOTINITIALISED);

    CLan client, server, replier, broadcaster;
    const BOOL connected = client.Connect("127.0.0.1", port);
    const BOOL listening = server.DoListening(UnusedTcpPort());
    const BOOL replying = replier.AutoReply(UnusedUdpPort(), "x");
    broadcaster.SendBroadcast("x", UnusedUdpPort());
    const BOOL broadcasting = broadcaster.IsConnected();
    broadcaster.Disconnect();

    WSADATA data{};
    for (int i = 0; i < stops; ++i)
        WSAStartup(MAKEWORD(1, 1), &data);

    EXPECT_FALSE(connected);
    EXPECT_FALSE(client.IsConnected());
    EXPECT_FALSE(listening);
    EXPECT_FALSE(replying);
    EXPECT_FALSE(replier.IsConnected());
    EXPECT_FALSE(broadcasting);
    EXPECT_GT(stops, PeerSocketStarts()) << "the library should have started the sockets when it was loaded";
}

}  // namespace
