// Serial ports on a scripted line: status lines, error counters, breaks
// and marked bytes, which this machine's pseudo-terminals cannot produce,
// through the same port code as a tty.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include "support/Overlapped.h"

#include <cerrno>
#include <string>

using tavrin::ScriptedLine;

namespace {

constexpr DWORD kWait = 5000;

HANDLE OpenPort(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

using tavrin::test::Overlapped;

// A port opened on a fresh scripted line, with the serial device's 1 ms
// read-interval time-out.
class ScriptedPort : public ::testing::Test {
protected:
    ScriptedPort() : line(::testing::UnitTest::GetInstance()->current_test_info()->name())
    {
        port = OpenPort(line.Path());
        COMMTIMEOUTS t {1, 0, 0, 0, 0};
        if (port != INVALID_HANDLE_VALUE)
            SetCommTimeouts(port, &t);
    }
    ~ScriptedPort() override
    {
        if (port != INVALID_HANDLE_VALUE)
            CloseHandle(port);
    }
    void SetUp() override { ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError(); }

    std::string ReadOnce(DWORD max = 256)
    {
        std::string buffer(max, '\0');
        Overlapped op(port);
        DWORD got = 0;
        if (!ReadFile(port, buffer.data(), max, &got, &op.ov)) {
            EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
            if (!op.Ended()) {
                CancelIo(port);
                return "<nothing>";
            }
            EXPECT_TRUE(GetOverlappedResult(port, &op.ov, &got, FALSE));
        }
        buffer.resize(got);
        return buffer;
    }

    DWORD TakeErrors()
    {
        DWORD errors = 0xFFFFFFFFu;
        COMSTAT stat {};
        EXPECT_TRUE(ClearCommError(port, &errors, &stat));
        return errors;
    }

    // Starts a wait; the caller makes something happen and calls Events.
    void StartWait(Overlapped& op)
    {
        m_events = 0;
        if (!WaitCommEvent(port, &m_events, &op.ov))
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    DWORD Events(Overlapped& op)
    {
        if (!op.Ended())
            return 0xFFFFFFFFu;
        DWORD n = 0;
        EXPECT_TRUE(GetOverlappedResult(port, &op.ov, &n, FALSE));
        return m_events;
    }

    ScriptedLine line;
    HANDLE port = INVALID_HANDLE_VALUE;

private:
    DWORD m_events = 0;
};

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

}  // namespace

// ---- marked bytes -----------------------------------------------------------

using ScriptedLineMarks = ScriptedPort;

TEST_F(ScriptedLineMarks, DoubledFFIsOneDataByte)
{
    ASSERT_TRUE(line.Feed(Bytes({'a', 0xFF, 0xFF, 'b', 0xFF, 0xFF, 0xFF, 0xFF})));
    EXPECT_EQ(ReadOnce(), Bytes({'a', 0xFF, 'b', 0xFF, 0xFF}));
    EXPECT_EQ(TakeErrors(), 0u);
}

TEST_F(ScriptedLineMarks, BreakIsReportedAndIsNoData)
{
    ASSERT_TRUE(SetCommMask(port, EV_BREAK | EV_ERR));
    Overlapped wait(port);
    StartWait(wait);
    ASSERT_TRUE(line.Feed(Bytes({'x', 0xFF, 0x00, 0x00, 'y'})));
    EXPECT_EQ(Events(wait), EV_BREAK);
    std::string data = ReadOnce();
    if (data == "x")  // the two halves may be read apart
        data += ReadOnce();
    EXPECT_EQ(data, "xy");
    EXPECT_EQ(TakeErrors(), CE_BREAK);
    EXPECT_EQ(TakeErrors(), 0u);
}

TEST_F(ScriptedLineMarks, ErrorMarkDeliversTheByteAndNamesTheError)
{
    ASSERT_TRUE(SetCommMask(port, EV_ERR));
    Overlapped wait(port);
    StartWait(wait);
    // Without parity a marked byte is a framing error ...
    ASSERT_TRUE(line.Feed(Bytes({0xFF, 0x00, 'q'})));
    EXPECT_EQ(Events(wait), EV_ERR);
    EXPECT_EQ(ReadOnce(), "q");
    EXPECT_EQ(TakeErrors(), CE_FRAME);

    // ... with parity on, a parity error.
    DCB dcb {};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.Parity = EVENPARITY;
    dcb.ByteSize = 7;
    dcb.fParity = 1;
    ASSERT_TRUE(SetCommState(port, &dcb));
    ASSERT_TRUE(line.Feed(Bytes({0xFF, 0x00, 'r'})));
    EXPECT_EQ(ReadOnce(), "r");
    EXPECT_EQ(TakeErrors(), CE_RXPARITY);
}

TEST_F(ScriptedLineMarks, MarkSplitAcrossTwoReadsNeverReachesTheData)
{
    // FF | FF: the read ends with what came before the mark.
    ASSERT_TRUE(line.Feed(Bytes({'A', 0xFF})));
    EXPECT_EQ(ReadOnce(), "A");
    COMSTAT stat {};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u) << "the half mark must not be queued as data";
    ASSERT_TRUE(line.Feed(Bytes({0xFF, 'B'})));
    EXPECT_EQ(ReadOnce(), Bytes({0xFF, 'B'}));

    // FF | 00 00: a break, and no data.
    ASSERT_TRUE(line.Feed(Bytes({'C', 0xFF})));
    EXPECT_EQ(ReadOnce(), "C");
    ASSERT_TRUE(line.Feed(Bytes({0x00, 0x00, 'D'})));
    EXPECT_EQ(ReadOnce(), "D");
    EXPECT_EQ(TakeErrors(), CE_BREAK);

    // FF 00 | x: an error on x.
    ASSERT_TRUE(line.Feed(Bytes({'E', 0xFF, 0x00})));
    EXPECT_EQ(ReadOnce(), "E");
    ASSERT_TRUE(line.Feed(Bytes({'F', 'G'})));
    EXPECT_EQ(ReadOnce(), "FG");
    EXPECT_EQ(TakeErrors(), CE_FRAME);
}

// ---- status lines and counters ------------------------------------------------

using ScriptedLineStatus = ScriptedPort;

TEST_F(ScriptedLineStatus, EachLineChangeRaisesItsEventOnAPendingWait)
{
    ASSERT_TRUE(SetCommMask(port, EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING));
    struct Step {
        DWORD status;
        DWORD event;
    } steps[] = {
        {MS_CTS_ON, EV_CTS},
        {MS_CTS_ON | MS_DSR_ON, EV_DSR},
        {MS_CTS_ON | MS_DSR_ON | MS_RING_ON, EV_RING},
        {MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON, EV_RLSD},
        {MS_CTS_ON | MS_RING_ON | MS_RLSD_ON, EV_DSR},
    };
    for (const Step& step : steps) {
        Overlapped wait(port);
        StartWait(wait);
        line.SetModemStatus(step.status);
        EXPECT_EQ(Events(wait), step.event) << "status " << step.status;
        DWORD status = 0;
        ASSERT_TRUE(GetCommModemStatus(port, &status));
        EXPECT_EQ(status, step.status);
    }
    // A change the mask does not ask for completes nothing.
    ASSERT_TRUE(SetCommMask(port, EV_RING));
    Overlapped quiet(port);
    StartWait(quiet);
    line.SetModemStatus(MS_RING_ON);
    EXPECT_FALSE(quiet.Ended(200));
    ASSERT_TRUE(SetCommMask(port, 0));
    EXPECT_EQ(Events(quiet), 0u);
}

// A count moved by two with the level as it was is a pulse; moved by one,
// it is the driver's bookkeeping (a USB adapter's first status byte), no
// change on the line.
TEST_F(ScriptedLineStatus, ACountWithTheLevelUnchangedIsAnEventOnlyAsAPulse)
{
    ASSERT_TRUE(SetCommMask(port, EV_CTS | EV_DSR | EV_RLSD | EV_RING));
    struct Step {
        DWORD lines, count, event;
    } steps[] = {
        {MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, 1, 0},
        {MS_CTS_ON, 2, EV_CTS},
        {MS_RING_ON | MS_DSR_ON, 2, EV_RING | EV_DSR},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.lines);
        Overlapped wait(port);
        StartWait(wait);
        line.CountStatusChanges(step.lines, step.count);
        if (step.event == 0) {
            EXPECT_FALSE(wait.Ended(300));
            ASSERT_TRUE(SetCommMask(port, EV_CTS | EV_DSR | EV_RLSD | EV_RING));  // ends the wait
        }
        EXPECT_EQ(Events(wait), step.event);
    }
}

