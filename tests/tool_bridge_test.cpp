// `tavrin bridge` run as a program between peers made of plain sockets on
// 127.0.0.1 and pseudo-terminals: a byte stream with zero bytes in it
// crosses intact both ways, through one bridge and through two in a row;
// every byte value between a pty and a caller, with and without --breaks;
// a listen: side links one caller at a time and turns the others away, or
// shares the other side among several (--clients, --one-writer); the ends:
// a signal (status 0) and a link that drops by itself (status 1). And, in
// process, a break that a serial line reports, carried to the other side.
#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <thread>

#include <tavrin/net/Lan.h>
#include <tavrin/platform/ScriptedLine.h>
#include "BridgeRelay.h"
#include "support/ChildProcess.h"
#include "support/PtyPair.h"
#include "support/ToolRun.h"
#include "support/WindowThread.h"

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
        {{"bridge", "loopback", "loopback", "--clients", "2"}, "exactly one side must be listen:"},
        {{"bridge", "listen:2323", "listen:2324", "--one-writer"}, "exactly one side must be listen:"},
        {{"bridge", "loopback", "listen:2323", "--clients", "0"}, "--clients: Value 0 not in range"},
        {{"bridge", "loopback", "listen:2323", "--rfc2217"}, "one side must be serial:, the other listen:"},
        {{"bridge", "serial:/dev/null", "listen:2323", "--rfc2217", "--breaks"}, "--rfc2217 and --breaks"},
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


// Every byte value, serial (a pty, its argument naming no flow control, so
// that 0x11 and 0x13 pass too) to a caller and back. With --breaks a zero
// byte from the caller is a break, which a pty does not show; one from the
// pty is a break to the caller's socket: a zero byte again.
TEST(ToolBridge, EveryByteValueCrossesBetweenAPtyAndACaller)
{
    std::string bytes;
    for (int value = 0; value < 256; ++value)
        bytes += static_cast<char>(value);
    bytes += std::string(bytes.rbegin(), bytes.rend());
    std::string withoutZeros = bytes;
    std::erase(withoutZeros, '\0');
    for (const bool breaks : {false, true}) {
        SCOPED_TRACE(breaks ? "--breaks" : "transparent");
        PtyPair pty;
        ASSERT_TRUE(pty.Ok());
        std::uint16_t port = 0;
        auto bridge = StartListening(
            [&](std::uint16_t p) {
                std::vector<std::string> args = {"bridge", "serial:" + pty.SlavePath(), "listen:" + std::to_string(p)};
                if (breaks)
                    args.push_back("--breaks");
                return args;
            },
            UnusedTcpPort, "SIGINT or SIGTERM stops", kTimeoutMs, port);
        ASSERT_TRUE(bridge && bridge->Started());
        Fd caller = ConnectLoopbackTcp(port);
        ASSERT_TRUE(caller.Valid());
        ASSERT_TRUE(bridge->WaitForStderr("linked A with B's caller 1", kTimeoutMs)) << bridge->Stderr();

        ASSERT_TRUE(SendAll(caller, bytes));
        const std::string& onPty = breaks ? withoutZeros : bytes;
        EXPECT_EQ(pty.ReadFar(onPty.size(), kTimeoutMs), onPty);
        ASSERT_TRUE(pty.WriteFar(bytes));
        EXPECT_EQ(ReceiveExactly(caller, bytes.size(), kPeerTimeout), bytes);
        EXPECT_EQ(bridge->Stop(SIGTERM, kTimeoutMs), 0) << bridge->Stderr();
    }
}

