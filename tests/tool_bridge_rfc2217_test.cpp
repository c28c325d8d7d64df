// `tavrin bridge serial:PTY listen:PORT --rfc2217` with pySerial's RFC 2217
// client as the caller: the settings it asks for reach the pty's line (or
// come back as what the line kept), its line, purge and break requests are
// answered in time, and every byte value crosses both ways. A plain socket
// checks the Telnet side pySerial does not exercise.
#include <gtest/gtest.h>

#include <signal.h>
#include <tavrin/Tavrin.h>
#include <termios.h>

#include <string>

#include "support/PtyPair.h"
#include "support/PySerialClient.h"
#include "support/SocketPeer.h"
#include "support/ToolRun.h"

namespace {

using namespace tavrin::test;

constexpr int kTimeoutMs = 20000;
// pySerial gives up on an answer after 3 s; the margin is for a loaded
// machine, not for the server.
constexpr int kAnswerMs = 10000;

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

std::string AllByteValues()
{
    std::string bytes;
    for (int value = 0; value < 256; ++value)
        bytes += static_cast<char>(value);
    return bytes;
}

struct ServedPty {
    PtyPair pty;
    std::uint16_t port = 0;
    std::unique_ptr<ChildProcess> bridge;

    explicit ServedPty(const std::vector<std::string>& extra = {})
    {
        if (!pty.Ok())
            return;
        bridge = StartListening(
            [&](std::uint16_t p) {
                std::vector<std::string> args = {"bridge", "serial:" + pty.SlavePath(),
                                                 "listen:" + std::to_string(p), "--rfc2217"};
                args.insert(args.end(), extra.begin(), extra.end());
                return args;
            },
            UnusedTcpPort, "SIGINT or SIGTERM stops", kTimeoutMs, port);
    }
    bool Up() const { return bridge && bridge->Started(); }
    // The line's flags that the settings below change.
    tcflag_t Flags() const
    {
        termios tio{};
        if (tcgetattr(pty.SlaveFd(), &tio) != 0)
            return ~tcflag_t{0};
        return (tio.c_cflag & (CSTOPB | CRTSCTS)) | (tio.c_iflag & IXON);
    }
};

TEST(ToolBridgeRfc2217, PySerialSetsThePortAndExchangesEveryByte)
{
    const std::string missing = PySerialClient::Missing();
    if (!missing.empty())
        GTEST_SKIP() << missing;
    ServedPty served;
    ASSERT_TRUE(served.Up());
    PySerialClient client(TAVRIN_PYSERIAL_DRIVER);
    ASSERT_TRUE(client.Started());
    ASSERT_EQ(client.Ask("open " + std::to_string(served.port), kTimeoutMs), "ok") << served.bridge->Stderr();

    // What pySerial asks for, what it is told, and the pty's line after.
    // 1.5 stop bits, which the port refuses, are answered with the two it
    // kept.
    const struct {
        const char* request;
        const char* result;
        unsigned long rate;
        tcflag_t flags;
    } settings[] = {
        {"rate 57600", "ok", 57600, 0},
        {"rate 115200", "ok", 115200, 0},
        {"stop 2", "ok", 115200, CSTOPB},
        {"stop 1.5", "error: remote rejected value for option 'stopsize'", 115200, CSTOPB},
        {"stop 1", "ok", 115200, 0},
        {"xonxoff 1", "ok", 115200, IXON},
        {"xonxoff 0", "ok", 115200, 0},
        {"rtscts 1", "ok", 115200, CRTSCTS},
        {"rtscts 0", "ok", 115200, 0},
        {"rate 9600", "ok", 9600, 0},
        {"dtr 0", "ok", 9600, 0},
        {"dtr 1", "ok", 9600, 0},
        {"rts 0", "ok", 9600, 0},
        {"rts 1", "ok", 9600, 0},
        {"purge", "ok", 9600, 0},
        {"break", "ok", 9600, 0},
    };
    for (const auto& s : settings) {
        SCOPED_TRACE(s.request);
        EXPECT_EQ(client.Ask(s.request, kAnswerMs), s.result) << served.bridge->Stderr();
        EXPECT_EQ(PtyLineRate(served.pty.MasterFd()), s.rate);
        EXPECT_EQ(served.Flags(), s.flags);
    }

    // Every value, and the runs of 0xFF and the command sequences that an
    // escaping or unescaping fault would change.
    const std::string iac = "\xFF";
    const std::string patterns[] = {
        AllByteValues(),
        iac + iac + iac,
        iac + "\xFA\x2C\x01" + iac + "\xF0" + iac + "\xF3\x0D",
        std::string("\x00\x0D\x0A\x11\x13", 5) + iac,
    };
    for (const std::string& bytes : patterns) {
        SCOPED_TRACE(Hex(bytes));
        ASSERT_EQ(client.Ask("write " + Hex(bytes), kAnswerMs), "ok");
        EXPECT_EQ(served.pty.ReadFar(bytes.size(), kTimeoutMs), bytes);
        ASSERT_TRUE(served.pty.WriteFar(bytes));
        EXPECT_EQ(client.Ask("read " + std::to_string(bytes.size()), kTimeoutMs), Hex(bytes));
    }
    EXPECT_EQ(served.bridge->Stderr().find("not supported"), std::string::npos) << served.bridge->Stderr();
    EXPECT_EQ(served.bridge->Stop(SIGTERM, kTimeoutMs), 0) << served.bridge->Stderr();
}

// What pySerial does not send: each exchange is bytes from the caller and
// the reply that must come back whole, after the server's offers.
TEST(ToolBridgeRfc2217, TelnetExchangesWithAPlainSocket)
{
    ServedPty served;
    ASSERT_TRUE(served.Up());
    Fd caller = ConnectLoopbackTcp(served.port);
    ASSERT_TRUE(caller.Valid());
    const std::string iac = "\xFF";
    const std::string offers = iac + "\xFB\x2C" + iac + "\xFB" + '\0' + iac + "\xFB\x03" + iac + "\xFD" + '\0' +
                               iac + "\xFD\x03";
    ASSERT_EQ(Hex(ReceiveExactly(caller, offers.size(), std::chrono::milliseconds(kTimeoutMs))), Hex(offers));
    const struct {
        const char* what;
        std::string send, reply;
    } exchanges[] = {
        // Agreements to our offers are not answered; the next reply is the
        // first bytes that come.
        {"ECHO refused, acks not answered", iac + "\xFD\x2C" + iac + "\xFB\x03" + iac + "\xFD\x01",
         iac + "\xFC\x01"},
        {"their COM-PORT-OPTION accepted once", iac + "\xFB\x2C" + iac + "\xFB\x2C" + iac + "\xFB\x18",
         iac + "\xFD\x2C" + iac + "\xFE\x18"},
        {"signature", iac + "\xFA\x2C" + '\0' + iac + "\xF0", iac + "\xFA\x2C\x64tavrin" + iac + "\xF0"},
        {"rate by index 17", iac + "\xFA\x2C\x01\x11" + iac + "\xF0", iac + "\xFA\x2C\x65\x11" + iac + "\xF0"},
        {"rate query", iac + "\xFA\x2C\x01" + std::string(4, '\0') + iac + "\xF0",
         iac + "\xFA\x2C\x65" + std::string("\x00\x01\xC2\x00", 4) + iac + "\xF0"},
        {"modem state mask", iac + "\xFA\x2C\x0B\x33" + iac + "\xF0", iac + "\xFA\x2C\x6F\x33" + iac + "\xF0"},
        {"line state mask 0xFF, escaped", iac + "\xFA\x2C\x0A" + iac + iac + iac + "\xF0",
         iac + "\xFA\x2C\x6E" + iac + iac + iac + "\xF0"},
    };
    for (const auto& e : exchanges) {
        SCOPED_TRACE(e.what);
        ASSERT_TRUE(SendAll(caller, e.send));
        EXPECT_EQ(Hex(ReceiveExactly(caller, e.reply.size(), std::chrono::milliseconds(kTimeoutMs))),
                  Hex(e.reply));
    }
    EXPECT_EQ(PtyLineRate(served.pty.MasterFd()), 115200u);
    EXPECT_EQ(served.bridge->Stop(SIGTERM, kTimeoutMs), 0) << served.bridge->Stderr();
}

}  // namespace

// The library's own client against the bridge: what the port kept is what
// the client reports, a refused value included.
TEST(ToolBridgeRfc2217, TheLibrarysClientReportsWhatThePortKept)
{
    ServedPty served;
    ASSERT_TRUE(served.Up());
    CRemoteCom remote;
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 57600;
    dcb.ByteSize = 8;
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(remote.Connect("127.0.0.1", served.port, &dcb)) << GetLastError();
    EXPECT_EQ(PtyLineRate(served.pty.MasterFd()), 57600u);
    EXPECT_EQ(served.Flags() & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    EXPECT_TRUE(remote.SetDtr(FALSE)) << "the bridge answers DTR on a port without the line";

    // 1.5 stop bits with 8 data bits is no frame a port can make: refused,
    // and the client tells what the port still has.
    DCB odd = dcb;
    odd.BaudRate = 115200;
    odd.StopBits = ONE5STOPBITS;
    EXPECT_FALSE(remote.SetState(odd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    DCB now;
    ASSERT_TRUE(remote.GetState(now));
    EXPECT_EQ(now.BaudRate, 115200u);
    EXPECT_EQ(now.StopBits, TWOSTOPBITS);
    remote.Disconnect();
}
