// CCom's reports of status lines, status changes and line errors, on a
// scripted line that plays back what a real UART would show.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <string>
#include <utility>
#include <vector>

#include "support/PtyPair.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

namespace {

using Reports = std::vector<std::pair<std::string, DWORD>>;

Reports ErrorReports(const WindowThread& window)
{
    Reports reports;
    for (const Notice& n : window.NoticesOf(DEVMSG_ERROR))
        reports.emplace_back(n.bytes, static_cast<DWORD>(n.wParam));
    return reports;
}

DCB PlainDcb()
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    return dcb;
}

const char* const kBreakText = "The hardware detected a break condition";

class SerialLines : public ::testing::Test {
protected:
    void Open(DWORD status)
    {
        line.SetModemStatus(status);
        window.Attach(com);
        ASSERT_TRUE(com.Connect(line.Path().c_str(), nullptr));
        ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));
    }
    void TearDown() override { Within(10s, [&] { com.Disconnect(); }, "Disconnect"); }

    tavrin::ScriptedLine line{"serial-lines"};
    WindowThread window;
    CCom com;
};

}  // namespace

TEST_F(SerialLines, RingIsReportedFirstAndACtsEventInTheSameCallIsNot)
{
    Open(MS_DSR_ON | MS_RLSD_ON);
    line.SetModemStatus(MS_RING_ON | MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_ERROR, 2));
    const DWORD now = MS_RING_ON | MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
    EXPECT_EQ(ErrorReports(window),
              (Reports{{"Ring", now}, {"ChangeStatus", ((MS_RING_ON | MS_CTS_ON) << 16) | now}}));
    BYTE port = 0;
    DWORD status = 0;
    com.GetStatus(port, status);
    EXPECT_EQ(status, now);
}

TEST_F(SerialLines, DsrDroppingIsAStatusChangeWithoutALineText)
{
    Open(MS_CTS_ON | MS_DSR_ON);
    line.SetModemStatus(MS_CTS_ON);
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_ERROR, 1));
    EXPECT_EQ(ErrorReports(window), (Reports{{"ChangeStatus", 0x00200010}}));
}

TEST_F(SerialLines, TwoErrorsAtOnceReportNoLineText)
{
    Open(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    // A framing and a parity error in one check match no single text. A
    // status change afterwards is reported whether or not it falls into the
    // same check, so it is the one report expected.
    line.AddErrorCounts(1, 1, 0, 0, 0);
    line.SetModemStatus(MS_DSR_ON | MS_RLSD_ON);
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_ERROR, 1));
    EXPECT_EQ(ErrorReports(window), (Reports{{"ChangeStatus", (MS_CTS_ON << 16) | MS_DSR_ON | MS_RLSD_ON}}));
}

TEST_F(SerialLines, ABreakIsReportedAndItsMarksNeverReachTheHost)
{
    Open(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    line.AddErrorCounts(0, 0, 0, 1, 0);
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_ERROR, 1));
    EXPECT_EQ(ErrorReports(window), (Reports{{kBreakText, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON}}));
    // A break in the stream and a real 0xFF byte: the host gets the data
    // bytes only, 0xFF once.
    ASSERT_TRUE(line.Feed(std::string("ab\xff\xff" "c\xff\x00\x00" "d", 9)));
    ASSERT_TRUE(window.WaitForData(5));
    EXPECT_EQ(window.DataBytes(), "ab\xff" "cd");
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_ERROR, 2));
    EXPECT_EQ(ErrorReports(window).back().first, kBreakText);
}

