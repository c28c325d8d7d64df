// CDevice lifecycle: construction, copy, connect, disconnect, destruction,
// the partner link and waiting for idle.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "support/TestDevices.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;

TEST(DeviceLifecycle, ANewDeviceIsStoppedAndSilentUntilItsHostSetsMessageNumbers)
{
    WindowThread window;
    ProbeDevice device;
    EXPECT_FALSE(device.IsConnected());
    EXPECT_FALSE(device.HasStopEvent());
    EXPECT_FALSE(device.IsLinkedDevice());
    EXPECT_EQ(device.Mode(), 0u);
    // A window alone is not enough: every message number starts at 0, so
    // a received block reaches no one.
    for (int i = 0; i < DEVMSG_COUNT; ++i)
        EXPECT_EQ(device.GetMessageA(i), 0u) << "index " << i;
    device.EnableNotify(window.Window());
    ASSERT_TRUE(device.Connect());
    BYTE block[4] = {'d', 'a', 't', 'a'};
    EXPECT_TRUE(device.Write(block, sizeof block));
    EXPECT_FALSE(window.WaitForCount(1, std::chrono::milliseconds(150)));
    // Once the host numbers the notification, the same write is heard.
    device.SetMessage(DEVMSG_DATA, kNotifyBase + DEVMSG_DATA);
    EXPECT_TRUE(device.Write(block, sizeof block));
    ASSERT_TRUE(window.WaitForCount(1));
    EXPECT_EQ(window.DataBytes(), "data");
    device.Disconnect();
}

TEST(DeviceLifecycle, SecondConnectFailsAndKeepsTheOneSetOfWorkers)
{
    ProbeDevice device;
    ASSERT_TRUE(device.Connect());
    ASSERT_TRUE(device.IsConnected());
    auto first = device.DuplicateWorkerThreads();
    ASSERT_EQ(first.size(), 3u);
    EXPECT_FALSE(device.Connect());
    auto second = device.DuplicateWorkerThreads();
    ASSERT_EQ(second.size(), 3u);
#if defined(_WIN32)
    // Windows makes a new handle on every duplication; the ids name the threads.
    const auto ids = [](const std::vector<HANDLE>& handles) {
        std::vector<DWORD> result;
        for (HANDLE handle : handles)
            result.push_back(GetThreadId(handle));
        return result;
    };
    EXPECT_EQ(ids(first), ids(second));  // the same threads, none added
#else
    EXPECT_EQ(first, second);  // the same thread objects, none added
#endif
    EXPECT_FALSE(AllEnded(first, 0));
    device.Disconnect();
    EXPECT_FALSE(device.IsConnected());
    EXPECT_TRUE(AllEnded(first, 0)) << "Disconnect returned before its workers ended";
    CloseAll(first);
    CloseAll(second);
}

TEST(DeviceLifecycle, DisconnectOfAStoppedDeviceDoesNothing)
{
    ProbeDevice device;
    device.Disconnect();
    EXPECT_FALSE(device.IsConnected());
    EXPECT_FALSE(device.HasStopEvent());
    // And the device connects normally afterwards, any number of times.
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(device.Connect());
        EXPECT_TRUE(device.IsConnected());
        device.Disconnect();
        EXPECT_FALSE(device.IsConnected());
    }
}

TEST(DeviceLifecycle, DestroyingARunningDeviceStopsItsWorkersFirst)
{
    auto device = std::make_unique<ProbeDevice>();
    ASSERT_TRUE(device->Connect());
    auto workers = device->DuplicateWorkerThreads();
    ASSERT_EQ(workers.size(), 3u);
    device.reset();
    EXPECT_TRUE(AllEnded(workers, 0));
    CloseAll(workers);
}

TEST(DeviceLifecycle, CopyOfARunningLinkedDeviceIsStoppedAndCarriesOnlyTheSettings)
{
    WindowThread window;
    ProbeDevice source, partner;
    source.SetSettings("ATZ^13", "ATH^13", TRUE, TRUE, FALSE);
    window.Attach(source);
    source.ChangeMode(MODE_PACKET);
    ASSERT_TRUE(source.Connect());
    source.LinkDevice(&partner);

    ProbeDevice copy(source);
    EXPECT_FALSE(copy.IsConnected());
    EXPECT_FALSE(copy.HasStopEvent());
    EXPECT_FALSE(copy.IsLinkedDevice());
    EXPECT_EQ(copy.NotifyWindow(), nullptr);
    EXPECT_EQ(copy.Mode(), 0u);
    for (int i = 0; i < DEVMSG_COUNT; ++i)
        EXPECT_EQ(copy.GetMessageA(i), 0u);
    EXPECT_EQ(copy.ConnectCommand(), "ATZ^13");
    EXPECT_EQ(copy.DisconnectCommand(), "ATH^13");
    EXPECT_TRUE(copy.IsAutoOnline());
    EXPECT_TRUE(copy.SendDisconnectSwitch());
    EXPECT_FALSE(copy.SendConnectSwitch());
    // The source is untouched.
    EXPECT_TRUE(source.IsConnected());
    EXPECT_TRUE(source.IsLinkedDevice());
    source.Disconnect();
}