TEST_F(ScriptedLineStatus, ErrorCountersBecomeLineErrors)
{
    ASSERT_TRUE(SetCommMask(port, EV_ERR | EV_BREAK));
    struct Step {
        DWORD frame, parity, overrun, brk, bufferOverrun;
        DWORD error;
        DWORD event;
    } steps[] = {
        {1, 0, 0, 0, 0, CE_FRAME, EV_ERR},
        {0, 2, 0, 0, 0, CE_RXPARITY, EV_ERR},
        {0, 0, 1, 0, 0, CE_OVERRUN, EV_ERR},
        {0, 0, 0, 1, 0, CE_BREAK, EV_BREAK},
    };
    for (const Step& s : steps) {
        Overlapped wait(port);
        StartWait(wait);
        line.AddErrorCounts(s.frame, s.parity, s.overrun, s.brk, s.bufferOverrun);
        EXPECT_EQ(Events(wait), s.event) << "error " << s.error;
        EXPECT_EQ(TakeErrors(), s.error);
        EXPECT_EQ(TakeErrors(), 0u);
    }
    // Two at once give both flags; a buffer overrun is no line-status event.
    line.AddErrorCounts(1, 1, 0, 0, 1);
    EXPECT_EQ(TakeErrors(), CE_FRAME | CE_RXPARITY | CE_RXOVER);
}

