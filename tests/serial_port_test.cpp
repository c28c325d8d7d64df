// CCom on real pseudo-terminals: opening by path and by COM number, the
// data paths in both directions, settings from a DCB, reconnects, the peer
// going away, writes held by flow control, and the display name.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <sys/ioctl.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/PtyPair.h"
#include "support/TestDevices.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

namespace {

// A host's own port class, to reach the settings the archive would load.
class TestCom : public CCom {
public:
    using CCom::CCom;
    void SetLine(BYTE bits, BYTE parity, BYTE stop, BYTE flow)
    {
        m_nByteSize = bits;
        m_nParity = parity;
        m_nStopBits = stop;
        m_nFlowControl = flow;
    }
    BYTE Flow() const { return m_nFlowControl; }
    void MarkUnusable() { m_bStreamReady = 0; }
    bool EventThreadEnded(DWORD ms) const
    {
        return m_hEventThread && WaitForSingleObject(m_hEventThread, ms) == WAIT_OBJECT_0;
    }
    bool PortOpen() const { return m_hCom != INVALID_HANDLE_VALUE; }
    void SetConnectCommand(const char* text)
    {
        m_strConnectCommand = text;
        m_bSendConnectCommand = TRUE;
    }
};

std::string Name(CCom& com)
{
    CString name;
    com.GetName(name);
    return name.str();
}

// The tty's exclusive mode (TIOCEXCL) as seen through the pair's own
// descriptor of the slave.
int ExclusiveMode(const PtyPair& pty)
{
    int on = -1;
    return ioctl(pty.SlaveFd(), TIOCGEXCL, &on) == 0 ? on : -1;
}

DCB LineDcb(DWORD baud)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

}  // namespace

TEST(SerialName, DescribesPortRateBitsStopParityAndFlow)
{
    TestCom com;
    EXPECT_EQ(Name(com), "COM1:9600-8,1,none-Xon/Xoff");
    TestCom two(2, 19200);
    two.SetLine(7, EVENPARITY, TWOSTOPBITS, COM_FLOW_RTSCTS);
    EXPECT_EQ(Name(two), "COM2:19200-7,2,even-RTS/CTS");
    com.SetLine(8, NOPARITY, ONESTOPBIT, COM_FLOW_DTRDSR | COM_FLOW_RTSCTS);
    EXPECT_EQ(Name(com), "COM1:9600-8,1,none-DTR/DSR-RTS/CTS");
    com.SetLine(8, NOPARITY, ONE5STOPBITS, 0);
    EXPECT_EQ(Name(com), "COM1:9600-8,1.5,none");
}

class SerialPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.Ok());
        window.Attach(com);
    }
    void TearDown() override { Within(10s, [&] { com.Disconnect(); }, "Disconnect"); }

    PtyPair pty;
    WindowThread window;
    TestCom com;
};

TEST_F(SerialPort, AComNumberOpensTheDeviceItIsMappedTo)
{
    TestCom twelve(12, 9600);
    window.Attach(twelve);
    setenv("TAVRIN_COM12", pty.SlavePath().c_str(), 1);
    ASSERT_TRUE(twelve.Connect(nullptr, nullptr));
    unsetenv("TAVRIN_COM12");
    EXPECT_TRUE(twelve.IsConnected());
    BYTE b = 'x';
    EXPECT_TRUE(twelve.Write(&b, 1));
    EXPECT_EQ(pty.ReadFar(1), "x");
    twelve.Disconnect();
}

TEST_F(SerialPort, ABurstArrivesInOrderInBlocksOfAtMost1024)
{
    ASSERT_TRUE(com.Connect(pty.SlavePath().c_str(), nullptr));
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));
    std::string burst;
    for (int i = 0; i < 3000; ++i)
        burst += static_cast<char>('a' + i % 26);
    ASSERT_TRUE(pty.WriteFar(burst));
    ASSERT_TRUE(window.WaitForData(burst.size()));
    EXPECT_EQ(window.DataBytes(), burst);
    for (const Notice& n : window.NoticesOf(DEVMSG_DATA))
        EXPECT_LE(n.wParam, 1024u);
}