TEST(DeviceLifecycle, EveryUnlinkingEndsThePairingOnBothSides)
{
    ProbeDevice a, b, c;
    a.LinkDevice(&b);
    EXPECT_TRUE(a.IsLinkedDevice());
    EXPECT_TRUE(b.IsLinkedDevice());
    a.LinkDevice(nullptr);
    EXPECT_FALSE(a.IsLinkedDevice());
    EXPECT_FALSE(b.IsLinkedDevice());

    a.LinkDevice(&b);
    b.LinkDevice(nullptr);
    EXPECT_FALSE(a.IsLinkedDevice());
    EXPECT_FALSE(b.IsLinkedDevice());

    a.LinkDevice(&b);
    a.Disconnect();
    EXPECT_FALSE(a.IsLinkedDevice());
    EXPECT_FALSE(b.IsLinkedDevice());

    // Re-pairing unpairs the former partner of the caller only.
    a.LinkDevice(&b);
    a.LinkDevice(&c);
    EXPECT_FALSE(b.IsLinkedDevice());
    EXPECT_TRUE(c.IsLinkedDevice());
    EXPECT_TRUE(a.IsLinkedDevice());
    a.LinkDevice(nullptr);
}

// What a forward does to a partner, kept outside the partner so that it can
// be read after the partner has gone.
struct ForwardCalls {
    std::atomic<bool> disconnected{false};
    std::atomic<int> late{0};   // calls that began after Disconnect returned
    CEvent arrived;
};

class CountingPartner : public CDevice {
public:
    explicit CountingPartner(ForwardCalls& calls) : m_calls(calls) {}
    BOOL Write(BYTE*, DWORD) override
    {
        Call();
        return TRUE;
    }
    void SendBreak() override { Call(); }

private:
    void Call()
    {
        if (m_calls.disconnected)
            ++m_calls.late;
        m_calls.arrived.SetEvent();
    }
    ForwardCalls& m_calls;
};

TEST(DeviceLifecycle, APartnerDisconnectedMidForwardIsNotUsedOnceDisconnectReturns)
{
    ProbeDevice source;
    ASSERT_TRUE(source.Connect());
    std::atomic<bool> streaming{true};
    // Every other byte a zero: each block reaches the partner as a thousand
    // calls, so a disconnect mostly lands inside a forward.
    std::thread writer([&] {
        std::string block(1024, 'x');
        for (size_t i = 1; i < block.size(); i += 2)
            block[i] = '\0';
        while (streaming)
            WriteText(source, block);
    });
    ForwardCalls calls;
    Within(std::chrono::seconds(60), [&] {
        for (int round = 0; round < 200; ++round) {
            auto partner = std::make_unique<CountingPartner>(calls);
            ASSERT_TRUE(partner->Connect());
            calls.disconnected = false;
            calls.arrived.ResetEvent();
            source.LinkDevice(partner.get());
            ASSERT_EQ(WaitForSingleObject(calls.arrived, 5000), WAIT_OBJECT_0);
            partner->Disconnect();
            calls.disconnected = true;
            partner.reset();
        }
    }, "disconnecting partners");
    streaming = false;
    writer.join();
    source.Disconnect();
    EXPECT_EQ(calls.late.load(), 0) << "a forward went on into a partner whose Disconnect had returned";
}

TEST(DeviceLifecycle, WaitToIdleTimesOutOnAStoppedDeviceAndReturnsOnARunningOne)
{
    ProbeDevice device;
    Stopwatch stopped;
    EXPECT_FALSE(device.WaitToIdle(500));
    EXPECT_GE(stopped.Ms(), 450);
    EXPECT_LT(stopped.Ms(), 3000);

    ASSERT_TRUE(device.Connect());
    Stopwatch running;
    // Each worker reports idle after a second without events.
    EXPECT_TRUE(device.WaitToIdle(5000));
    EXPECT_GE(running.Ms(), 900);
    EXPECT_LT(running.Ms(), 4000);
    device.Disconnect();
}

