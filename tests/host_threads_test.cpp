// A host that works on the thread that owns its window: writes, commands
// and disconnects from there, and handlers that write back, all without
// deadlock while the workers notify that same window.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <atomic>
#include <string>
#include <vector>

#include "support/LineDevice.h"
#include "support/TestDevices.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

TEST(HostThreads, ALoopbackWriteOnTheWindowThreadIsDeliveredWithinTheCall)
{
    WindowThread window;
    ProbeDevice device;
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    size_t seenOnReturn = 0;
    Within(10s, [&] {
        window.PostToWindowThread([&] {
            WriteText(device, "abc");
            seenOnReturn = window.NoticesOf(DEVMSG_DATA).size();
        });
    }, "loopback write on the window thread");
    EXPECT_EQ(seenOnReturn, 1u);
    EXPECT_EQ(window.DataBytes(), "abc");
    device.Disconnect();
}

TEST(HostThreads, AHandlerThatEchoesToTheLoopbackIsServedInOrder)
{
    WindowThread window;
    ProbeDevice device;
    window.SetHook([&](const Notice& n) {
        if (n.index == DEVMSG_DATA && n.bytes.rfind("ping", 0) == 0)
            WriteText(device, "pong" + n.bytes.substr(4));
        return LRESULT{0};
    });
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    Within(10s, [&] {
        for (int i = 0; i < 5; ++i)
            WriteText(device, "ping" + std::to_string(i));
    }, "writes echoed by the handler");
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_DATA, 10));
    std::vector<std::string> pongs;
    for (const Notice& n : window.NoticesOf(DEVMSG_DATA))
        if (n.bytes.rfind("pong", 0) == 0)
            pongs.push_back(n.bytes);
    EXPECT_EQ(pongs, (std::vector<std::string>{"pong0", "pong1", "pong2", "pong3", "pong4"}));
    device.Disconnect();
}

TEST(HostThreads, WriteExOnTheWindowThreadWhileTheScriptAsksItForAValue)
{
    WindowThread window;
    window.SetHook([](const Notice& n) {
        if (n.index == DEVMSG_SCRIPT_VALUE)
            *reinterpret_cast<CString*>(n.lParam) = "555";
        return LRESULT{0};
    });
    LineDevice device;
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    Within(10s, [&] {
        window.PostToWindowThread([&] {
            device.WriteEx("~%1X^13");
            // The examine cycle of this text waits for the script worker,
            // which is asking this very thread for value 1.
            device.WriteEx("AT");
        });
    }, "WriteEx on the window thread");
    ASSERT_TRUE(device.WaitForOps(3));
    EXPECT_EQ(device.Writes(), (std::vector<std::string>{"555", "\r", "AT"}));
    device.Disconnect();
}

TEST(HostThreads, DisconnectExOnTheWindowThreadDoesNotWaitOutItsMinute)
{
    WindowThread window;
    LineDevice device;
    device.SetSettings("", "ATH^13@1#OK#", FALSE, TRUE, FALSE);
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    Stopwatch watch;
    Within(30s, [&] { window.PostToWindowThread([&] { device.DisconnectEx(); }); }, "DisconnectEx");
    // The wait's notices reach the window while DisconnectEx waits for idle:
    // one wait of a second, then a quiet second.
    EXPECT_LT(watch.Ms(), 10000);
    EXPECT_GE(watch.Ms(), 1500);
    EXPECT_FALSE(device.IsConnected());
    EXPECT_EQ(device.Writes(), (std::vector<std::string>{"ATH", "\r"}));
    std::vector<WPARAM> waits;
    for (const Notice& n : window.NoticesOf(DEVMSG_SCRIPT_WAIT))
        waits.push_back(n.wParam);
    EXPECT_EQ(waits, (std::vector<WPARAM>{0, 1}));
}

TEST(HostThreads, WriteExFromAHandlerInsideACycleOnItsOwnThreadIsQueued)
{
    WindowThread window;
    ProbeDevice device;
    std::atomic<int> result{-1};
    window.SetHook([&](const Notice& n) {
        if (n.index == DEVMSG_DATA && n.bytes == "x")
            result = device.WriteEx("REPLY");
        return LRESULT{0};
    });
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    Within(10s, [&] { window.PostToWindowThread([&] { WriteText(device, "x"); }); }, "write with a nested WriteEx");
    EXPECT_EQ(result.load(), FALSE);
    // Written by the script worker at the end of that cycle, and looped back.
    ASSERT_TRUE(window.WaitForData(6));
    EXPECT_EQ(window.DataBytes(), "xREPLY");
    device.Disconnect();
}

TEST(HostThreads, WriteExFromAValueHandlerIsQueuedAndWrittenOnAQuietLine)
{
    WindowThread window;
    LineDevice device;
    std::atomic<int> result{-1};
    window.SetHook([&](const Notice& n) {
        if (n.index == DEVMSG_SCRIPT_VALUE)
            result = device.WriteEx("LATER");
        return LRESULT{0};
    });
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    device.WriteEx("%1X");
    // On a quiet line the queued text is written once the script has
    // answered its run cycle, not left for a received block.
    ASSERT_TRUE(device.WaitForOps(2));
    EXPECT_EQ(result.load(), FALSE);
    EXPECT_EQ(device.Writes(), (std::vector<std::string>{"X", "LATER"}));
    EXPECT_EQ(device.PendingCount(), 0);
    device.Disconnect();
}