TEST_F(SerialPort, WritesAndCommandsReachTheFarEnd)
{
    com.SetConnectCommand("ATZ^13");
    ASSERT_TRUE(com.Connect(pty.SlavePath().c_str(), nullptr));
    // The connect command is on its way before the host hears of the link.
    EXPECT_EQ(pty.ReadFar(4), "ATZ\r");
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));
    std::string bytes = "raw\x00\xff bytes";
    bytes += '\x00';
    EXPECT_TRUE(com.Write(reinterpret_cast<BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size())));
    EXPECT_EQ(pty.ReadFar(bytes.size()), bytes);
    EXPECT_TRUE(com.WriteEx("AT^13"));
    EXPECT_EQ(pty.ReadFar(3), "AT\r");
    EXPECT_TRUE(com.Write(reinterpret_cast<BYTE*>(bytes.data()), 0));
}

TEST_F(SerialPort, ADcbSetsTheStoredSettingsAndASecondConnectIsRefused)
{
    DCB dcb = LineDcb(57600);
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutxCtsFlow = 1;
    dcb.fInX = 1;
    // A pseudo-terminal has no lines, which it reports as a looped cable:
    // the caller's settings find an answering line.
    ASSERT_TRUE(com.Connect(pty.SlavePath().c_str(), &dcb));
    EXPECT_EQ(com.Flow(), COM_FLOW_RTSCTS | COM_FLOW_XONXOFF);
    EXPECT_EQ(Name(com), "COM1:57600-8,1,none-RTS/CTS-Xon/Xoff");
    BYTE port = 0;
    DWORD status = 0;
    com.GetStatus(port, status);
    EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);

    EXPECT_FALSE(com.Connect(pty.SlavePath().c_str(), nullptr));
    BYTE b = 'k';
    EXPECT_TRUE(com.Write(&b, 1));
    EXPECT_EQ(pty.ReadFar(1), "k");
}

TEST_F(SerialPort, DisconnectEndsTheLinkAndTheHostHearsOfIt)
{
    ASSERT_TRUE(com.Connect(pty.SlavePath().c_str(), nullptr));
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));
    EXPECT_EQ(ExclusiveMode(pty), 1);
    Stopwatch watch;
    Within(10s, [&] { com.Disconnect(); }, "Disconnect");
    EXPECT_LT(watch.Ms(), 3000);
    EXPECT_FALSE(com.IsConnected());
    EXPECT_FALSE(com.PortOpen());
    // Left set while the pair keeps the tty open, it would refuse the next
    // open to anyone but root.
    EXPECT_EQ(ExclusiveMode(pty), 0);
    EXPECT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, 1));
    BYTE b = 'z';
    EXPECT_FALSE(com.Write(&b, 1));
    // The same object connects again.
    window.Attach(com);
    ASSERT_TRUE(com.Connect(pty.SlavePath().c_str(), nullptr));
    EXPECT_TRUE(com.Write(&b, 1));
    EXPECT_EQ(pty.ReadFar(1), "z");
}

TEST_F(SerialPort, AMissingDeviceFailsAndLeavesTheDeviceStopped)
{
    EXPECT_FALSE(com.Connect("/dev/tavrin-no-such-port", nullptr));
    EXPECT_FALSE(com.IsConnected());
    EXPECT_FALSE(com.PortOpen());
    // Workers stopped again: a write through the engine goes nowhere.
    EXPECT_TRUE(com.WriteEx("AT"));
}

TEST_F(SerialPort, APeerThatGoesAwayIsReportedOnceAndDoesNotSpin)
{
    ASSERT_TRUE(com.Connect(pty.SlavePath().c_str(), nullptr));
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));
    // While the host hears of the I/O error the device still counts as
    // connected, but the port refuses every write: Write says so.
    std::atomic<int> writeResult{-1};
    window.SetHook([&](const Notice& n) -> LRESULT {
        if (n.index == DEVMSG_ERROR && writeResult < 0) {
            BYTE b = '?';
            writeResult = com.Write(&b, 1);
        }
        return 0;
    });
    pty.CloseFar();
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, 1));
    // Nothing runs any more: a second of the process costs little CPU.
    const long long before = ProcessCpuMicros();
    window.WaitForIndex(DEVMSG_DISCONNECTED, 2, 1000ms);
    EXPECT_LT(ProcessCpuMicros() - before, 200000);
    const std::vector<Notice> errors = window.NoticesOf(DEVMSG_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].bytes, "An I/O error occurred during communications with the device");
    EXPECT_EQ(writeResult, FALSE);
    EXPECT_FALSE(com.IsConnected());
    Within(10s, [&] { com.Disconnect(); }, "Disconnect after the peer went");
    EXPECT_FALSE(com.PortOpen());
}