#if !defined(_WIN32)
TEST(DeviceLifecycle, AnIdleDevicesWorkersSleepWithoutWakeUps)
{
    ProbeDevice device;
    // A runtime that starts a helper thread with the process's first
    // thread (ThreadSanitizer's) does so now, not among the workers.
    std::thread([] {}).join();
    const std::vector<int> before = ProcessThreadIds();
    ASSERT_TRUE(device.Connect());
    const std::vector<int> workers = ThreadsSince(before);
    ASSERT_EQ(workers.size(), static_cast<size_t>(WORKER_COUNT));
    // Start-up over: from here a wake-up is one a thread makes by itself.
    ASSERT_TRUE(WaitUntilOthersSleep());
    EXPECT_EQ(ThreadsThatWake(workers, 1500), std::vector<int>{});
    device.Disconnect();
}

TEST(DeviceLifecycle, BlocksNobodyHearsOfWakeNoWorker)
{
    // Plain data whose notification reaches no host is scanned and
    // delivered by the writing thread alone; one that is heard still comes
    // from the data worker.
    enum class Host { None, NoDataMessage, Listening };
    for (const Host host : {Host::None, Host::NoDataMessage, Host::Listening}) {
        SCOPED_TRACE(static_cast<int>(host));
        WindowThread window;
        CDevice device;
        if (host != Host::None)
            window.Attach(device);
        if (host == Host::NoDataMessage)
            device.SetMessage(DEVMSG_DATA, 0);
        const std::vector<int> before = ProcessThreadIds();
        ASSERT_TRUE(device.Connect());
        const std::vector<int> workers = ThreadsSince(before);
        ASSERT_EQ(workers.size(), static_cast<size_t>(WORKER_COUNT));
        // A thread that looks asleep may still be inside its start-up work
        // (blocked on a lock, holding its seat): a burst written then may
        // rightly wake it. Once idle, no burst may; so a few bursts are
        // tried, and every one of them waking a worker is the fault.
        const int expected = host == Host::Listening ? 1 : 0;
        int woke = -1;
        for (int attempt = 1; attempt <= 3 && woke != expected; ++attempt) {
            ASSERT_TRUE(WaitUntilOthersSleep());
            std::vector<long> switches;
            for (int tid : workers)
                switches.push_back(VoluntarySwitches(tid));
            BYTE block[256];
            std::fill(std::begin(block), std::end(block), static_cast<BYTE>('d'));
            for (int i = 0; i < 100; ++i)
                ASSERT_TRUE(device.Write(block, sizeof block));
            if (host == Host::Listening)
                EXPECT_TRUE(window.WaitForData(attempt * 100 * sizeof block));
            woke = 0;
            for (size_t i = 0; i < workers.size(); ++i)
                woke += VoluntarySwitches(workers[i]) != switches[i] ? 1 : 0;
        }
        EXPECT_EQ(woke, expected);
        device.Disconnect();
    }
}
#endif

TEST(DeviceLifecycle, DisconnectExWithoutTheSwitchDisconnectsAtOnceAndSilently)
{
    WindowThread window;
    ProbeDevice device;
    device.SetSettings("", "ATH", FALSE, FALSE, FALSE);
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    Stopwatch watch;
    device.DisconnectEx();
    EXPECT_LT(watch.Ms(), 1000);
    EXPECT_FALSE(device.IsConnected());
    EXPECT_EQ(device.NotifyWindow(), nullptr);
    EXPECT_FALSE(window.WaitForCount(1, std::chrono::milliseconds(100)));

    // On a stopped device it only detaches the window.
    window.Attach(device);
    device.DisconnectEx();
    EXPECT_EQ(device.NotifyWindow(), nullptr);
}

TEST(DeviceLifecycle, ConnectAfterALinkDroppedByItselfReplacesTheOldWorkers)
{
    WindowThread window;
    ProbeDevice device;
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    auto old = device.DuplicateWorkerThreads();
    device.DisconnectDone();
    EXPECT_FALSE(device.IsConnected());
    EXPECT_FALSE(device.IsEnableNotify());
    ASSERT_TRUE(window.WaitForCount(1));
    EXPECT_EQ(window.Notices()[0].index, DEVMSG_DISCONNECTED);
    EXPECT_EQ(window.Notices()[0].lParam, reinterpret_cast<LPARAM>(static_cast<CDevice*>(&device)));
    EXPECT_FALSE(AllEnded(old, 0));  // the workers still run, as specified

    EXPECT_TRUE(device.Connect());
    EXPECT_TRUE(device.IsConnected());
    EXPECT_TRUE(AllEnded(old, 0));
    auto fresh = device.DuplicateWorkerThreads();
    EXPECT_EQ(fresh.size(), 3u);
    device.Disconnect();
    CloseAll(old);
    CloseAll(fresh);
}
