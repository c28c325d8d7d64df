// Notifications: message numbers, missing or destroyed windows, the
// notification lock, and pointer-sized parameters.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <atomic>
#include <thread>

#include "support/TestDevices.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;

namespace {
constexpr auto kQuiet = std::chrono::milliseconds(150);
}

TEST(DeviceNotify, MessageNumberZeroIsNotSentButIsPosted)
{
    WindowThread window;
    ProbeDevice device;
    device.EnableNotify(window.Window());
    EXPECT_TRUE(device.IsEnableNotify());
    EXPECT_EQ(device.SendNotify(0, 1, 2), 0);
    EXPECT_NE(device.PostNotify(0, 5, 6), 0);
    ASSERT_TRUE(window.WaitForCount(1));
    auto notices = window.Notices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].message, 0u);
    EXPECT_EQ(notices[0].wParam, 5u);
    EXPECT_EQ(notices[0].lParam, 6);
}

TEST(DeviceNotify, SendReturnsTheHandlersAnswerAndCarriesFullPointers)
{
    WindowThread window;
    window.SetHook([](const Notice& n) { return static_cast<LRESULT>(n.wParam + 1); });
    ProbeDevice device;
    device.EnableNotify(window.Window());
    // A value above 32 bits: a pointer on a 64-bit host must arrive whole.
    const LPARAM wide = static_cast<LPARAM>(0x123456789ABCLL);
    EXPECT_EQ(device.SendNotify(WM_APP + 7, 41, wide), 42);
    EXPECT_NE(device.PostNotify(WM_APP + 8, 0, wide), 0);
    ASSERT_TRUE(window.WaitForCount(2));
    EXPECT_EQ(window.Notices()[0].lParam, wide);
    EXPECT_EQ(window.Notices()[1].lParam, wide);
}

TEST(DeviceNotify, NothingReachesAMissingOrDestroyedWindow)
{
    ProbeDevice device;
    EXPECT_FALSE(device.IsEnableNotify());
    EXPECT_EQ(device.SendNotify(WM_APP, 0, 0), 0);
    EXPECT_EQ(device.PostNotify(WM_APP, 0, 0), 0);

    HWND gone = nullptr;
    {
        WindowThread window;
        gone = window.Window();
    }
    device.EnableNotify(gone);
    EXPECT_FALSE(device.IsEnableNotify());
    EXPECT_EQ(device.SendNotify(WM_APP, 0, 0), 0);
    EXPECT_EQ(device.PostNotify(WM_APP, 0, 0), 0);
}

TEST(DeviceNotify, AfterDisconnectDoneNothingIsSentUntilEnableNotify)
{
    WindowThread window;
    ProbeDevice device;
    window.Attach(device);
    device.DisconnectDone();
    ASSERT_TRUE(window.WaitForCount(1));
    EXPECT_FALSE(device.IsEnableNotify());
    for (int i = 0; i < DEVMSG_COUNT; ++i)
        EXPECT_EQ(device.SendNotify(device.GetMessageA(i), 0, 0), 0);
    device.EnableNotify(window.Window());
    EXPECT_TRUE(device.IsEnableNotify());
    device.SendNotify(device.GetMessageA(DEVMSG_CALL), 0, 0);
    ASSERT_TRUE(window.WaitForCount(2));
    EXPECT_EQ(window.Notices().size(), 2u);
}

TEST(DeviceNotify, ErrorDoneSendsOnlyNonEmptyTexts)
{
    WindowThread window;
    CString seen;
    window.SetHook([&](const Notice& n) {
        if (n.index == DEVMSG_ERROR)
            seen = *reinterpret_cast<const CString*>(n.lParam);
        return LRESULT{0};
    });
    ProbeDevice device;
    window.Attach(device);
    CString empty;
    device.ErrorDone(empty, 7);
    CString text("Framing error");
    device.ErrorDone(text, 0x30);
    ASSERT_TRUE(window.WaitForCount(1));
    auto notices = window.Notices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].index, DEVMSG_ERROR);
    EXPECT_EQ(notices[0].wParam, 0x30u);
    EXPECT_EQ(seen, "Framing error");
}

TEST(DeviceNotify, ConnectDoneTellsTheHost)
{
    WindowThread window;
    ProbeDevice device;
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    device.ConnectDone();
    ASSERT_TRUE(window.WaitForCount(1));
    EXPECT_EQ(window.Notices()[0].index, DEVMSG_CONNECTED);
    EXPECT_EQ(window.Notices()[0].lParam, 0);
    device.Disconnect();
}

TEST(DeviceNotify, IndicesOutsideTheTableAreIgnored)
{
    ProbeDevice device;
    device.SetMessage(-1, 5);
    device.SetMessage(DEVMSG_COUNT, 5);
    EXPECT_EQ(device.GetMessageA(-1), 0u);
    EXPECT_EQ(device.GetMessageA(DEVMSG_COUNT), 0u);
    device.SetMessage(DEVMSG_CALL, 9);
    EXPECT_EQ(device.GetMessageA(DEVMSG_CALL), 9u);
}

TEST(DeviceNotify, ASecondSenderIsDroppedWhileAHandlerHoldsTheLockLongerThan100ms)
{
    WindowThread window;
    CEvent inHandler, release;
    window.SetHook([&](const Notice& n) {
        if (n.wParam == 1) {
            inHandler.SetEvent();
            WaitForSingleObject(release, 5000);
        }
        return LRESULT{1};
    });
    ProbeDevice device;
    device.EnableNotify(window.Window());
    std::atomic<LRESULT> firstResult{-1};
    std::thread first([&] { firstResult = device.SendNotify(WM_APP + 1, 1, 0); });
    ASSERT_EQ(WaitForSingleObject(inHandler, 5000), WAIT_OBJECT_0);

    Stopwatch watch;
    EXPECT_EQ(device.SendNotify(WM_APP + 1, 2, 0), 0);
    const long long waited = watch.Ms();
    EXPECT_GE(waited, 90);
    EXPECT_LT(waited, 2000);
    EXPECT_EQ(device.PostNotify(WM_APP + 1, 3, 0), 0);

    release.SetEvent();
    first.join();
    EXPECT_EQ(firstResult.load(), 1);
    EXPECT_FALSE(window.WaitForCount(2, kQuiet));
    ASSERT_EQ(window.Notices().size(), 1u);
    EXPECT_EQ(window.Notices()[0].wParam, 1u);
}

TEST(DeviceNotify, TheLockIsRecursiveForAHandlerOnTheNotifyingThread)
{
    WindowThread window;
    ProbeDevice device;
    device.EnableNotify(window.Window());
    std::atomic<LRESULT> inner{-1};
    window.SetHook([&](const Notice& n) {
        if (n.wParam == 1)
            inner = device.SendNotify(WM_APP + 2, 2, 0);
        return LRESULT{5};
    });
    window.RunOnWindowThread([&] { device.SendNotify(WM_APP + 2, 1, 0); });
    EXPECT_EQ(inner.load(), 5);
    EXPECT_EQ(window.Notices().size(), 2u);
}
