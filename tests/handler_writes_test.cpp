// Writes made on the window's own thread, just before, inside and just
// after the handlers of notifications that a worker is waiting on: where
// each write goes, that nothing is stranded or reordered, and that nothing
// deadlocks.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/LineDevice.h"
#include "support/TestDevices.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

namespace {

// Splits what the window received as data into the tagged blocks written
// by the test ("<writer><sequence>;").
std::vector<std::string> Blocks(const std::string& data)
{
    std::vector<std::string> blocks;
    size_t start = 0;
    for (size_t end = data.find(';'); end != std::string::npos; end = data.find(';', start)) {
        blocks.push_back(data.substr(start, end - start));
        start = end + 1;
    }
    return blocks;
}

}  // namespace

// Right after the handler of "wait set up" returns, the window thread
// writes a command. It must reach the workers at once and be refused by
// the waiting script, not be queued and written once the answer arrives.
TEST(HandlerWrites, ACommandWrittenRightAfterAHandlerReturnsIsRefusedByTheWaitingScript)
{
    WindowThread window;
    LineDevice device;
    CEvent attempted;
    window.SetHook([&](const Notice& n) {
        if (n.index == DEVMSG_SCRIPT_WAIT && n.wParam == 0)
            window.PostLater([&] {
                device.WriteEx("AT");
                attempted.SetEvent();
            });
        return LRESULT{0};
    });
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(Within(10s, [&] { return device.WriteEx("@3#OK#"); }, "WriteEx of a waiting script"));
        ASSERT_EQ(WaitForSingleObject(attempted, 5000), WAIT_OBJECT_0) << "round " << round;
        // The answer ends the wait; a command held back until now would be
        // taken by the idle script and written.
        Within(10s, [&] { device.Receive("OK"); }, "the answer");
        ASSERT_TRUE(window.WaitForIndex(DEVMSG_SCRIPT_WAIT, 2u * (round + 1)));
    }
    // One more block and an idle period let anything still queued out.
    device.Receive("z");
    ASSERT_TRUE(device.WaitToIdle(5000));
    EXPECT_TRUE(device.Writes().empty()) << "first write: " << device.Writes().front();
    device.Disconnect();
}

// The window thread is in its own code while the script worker asks it for
// a value. Its command and its disconnect command must still be written
// although no data arrives on the line.
TEST(HandlerWrites, TheWindowThreadsOwnCommandsAreWrittenWhileAWorkerWaitsForIt)
{
    for (int round = 0; round < 4; ++round) {
        WindowThread window;
        LineDevice device;
        device.SetSettings("", "ATH", FALSE, TRUE, FALSE);
        window.Attach(device);
        ASSERT_TRUE(device.Connect());
        Within(30s, [&] {
            window.PostToWindowThread([&] {
                // Answered before the script runs: the value request follows
                // while this thread goes on with its own work.
                device.WriteEx("%1V");
                device.WriteEx("CMD");
                device.DisconnectEx();
            });
        }, "commands and DisconnectEx on the window thread");
        EXPECT_FALSE(device.IsConnected());
        EXPECT_EQ(device.Writes(), (std::vector<std::string>{"V", "CMD", "ATH"})) << "round " << round;
    }
}

// Blocks written to the loopback by one thread arrive in the order written
// (the order the window thread began its writes: one inside a handler can
// start while a write of its own outside any handler still waits),
// whether a block was handed on (written inside a handler) or dispatched
// on the spot (written after the handler returned). Outside a handler
// Write returns once its block was delivered, also while an earlier block
// is still on its way.
TEST(HandlerWrites, BlocksOfOneThreadArriveInTheOrderWrittenAcrossHandlerBoundaries)
{
    WindowThread window;
    ProbeDevice device;
    constexpr int kRounds = 40;
    std::atomic<int> next{0};
    std::vector<std::string> written;  // on the window thread only
    std::atomic<int> returnedBeforeDelivery{0};
    CEvent finished;
    auto write = [&](const std::string& block) {
        written.push_back(block);
        WriteText(device, block + ";");
    };
    window.SetHook([&](const Notice& n) {
        if (n.index != DEVMSG_DATA || n.bytes.rfind("go", 0) != 0)
            return LRESULT{0};
        const int round = next++;
        write("h" + std::to_string(round));  // handed on: the worker waits for us
        window.PostLater([&, round] {
            const std::string block = "p" + std::to_string(round);
            write(block);
            if (window.DataBytes().find(block + ";") == std::string::npos)
                ++returnedBeforeDelivery;
            if (round + 1 == kRounds)
                finished.SetEvent();
        });
        return LRESULT{0};
    });
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    Within(20s, [&] {
        for (int round = 0; round < kRounds; ++round)
            WriteText(device, "go;");
    }, "writes answered by handlers that write");
    ASSERT_EQ(WaitForSingleObject(finished, 10000), WAIT_OBJECT_0);
    size_t bytes = 3 * kRounds;  // the "go;" blocks
    for (int round = 0; round < kRounds; ++round)
        bytes += 2 * (std::to_string(round).size() + 2);
    ASSERT_TRUE(window.WaitForData(bytes));
    std::vector<std::string> seen;
    // The test thread's own "go" blocks interleave freely.
    for (const std::string& block : Blocks(window.DataBytes()))
        if (block != "go")
            seen.push_back(block);
    window.RunOnWindowThread([&] { EXPECT_EQ(seen, written); });
    EXPECT_EQ(returnedBeforeDelivery, 0);
    device.Disconnect();
}

// A data handler queues two texts; the first text's script pauses, then
// asks the host for a value, and that handler writes a third. The pause
// lets the writing of the queue reach the second text first. Writing the
// queue must not hold it while a script runs, or the three threads wait on
// each other.
TEST(HandlerWrites, QueuedTextsWhoseScriptsAskForValuesAreWrittenWithoutDeadlock)
{
    WindowThread window;
    LineDevice device;
    std::vector<int> results;
    window.SetHook([&](const Notice& n) {
        if (n.index == DEVMSG_DATA && n.bytes == "go") {
            results.push_back(device.WriteEx("~%1A"));
            results.push_back(device.WriteEx("B"));
        } else if (n.index == DEVMSG_SCRIPT_VALUE) {
            results.push_back(device.WriteEx("C"));
        }
        return LRESULT{0};
    });
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    Within(20s, [&] { device.Receive("go"); }, "a block whose handler queues texts");
    ASSERT_TRUE(device.WaitForOps(3));
    EXPECT_EQ(device.Writes(), (std::vector<std::string>{"A", "B", "C"}));
    Within(20s, [&] { device.Disconnect(); }, "Disconnect from a third thread");
    window.PostToWindowThread([] {});
    EXPECT_EQ(results, (std::vector<int>{FALSE, FALSE, FALSE}));
}
