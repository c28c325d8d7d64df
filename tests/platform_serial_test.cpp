// Serial ports on real pseudo-terminal pairs: the port is the slave side,
// opened with CreateFileA as a host would; the test plays the far end on
// the master side.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include "support/Overlapped.h"
#include "../platform/posix/ModemWaitSignal.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <future>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/Timing.h"

using tavrin::test::Stopwatch;
using tavrin::test::Within;
using namespace std::chrono_literals;

namespace {

constexpr DWORD kWait = 5000;  // generous: the machine is shared

class PtyPair {
public:
    PtyPair()
    {
        termios raw {};
        cfmakeraw(&raw);
        if (openpty(&m_master, &m_slave, nullptr, &raw, nullptr) != 0)
            return;
        char name[128] = {};
        if (ttyname_r(m_slave, name, sizeof name) == 0)
            m_path = name;
    }
    ~PtyPair()
    {
        CloseMaster();
        if (m_slave >= 0)
            ::close(m_slave);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& Path() const { return m_path; }
    int Slave() const { return m_slave; }

    void CloseMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

    bool Send(const std::string& bytes)
    {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::write(m_master, bytes.data() + sent, bytes.size() - sent);
            if (n < 0)
                return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // What the far end receives within the limit, up to count bytes.
    std::string Receive(std::size_t count, int milliseconds)
    {
        std::string got;
        Stopwatch clock;
        while (got.size() < count) {
            int left = milliseconds - static_cast<int>(clock.Ms());
            if (left <= 0)
                break;
            pollfd fd {m_master, POLLIN, 0};
            if (::poll(&fd, 1, left) <= 0)
                break;
            char buffer[4096];
            ssize_t n = ::read(m_master, buffer, std::min(sizeof buffer, count - got.size()));
            if (n <= 0)
                break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

    // The slave side has input waiting (the far end's bytes have reached
    // the line discipline).
    bool SlaveReadable(int milliseconds)
    {
        pollfd fd {m_slave, POLLIN, 0};
        return ::poll(&fd, 1, milliseconds) == 1;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};

HANDLE OpenPort(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

class Port {
public:
    explicit Port(const std::string& path) : m_handle(OpenPort(path)) {}
    ~Port() { Close(); }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    HANDLE Handle() const { return m_handle; }
    bool IsOpen() const { return m_handle != INVALID_HANDLE_VALUE; }
    void Close()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }
    // What the serial device uses: complete 1 ms after the last character.
    bool UseIntervalTimeout()
    {
        COMMTIMEOUTS t {1, 0, 0, 0, 0};
        return SetCommTimeouts(m_handle, &t) == TRUE;
    }

private:
    HANDLE m_handle;
};

using tavrin::test::Overlapped;

// One overlapped read of up to max bytes; empty when nothing came in time.
std::string ReadOnce(HANDLE port, DWORD max)
{
    std::string buffer(max, '\0');
    Overlapped op(port);
    DWORD got = 0;
    if (!ReadFile(port, buffer.data(), max, &got, &op.ov)) {
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        if (!op.Ended()) {
            CancelIo(port);
            return {};
        }
        EXPECT_TRUE(GetOverlappedResult(port, &op.ov, &got, FALSE));
    }
    buffer.resize(got);
    return buffer;
}

double CpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

// ---- data -------------------------------------------------------------------

TEST(PtySerialData, PendingReadIsCompletedByBytesFromTheFarEnd)
{
    PtyPair pty;
    Port port(pty.Path());
    ASSERT_TRUE(port.IsOpen()) << GetLastError();
    ASSERT_TRUE(port.UseIntervalTimeout());

    char buffer[64] = {};
    Overlapped op(port.Handle());
    DWORD got = 0;
    ASSERT_FALSE(ReadFile(port.Handle(), buffer, sizeof buffer, &got, &op.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(port.Handle(), &op.ov, &got, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    ASSERT_TRUE(pty.Send("hello"));
    ASSERT_TRUE(op.Ended());
    ASSERT_TRUE(GetOverlappedResult(port.Handle(), &op.ov, &got, FALSE));
    EXPECT_EQ(std::string(buffer, got), "hello");
}

TEST(PtySerialData, BurstOf3000BytesArrivesInOrderInReadsOfAtMost1024)
{
    PtyPair pty;
    Port port(pty.Path());
    ASSERT_TRUE(port.IsOpen()) << GetLastError();
    ASSERT_TRUE(port.UseIntervalTimeout());

    std::string burst;
    for (int i = 0; i < 3000; ++i)
        burst += static_cast<char>(i % 251);
    std::thread farEnd([&] { pty.Send(burst); });
    std::string received;
    int reads = 0;
    while (received.size() < burst.size()) {
        std::string chunk = ReadOnce(port.Handle(), 1024);
        ASSERT_FALSE(chunk.empty()) << "stalled after " << received.size() << " bytes";
        EXPECT_LE(chunk.size(), 1024u);
        received += chunk;
        ++reads;
    }
    farEnd.join();
    EXPECT_EQ(received, burst);
    EXPECT_GE(reads, 3);
}

TEST(PtySerialData, WritesReachTheFarEnd)
{
    PtyPair pty;
    Port port(pty.Path());
    ASSERT_TRUE(port.IsOpen()) << GetLastError();

    std::string every;
    for (int i = 0; i < 256; ++i)
        every += static_cast<char>(i);
    Overlapped op(port.Handle());
    DWORD put = 0;
    if (!WriteFile(port.Handle(), every.data(), static_cast<DWORD>(every.size()), &put, &op.ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(op.Ended());
    }
    ASSERT_TRUE(GetOverlappedResult(port.Handle(), &op.ov, &put, TRUE));
    EXPECT_EQ(put, every.size());
    EXPECT_EQ(pty.Receive(every.size(), kWait), every);

    // More than the line holds: the write goes out in parts as the far end
    // reads, and ends once every byte has gone, each once and in order.
    std::string large(256 * 1024, '\0');
    std::uint32_t seed = 1;
    for (char& c : large)
        c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
    Overlapped big(port.Handle());
    if (!WriteFile(port.Handle(), large.data(), static_cast<DWORD>(large.size()), &put, &big.ov))
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    const std::string came = pty.Receive(large.size(), kWait);
    EXPECT_TRUE(came == large) << came.size() << " of " << large.size() << " bytes came";
    ASSERT_TRUE(big.Ended());
    ASSERT_TRUE(GetOverlappedResult(port.Handle(), &big.ov, &put, TRUE));
    EXPECT_EQ(put, large.size());

    // Without an OVERLAPPED the call returns when the bytes are written.
    put = 0;
    ASSERT_TRUE(WriteFile(port.Handle(), "sync", 4, &put, nullptr));
    EXPECT_EQ(put, 4u);
    EXPECT_EQ(pty.Receive(4, kWait), "sync");
}

TEST(PtySerialData, StaleInputIsFlushedOnOpen)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Send("stale"));
    ASSERT_TRUE(pty.SlaveReadable(kWait));
    Port port(pty.Path());
    ASSERT_TRUE(port.IsOpen()) << GetLastError();
    ASSERT_TRUE(port.UseIntervalTimeout());

    COMSTAT stat {};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port.Handle(), &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    ASSERT_TRUE(pty.Send("fresh"));
    std::string received;
    while (received.size() < 5) {
        std::string chunk = ReadOnce(port.Handle(), 64);
        ASSERT_FALSE(chunk.empty());
        received += chunk;
    }
    EXPECT_EQ(received, "fresh");
}

TEST(PtySerialData, ReadTimeoutsBoundSynchronousReads)
{
    PtyPair pty;
    Port port(pty.Path());
    ASSERT_TRUE(port.IsOpen()) << GetLastError();
    char buffer[16];
    DWORD got = 99;

    // Total time-out: the read ends after it with what it has.
    COMMTIMEOUTS total {0, 0, 100, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port.Handle(), &total));
    Stopwatch clock;
    ASSERT_TRUE(ReadFile(port.Handle(), buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_GE(clock.Ms(), 90);

    // Interval MAXDWORD and no totals: return at once with what is there.
    COMMTIMEOUTS atOnce {0xFFFFFFFFu, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port.Handle(), &atOnce));
    got = 99;
    ASSERT_TRUE(ReadFile(port.Handle(), buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(got, 0u);
    COMMTIMEOUTS check {};
    ASSERT_TRUE(GetCommTimeouts(port.Handle(), &check));
    EXPECT_EQ(check.ReadIntervalTimeout, 0xFFFFFFFFu);
}

// ---- opening ----------------------------------------------------------------

TEST(PtySerialOpen, SecondOpenIsRefusedUntilTheFirstIsClosed)
{
    PtyPair pty;
    Port first(pty.Path());
    ASSERT_TRUE(first.IsOpen()) << GetLastError();
    HANDLE second = OpenPort(pty.Path());
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    first.Close();
    Port third(pty.Path());
    EXPECT_TRUE(third.IsOpen()) << GetLastError();
}

TEST(PtySerialOpen, PortNumbersResolveThroughTheEnvironmentAndErrorsMapToWin32)
{
    PtyPair pty;
    ASSERT_EQ(setenv("TAVRIN_COM7", pty.Path().c_str(), 1), 0);
    for (const char* name : {"COM7", "\\\\.\\COM7", "com7"}) {
        Port port(name);
        EXPECT_TRUE(port.IsOpen()) << name << ": " << GetLastError();
    }
    unsetenv("TAVRIN_COM7");

    EXPECT_EQ(OpenPort("/dev/null/tty"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenPort("/dev/tavrin-no-such-port"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenPort("/dev/null"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

// ---- line settings ----------------------------------------------------------

TEST(PtySerialState, StateRoundTripsRatesFramesAndXonXoffCharacters)
{
    PtyPair pty;
    Port port(pty.Path());
    ASSERT_TRUE(port.IsOpen()) << GetLastError();

    DCB dcb {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port.Handle(), &dcb));
    EXPECT_EQ(dcb.DCBlength, 28u);
    // A standard rate is set with its own constant, so that programs that
    // know only those (stty, tcgetattr) read it; any other goes in as is.
    const struct {
        DWORD rate;
        speed_t seen;
    } rates[] = {{50, B50}, {1200, B1200}, {9600, B9600}, {115200, B115200}, {4000000, B4000000}, {250000, 0}};
    for (const auto& r : rates) {
        dcb.BaudRate = r.rate;
        ASSERT_TRUE(SetCommState(port.Handle(), &dcb)) << r.rate;
        DCB back {};
        ASSERT_TRUE(GetCommState(port.Handle(), &back));
        EXPECT_EQ(back.BaudRate, r.rate);
        termios seen {};
        ASSERT_EQ(tcgetattr(pty.Slave(), &seen), 0);
        if (r.seen)
            EXPECT_EQ(cfgetospeed(&seen), r.seen) << r.rate;
    }

    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.XonChar = 0x05;
    dcb.XoffChar = 0x06;
    ASSERT_TRUE(SetCommState(port.Handle(), &dcb));
    DCB back {};
    ASSERT_TRUE(GetCommState(port.Handle(), &back));
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.Parity, EVENPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fInX, 1u);
    EXPECT_EQ(back.XonChar, 0x05);
    EXPECT_EQ(back.XoffChar, 0x06);

    // Mark and space parity reach the driver (a pty keeps CMSPAR and PARODD
    // though it clears PARENB).
    const struct {
        BYTE parity;
        tcflag_t bits;
    } parities[] = {{MARKPARITY, CMSPAR | PARODD}, {SPACEPARITY, CMSPAR}, {ODDPARITY, PARODD}};
    for (const auto& p : parities) {
        DCB framed = dcb;
        framed.Parity = p.parity;
        ASSERT_TRUE(SetCommState(port.Handle(), &framed));
        termios tio {};
        ASSERT_EQ(tcgetattr(pty.Slave(), &tio), 0);
        EXPECT_EQ(tio.c_cflag & (CMSPAR | PARODD), p.bits) << int(p.parity);
    }
    ASSERT_TRUE(SetCommState(port.Handle(), &dcb));

    // The driver holds them, not only the port object.
    termios tio {};
    ASSERT_EQ(tcgetattr(pty.Slave(), &tio), 0);
    EXPECT_TRUE(tio.c_iflag & IXON);
    EXPECT_TRUE(tio.c_iflag & IXOFF);
    EXPECT_TRUE(tio.c_iflag & PARMRK);
    EXPECT_FALSE(tio.c_iflag & (IGNBRK | BRKINT));
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_EQ(tio.c_cc[VSTART], 0x05);
    EXPECT_EQ(tio.c_cc[VSTOP], 0x06);
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO));
}

TEST(PtySerialState, RefusesWhatTheLineCannotDoAndKeepsTheState)
{
    PtyPair pty;
    Port port(pty.Path());
    ASSERT_TRUE(port.IsOpen()) << GetLastError();
    DCB good {};
    ASSERT_TRUE(GetCommState(port.Handle(), &good));
    good.BaudRate = 19200;
    ASSERT_TRUE(SetCommState(port.Handle(), &good));

    auto refused = [&](auto change, const char* what) {
        DCB bad = good;
        change(bad);
        EXPECT_FALSE(SetCommState(port.Handle(), &bad)) << what;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << what;
    };
    refused([](DCB& d) { d.StopBits = ONE5STOPBITS; }, "1.5 stop bits");
    refused([](DCB& d) { d.ByteSize = 4; }, "4 data bits");
    refused([](DCB& d) { d.ByteSize = 9; }, "9 data bits");
    refused([](DCB& d) { d.Parity = 5; }, "parity 5");
    refused([](DCB& d) { d.fOutxDsrFlow = 1; }, "DSR flow control");
    refused([](DCB& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; }, "DTR handshake");
    refused([](DCB& d) { d.fOutX = 1; d.XonChar = d.XoffChar = 0x11; }, "equal Xon and Xoff");

    DCB back {};
    ASSERT_TRUE(GetCommState(port.Handle(), &back));
    EXPECT_EQ(back.BaudRate, 19200u);
    EXPECT_EQ(back.StopBits, ONESTOPBIT);
    EXPECT_EQ(back.ByteSize, good.ByteSize);
}

TEST(PtySerialState, PtyReportsHandshakeLinesOnAndRefusesDtrAndRts)
{
    PtyPair pty;
    Port port(pty.Path());
    ASSERT_TRUE(port.IsOpen()) << GetLastError();
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(port.Handle(), &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    EXPECT_EQ(status, 0xB0u);
    for (DWORD f : {SETBREAK, CLRBREAK})
        EXPECT_TRUE(EscapeCommFunction(port.Handle(), f)) << f;
    // No lines to set: refused, not pretended.
    for (DWORD f : {SETDTR, CLRDTR, SETRTS, CLRRTS}) {
        EXPECT_FALSE(EscapeCommFunction(port.Handle(), f)) << f;
        EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED) << f;
    }
    EXPECT_FALSE(EscapeCommFunction(port.Handle(), 77));
    EXPECT_TRUE(SetCommBreak(port.Handle()));
    EXPECT_TRUE(ClearCommBreak(port.Handle()));
    EXPECT_TRUE(SetupComm(port.Handle(), 512, 4096));
    EXPECT_TRUE(PurgeComm(port.Handle(), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
}

// ---- events, close, cancel, a far end that goes ------------------------------

TEST(PtySerialEvents, NewMaskCompletesPendingWaitWithNoEvents)
{
    PtyPair pty;
    Port port(pty.Path());
    ASSERT_TRUE(port.IsOpen()) << GetLastError();
    ASSERT_TRUE(SetCommMask(port.Handle(), EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(port.Handle(), &mask));
    EXPECT_EQ(mask, 0x01F8u);

    DWORD events = 0xDEAD;
    Overlapped op(port.Handle());
    ASSERT_FALSE(WaitCommEvent(port.Handle(), &events, &op.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(op.Ended(50));
    ASSERT_TRUE(SetCommMask(port.Handle(), 0));
    ASSERT_TRUE(op.Ended());
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(port.Handle(), &op.ov, &n, FALSE));
    EXPECT_EQ(events, 0u);

    // With no events to wait for, a wait fails at once.
    Overlapped again(port.Handle());
    EXPECT_FALSE(WaitCommEvent(port.Handle(), &events, &again.ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(PtySerialEvents, CloseHandleEndsPendingOperations)
{
    PtyPair pty;
    Port port(pty.Path());
    ASSERT_TRUE(port.IsOpen()) << GetLastError();
    ASSERT_TRUE(SetCommMask(port.Handle(), EV_CTS));
    HANDLE h = port.Handle();

    char buffer[16];
    Overlapped read(h), wait(h);
    DWORD events = 0;
    ASSERT_FALSE(ReadFile(h, buffer, sizeof buffer, nullptr, &read.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_FALSE(WaitCommEvent(h, &events, &wait.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    std::atomic<DWORD> syncError {0};
    std::thread reader([&] {
        char b[4];
        DWORD got = 0;
        if (!ReadFile(h, b, sizeof b, &got, nullptr))
            syncError = GetLastError();
    });

    Within(10s, [&] { port.Close(); }, "CloseHandle of a port with pending operations");
    ASSERT_TRUE(read.Ended());
    ASSERT_TRUE(wait.Ended());
    EXPECT_EQ(read.ov.Internal, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(wait.ov.Internal, ERROR_OPERATION_ABORTED);
    Within(10s, [&] { reader.join(); }, "synchronous read of a closed port");
    // Aborted if it was already waiting, refused if it came after the close.
    EXPECT_TRUE(syncError == ERROR_OPERATION_ABORTED || syncError == ERROR_INVALID_HANDLE) << syncError;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, nullptr, &read.ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(PtySerialEvents, FarEndClosingFailsThePendingReadOnceAndNothingSpins)
{
    PtyPair pty;
    Port port(pty.Path());
    ASSERT_TRUE(port.IsOpen()) << GetLastError();
    ASSERT_TRUE(port.UseIntervalTimeout());
    char buffer[64];
    Overlapped read(port.Handle());
    ASSERT_FALSE(ReadFile(port.Handle(), buffer, sizeof buffer, nullptr, &read.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

    pty.CloseMaster();
    ASSERT_TRUE(read.Ended());
    DWORD got = 0;
    EXPECT_FALSE(GetOverlappedResult(port.Handle(), &read.ov, &got, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    DWORD errors = 0;
    COMSTAT stat {};
    ASSERT_TRUE(ClearCommError(port.Handle(), &errors, &stat));
    EXPECT_EQ(errors, CE_IOE);
    ASSERT_TRUE(ClearCommError(port.Handle(), &errors, &stat));
    EXPECT_EQ(errors, 0u);

    // Later operations fail at once instead of waiting for a line that is gone.
    Overlapped again(port.Handle());
    EXPECT_FALSE(ReadFile(port.Handle(), buffer, sizeof buffer, nullptr, &again.ov));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(WriteFile(port.Handle(), "x", 1, nullptr, &again.ov));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    // A hung-up pty stays readable for ever: the port must stop polling it.
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    double before = CpuSeconds();
    EXPECT_EQ(WaitForSingleObject(never, 1000), WAIT_TIMEOUT);
    double used = CpuSeconds() - before;
    CloseHandle(never);
    EXPECT_LT(used, 0.1) << "CPU seconds used in one idle second";
}

TEST(PtySerialEvents, CancelIoEndsOnlyTheCallersWriteHeldByXoff)
{
    PtyPair pty;
    Port port(pty.Path());
    ASSERT_TRUE(port.IsOpen()) << GetLastError();
    ASSERT_TRUE(port.UseIntervalTimeout());
    DCB dcb {};
    ASSERT_TRUE(GetCommState(port.Handle(), &dcb));
    dcb.fOutX = 1;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    ASSERT_TRUE(SetCommState(port.Handle(), &dcb));

    // The Xoff is taken by the line and never read; the byte after it
    // arriving proves the line has seen it.
    ASSERT_TRUE(pty.Send("\x13M"));
    EXPECT_EQ(ReadOnce(port.Handle(), 16), "M");

    Overlapped write(port.Handle());
    std::string held(64, 'h');
    ASSERT_FALSE(WriteFile(port.Handle(), held.data(), static_cast<DWORD>(held.size()), nullptr, &write.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(pty.Receive(1, 200), "");

    std::thread other([&] { EXPECT_TRUE(CancelIo(port.Handle())); });
    other.join();
    DWORD put = 0;
    EXPECT_FALSE(GetOverlappedResult(port.Handle(), &write.ov, &put, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE) << "another thread's CancelIo ended this write";

    ASSERT_TRUE(CancelIo(port.Handle()));
    ASSERT_TRUE(write.Ended());
    EXPECT_FALSE(GetOverlappedResult(port.Handle(), &write.ov, &put, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

    // Xon lets the next write through.
    ASSERT_TRUE(pty.Send("\x11"));
    Overlapped after(port.Handle());
    if (!WriteFile(port.Handle(), "after", 5, nullptr, &after.ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(after.Ended());
    }
    EXPECT_EQ(pty.Receive(5, kWait), "after");
}

// The status-line wait has no descriptor to wake it. Hosts block every
// signal in every thread (sigwait, signalfd) and install handlers with
// SA_RESTART; the wait must still end when the port closes. A pipe read
// stands in for the ioctl: both are restarted or ended alike.
TEST(PtySerialEvents, TheStatusWaitEndsWhateverTheHostDoesWithSignals)
{
    struct sigaction host {}, previousHandler {};
    host.sa_handler = [](int) {};
    host.sa_flags = SA_RESTART;
    sigemptyset(&host.sa_mask);
    ASSERT_EQ(sigaction(SIGURG, &host, &previousHandler), 0);
    sigset_t all, previousMask;
    sigfillset(&all);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &all, &previousMask), 0);  // inherited by the waiter

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::promise<int> ended;
    std::future<int> outcome = ended.get_future();
    std::thread waiter([&] {
        if (int e = tavrin::posix::PrepareModemWaiter()) {
            ended.set_value(-e);
            return;
        }
        char byte;
        ended.set_value(::read(fds[0], &byte, 1) < 0 ? errno : 0);
    });
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);

    // An interrupt can fall just before the thread blocks: repeated, as the
    // port repeats it, for at most five seconds.
    bool done = false;
    for (int i = 0; i < 250 && !done; ++i) {
        tavrin::posix::InterruptModemWaiter(waiter.native_handle());
        done = outcome.wait_for(20ms) == std::future_status::ready;
    }
    if (!done)
        ASSERT_EQ(::write(fds[1], "x", 1), 1);  // let it go: a failure, not a hang
    waiter.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(outcome.get(), EINTR);
    ::close(fds[0]);
    ::close(fds[1]);
    sigaction(SIGURG, &previousHandler, nullptr);
}