// Several callers share the loopback: each hears every caller's bytes (the
// writer's only with --one-writer), in the order they were written.
TEST(ToolBridge, CallersShareTheOtherSide)
{
    const struct {
        int callers;
        bool oneWriter;
    } cases[] = {{2, false}, {3, false}, {2, true}, {3, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.callers) + (c.oneWriter ? " callers, one writer" : " callers"));
        std::uint16_t port = 0;
        auto bridge = StartListening(
            [&](std::uint16_t p) {
                std::vector<std::string> args = {"bridge", "listen:" + std::to_string(p), "loopback", "--clients",
                                                 std::to_string(c.callers)};
                if (c.oneWriter)
                    args.push_back("--one-writer");
                return args;
            },
            UnusedTcpPort, "SIGINT or SIGTERM stops", kTimeoutMs, port);
        ASSERT_TRUE(bridge && bridge->Started());
        std::vector<Fd> callers;
        const std::string readOnly = "tavrin bridge: read-only: caller 1 is the writer; what you send is dropped\r\n";
        for (int id = 1; id <= c.callers; ++id) {
            callers.push_back(ConnectLoopbackTcp(port));
            ASSERT_TRUE(callers.back().Valid());
            ASSERT_TRUE(bridge->WaitForStderr("linked A's caller " + std::to_string(id) + " with B", kTimeoutMs))
                << bridge->Stderr();
            if (c.oneWriter && id > 1)
                EXPECT_EQ(ReceiveExactly(callers.back(), readOnly.size(), kPeerTimeout), readOnly);
        }
        // One more is turned away.
        Fd extra = ConnectLoopbackTcp(port);
        ASSERT_TRUE(bridge->WaitForStderr("caller " + std::to_string(c.callers + 1) + " turned away: callers 1",
                                          kTimeoutMs))
            << bridge->Stderr();
        EXPECT_TRUE(WaitForEndOfStream(extra, kPeerTimeout));

        // Each caller in turn, the last first; every byte value from each.
        for (int from = c.callers - 1; from >= 0; --from) {
            const std::string message = StreamWithZeros(2, static_cast<unsigned char>(from * 50));
            ASSERT_TRUE(SendAll(callers[from], message));
            const std::string expected = c.oneWriter && from != 0 ? std::string() : message;
            if (expected.empty())
                continue;   // an observer's bytes are dropped: the writer's next ones come first
            for (Fd& caller : callers)
                EXPECT_EQ(ReceiveExactly(caller, expected.size(), kPeerTimeout), expected);
        }
        const std::string last = "last\n";
        ASSERT_TRUE(SendAll(callers[0], last));
        for (Fd& caller : callers)
            EXPECT_EQ(ReceiveExactly(caller, last.size(), kPeerTimeout), last);

        if (c.oneWriter) {
            // The writer leaves: the longest-connected of the others writes.
            callers[0].Reset();
            ASSERT_TRUE(bridge->WaitForStderr("A: caller 2 is now the writer", kTimeoutMs)) << bridge->Stderr();
            const std::string told = "tavrin bridge: you are now the writer\r\n";
            EXPECT_EQ(ReceiveExactly(callers[1], told.size(), kPeerTimeout), told);
            ASSERT_TRUE(SendAll(callers[1], "second\n"));
            for (size_t i = 1; i < callers.size(); ++i)
                EXPECT_EQ(ReceiveExactly(callers[i], 7, kPeerTimeout), "second\n");
        }
        EXPECT_EQ(bridge->Stop(SIGTERM, kTimeoutMs), 0) << bridge->Stderr();
        for (size_t i = c.oneWriter ? 1 : 0; i < callers.size(); ++i)
            EXPECT_TRUE(WaitForEndOfStream(callers[i], kPeerTimeout));
    }
}

