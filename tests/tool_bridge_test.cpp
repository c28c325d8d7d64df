// `tavrin bridge` run as a program between peers made of plain sockets on
// 127.0.0.1: a byte stream with zero bytes in it crosses intact both ways
// (a zero byte goes over as a break, which a socket sends as one zero byte),
// through one bridge and through two in a row; a listen: side links one
// caller at a time and turns the others away; the ends: a signal (status 0)
// and a link that drops by itself (status 1).
#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <thread>

#include <tavrin/net/Lan.h>
#include "support/ChildProcess.h"
#include "support/ToolRun.h"

#include "support/SocketPeer.h"

namespace {

using namespace tavrin::test;

constexpr int kTimeoutMs = 20000;

TEST(ToolBridgeArguments, MalformedArgumentsAreRefused)
{
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"bridge", "loopback"}, "DEVICE: At least 2 required"},
        {{"bridge", "loopback", "loopback", "loopback"}, "DEVICE: At Most 2 required"},
        {{"bridge", "loopback", "listen:99999"}, "the port must be from 1 to 65535"},
        {{"bridge", "loopback", "tcp:127.0.0.1:23", "--allow", "127.0.0.0/8"}, "neither side is one"},
        {{"bridge", "loopback", "listen:2323", "--allow", "127.0.0.0/33"}, "prefix length"},
        {{"bridge", "loopback", "listen:2323", "--telnet-refuse"}, "--telnet-refuse does nothing on a bridge"},
        {{"bridge", "loopback", "listen:2323", "--quiet"}, "not expected: --quiet"},
    };
    for (const auto& c : cases) {
        auto bridge = StartTavrin(c.args);
        ASSERT_TRUE(bridge->Started()) << bridge->Error();
        EXPECT_EQ(bridge->WaitForExit(kTimeoutMs), 2) << bridge->Stderr();
        EXPECT_NE(bridge->Stderr().find(c.says), std::string::npos) << bridge->Stderr();
        EXPECT_EQ(bridge->Stdout(), "");
    }
}


constexpr std::chrono::milliseconds kPeerTimeout{kTimeoutMs};

// Every byte value, zero bytes alone and in runs, at the start and the end.
std::string StreamWithZeros(size_t rounds, unsigned char salt)
{
    std::string bytes(1, '\0');
    for (size_t round = 0; round < rounds; ++round) {
        for (int value = 0; value < 256; ++value)
            bytes += static_cast<char>(static_cast<unsigned char>(value + salt + round));
        bytes += std::string(round % 4 + 1, '\0');
    }
    return bytes;
}

// A bridge between a server of the test's (tcp:) and a listen: port.
std::unique_ptr<ChildProcess> StartBridgeToServer(std::uint16_t serverPort, const std::vector<std::string>& options,
                                                  std::uint16_t& listenPort)
{
    return StartListening(
        [&](std::uint16_t p) {
            std::vector<std::string> args = {"bridge", "tcp:127.0.0.1:" + std::to_string(serverPort),
                                             "listen:" + std::to_string(p)};
            args.insert(args.end(), options.begin(), options.end());
            return args;
        },
        UnusedTcpPort, "SIGINT or SIGTERM stops", kTimeoutMs, listenPort);
}

TEST(ToolBridge, ZeroBytesCrossIntactBothWaysBetweenTcpAndACaller)
{
    std::uint16_t serverPort = 0;
    Fd server = ListenLoopback(serverPort);
    ASSERT_TRUE(server.Valid());
    std::uint16_t port = 0;
    // The bridge dials the server before it says it is up: accept meanwhile.
    Fd far;
    std::thread acceptor([&] { far = AcceptWithin(server, kPeerTimeout); });
    auto bridge = StartBridgeToServer(serverPort, {}, port);
    acceptor.join();
    ASSERT_TRUE(bridge && bridge->Started());
    ASSERT_TRUE(far.Valid()) << bridge->Stderr();

    Fd caller = ConnectLoopbackTcp(port);
    ASSERT_TRUE(caller.Valid());
    ASSERT_TRUE(bridge->WaitForStderr("linked A with B's caller 1", kTimeoutMs)) << bridge->Stderr();
    EXPECT_NE(bridge->Stderr().find("B: caller 1: Connection from 127.0.0.1. (Accepted)"), std::string::npos);

    const std::string up = StreamWithZeros(64, 0), down = StreamWithZeros(64, 77);
    // Both directions at once.
    ASSERT_TRUE(SendAll(caller, up));
    ASSERT_TRUE(SendAll(far, down));
    EXPECT_EQ(ReceiveExactly(far, up.size(), kPeerTimeout), up);
    EXPECT_EQ(ReceiveExactly(caller, down.size(), kPeerTimeout), down);
    // A zero byte alone in its block.
    ASSERT_TRUE(SendAll(caller, std::string(1, '\0')));
    EXPECT_EQ(ReceiveExactly(far, 1, kPeerTimeout), std::string(1, '\0'));

    EXPECT_EQ(bridge->Stop(SIGTERM, kTimeoutMs), 0) << bridge->Stderr();
    EXPECT_NE(bridge->Stderr().find("stopped by SIGTERM"), std::string::npos) << bridge->Stderr();
    // Both sides are let go.
    EXPECT_TRUE(WaitForEndOfStream(far, kPeerTimeout));
    EXPECT_TRUE(WaitForEndOfStream(caller, kPeerTimeout));
    EXPECT_EQ(bridge->Stdout(), "");
}

