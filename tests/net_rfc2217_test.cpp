// CRemoteCom against ser2net's RFC 2217 server, which serves one end of a
// pseudo-terminal pair: the line settings the client asks for show in the
// pty's termios, every byte value passes both ways, and a server without
// the option is refused.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <string>

#include "support/PtyPair.h"
#include "support/Ser2netPeer.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

namespace {

DCB Line(DWORD rate, BYTE stop = ONESTOPBIT)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = rate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = stop;
    dcb.fBinary = 1;
    return dcb;
}

// A call on another thread, under a watchdog, with that thread's error.
struct Outcome {
    BOOL ok;
    DWORD error;
};
template <class Fn>
Outcome Call(Fn&& fn, const char* what)
{
    return Within(10s, [&] {
        BOOL ok = fn();
        return Outcome{ok, ok ? 0u : GetLastError()};
    }, what);
}

class Rfc2217 : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pair.Ok());
        ASSERT_TRUE(server.Ready()) << server.Error() << server.Output();
        remote.SetTransparent(TRUE);
        window.Attach(remote);
    }
    void TearDown() override { Within(10s, [&] { remote.Disconnect(); }, "Disconnect"); }

    Outcome Open(const DCB& dcb)
    {
        return Call([&] { return remote.Connect("127.0.0.1", server.Port(), &dcb); }, "Connect");
    }

    TempDir dir;
    PtyPair pair;
    Ser2netServer server{pair.SlavePath(), dir.Path(), true, "9600n81"};
    WindowThread window;
    CRemoteCom remote;
};

}  // namespace

TEST_F(Rfc2217, TheSettingsAskedForReachTheFarLine)
{
    struct Case {
        DWORD rate;
        BYTE stop;
        int stopBits;
    };
    const Case cases[] = {{9600, ONESTOPBIT, 1}, {57600, TWOSTOPBITS, 2}, {115200, ONESTOPBIT, 1}};
    ASSERT_EQ(Open(Line(cases[0].rate)).error, 0u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        ASSERT_EQ(Call([&] { return remote.SetState(Line(c.rate, c.stop)); }, "SetState").error, 0u);
        EXPECT_EQ(PtyLineRate(pair.MasterFd()), c.rate);
        EXPECT_EQ(PtyStopBits(pair.MasterFd()), c.stopBits);
        DCB now;
        ASSERT_TRUE(remote.GetState(now));
        EXPECT_EQ(now.BaudRate, c.rate);
        EXPECT_EQ(now.StopBits, c.stop);
    }
    CString name;
    remote.GetName(name);
    EXPECT_STREQ(name, ("RFC2217 127.0.0.1:" + std::to_string(server.Port()) + ":115200-8,1,none").c_str());
}

TEST_F(Rfc2217, EveryByteValuePassesBothWays)
{
    ASSERT_EQ(Open(Line(115200)).error, 0u);
    std::string all;
    for (int round = 0; round < 4; ++round)
        for (int i = 0; i < 256; ++i)
            all += static_cast<char>(i);
    ASSERT_TRUE(remote.Write(reinterpret_cast<BYTE*>(all.data()), static_cast<DWORD>(all.size())));
    EXPECT_EQ(pair.ReadFar(all.size(), 10000), all);
    ASSERT_TRUE(pair.WriteFar(all));
    ASSERT_TRUE(window.WaitForData(all.size(), 10s)) << window.DataBytes().size();
    EXPECT_EQ(window.DataBytes(), all);
}

// Purges, DTR and RTS and a break are requests the server must answer;
// the line carries data afterwards as before.
TEST_F(Rfc2217, ControlRequestsAreAnswered)
{
    ASSERT_EQ(Open(Line(115200)).error, 0u);
    EXPECT_EQ(Call([&] { return remote.Purge(PURGE_RXCLEAR | PURGE_TXCLEAR); }, "Purge").error, 0u);
    // ser2net on a pty answers the line requests or not; either way the
    // request ends within its bound and says which.
    Stopwatch watch;
    const Outcome dtr = Call([&] { return remote.SetDtr(FALSE); }, "SetDtr");
    EXPECT_TRUE(dtr.ok || dtr.error == ERROR_TIMEOUT || dtr.error == ERROR_NOT_SUPPORTED) << dtr.error;
    EXPECT_LT(watch.Ms(), 4000);
    Stopwatch breakWatch;
    Within(10s, [&] { remote.SendBreak(); }, "SendBreak");
    EXPECT_GE(breakWatch.Ms(), 280);
    const std::string text = "after";
    ASSERT_TRUE(pair.WriteFar(text));
    ASSERT_TRUE(window.WaitForData(text.size()));
    EXPECT_EQ(window.DataBytes(), text);
}

TEST(Rfc2217Refusal, AServerWithoutTheOptionIsRefused)
{
    TempDir dir;
    PtyPair pair;
    ASSERT_TRUE(pair.Ok());
    Ser2netServer raw(pair.SlavePath(), dir.Path(), false);
    ASSERT_TRUE(raw.Ready()) << raw.Error() << raw.Output();
    CRemoteCom remote;
    DCB dcb = Line(9600);
    Stopwatch watch;
    const Outcome outcome = Call([&] { return remote.Connect("127.0.0.1", raw.Port(), &dcb); }, "Connect");
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_LT(watch.Ms(), 8000);
    EXPECT_FALSE(remote.IsConnected());
}