TEST_F(SerialLines, ABreakIsSentAfterTheOutputDrainedAndHeld)
{
    Open(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    Stopwatch watch;
    Within(10s, [&] { com.SendBreak(); }, "SendBreak");
    EXPECT_GE(watch.Ms(), 280);
    EXPECT_LT(watch.Ms(), 3000);
    EXPECT_EQ(line.BreakCount(), 1u);
    EXPECT_FALSE(line.BreakOn());
    EXPECT_TRUE(line.Dtr());
}

TEST(SerialLinesConnect, ACallersDcbNeedsAnAnsweringLineTheStoredSettingsDoNot)
{
    tavrin::ScriptedLine line("serial-lines-off");
    line.SetModemStatus(0);
    WindowThread window;
    CCom com;
    window.Attach(com);
    DCB dcb = PlainDcb();
    EXPECT_FALSE(com.Connect(line.Path().c_str(), &dcb));
    EXPECT_FALSE(com.IsConnected());
    EXPECT_FALSE(line.IsOpen());
    // Workers stopped again: a command goes nowhere.
    EXPECT_TRUE(com.WriteEx("AT"));
    ASSERT_TRUE(com.Connect(line.Path().c_str(), nullptr));
    EXPECT_TRUE(com.IsConnected());
    EXPECT_TRUE(line.Dtr());
    BYTE b = 'x';
    EXPECT_TRUE(com.Write(&b, 1));
    EXPECT_TRUE(line.WaitForWritten(1, 5000));
    com.Disconnect();
    EXPECT_FALSE(line.Dtr());
    EXPECT_FALSE(line.IsOpen());
}

TEST(SerialLinesConnect, AHungUpLineEndsTheLinkOnce)
{
    tavrin::ScriptedLine line("serial-lines-hangup");
    line.SetModemStatus(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    WindowThread window;
    CCom com;
    window.Attach(com);
    ASSERT_TRUE(com.Connect(line.Path().c_str(), nullptr));
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));
    line.HangUp();
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, 1));
    const Reports reports = ErrorReports(window);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].first, "An I/O error occurred during communications with the device");
    Within(10s, [&] { com.Disconnect(); }, "Disconnect after a hang-up");
    EXPECT_FALSE(line.IsOpen());
}

// The host's own line control: DTR and RTS as it sets them, the status word
// read now, and a clear refusal where the line has no outputs.
TEST_F(SerialLines, DtrAndRtsFollowTheHostAndALineWithoutThemRefuses)
{
    Open(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    EXPECT_TRUE(line.Dtr());   // raised by Connect
    struct Step {
        BOOL (CCom::*set)(BOOL);
        BOOL on;
        BOOL (tavrin::ScriptedLine::*read)() const;
    } const steps[] = {
        {&CCom::SetDtr, FALSE, &tavrin::ScriptedLine::Dtr}, {&CCom::SetRts, FALSE, &tavrin::ScriptedLine::Rts},
        {&CCom::SetDtr, TRUE, &tavrin::ScriptedLine::Dtr},  {&CCom::SetRts, TRUE, &tavrin::ScriptedLine::Rts},
    };
    for (const Step& step : steps) {
        ASSERT_TRUE((com.*step.set)(step.on));
        EXPECT_EQ((line.*step.read)(), step.on);
    }
    DWORD status = 0;
    line.SetModemStatus(MS_CTS_ON | MS_RING_ON);
    ASSERT_TRUE(com.GetModemStatus(status));
    EXPECT_EQ(status, MS_CTS_ON | MS_RING_ON);

    line.SetNoModemLines(TRUE);
    for (BOOL (CCom::*set)(BOOL) : {&CCom::SetDtr, &CCom::SetRts}) {
        SetLastError(0);
        EXPECT_FALSE((com.*set)(FALSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    }
    EXPECT_TRUE(line.Dtr());
}

TEST(SerialLinesControl, APseudoTerminalAndAClosedPortRefuseLineChanges)
{
    CCom closed;
    DWORD status = 0;
    EXPECT_FALSE(closed.SetDtr(TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(closed.GetModemStatus(status));

    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CCom com;
    ASSERT_TRUE(com.Connect(pty.SlavePath().c_str(), nullptr));
    EXPECT_FALSE(com.SetDtr(FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(com.SetRts(FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    Within(10s, [&] { com.Disconnect(); }, "Disconnect");
}
