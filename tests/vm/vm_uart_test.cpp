// CCom on a 16550A UART and its Linux driver (the guest's ttyS1), as a user
// who is not root: data, line settings read back from the driver, breaks,
// the status-line wait that no line change ever ends, and the port's
// ownership.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <tavrin/Tavrin.h>

#include <string>
#include <vector>

#include "VmPeer.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace tavrin::vm;
using namespace std::chrono_literals;

namespace {

const char* const kBreakText = "The hardware detected a break condition";

class Uart : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Raw bytes: no packet link or script claims any of them.
        com.SetTransparent(TRUE);
        ASSERT_TRUE(peer.Flush("uart")) << peer.LastAnswer();
    }
    void TearDown() override { Close(); }
    void Close() { Within(10s, [&] { com.Disconnect(); }, "Disconnect"); }

    void Open(DCB dcb) { ASSERT_TRUE(tavrin::vm::Open(com, window, kUart, dcb)); }

    VmPeer peer;
    WindowThread window;
    CCom com;
};

}  // namespace

TEST_F(Uart, EveryByteValuePassesBothWaysAtEachRate)
{
    const std::string bytes = EveryByte();
    std::string expected;
    for (DWORD rate : {9600u, 57600u, 115200u}) {
        SCOPED_TRACE(rate);
        Close();
        Open(LineDcb(rate));
        ASSERT_TRUE(com.Write(reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data())), 256));
        auto got = peer.Receive("uart", 256, 10000);
        ASSERT_TRUE(got) << peer.LastAnswer();
        EXPECT_EQ(*got, bytes);
        ASSERT_TRUE(peer.Send("uart", bytes));
        expected += bytes;
        ASSERT_TRUE(window.WaitForData(expected.size(), 10s)) << window.DataBytes().size();
        EXPECT_EQ(window.DataBytes(), expected);
    }
}

TEST_F(Uart, TheDriverHoldsTheSettingsAsked)
{
    struct Case {
        DWORD rate;
        BYTE bits, parity, stop;
    };
    const Case cases[] = {{1200, 7, EVENPARITY, ONESTOPBIT},  {9600, 8, NOPARITY, ONESTOPBIT},
                          {38400, 5, ODDPARITY, TWOSTOPBITS}, {57600, 8, MARKPARITY, TWOSTOPBITS},
                          {115200, 6, SPACEPARITY, ONESTOPBIT}, {300, 8, NOPARITY, TWOSTOPBITS}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        Close();
        Open(LineDcb(c.rate, c.bits, c.parity, c.stop));
        DCB now;
        ASSERT_TRUE(com.GetState(now));
        EXPECT_EQ(now.BaudRate, c.rate);
        EXPECT_EQ(now.ByteSize, c.bits);
        EXPECT_EQ(now.Parity, c.parity);
        EXPECT_EQ(now.StopBits, c.stop);
    }
}

// 250000 baud is beyond a 16550 clocked for 115200: its driver keeps the old
// rate and says nothing. The port refuses it instead of running at a rate
// the caller did not ask for, and keeps working at the old one.
TEST_F(Uart, ARateTheUartCannotMakeIsRefused)
{
    Open(LineDcb(9600));
    DCB asked = LineDcb(250000);
    Close();

    EXPECT_FALSE(com.Connect(kUart, &asked));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Open(LineDcb(115200));
    DCB now;
    ASSERT_TRUE(com.GetState(now));
    EXPECT_EQ(now.BaudRate, 115200u);
    ASSERT_TRUE(peer.Send("uart", "ok"));
    ASSERT_TRUE(window.WaitForData(2));
}

TEST_F(Uart, ABreakOnTheLineIsReportedAndIsNoData)
{
    Open(LineDcb(115200));
    ASSERT_TRUE(peer.Break()) << peer.LastAnswer();
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_ERROR, 1));
    EXPECT_EQ(window.NoticesOf(DEVMSG_ERROR).front().bytes, kBreakText);
    ASSERT_TRUE(peer.Send("uart", std::string("a\0\xff" "b", 4)));
    ASSERT_TRUE(window.WaitForData(4));
    EXPECT_EQ(window.DataBytes(), std::string("a\0\xff" "b", 4));
    EXPECT_EQ(window.NoticesOf(DEVMSG_ERROR).size(), 1u);
}

// The status lines of this UART never change, so the port's watcher stays
// in its wait until Disconnect interrupts it, whatever the host did with
// signals.
TEST_F(Uart, DisconnectEndsTheStatusWaitWhateverTheHostDoesWithSignals)
{
    enum class Host { Plain, BlocksEverySignal, RestartingSigurgHandler };
    for (Host host : {Host::Plain, Host::BlocksEverySignal, Host::RestartingSigurgHandler}) {
        SCOPED_TRACE(static_cast<int>(host));
        sigset_t all, previousMask;
        sigfillset(&all);
        struct sigaction restarting {}, previousAction {};
        restarting.sa_handler = [](int) {};
        restarting.sa_flags = SA_RESTART;
        if (host == Host::RestartingSigurgHandler)
            ASSERT_EQ(sigaction(SIGURG, &restarting, &previousAction), 0);
        // The port's threads start from this one and keep its mask.
        if (host == Host::BlocksEverySignal)
            ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &all, &previousMask), 0);

        {
            WindowThread hostWindow;
            CCom port;
            hostWindow.Attach(port);
            DCB dcb = LineDcb(115200);
            ASSERT_TRUE(port.Connect(kUart, &dcb)) << "error " << GetLastError();
            // Every thread of the port asleep: the watcher is in its wait.
            ASSERT_TRUE(WaitUntilOthersSleep());
            Stopwatch watch;
            Within(10s, [&] { port.Disconnect(); }, "Disconnect");
            EXPECT_LT(watch.Ms(), 2000);
            EXPECT_TRUE(hostWindow.WaitForIndex(DEVMSG_DISCONNECTED, 1));
        }
        if (host == Host::BlocksEverySignal)
            pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        if (host == Host::RestartingSigurgHandler)
            sigaction(SIGURG, &previousAction, nullptr);
    }
}

TEST_F(Uart, AUserConnectsAgainAndASecondOpenerIsRefused)
{
    ASSERT_NE(getuid(), 0u) << "the lane runs its suites as a user";
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Open(LineDcb(115200));
        CCom second;
        DCB other = LineDcb(9600);
        EXPECT_FALSE(second.Connect(kUart, &other));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        Close();
    }
    Open(LineDcb(115200));
    ASSERT_TRUE(peer.Send("uart", "again"));
    ASSERT_TRUE(window.WaitForData(5));
    EXPECT_EQ(window.DataBytes(), "again");
}
