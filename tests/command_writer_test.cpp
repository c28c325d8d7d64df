// WriteEx: what it returns, when it queues, and the commands the device
// writes by itself on connect and disconnect.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/LineDevice.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

TEST(CommandWriter, EmptyTextsAndStoppedDevicesWriteNothing)
{
    LineDevice device;
    EXPECT_TRUE(device.WriteEx("AT"));  // not connected
    EXPECT_TRUE(device.WriteEx(nullptr));
    ASSERT_TRUE(device.Connect());
    EXPECT_TRUE(device.WriteEx(""));
    EXPECT_TRUE(device.WaitToIdle(10000));
    EXPECT_TRUE(device.Writes().empty());
    EXPECT_EQ(device.PendingCount(), 0);
    device.Disconnect();
}

TEST(CommandWriter, FromADataHandlerItQueuesAndTheTextIsWrittenAtTheEndOfThatDispatch)
{
    WindowThread window;
    LineDevice device;
    std::atomic<int> result{-1};
    std::atomic<int> writtenInHandler{-1};
    window.SetHook([&](const Notice& n) {
        if (n.index == DEVMSG_DATA && result.load() == -1) {
            result = device.WriteEx("REPLY");
            writtenInHandler = static_cast<int>(device.Writes().size());
        }
        return LRESULT{0};
    });
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    device.Receive("RING");
    EXPECT_EQ(result.load(), FALSE);
    // Queued: its cycles cannot run while the delivery cycle waits for us.
    EXPECT_EQ(writtenInHandler.load(), 0);
    // When DataDone returned the queue had been handed to the script worker.
    EXPECT_EQ(device.PendingCount(), 0);
    ASSERT_TRUE(device.WaitForOps(1));
    EXPECT_EQ(device.Writes(), std::vector<std::string>{"REPLY"});
    device.Disconnect();
}

TEST(CommandWriter, WithBothLocksBusyTheTextIsQueuedUnderItsLockAndStillWritten)
{
    LineDevice device;
    ASSERT_TRUE(device.Connect());
    device.WriteEx("first");  // taken normally
    ASSERT_TRUE(device.WaitForOps(1));
    CEvent held, release;
    // Another thread holds the dispatcher (as a data cycle would) and the
    // queue (as DataDone's replay does), with one text queued.
    std::thread holder([&] {
        device.m_mtxDispatch.Lock(INFINITE);
        device.m_mtxPending.Lock(INFINITE);
        held.SetEvent();
        WaitForSingleObject(release, 10000);
        device.m_mtxPending.Unlock();
        device.m_mtxDispatch.Unlock();
    });
    ASSERT_EQ(WaitForSingleObject(held, 5000), WAIT_OBJECT_0);
    std::atomic<int> result{-1};
    CEvent written;
    std::thread writer([&] {
        result = device.WriteEx("urgent");
        written.SetEvent();
    });
    // After 10 ms for each lock the writer still waits for the queue instead
    // of touching it unlocked.
    EXPECT_EQ(WaitForSingleObject(written, 300), WAIT_TIMEOUT);
    release.SetEvent();
    writer.join();
    holder.join();
    EXPECT_EQ(result.load(), FALSE);
    // Written once the locks are free, without waiting for a received block.
    ASSERT_TRUE(device.WaitForOps(2));
    EXPECT_EQ(device.Writes()[1], "urgent");
    EXPECT_EQ(device.PendingCount(), 0);
    device.Disconnect();
}

TEST(CommandWriter, ConnectDoneWritesTheConnectCommandBeforeTellingTheHost)
{
    WindowThread window;
    LineDevice device;
    device.SetSettings("ATZ^13", "", FALSE, FALSE, TRUE);
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    device.ConnectDone();
    ASSERT_TRUE(window.WaitForCount(1));
    EXPECT_EQ(window.Notices()[0].index, DEVMSG_CONNECTED);
    ASSERT_TRUE(device.WaitForOps(2));
    EXPECT_EQ(device.Writes(), (std::vector<std::string>{"ATZ", "\r"}));
    device.Disconnect();
}

TEST(CommandWriter, DisconnectExWaitsForTheDisconnectScriptToFinish)
{
    WindowThread window;
    LineDevice device;
    device.SetSettings("", "+++~~ATH^13", FALSE, TRUE, FALSE);
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    Stopwatch watch;
    device.DisconnectEx();
    const long long took = watch.Ms();
    EXPECT_FALSE(device.IsConnected());
    EXPECT_EQ(device.Writes(), (std::vector<std::string>{"+++", "ATH", "\r"}));
    // Two pauses, then a quiet second before the workers count as idle.
    EXPECT_GE(took, 1800);
    EXPECT_LT(took, 10000);
    EXPECT_TRUE(window.Notices().empty());
}
