// The loopback data path end to end: Write on one thread, DEVMSG_DATA in a
// window on another, forwarding to a linked device, and the quiet cost of
// an idle device.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#endif
#include <tavrin/Tavrin.h>

#include <string>
#include <thread>
#include <vector>

#include "support/TestDevices.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;

namespace {

long long ProcessCpuMicroseconds()
{
#if defined(_WIN32)
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    const auto ticks = [](const FILETIME& t) {
        return (static_cast<long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return (ticks(kernel) + ticks(user)) / 10;  // 100 ns units
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
#endif
}

}  // namespace

TEST(LoopbackData, WrittenBytesArriveAsOneDataNotificationPointingIntoTheBlock)
{
    WindowThread window;
    ProbeDevice device;
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    BYTE block[5] = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_TRUE(device.Write(block, 5));
    // The write is synchronous: the notification was handled before it returned.
    auto notices = window.Notices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].index, DEVMSG_DATA);
    EXPECT_EQ(notices[0].wParam, 5u);
    EXPECT_EQ(notices[0].bytes, "hello");
    EXPECT_EQ(notices[0].lParam, reinterpret_cast<LPARAM>(block));  // never copied
    EXPECT_EQ(notices[0].thread, window.ThreadId());
    device.Disconnect();
}

TEST(LoopbackData, NothingArrivesWithoutRunningWorkersOrWithoutAMessageNumber)
{
    WindowThread window;
    ProbeDevice device;
    window.Attach(device);
    EXPECT_TRUE(WriteText(device, "before connect"));
    EXPECT_TRUE(WriteText(device, ""));
    ASSERT_TRUE(device.Connect());
    device.SetMessage(DEVMSG_DATA, 0);
    EXPECT_TRUE(WriteText(device, "no number"));
    device.Disconnect();
    window.Attach(device);
    EXPECT_TRUE(WriteText(device, "after disconnect"));
    EXPECT_FALSE(window.WaitForCount(1, std::chrono::milliseconds(150)));
}

TEST(LoopbackData, ALinkedDeviceGetsRunsAsWritesAndZeroBytesAsBreaks)
{
    ProbeDevice device;
    RecordingDevice partner;
    ASSERT_TRUE(device.Connect());
    device.LinkDevice(&partner);
    WriteText(device, std::string("AB\0\0C", 5));
    EXPECT_EQ(partner.Ops(), (std::vector<std::string>{"W:AB", "B", "B", "W:C"}));
    WriteText(device, std::string("\0\0\0", 3));
    EXPECT_EQ(partner.Ops().size(), 7u);
    EXPECT_EQ(partner.Ops()[6], "B");
    WriteText(device, std::string("\0Z\0", 3));
    EXPECT_EQ(partner.Ops(), (std::vector<std::string>{"W:AB", "B", "B", "W:C", "B", "B", "B", "B", "W:Z", "B"}));
    device.Disconnect();
    EXPECT_FALSE(device.IsLinkedDevice());
    WriteText(device, "X");
    EXPECT_EQ(partner.Ops().size(), 10u);
}

TEST(LoopbackData, ATransparentDeviceTakesEveryByteAsDataAndForwardsZeroBytes)
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    // By default a stray frame (SOH up to CAN) is taken out of what the host
    // sees, and the partner gets the zero byte as a break.
    const struct {
        BOOL transparent;
        std::string hostSees;
        std::vector<std::string> partnerOps;
    } cases[] = {
        {FALSE, all.substr(0, 1) + all.substr(PACKET_CAN + 1), {"B", "W:" + all.substr(1)}},
        {TRUE, all, {"W:" + all}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.transparent);
        WindowThread window;
        CDevice device;
        RecordingDevice partner;
        window.Attach(device);
        device.SetTransparent(c.transparent);
        EXPECT_EQ(device.IsTransparent(), c.transparent);
        ASSERT_TRUE(device.Connect());
        device.LinkDevice(&partner);
        // A packet link on and off again leaves the setting as it was.
        device.ChangeMode(MODE_PACKET);
        device.ChangeMode(0);
        std::string bytes = all;
        ASSERT_TRUE(device.Write(reinterpret_cast<BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size())));
        EXPECT_EQ(window.DataBytes(), c.hostSees);
        EXPECT_EQ(partner.Ops(), c.partnerOps);
        EXPECT_EQ(device.IsTransparent(), c.transparent);
        device.Disconnect();
    }
}

TEST(LoopbackData, DisconnectOnTheWindowThreadWhileAWriteNotifiesItDoesNotDeadlock)
{
    WindowThread window;
    ProbeDevice device;
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    CEvent writing;
    std::thread writer;
    Within(
        std::chrono::seconds(10),
        [&] {
            window.RunOnWindowThread([&] {
                writer = std::thread([&] {
                    writing.SetEvent();
                    for (int i = 0; i < 50; ++i)
                        WriteText(device, "data");
                });
                WaitForSingleObject(writing, 5000);
                // The writer's cycles notify this very thread while it
                // disconnects.
                device.Disconnect();
            });
        },
        "Disconnect during a write");
    writer.join();
    EXPECT_FALSE(device.IsConnected());
    for (const Notice& notice : window.NoticesOf(DEVMSG_DATA))
        EXPECT_EQ(notice.bytes, "data");
}

TEST(LoopbackData, AnIdleConnectedDeviceOnlyTicksOnceASecond)
{
    ProbeDevice device;
    ASSERT_TRUE(device.Connect());
    const long long before = ProcessCpuMicroseconds();
    Stopwatch watch;
    // Returns after each worker's one-second tick.
    EXPECT_TRUE(device.WaitToIdle(5000));
    const long long cpu = ProcessCpuMicroseconds() - before;
    EXPECT_GE(watch.Ms(), 900);
    EXPECT_LT(cpu, 50000) << "an idle device used " << cpu << " us of CPU in " << watch.Ms() << " ms";
    device.Disconnect();
}
