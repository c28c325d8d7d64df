// `tavrin term` as a person or a script uses it: input from a pipe or keys
// on a pseudo-terminal, received bytes on stdout, notices on stderr, and a
// clean end on end of input, on the escape key and when the link drops.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include <tavrin/serial/Com.h>
#include "support/ChildProcess.h"

namespace {

using tavrin::test::ChildOptions;
using tavrin::test::ChildProcess;

constexpr int kTimeoutMs = 20000;

// A pseudo-terminal pair owned by the test; the slave side is what the
// program sees, the master what the test (the person, or the far end) uses.
struct Pty {
    Pty()
    {
        char name[64] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            slaveName = name;
            // The program under test must not inherit the far end, or
            // closing it here would not hang the line up.
            fcntl(master, F_SETFD, FD_CLOEXEC);
            fcntl(slave, F_SETFD, FD_CLOEXEC);
        }
    }
    ~Pty()
    {
        CloseMaster();
        CloseSlave();
    }
    void CloseMaster()
    {
        if (master >= 0)
            close(master);
        master = -1;
    }
    void CloseSlave()
    {
        if (slave >= 0)
            close(slave);
        slave = -1;
    }
    bool Write(const std::string& bytes) const
    {
        return write(master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    int master = -1, slave = -1;
    std::string slaveName;
};

std::unique_ptr<ChildProcess> StartTerm(const std::string& device, int stdinFd = -1, int stdoutFd = -1,
                                        const std::vector<std::string>& extra = {}, const std::string& clock = "")
{
    ChildOptions options;
    options.argv = {TAVRIN_CLI_PATH, "term", device};
    options.argv.insert(options.argv.end(), extra.begin(), extra.end());
    options.stdinFd = stdinFd;
    options.stdoutFd = stdoutFd;
    if (!clock.empty())
        options.environment.emplace_back("TAVRIN_TERM_CLOCK", clock);
    return std::make_unique<ChildProcess>(options);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ToolTerm, PipedLineComesBackFromTheLoopbackAndTheEndOfInputEnds)
{
    auto term = StartTerm("loopback");
    ASSERT_TRUE(term->Started()) << term->Error();
    ASSERT_TRUE(term->WriteStdin("hello\n"));
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
    EXPECT_EQ(term->Stdout(), "hello\n");
    EXPECT_NE(term->Stderr().find("end of input quits"), std::string::npos) << term->Stderr();
}

TEST(ToolTerm, EachLineArrivesAsItIsTypedWithItsOwnEnding)
{
    auto term = StartTerm("loopback");
    ASSERT_TRUE(term->Started()) << term->Error();
    // The first line comes back before the input ends: lines go as they come.
    ASSERT_TRUE(term->WriteStdin("AT\r\n"));
    ASSERT_TRUE(term->WaitForStdout("AT\r\n", kTimeoutMs)) << term->Stdout();
    ASSERT_TRUE(term->WriteStdin("ATZ\r"));
    ASSERT_TRUE(term->WaitForStdout("ATZ\r", kTimeoutMs)) << term->Stdout();
    // A last line without an ending goes at the end of input.
    ASSERT_TRUE(term->WriteStdin("\nunix\nlast"));
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
    EXPECT_EQ(term->Stdout(), "AT\r\nATZ\r\nunix\nlast");
}

TEST(ToolTerm, EveryByteValuePassesUnchanged)
{
    // Zero and SOH too: outside packet mode the terminal's device takes
    // no stray frame out of the data.
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    bytes += '\n';
    auto term = StartTerm("loopback");
    ASSERT_TRUE(term->Started()) << term->Error();
    ASSERT_TRUE(term->WriteStdin(bytes));
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
    EXPECT_EQ(term->Stdout(), bytes);
}

TEST(ToolTerm, KeysOnATerminalGoRawAndTheEscapeKeyQuits)
{
    Pty pty;
    ASSERT_GE(pty.master, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
    auto term = StartTerm("loopback", pty.slave, pty.slave);
    ASSERT_TRUE(term->Started()) << term->Error();
    ASSERT_TRUE(term->WaitForStderr("Ctrl-] q quits", kTimeoutMs)) << term->Stderr();

    // Raw keys: no line editing waits for Enter, nothing is echoed by the
    // terminal, and what comes back is the loopback's data only.
    std::string screen;
    ASSERT_TRUE(pty.Write("abc"));
    ASSERT_TRUE(tavrin::test::ReadUntil(pty.master, screen, "abc", kTimeoutMs)) << screen;
    EXPECT_EQ(screen, "abc");
    ASSERT_TRUE(pty.Write("\x03xyz"));   // Ctrl-C is a key like any other
    ASSERT_TRUE(tavrin::test::ReadUntil(pty.master, screen, "xyz", kTimeoutMs)) << screen;
    EXPECT_EQ(screen, "abc\x03xyz");

    ASSERT_TRUE(pty.Write("q\x1D" "q" "after"));
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
    // What followed the escape key was not written; the terminal's settings
    // are back as they were.
    ASSERT_TRUE(tavrin::test::ReadUntil(pty.master, screen, "xyzq", kTimeoutMs)) << screen;
    termios after{};
    ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
}

// Each display option wired through the program: fixed input on the
// loopback, the clock fixed by the variable the tests use.
TEST(ToolTerm, DisplayAndLogOptionsShowExactly)
{
    const std::string log = ::testing::TempDir() + "tool_term_log_" + std::to_string(getpid());
    const std::string hexRows = "00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n"
                                "00000010  58 0a                                             |X.|\n";
    struct Case {
        std::vector<std::string> args;
        std::string input, shown, logged;
    } const cases[] = {
        {{"--timestamp"}, "ab\ncd\n", "2026-12-09 16:05:03.123 ab\n2026-12-09 16:05:03.373 cd\n", ""},
        {{"--timestamp=delta"}, "ab\ncd\n", "+0.000 ab\n+0.250 cd\n", ""},
        {{"--hex"}, "0123456789abcdefX\n", hexRows, ""},
        {{"--log", log, "--timestamp=delta"}, "ab\n", "+0.000 ab\n", "before\nab\n"},
        {{"--log", log, "--log-shown", "--hex"}, "0123456789abcdefX\n", hexRows, "before\n" + hexRows},
    };
    for (const Case& c : cases) {
        std::ofstream(log, std::ios::binary | std::ios::trunc) << "before\n";
        auto term = StartTerm("loopback", -1, -1, c.args, "1796832303123+250");
        ASSERT_TRUE(term->Started()) << term->Error();
        ASSERT_TRUE(term->WriteStdin(c.input));
        term->CloseStdin();
        EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << c.args[0] << term->Stderr();
        EXPECT_EQ(term->Stdout(), c.shown) << c.args[0];
        if (!c.logged.empty())
            EXPECT_EQ(ReadFile(log), c.logged) << c.args[0];
    }
    std::remove(log.c_str());
}

TEST(ToolTerm, MalformedDisplayOptionsAreRefusedByName)
{
    struct Case {
        std::vector<std::string> args;
        std::string named;
    } const cases[] = {
        {{"--timestamp=utc"}, "--timestamp"},
        {{"--imap", "crlf,nope"}, "--imap"},
        {{"--omap", "lfcr,"}, "--omap"},
        {{"--log-shown"}, "--log"},
    };
    for (const Case& c : cases) {
        auto term = StartTerm("loopback", -1, -1, c.args);
        ASSERT_TRUE(term->Started()) << term->Error();
        term->CloseStdin();
        EXPECT_EQ(term->WaitForExit(kTimeoutMs), 2) << c.args[0];
        EXPECT_NE(term->Stderr().find(c.named), std::string::npos) << term->Stderr();
    }
}

TEST(ToolTerm, MalformedDeviceIsRefused)
{
    auto term = StartTerm("serial:/dev/null:9600,8,Q,1");
    ASSERT_TRUE(term->Started()) << term->Error();
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 2);
    EXPECT_NE(term->Stderr().find("parity"), std::string::npos) << term->Stderr();
    EXPECT_EQ(term->Stdout(), "");
}


// The far end of a pseudo-terminal is the peer of a serial port.
TEST(ToolTermSerial, BytesFlowBothWaysThroughAPseudoTerminal)
{
    Pty pty;
    ASSERT_GE(pty.master, 0);
    pty.CloseSlave();   // the port is opened by the program, by name
    auto term = StartTerm("serial:" + pty.slaveName + ":115200,8,N,1");
    ASSERT_TRUE(term->Started()) << term->Error();
    ASSERT_TRUE(term->WaitForStderr("end of input quits", kTimeoutMs)) << term->Stderr();

    ASSERT_TRUE(pty.Write("from the far end\r\n"));
    ASSERT_TRUE(term->WaitForStdout("from the far end\r\n", kTimeoutMs)) << term->Stdout() << term->Stderr();

    std::string farEnd;
    ASSERT_TRUE(term->WriteStdin("typed line\n"));
    ASSERT_TRUE(tavrin::test::ReadUntil(pty.master, farEnd, "typed line\n", kTimeoutMs)) << farEnd;
    ASSERT_TRUE(term->WriteStdin("last"));
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
    ASSERT_TRUE(tavrin::test::ReadUntil(pty.master, farEnd, "last", kTimeoutMs)) << farEnd;
    EXPECT_EQ(farEnd, "typed line\nlast");
}

// The input map acts on what arrives, the output map on what is sent.
TEST(ToolTermSerial, MapsActInTheirOwnDirection)
{
    struct Case {
        const char* option;
        std::string farEndGets, shown;
    } const cases[] = {
        {"--omap", "typed\r\n", "back\n"},
        {"--imap", "typed\n", "back\r\n"},
    };
    for (const Case& c : cases) {
        Pty pty;
        ASSERT_GE(pty.master, 0);
        pty.CloseSlave();
        auto term = StartTerm("serial:" + pty.slaveName + ":115200,8,N,1", -1, -1, {c.option, "lfcrlf"});
        ASSERT_TRUE(term->Started()) << term->Error();
        ASSERT_TRUE(term->WaitForStderr("end of input quits", kTimeoutMs)) << term->Stderr();
        std::string farEnd;
        ASSERT_TRUE(term->WriteStdin("typed\n"));
        ASSERT_TRUE(tavrin::test::ReadUntil(pty.master, farEnd, "typed", kTimeoutMs)) << farEnd;
        ASSERT_TRUE(pty.Write("back\n"));
        ASSERT_TRUE(term->WaitForStdout("back", kTimeoutMs)) << term->Stderr();
        term->CloseStdin();
        EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
        tavrin::test::ReadUntil(pty.master, farEnd, c.farEndGets, 2000);
        EXPECT_EQ(farEnd, c.farEndGets) << c.option;
        EXPECT_EQ(term->Stdout(), c.shown) << c.option;
    }
}

// Ctrl-] and one key on a serial line that is a pseudo-terminal: it has no
// modem lines (DTR is refused, and said so), takes a break as sent, and
// the status word is the library's answer for such a line.
TEST(ToolTermSerial, LineControlKeysAfterTheEscapeKey)
{
    Pty line, keys;
    ASSERT_GE(line.master, 0);
    ASSERT_GE(keys.master, 0);
    line.CloseSlave();
    auto term = StartTerm("serial:" + line.slaveName + ":115200,8,N,1", keys.slave, keys.slave);
    ASSERT_TRUE(term->Started()) << term->Error();
    ASSERT_TRUE(term->WaitForStderr("Ctrl-] q quits", kTimeoutMs)) << term->Stderr();
    struct Step {
        const char* keys;
        const char* notice;
    } const steps[] = {
        {"\x1Ds", "115200-8,1,none; DTR on, RTS on; CTS on, DSR on, DCD on, RI off"},
        {"\x1D" "d", "cannot lower DTR: the line has no such output"},
        {"\x1Dr", "cannot lower RTS: the line has no such output"},
        {"\x1D" "b", "break sent"},
        {"\x1Dh", "d toggle DTR"},
        {"\x1Dx", "no command on that key"},
    };
    for (const Step& step : steps) {
        ASSERT_TRUE(keys.Write(step.keys));
        EXPECT_TRUE(term->WaitForStderr(step.notice, kTimeoutMs)) << step.keys << term->Stderr();
    }
    // A second escape key is sent as it is; none of the command keys was.
    std::string farEnd;
    ASSERT_TRUE(keys.Write("a\x1D\x1Dz"));
    ASSERT_TRUE(tavrin::test::ReadUntil(line.master, farEnd, "z", kTimeoutMs)) << farEnd;
    EXPECT_EQ(farEnd, "a\x1Dz");
    ASSERT_TRUE(keys.Write("\x1Dq"));
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
}

// With no FLOW field the port is opened without flow control: Xon/Xoff
// would take 0x11 and 0x13 out of the data (and stop the output at 0x13).
TEST(ToolTermSerial, TheRateGivenAndNoFlowControlUnlessNamed)
{
    Pty pty;
    ASSERT_GE(pty.master, 0);
    pty.CloseSlave();
    auto term = StartTerm("serial:" + pty.slaveName + ":57600");
    ASSERT_TRUE(term->Started()) << term->Error();
    ASSERT_TRUE(term->WaitForStderr("end of input quits", kTimeoutMs)) << term->Stderr();
    EXPECT_NE(term->Stderr().find("57600,8,N,1,none"), std::string::npos) << term->Stderr();
    ASSERT_TRUE(pty.Write("p\x13i\x11ng\n"));
    ASSERT_TRUE(term->WaitForStdout("p\x13i\x11ng\n", kTimeoutMs)) << term->Stdout() << term->Stderr();
    std::string farEnd;
    ASSERT_TRUE(term->WriteStdin("o\x13k\x11\n"));
    ASSERT_TRUE(tavrin::test::ReadUntil(pty.master, farEnd, "o\x13k\x11\n", kTimeoutMs)) << farEnd;
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
}

TEST(ToolTermSerial, TheFarEndClosingEndsTheSession)
{
    Pty pty;
    ASSERT_GE(pty.master, 0);
    pty.CloseSlave();
    auto term = StartTerm("serial:" + pty.slaveName);
    ASSERT_TRUE(term->Started()) << term->Error();
    ASSERT_TRUE(term->WaitForStderr("end of input quits", kTimeoutMs)) << term->Stderr();
    pty.CloseMaster();
    // The input stays open: only the dropped link can end the session.
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 1) << term->Stderr();
    EXPECT_NE(term->Stderr().find("disconnected"), std::string::npos) << term->Stderr();
    EXPECT_NE(term->Stderr().find("the link dropped"), std::string::npos) << term->Stderr();
}

TEST(ToolTermSerial, AMissingPortIsReported)
{
    auto term = StartTerm("serial:/nonexistent/ttyUSB9:9600,8,N,1");
    ASSERT_TRUE(term->Started()) << term->Error();
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 1);
    EXPECT_NE(term->Stderr().find("cannot open /nonexistent/ttyUSB9"), std::string::npos) << term->Stderr();
}


}  // namespace