TEST(ToolBridge, TwoBridgesInARowCarryTheStream)
{
    std::uint16_t serverPort = 0;
    Fd server = ListenLoopback(serverPort);
    ASSERT_TRUE(server.Valid());
    std::uint16_t innerPort = 0, outerPort = 0;
    Fd far;
    std::thread acceptor([&] { far = AcceptWithin(server, kPeerTimeout); });
    auto inner = StartBridgeToServer(serverPort, {}, innerPort);
    acceptor.join();
    ASSERT_TRUE(inner && inner->Started());
    ASSERT_TRUE(far.Valid()) << inner->Stderr();
    // The outer bridge is the inner one's caller.
    auto outer = StartBridgeToServer(innerPort, {}, outerPort);
    ASSERT_TRUE(outer && outer->Started());
    ASSERT_TRUE(inner->WaitForStderr("linked A with B's caller 1", kTimeoutMs)) << inner->Stderr();

    Fd caller = ConnectLoopbackTcp(outerPort);
    ASSERT_TRUE(caller.Valid());
    ASSERT_TRUE(outer->WaitForStderr("linked A with B's caller 1", kTimeoutMs)) << outer->Stderr();
    const std::string up = StreamWithZeros(32, 3), down = StreamWithZeros(32, 200);
    ASSERT_TRUE(SendAll(caller, up));
    ASSERT_TRUE(SendAll(far, down));
    EXPECT_EQ(ReceiveExactly(far, up.size(), kPeerTimeout), up);
    EXPECT_EQ(ReceiveExactly(caller, down.size(), kPeerTimeout), down);

    // The inner bridge stopping drops the outer one's tcp: side: status 1.
    EXPECT_EQ(inner->Stop(SIGINT, kTimeoutMs), 0) << inner->Stderr();
    EXPECT_NE(inner->Stderr().find("stopped by SIGINT"), std::string::npos) << inner->Stderr();
    EXPECT_EQ(outer->WaitForExit(kTimeoutMs), 1) << outer->Stderr();
    EXPECT_NE(outer->Stderr().find("A: the link dropped"), std::string::npos) << outer->Stderr();
    EXPECT_TRUE(WaitForEndOfStream(caller, kPeerTimeout));
}

TEST(ToolBridge, OneCallerAtATimeAndTheNextOnceItHasLeft)
{
    // Bridged to the loopback, a caller hears its own bytes back (all but
    // zero bytes: a break sent to the loopback, which has no line, is lost).
    std::uint16_t port = 0;
    auto bridge = StartListening(
        [](std::uint16_t p) {
            return std::vector<std::string>{"bridge", "listen:" + std::to_string(p), "loopback"};
        },
        UnusedTcpPort, "SIGINT or SIGTERM stops", kTimeoutMs, port);
    ASSERT_TRUE(bridge && bridge->Started());

    Fd first = ConnectLoopbackTcp(port);
    ASSERT_TRUE(first.Valid());
    ASSERT_TRUE(bridge->WaitForStderr("linked A's caller 1 with B", kTimeoutMs)) << bridge->Stderr();
    const std::string echo = "echo one\n";
    ASSERT_TRUE(SendAll(first, echo));
    EXPECT_EQ(ReceiveExactly(first, echo.size(), kPeerTimeout), echo);

    Fd second = ConnectLoopbackTcp(port);
    ASSERT_TRUE(second.Valid());
    ASSERT_TRUE(bridge->WaitForStderr("A: caller 2 turned away: caller 1 is linked", kTimeoutMs)) << bridge->Stderr();
    EXPECT_NE(bridge->Stderr().find("A: caller 2: Connection from 127.0.0.1. (Accepted)"), std::string::npos);
    EXPECT_TRUE(WaitForEndOfStream(second, kPeerTimeout));

    first.Reset();
    ASSERT_TRUE(bridge->WaitForStderr("A: waiting for the next caller", kTimeoutMs)) << bridge->Stderr();
    Fd third = ConnectLoopbackTcp(port);
    ASSERT_TRUE(third.Valid());
    ASSERT_TRUE(bridge->WaitForStderr("linked A's caller 3 with B", kTimeoutMs)) << bridge->Stderr();
    ASSERT_TRUE(SendAll(third, "three\n"));
    EXPECT_EQ(ReceiveExactly(third, 6, kPeerTimeout), "three\n");

    EXPECT_EQ(bridge->Stop(SIGINT, kTimeoutMs), 0) << bridge->Stderr();
    EXPECT_TRUE(WaitForEndOfStream(third, kPeerTimeout));
}