// A caller of a shared side that stops reading is let go once it is more
// than its backlog behind; the others go on receiving everything.
TEST(ToolBridge, ACallerThatDoesNotReadIsLetGoAndHoldsNoOneUp)
{
    std::uint16_t port = 0;
    auto bridge = StartListening(
        [](std::uint16_t p) {
            return std::vector<std::string>{"bridge", "listen:" + std::to_string(p), "loopback", "--clients", "2"};
        },
        UnusedTcpPort, "SIGINT or SIGTERM stops", kTimeoutMs, port);
    ASSERT_TRUE(bridge && bridge->Started());
    Fd reader = ConnectLoopbackTcp(port);
    ASSERT_TRUE(bridge->WaitForStderr("linked A's caller 1 with B", kTimeoutMs)) << bridge->Stderr();
    Fd idle = ConnectLoopbackTcp(port);
    ASSERT_TRUE(idle.Valid());
    SetBufferSizes(idle, 4096);
    ASSERT_TRUE(bridge->WaitForStderr("linked A's caller 2 with B", kTimeoutMs)) << bridge->Stderr();

    // More than the backlog and whatever the sockets hold on the way.
    const std::string block = StreamWithZeros(31, 9);
    std::string all;
    while (all.size() < (8u << 20))
        all += block;
    std::thread sender([&] { SendAll(reader, all); });
    EXPECT_TRUE(ReceiveExactly(reader, all.size(), kPeerTimeout) == all);   // not printed: 8 MiB
    sender.join();
    EXPECT_TRUE(bridge->WaitForStderr("A: caller 2 fell more than 1 MiB behind: let go", kTimeoutMs))
        << bridge->Stderr();
    EXPECT_EQ(bridge->Stop(SIGTERM, kTimeoutMs), 0) << bridge->Stderr();
}

// A break that a serial line reports reaches a serial port as a break; a
// socket gets a zero byte with --breaks and nothing without.
TEST(ToolBridgeBreaks, ABreakFromTheLineIsCarriedByWhatTheOtherSideIs)
{
    using tavrin::tool::BreakCarried;
    const struct {
        bool toSocket;
        bool zeroIsBreak;
        BreakCarried carried;
    } cases[] = {
        {false, false, BreakCarried::AsBreak},
        {false, true, BreakCarried::AsBreak},
        {true, true, BreakCarried::AsZeroByte},
        {true, false, BreakCarried::NotCarried},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.toSocket ? "socket" : "serial") + (c.zeroIsBreak ? ", --breaks" : ""));
        tavrin::ScriptedLine from("bridge-break-from"), to("bridge-break-to");
        WindowThread window;
        CCom fromCom, toCom;
        CLan lan;
        window.Attach(fromCom);
        ASSERT_TRUE(fromCom.Connect(from.Path().c_str(), nullptr));
        // The line's counters are read first once the port is up: a break
        // counted before would be no change.
        ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));
        std::uint16_t port = 0;
        Fd server = ListenLoopback(port);
        Fd far;
        if (c.toSocket) {
            ASSERT_TRUE(lan.Connect(CString("127.0.0.1"), port));
            far = AcceptWithin(server, kPeerTimeout);
            ASSERT_TRUE(far.Valid());
        } else {
            ASSERT_TRUE(toCom.Connect(to.Path().c_str(), nullptr));
        }
        CDevice& target = c.toSocket ? static_cast<CDevice&>(lan) : toCom;

        from.AddErrorCounts(0, 0, 0, 1, 0);
        ASSERT_TRUE(window.WaitForIndex(DEVMSG_ERROR, 1));
        const std::string text = window.NoticesOf(DEVMSG_ERROR).front().bytes;
        ASSERT_TRUE(tavrin::tool::IsBreakReport(CString(text.c_str()))) << text;
        EXPECT_EQ(tavrin::tool::CarryBreak(target, c.toSocket, c.zeroIsBreak), c.carried);
        if (c.toSocket) {
            // A marker behind it shows whether a zero byte went first.
            BYTE marker = 'm';
            ASSERT_TRUE(lan.Write(&marker, 1));
            EXPECT_EQ(ReceiveExactly(far, c.zeroIsBreak ? 2 : 1, kPeerTimeout),
                      c.zeroIsBreak ? std::string("\0m", 2) : std::string("m"));
            lan.Disconnect();
        } else {
            EXPECT_EQ(to.BreakCount(), 1u);
            toCom.Disconnect();
        }
        fromCom.Disconnect();
    }
    EXPECT_FALSE(tavrin::tool::IsBreakReport(CString("The hardware detected a framing error")));
}

}  // namespace