TEST_F(ScriptedLineStatus, LineWithoutModemLinesReportsHandshakeLinesOn)
{
    line.SetModemStatus(MS_CTS_ON);
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status, MS_CTS_ON);
    line.SetNoModemLines(TRUE);
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status, 0xB0u);
    EXPECT_FALSE(EscapeCommFunction(port, SETDTR));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

// ---- output and open ------------------------------------------------------------

using ScriptedLineOutput = ScriptedPort;

TEST_F(ScriptedLineOutput, WritesOutputLinesAndBreaksReachTheLine)
{
    Overlapped op(port);
    DWORD put = 0;
    if (!WriteFile(port, "ATZ\r", 4, &put, &op.ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(op.Ended());
    }
    ASSERT_TRUE(line.WaitForWritten(4, kWait));
    EXPECT_EQ(line.Written(), "ATZ\r");

    ASSERT_TRUE(EscapeCommFunction(port, SETDTR));
    EXPECT_TRUE(line.Dtr());
    ASSERT_TRUE(EscapeCommFunction(port, CLRDTR));
    EXPECT_FALSE(line.Dtr());
    ASSERT_TRUE(EscapeCommFunction(port, SETRTS));
    EXPECT_TRUE(line.Rts());
    ASSERT_TRUE(EscapeCommFunction(port, CLRRTS));
    EXPECT_FALSE(line.Rts());

    ASSERT_TRUE(SetCommBreak(port));
    EXPECT_TRUE(line.BreakOn());
    ASSERT_TRUE(ClearCommBreak(port));
    EXPECT_FALSE(line.BreakOn());
    ASSERT_TRUE(EscapeCommFunction(port, SETBREAK));
    ASSERT_TRUE(EscapeCommFunction(port, CLRBREAK));
    EXPECT_EQ(line.BreakCount(), 2u);

    // The DCB's DTR and RTS modes drive the lines.
    DCB dcb {};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(port, &dcb));
    EXPECT_TRUE(line.Dtr());
    EXPECT_FALSE(line.Rts());
}

TEST(ScriptedLineOpen, FailedOpensGiveWin32Errors)
{
    ScriptedLine line("open-errors");
    line.FailOpen(EBUSY);
    EXPECT_EQ(OpenPort(line.Path()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    line.FailOpen(ENOENT);
    EXPECT_EQ(OpenPort(line.Path()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenPort("scripted:no-such-line"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    line.FailOpen(0);
    HANDLE port = OpenPort(line.Path());
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(line.IsOpen());
    EXPECT_EQ(OpenPort(line.Path()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_FALSE(line.IsOpen());
}

TEST_F(ScriptedLineOutput, HangUpFailsThePendingReadAndWaitAndReportsAnIoError)
{
    ASSERT_TRUE(SetCommMask(port, EV_CTS));
    Overlapped read(port), wait(port);
    char buffer[16];
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, nullptr, &read.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    StartWait(wait);
    line.HangUp();
    ASSERT_TRUE(read.Ended());
    ASSERT_TRUE(wait.Ended());
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(port, &read.ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(TakeErrors(), CE_IOE);
    EXPECT_EQ(TakeErrors(), 0u);
}