TEST(ToolBridge, AllowTurnsAwayCallersOutsideAndLinksThoseInside)
{
    for (const char* rule : {"10.0.0.0/8", "127.0.0.0/8"}) {
        const bool inside = std::string(rule) == "127.0.0.0/8";
        std::uint16_t port = 0;
        auto bridge = StartListening(
            [&](std::uint16_t p) {
                return std::vector<std::string>{"bridge", "loopback", "listen:" + std::to_string(p), "--allow", rule};
            },
            UnusedTcpPort, "SIGINT or SIGTERM stops", kTimeoutMs, port);
        ASSERT_TRUE(bridge && bridge->Started());
        Fd caller = ConnectLoopbackTcp(port);
        ASSERT_TRUE(caller.Valid());
        if (inside) {
            ASSERT_TRUE(bridge->WaitForStderr("linked A with B's caller 1", kTimeoutMs)) << bridge->Stderr();
            EXPECT_NE(bridge->Stderr().find("(Accepted)"), std::string::npos) << bridge->Stderr();
            ASSERT_TRUE(SendAll(caller, "in\n"));
            EXPECT_EQ(ReceiveExactly(caller, 3, kPeerTimeout), "in\n");
        } else {
            ASSERT_TRUE(bridge->WaitForStderr("B: caller 1 turned away: not allowed by --allow", kTimeoutMs))
                << bridge->Stderr();
            EXPECT_NE(bridge->Stderr().find("B: caller 1: Connection from 127.0.0.1. (Forbidden)"), std::string::npos)
                << bridge->Stderr();
            EXPECT_TRUE(WaitForEndOfStream(caller, kPeerTimeout));
            EXPECT_EQ(bridge->Stderr().find("linked"), std::string::npos) << bridge->Stderr();
        }
        EXPECT_EQ(bridge->Stop(SIGTERM, kTimeoutMs), 0) << bridge->Stderr();
    }
}

TEST(ToolBridge, AServerThatGoesAwayEndsTheBridgeWithStatusOne)
{
    std::uint16_t serverPort = 0;
    Fd server = ListenLoopback(serverPort);
    ASSERT_TRUE(server.Valid());
    auto bridge = StartTavrin({"bridge", "loopback", "tcp:127.0.0.1:" + std::to_string(serverPort)});
    ASSERT_TRUE(bridge->Started()) << bridge->Error();
    Fd far = AcceptWithin(server, kPeerTimeout);
    ASSERT_TRUE(far.Valid()) << bridge->Stderr();
    ASSERT_TRUE(bridge->WaitForStderr("SIGINT or SIGTERM stops", kTimeoutMs)) << bridge->Stderr();
    ASSERT_TRUE(bridge->WaitForStderr("linked A with B", kTimeoutMs)) << bridge->Stderr();
    // Bridged to the loopback, the server hears itself.
    std::string bytes;
    for (int value = 1; value < 256; ++value)
        bytes += static_cast<char>(value);
    ASSERT_TRUE(SendAll(far, bytes));
    EXPECT_EQ(ReceiveExactly(far, bytes.size(), kPeerTimeout), bytes);
    far.Reset();
    EXPECT_EQ(bridge->WaitForExit(kTimeoutMs), 1) << bridge->Stderr();
    EXPECT_NE(bridge->Stderr().find("B: the link dropped"), std::string::npos) << bridge->Stderr();

    // A device that cannot be opened: status 1 before anything is bridged.
    server.Reset();
    auto refused = StartTavrin({"bridge", "loopback", "tcp:127.0.0.1:" + std::to_string(serverPort)});
    ASSERT_TRUE(refused->Started()) << refused->Error();
    EXPECT_EQ(refused->WaitForExit(kTimeoutMs), 1) << refused->Stderr();
    EXPECT_NE(refused->Stderr().find("B: cannot connect to 127.0.0.1:" + std::to_string(serverPort)),
              std::string::npos)
        << refused->Stderr();
    EXPECT_EQ(refused->Stderr().find("bridging"), std::string::npos) << refused->Stderr();
}


}  // namespace
