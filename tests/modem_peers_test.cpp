// The two modems the modem tests drive the library against, each tested
// from a plain descriptor on its port: the Hayes modem of tests/support
// (commands, a call to a loopback TCP port, the escape, hang-ups from
// either side, the port closed and opened again) and iaxmodem, confined.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/ChildProcess.h"
#include "support/HayesModem.h"
#include "support/IaxModemPeer.h"
#include "support/PtyPair.h"
#include "support/SocketPeer.h"
#include "support/Timing.h"

using namespace tavrin::test;
using namespace std::chrono_literals;
using State = HayesModem::State;

namespace tavrin::test {
// Failure messages name the state.
void PrintTo(HayesModem::State state, std::ostream* out)
{
    *out << HayesModem::StateName(state);
}
}  // namespace tavrin::test

namespace {

constexpr int kWaitMs = 5000;
// Short enough for quick tests, long enough that one write of "+++" is
// never taken for bytes that came apart.
constexpr int kGuardMs = 150;

// The device's side of a modem: its port opened raw, as a serial port
// would be.
class Port {
public:
    explicit Port(const std::string& path) : m_fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC))
    {
        termios raw{};
        if (m_fd >= 0 && tcgetattr(m_fd, &raw) == 0) {
            cfmakeraw(&raw);
            tcsetattr(m_fd, TCSANOW, &raw);
        }
    }
    ~Port() { Close(); }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    bool Ok() const { return m_fd >= 0; }
    int Descriptor() const { return m_fd; }
    void Close()
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }
    bool Send(const std::string& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(m_fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Sends command and returns what came back up to and with `until`
    // (everything that came, if it never did, within the time-out).
    std::string Ask(const std::string& command, const std::string& until = "OK\r\n")
    {
        m_got.clear();
        if (!Send(command))
            return "<write failed>";
        ReadUntil(m_fd, m_got, until, kWaitMs);
        return std::exchange(m_got, {});
    }
    std::string Expect(const std::string& until)
    {
        ReadUntil(m_fd, m_got, until, kWaitMs);
        return std::exchange(m_got, {});
    }
    std::string ReadCount(size_t count)
    {
        while (m_got.size() < count) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, kWaitMs) <= 0)
                break;
            char buffer[4096];
            const ssize_t n = read(m_fd, buffer, std::min(sizeof buffer, count - m_got.size()));
            if (n <= 0)
                break;
            m_got.append(buffer, static_cast<size_t>(n));
        }
        return std::exchange(m_got, {});
    }
    // True when nothing arrives for ms: the wait that a guard time asks
    // for, which also shows the modem says nothing meanwhile.
    bool Quiet(int ms)
    {
        pollfd p{m_fd, POLLIN, 0};
        return poll(&p, 1, ms) == 0;
    }

private:
    int m_fd;
    std::string m_got;
};

std::string AllByteValues()
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    return all;
}

// Dials listener's port; the accepted connection, or an invalid one.
Fd Dial(Port& port, const Fd& listener, std::uint16_t number)
{
    const std::string answer = port.Ask("ATDT" + std::to_string(number) + "\r", "CONNECT 57600\r\n");
    EXPECT_EQ(answer, "ATDT" + std::to_string(number) + "\r\r\nCONNECT 57600\r\n");
    return AcceptWithin(listener);
}

}  // namespace