TEST_F(SerialPort, AWriteHeldByFlowControlEndsAfterASecond)
{
    ASSERT_TRUE(com.Connect(pty.SlavePath().c_str(), nullptr));  // Xon/Xoff by default
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));
    ASSERT_TRUE(pty.WriteFar("\x13"));  // XOFF from the far end
    // The XOFF is taken by the line discipline before the next write.
    std::string big(64 * 1024, 'q');
    Stopwatch watch;
    const BOOL written =
        Within(10s, [&] { return com.Write(reinterpret_cast<BYTE*>(big.data()), static_cast<DWORD>(big.size())); },
               "a held write");
    EXPECT_FALSE(written);
    EXPECT_GE(watch.Ms(), 900);
    EXPECT_LT(watch.Ms(), 5000);
    ASSERT_TRUE(pty.WriteFar("\x11"));  // XON
    // What the port took before the write was cancelled is read away.
    pty.ReadFar(big.size(), 1000);
    BYTE b = '!';
    EXPECT_TRUE(Within(10s, [&] { return com.Write(&b, 1); }, "a write after XON"));
    EXPECT_EQ(pty.ReadFar(1), "!");
}

TEST_F(SerialPort, BytesWrittenJustBeforeDisconnectStillReachThePeer)
{
    ASSERT_TRUE(com.Connect(pty.SlavePath().c_str(), nullptr));
    std::string bye = "bye\r\n";
    ASSERT_TRUE(com.Write(reinterpret_cast<BYTE*>(bye.data()), static_cast<DWORD>(bye.size())));
    Within(10s, [&] { com.Disconnect(); }, "Disconnect");
    // The far end reads only now: a pseudo-terminal has already handed the
    // bytes over, and closing the port does not take them back.
    EXPECT_EQ(pty.ReadFar(bye.size()), bye);
}

TEST_F(SerialPort, ALoadedRecordMarkingThePortUnusableStillLetsItClose)
{
    ASSERT_TRUE(com.Connect(pty.SlavePath().c_str(), nullptr));
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));
    TestCom unusable;
    unusable.MarkUnusable();
    CMemFile file;
    {
        CArchive store(&file, CArchive::store);
        unusable.Serialize(store);
        store.Close();
    }
    file.SeekToBegin();
    {
        CArchive load(&file, CArchive::load);
        com.Serialize(load);
    }
    ASSERT_FALSE(com.IsOK());
    Within(10s, [&] { com.Disconnect(); }, "Disconnect of an unusable port");
    EXPECT_FALSE(com.PortOpen());
    EXPECT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, 1));
    // The port is free again for another object.
    TestCom other;
    EXPECT_TRUE(other.Connect(pty.SlavePath().c_str(), nullptr));
    other.Disconnect();
}

// Each round's port goes away by itself; the next Connect releases what the
// dropped one left (its handle, its port threads), so nothing accumulates.
TEST_F(SerialPort, ReconnectingAfterThePortWentAwayLeavesNothingBehind)
{
    size_t drops = 0;
    auto dropRound = [&] {
        PtyPair line;
        window.Attach(com);
        ASSERT_TRUE(com.Connect(line.SlavePath().c_str(), nullptr));
        line.CloseFar();
        ASSERT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, ++drops));
        // The host hears of the drop before the device counts as down.
        ASSERT_TRUE(com.EventThreadEnded(5000));
    };
    dropRound();
    com.Disconnect();
    const int threads = CountProcessThreads();
    const int descriptors = CountOpenDescriptors();
    for (int round = 0; round < 5; ++round)
        dropRound();
    com.Disconnect();
    // Each leak would be one more per round; a joined thread can still be
    // listed for a moment as it leaves.
    EXPECT_LE(CountProcessThreads(), threads + 1);
    EXPECT_EQ(CountOpenDescriptors(), descriptors);
}

// An idle open port wakes none of its threads (the event thread, the port's
// I/O thread, the workers): no periodic time-outs.
TEST_F(SerialPort, AnIdlePortWakesNoThread)
{
    std::thread([] {}).join();  // a sanitizer's helper thread starts now, not among ours
    const std::vector<int> before = ProcessThreadIds();
    ASSERT_TRUE(com.Connect(pty.SlavePath().c_str(), nullptr));
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));
    const std::vector<int> threads = ThreadsSince(before);
    ASSERT_GE(threads.size(), static_cast<size_t>(WORKER_COUNT + 2));
    // Start-up over: from here a wake-up is one a thread makes by itself.
    ASSERT_TRUE(WaitUntilOthersSleep());
    EXPECT_EQ(ThreadsThatWake(threads, 1500), std::vector<int>{});
}