TEST(HayesModem, AnswersCommandsWithEchoVerbalAndNumericResults)
{
    HayesModem modem(kGuardMs);
    ASSERT_TRUE(modem.Ok()) << modem.Error();
    EXPECT_EQ(modem.GetState(), State::PortClosed);
    Port port(modem.SlavePath());
    ASSERT_TRUE(port.Ok());
    ASSERT_TRUE(modem.WaitForState(State::Command, kWaitMs));

    EXPECT_EQ(port.Ask("AT\r"), "AT\r\r\nOK\r\n");
    EXPECT_EQ(port.Ask("ATI\r"), std::string("ATI\r\r\n") + HayesModem::kIdentification + "\r\n\r\nOK\r\n");
    EXPECT_EQ(port.Ask("ATS7=60S30=0M0\\N3%C1&K3B0X4V1\r"), "ATS7=60S30=0M0\\N3%C1&K3B0X4V1\r\r\nOK\r\n");
    EXPECT_EQ(port.Ask("ATS7?S30?\r"), "ATS7?S30?\r\r\n060\r\n\r\n000\r\n\r\nOK\r\n");
    EXPECT_EQ(port.Ask("at &f e1 v1\r"), "at &f e1 v1\r\r\nOK\r\n");
    // Backspace takes back what it follows; LF is no end of line.
    EXPECT_EQ(port.Ask("ATWY\b\b\n\r"), "ATWY\b\b\n\r\r\nOK\r\n");
    for (const char* wrong : {"ATW\r", "ATE2\r", "ATS256=1\r", "ATS7=256\r", "ATS7\r", "AT&Z\r", "ATDTabc\r"})
        EXPECT_EQ(port.Ask(wrong, "ERROR\r\n"), std::string(wrong) + "\r\nERROR\r\n") << wrong;
    // A line that is no command is not answered: only the echo of both.
    EXPECT_EQ(port.Ask("hello\rAT\r"), "hello\rAT\r\r\nOK\r\n");

    EXPECT_EQ(port.Ask("ATE0\r"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(port.Ask("AT\r"), "\r\nOK\r\n");
    EXPECT_EQ(port.Ask("ATV0\r", "0\r"), "0\r");
    EXPECT_EQ(port.Ask("ATW\r", "4\r"), "4\r");
    EXPECT_EQ(port.Ask("ATI\r", "0\r"), std::string(HayesModem::kIdentification) + "\r\n0\r");
    ASSERT_TRUE(port.Send("ATV1Q1\r"));
    EXPECT_TRUE(port.Quiet(200));   // Q1: not even this line's OK
    EXPECT_EQ(port.Ask("ATQ0\r"), "\r\nOK\r\n");
    EXPECT_EQ(port.Ask("ATZ\r"), "\r\nOK\r\n");
    EXPECT_EQ(port.Ask("AT\r"), "AT\r\r\nOK\r\n");   // ATZ put the echo back

    const std::vector<std::string> commands = modem.Commands();
    ASSERT_GE(commands.size(), 4u);
    EXPECT_EQ(commands[0], "AT");
    EXPECT_EQ(commands[1], "ATI");
    EXPECT_EQ(commands[2], "ATS7=60S30=0M0\\N3%C1&K3B0X4V1");
    EXPECT_EQ(commands.back(), "AT");
    EXPECT_TRUE(modem.WaitForCommand("hello", 0));
    EXPECT_TRUE(modem.WaitForCommand("ATW", 0));   // edited by the backspaces
    EXPECT_FALSE(modem.WaitForCommand("ATO", 50));
}

TEST(HayesModem, CallsATcpPortPassesEveryByteAndEscapesWithGuardTimes)
{
    HayesModem modem(kGuardMs);
    ASSERT_TRUE(modem.Ok()) << modem.Error();
    std::uint16_t number = 0;
    Fd listener = ListenLoopback(number);
    ASSERT_TRUE(listener.Valid());
    Port port(modem.SlavePath());
    ASSERT_TRUE(port.Ok());

    Fd call = Dial(port, listener, number);
    ASSERT_TRUE(call.Valid());
    ASSERT_TRUE(modem.WaitForState(State::Online, kWaitMs));
    EXPECT_EQ(modem.Calls(), 1);
    EXPECT_TRUE(modem.WaitForCommand("ATDT" + std::to_string(number), 0));

    const std::string all = AllByteValues();
    ASSERT_TRUE(port.Send(all));
    EXPECT_EQ(ReceiveExactly(call, all.size()), all);
    ASSERT_TRUE(SendAll(call, all));
    EXPECT_EQ(port.ReadCount(all.size()), all);

    // Without the guard before, "+++" is data.
    ASSERT_TRUE(port.Send("x+++"));
    EXPECT_EQ(ReceiveExactly(call, 4), "x+++");
    EXPECT_TRUE(port.Quiet(3 * kGuardMs));
    EXPECT_EQ(modem.GetState(), State::Online);

    // With silence before and after: command mode, the call kept.
    ASSERT_TRUE(port.Quiet(kGuardMs + 50));
    Stopwatch escape;
    ASSERT_TRUE(port.Send("+++"));
    EXPECT_EQ(port.Expect("OK\r\n"), "\r\nOK\r\n");
    EXPECT_GE(escape.Ms(), kGuardMs - 20);   // not before the guard after
    EXPECT_EQ(modem.GetState(), State::OnlineCommand);
    EXPECT_EQ(ReceiveExactly(call, 3), "+++");
    EXPECT_EQ(port.Ask("AT\r"), "AT\r\r\nOK\r\n");
    // What the far end sends meanwhile waits for ATO.
    ASSERT_TRUE(SendAll(call, "while away"));
    EXPECT_TRUE(port.Quiet(100));
    EXPECT_EQ(port.Ask("ATO\r", "while away"), "ATO\r\r\nCONNECT 57600\r\nwhile away");
    EXPECT_EQ(modem.GetState(), State::Online);
    ASSERT_TRUE(port.Send("back"));
    EXPECT_EQ(ReceiveExactly(call, 4), "back");

    // A byte within the guard after cancels the escape.
    ASSERT_TRUE(port.Quiet(kGuardMs + 50));
    ASSERT_TRUE(port.Send("+++"));
    ASSERT_TRUE(port.Send("y"));
    EXPECT_EQ(ReceiveExactly(call, 4), "+++y");
    EXPECT_TRUE(port.Quiet(3 * kGuardMs));
    EXPECT_EQ(modem.GetState(), State::Online);

    // ATH hangs up.
    ASSERT_TRUE(port.Quiet(kGuardMs + 50));
    ASSERT_TRUE(port.Send("+++"));
    EXPECT_EQ(port.Expect("OK\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(port.Ask("ATH\r"), "ATH\r\r\nOK\r\n");
    EXPECT_TRUE(WaitForEndOfStream(call));
    EXPECT_EQ(modem.GetState(), State::Command);
    EXPECT_EQ(modem.HangUps(), 1);
    EXPECT_EQ(port.Ask("ATO\r", "NO CARRIER\r\n"), "ATO\r\r\nNO CARRIER\r\n");
}

TEST(HayesModem, NoCarrierWhenTheFarEndLeavesOrNobodyAnswers)
{
    HayesModem modem(kGuardMs);
    ASSERT_TRUE(modem.Ok()) << modem.Error();
    std::uint16_t number = 0;
    Fd listener = ListenLoopback(number);
    ASSERT_TRUE(listener.Valid());
    Port port(modem.SlavePath());
    ASSERT_TRUE(port.Ok());

    Fd call = Dial(port, listener, number);
    ASSERT_TRUE(call.Valid());
    ASSERT_TRUE(SendAll(call, "bye"));
    call.Reset();
    EXPECT_EQ(port.Expect("NO CARRIER\r\n"), "bye\r\nNO CARRIER\r\n");
    EXPECT_EQ(modem.GetState(), State::Command);
    EXPECT_EQ(modem.HangUps(), 1);
    EXPECT_EQ(port.Ask("AT\r"), "AT\r\r\nOK\r\n");

    // The far end leaving while the modem is in command mode ends the call
    // too.
    call = Dial(port, listener, number);
    ASSERT_TRUE(call.Valid());
    ASSERT_TRUE(port.Quiet(kGuardMs + 50));
    ASSERT_TRUE(port.Send("+++"));
    EXPECT_EQ(port.Expect("OK\r\n"), "\r\nOK\r\n");
    call.Reset();
    EXPECT_EQ(port.Expect("NO CARRIER\r\n"), "\r\nNO CARRIER\r\n");
    EXPECT_TRUE(modem.WaitForHangUps(2, kWaitMs));

    const std::uint16_t nobody = UnusedTcpPort();
    const std::string dial = "ATDP" + std::to_string(nobody) + "\r";
    EXPECT_EQ(port.Ask(dial, "NO CARRIER\r\n"), dial + "\r\nNO CARRIER\r\n");
    EXPECT_EQ(modem.GetState(), State::Command);
    EXPECT_EQ(modem.Calls(), 2);
    EXPECT_EQ(port.Ask("ATV0\r", "0\r"), "ATV0\r0\r");
    EXPECT_EQ(port.Ask(dial, "3\r"), dial + "3\r");
}

TEST(HayesModem, ClosingThePortHangsUpAndTheNextOpenFindsTheDefaults)
{
    HayesModem modem(kGuardMs);
    ASSERT_TRUE(modem.Ok()) << modem.Error();
    std::uint16_t number = 0;
    Fd listener = ListenLoopback(number);
    ASSERT_TRUE(listener.Valid());
    Port port(modem.SlavePath());
    ASSERT_TRUE(port.Ok());
    ASSERT_TRUE(modem.WaitForState(State::Command, kWaitMs));
    EXPECT_EQ(port.Ask("ATE0V0\r", "0\r"), "ATE0V0\r0\r");
    ASSERT_TRUE(port.Send("ATDT" + std::to_string(number) + "\r"));
    EXPECT_EQ(port.Expect("1\r"), "1\r");
    Fd call = AcceptWithin(listener);
    ASSERT_TRUE(call.Valid());
    ASSERT_TRUE(modem.WaitForState(State::Online, kWaitMs));

    // A second holder of the port closing is no hang-up; the last is.
    const int hangUpsBefore = modem.HangUps();
    {
        Port second(modem.SlavePath());
        ASSERT_TRUE(second.Ok());
    }
    ASSERT_TRUE(port.Send("still here"));
    EXPECT_EQ(ReceiveExactly(call, 10), "still here");
    EXPECT_EQ(modem.GetState(), State::Online);
    const int closesBefore = modem.PortCloses();
    port.Close();
    EXPECT_TRUE(WaitForEndOfStream(call));
    ASSERT_TRUE(modem.WaitForState(State::PortClosed, kWaitMs));
    EXPECT_EQ(modem.HangUps(), hangUpsBefore + 1);
    EXPECT_EQ(modem.PortCloses(), closesBefore + 1);

    // Nobody holds the slave: the modem's thread must sleep, not spin on
    // the master's endless POLLHUP. The wait is for an open that does not
    // come.
    const long long cpuBefore = ProcessCpuMicros();
    Stopwatch idle;
    EXPECT_FALSE(modem.WaitForState(State::Command, 400));
    const long long cpuUsed = ProcessCpuMicros() - cpuBefore;
    EXPECT_LT(cpuUsed, idle.Ms() * 1000 / 4) << cpuUsed << " µs of CPU in " << idle.Ms() << " ms";

    // The next open finds a modem in command mode with its defaults: echo
    // and verbal results back on.
    const int opensBefore = modem.PortOpens();
    Port again(modem.SlavePath());
    ASSERT_TRUE(again.Ok());
    ASSERT_TRUE(modem.WaitForState(State::Command, kWaitMs));
    EXPECT_EQ(modem.PortOpens(), opensBefore + 1);
    EXPECT_EQ(again.Ask("AT\r"), "AT\r\r\nOK\r\n");
    Fd second = Dial(again, listener, number);
    ASSERT_TRUE(second.Valid());
    ASSERT_TRUE(SendAll(second, "again"));
    EXPECT_EQ(again.ReadCount(5), "again");
}

// A device that closes and opens again at once (as a host does between two
// steps) has written its first command before the modem has read the close:
// that command still finds a modem reset by the close, and the modes the
// device set stay set.
TEST(HayesModem, OpeningAgainAtOnceMeetsAResetModemAndKeepsThePortsModes)
{
    HayesModem modem(kGuardMs);
    ASSERT_TRUE(modem.Ok()) << modem.Error();
    for (int round = 0; round < 100; ++round) {
        Port port(modem.SlavePath());
        ASSERT_TRUE(port.Ok());
        termios modes{};
        ASSERT_EQ(tcgetattr(port.Descriptor(), &modes), 0);
        modes.c_iflag |= PARMRK;
        ASSERT_EQ(tcsetattr(port.Descriptor(), TCSANOW, &modes), 0);
        // Echo off for this session only: the next one hears its command
        // echoed.
        ASSERT_EQ(port.Ask("ATE0\r"), "ATE0\r\r\nOK\r\n") << "round " << round;
        ASSERT_EQ(tcgetattr(port.Descriptor(), &modes), 0);
        ASSERT_TRUE(modes.c_iflag & PARMRK) << "the modem reset the port's modes in round " << round;
    }
    EXPECT_EQ(modem.PortOpens(), 100);
}

TEST(HayesModem, StopsPromptlyWithACallUp)
{
    std::uint16_t number = 0;
    Fd listener = ListenLoopback(number);
    ASSERT_TRUE(listener.Valid());
    Fd call;
    auto modem = std::make_unique<HayesModem>(kGuardMs);
    ASSERT_TRUE(modem->Ok()) << modem->Error();
    Port port(modem->SlavePath());
    ASSERT_TRUE(port.Ok());
    call = Dial(port, listener, number);
    ASSERT_TRUE(call.Valid());
    Stopwatch stop;
    Within(5s, [&] { modem.reset(); }, "~HayesModem");
    EXPECT_LT(stop.Ms(), 1000);
    EXPECT_TRUE(WaitForEndOfStream(call));
}

namespace {

// Every file under a folder with its size and modification time.
std::map<std::string, std::string> Listing(const std::string& folder)
{
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        struct stat st{};
        if (lstat(it->path().c_str(), &st) == 0)
            files[it->path()] = std::to_string(st.st_size) + "@" + std::to_string(st.st_mtim.tv_sec) + "." +
                                std::to_string(st.st_mtim.tv_nsec);
    }
    return files;
}

// What iaxmodem could write outside its folder: its configuration and log
// folders, its daemon's pid file and its recordings in /tmp.
std::map<std::string, std::string> IaxModemTraces()
{
    std::map<std::string, std::string> traces = Listing("/etc/iaxmodem");
    traces.merge(Listing("/var/log/iaxmodem"));
    std::error_code ec;
    for (const char* path : {"/var/run/iaxmodem.pid", "/tmp/ttyIAX0-dsp.raw", "/tmp/ttyIAX0-iax.raw"})
        if (std::filesystem::exists(path, ec))
            traces[path] = "present";
    return traces;
}

bool MountedHere(const std::string& target)
{
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line))
        if (line.find(" " + target + " ") != std::string::npos)
            return true;
    return false;
}

}  // namespace

TEST(IaxModem, StartsConfinedAnswersAndLeavesNothingOutsideItsFolder)
{
    if (IaxModemPeer::NeedsRoot())
        GTEST_SKIP() << "iaxmodem is confined in a mount namespace of its own (unshare -m), which needs root";
    const auto before = IaxModemTraces();
    const bool etcMountedBefore = MountedHere("/etc/iaxmodem");
    std::string dir, device;
    {
        IaxModemPeer modem;
        // iaxmodem missing: a failure that says so, never a silent pass.
        ASSERT_TRUE(modem.Ready()) << modem.Error();
        dir = modem.Dir();
        device = modem.DevicePath();
        EXPECT_EQ(device, dir + "/ttyIAX0");
        EXPECT_EQ(std::filesystem::read_symlink(device).string().rfind("/dev/pts/", 0), 0u);
        // The bind mounts live in iaxmodem's namespace, not in this one.
        EXPECT_EQ(MountedHere("/etc/iaxmodem"), etcMountedBefore);
        EXPECT_TRUE(std::filesystem::exists(dir + "/etc/ttyIAX0"));

        Port port(device);
        ASSERT_TRUE(port.Ok());
        EXPECT_EQ(port.Ask("AT\r"), "AT\r\r\nOK\r\n") << modem.Output();
        EXPECT_EQ(port.Ask("ATI\r"), "ATI\r\r\nspandsp\r\n\r\nOK\r\n");
        // Its interpreter refuses S30, so this init string fails as a whole
        // and passes without it.
        EXPECT_EQ(port.Ask("ATS7=60S30=0M0\\N3%C1&K3B0X4V1\r", "ERROR\r\n"),
                  "ATS7=60S30=0M0\\N3%C1&K3B0X4V1\r\r\nERROR\r\n");
        EXPECT_EQ(port.Ask("ATS7=60M0\\N3%C1&K3B0X4V1\r"), "ATS7=60M0\\N3%C1&K3B0X4V1\r\r\nOK\r\n");
        EXPECT_EQ(port.Ask("ATE0\r"), "ATE0\r\r\nOK\r\n");
        EXPECT_EQ(port.Ask("AT\r"), "\r\nOK\r\n");
        // Closing the port is no DTR drop to it: the next open finds the
        // echo still off.
        port.Close();
        Port again(device);
        ASSERT_TRUE(again.Ok());
        EXPECT_EQ(again.Ask("AT\r"), "\r\nOK\r\n");
    }
    EXPECT_FALSE(std::filesystem::exists(dir));
    EXPECT_EQ(IaxModemTraces(), before);
}
