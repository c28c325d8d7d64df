// CCom and the tavrin host on an FTDI adapter and the Linux ftdi_sio driver
// (the guest's ttyUSB0), as a user who is not root: data and settings, the
// adapter pulled out under an open port, the port list read from the real
// sysfs, and term and bridge waiting for the adapter to come back.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "VmPeer.h"
#include "support/ChildProcess.h"
#include "support/PtyPair.h"
#include "support/SocketPeer.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace tavrin::vm;
using namespace std::chrono_literals;

namespace {

// The guest runs under TCG, several times slower than the machine.
constexpr int kToolWaitMs = 30000;
constexpr auto kNoticeWait = 20s;
const char* const kGoneText = "An I/O error occurred during communications with the device";

std::unique_ptr<ChildProcess> StartTool(const std::vector<std::string>& args)
{
    ChildOptions options;
    options.argv = {"/bin/tavrin"};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(options);
}

class Usb : public ::testing::Test {
protected:
    void SetUp() override
    {
        com.SetTransparent(TRUE);
        ASSERT_TRUE(PlugIn());
    }
    void TearDown() override
    {
        Within(10s, [&] { com.Disconnect(); }, "Disconnect");
        // The next case finds the adapter in and nothing left from this one.
        EXPECT_TRUE(PlugIn());
    }

    ::testing::AssertionResult PlugIn()
    {
        if (!peer.Plug())
            return ::testing::AssertionFailure() << "plug: " << peer.LastAnswer();
        if (!WaitUsable(kUsb, 20000))
            return ::testing::AssertionFailure() << kUsb << " did not become usable";
        if (!peer.Flush("usb"))
            return ::testing::AssertionFailure() << "flush: " << peer.LastAnswer();
        return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult PullOut()
    {
        if (!peer.Unplug())
            return ::testing::AssertionFailure() << "unplug: " << peer.LastAnswer();
        if (!WaitGone(kUsb, 20000))
            return ::testing::AssertionFailure() << kUsb << " did not go";
        return ::testing::AssertionSuccess();
    }
    void Open(DCB dcb) { ASSERT_TRUE(tavrin::vm::Open(com, window, kUsb, dcb)); }

    VmPeer peer;
    WindowThread window;
    CCom com;
};

}  // namespace

TEST_F(Usb, EveryByteValuePassesBothWaysAndTheRateReadsBack)
{
    const std::string bytes = EveryByte();
    std::string expected;
    for (DWORD rate : {9600u, 115200u, 921600u}) {
        SCOPED_TRACE(rate);
        Within(10s, [&] { com.Disconnect(); }, "Disconnect");
        Open(LineDcb(rate));
        DCB now;
        ASSERT_TRUE(com.GetState(now));
        EXPECT_EQ(now.BaudRate, rate);
        EXPECT_EQ(now.ByteSize, 8);
        EXPECT_EQ(now.Parity, NOPARITY);
        EXPECT_EQ(now.StopBits, ONESTOPBIT);
        ASSERT_TRUE(com.Write(reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data())), 256));
        auto got = peer.Receive("usb", 256, 10000);
        ASSERT_TRUE(got) << peer.LastAnswer();
        EXPECT_EQ(*got, bytes);
        ASSERT_TRUE(peer.Send("usb", bytes));
        expected += bytes;
        ASSERT_TRUE(window.WaitForData(expected.size(), 10s)) << window.DataBytes().size();
        EXPECT_EQ(window.DataBytes(), expected);
    }
}

// Pulled out under an open port: one I/O error, then the disconnection;
// nothing left running, spinning or open; the adapter plugged in again
// connects as before.
TEST_F(Usb, PulledOutUnderAnOpenPortAndPluggedInAgain)
{
    int threads = 0, descriptors = 0;
    std::string expected;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        Open(LineDcb(115200));
        const std::string text = "round " + std::to_string(round) + ";";
        ASSERT_TRUE(peer.Send("usb", text));
        expected += text;
        ASSERT_TRUE(window.WaitForData(expected.size(), 10s)) << window.DataBytes();

        ASSERT_TRUE(PullOut());
        ASSERT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, round + 1, kNoticeWait));
        const long long before = ProcessCpuMicros();
        window.WaitForIndex(DEVMSG_DISCONNECTED, round + 2, 500ms);
        EXPECT_LT(ProcessCpuMicros() - before, 150000) << "a thread spins after the adapter went";
        const std::vector<Notice> errors = window.NoticesOf(DEVMSG_ERROR);
        std::string texts;
        for (const Notice& error : errors)
            texts += "\n  " + error.bytes;
        ASSERT_EQ(errors.size(), static_cast<size_t>(round + 1)) << texts;
        EXPECT_EQ(errors.back().bytes, kGoneText);
        EXPECT_FALSE(com.IsConnected());
        Within(10s, [&] { com.Disconnect(); }, "Disconnect after the adapter went");

        // Counted after the first round, when everything a round makes once
        // (the window's, the process's helpers) is there.
        if (round == 0) {
            threads = CountProcessThreads();
            descriptors = CountOpenDescriptors();
        }
        ASSERT_TRUE(PlugIn());
    }
    EXPECT_EQ(window.DataBytes(), expected);
    // A joined thread can still be listed for a moment as it leaves.
    EXPECT_LE(CountProcessThreads(), threads + 1);
    EXPECT_EQ(CountOpenDescriptors(), descriptors);
}

TEST_F(Usb, PortsListsTheAdapterFromTheSysfs)
{
    auto ports = StartTool({"ports"});
    ASSERT_EQ(ports->WaitForExit(kToolWaitMs), 0) << ports->Stderr();
    std::string line;
    for (std::size_t at = 0, end; (end = ports->Stdout().find('\n', at)) != std::string::npos; at = end + 1) {
        if (ports->Stdout().compare(at, std::string(kUsb).size() + 1, std::string(kUsb) + " ") == 0)
            line = ports->Stdout().substr(at, end - at);
    }
    ASSERT_FALSE(line.empty()) << ports->Stdout();
    EXPECT_NE(line.find("ftdi_sio"), std::string::npos) << line;
    EXPECT_NE(line.find("usb 0403:6001"), std::string::npos) << line;
}

TEST_F(Usb, TermWaitsForTheAdapterAndGoesOnAfterIt)
{
    auto term = StartTool({"term", "--reconnect", std::string("serial:") + kUsb + ":115200,8,N,1"});
    ASSERT_TRUE(term->WaitForStderr("end of input quits", kToolWaitMs)) << term->Stderr();
    ASSERT_TRUE(peer.Send("usb", "before\n"));
    ASSERT_TRUE(term->WaitForStdout("before\n", kToolWaitMs)) << term->Stderr();

    ASSERT_TRUE(PullOut());
    ASSERT_TRUE(term->WaitForStderr("is gone; waiting for it to come back (watching /dev)", kToolWaitMs))
        << term->Stderr();
    ASSERT_TRUE(PlugIn());
    ASSERT_TRUE(term->WaitForStderr("back: ", kToolWaitMs)) << term->Stderr();

    ASSERT_TRUE(peer.Send("usb", "after\n"));
    ASSERT_TRUE(term->WaitForStdout("after\n", kToolWaitMs)) << term->Stderr();
    ASSERT_TRUE(term->WriteStdin("typed\n"));
    auto typed = peer.Receive("usb", 6, 10000);
    ASSERT_TRUE(typed) << peer.LastAnswer();
    EXPECT_EQ(*typed, "typed\n");
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kToolWaitMs), 0) << term->Stderr();
    EXPECT_EQ(term->Stdout(), "before\nafter\n");
}

TEST_F(Usb, BridgeCallerIsToldTheAdapterWentAndCameBack)
{
    std::uint16_t port = 0;
    std::unique_ptr<ChildProcess> bridge;
    for (int attempt = 0; attempt < 5 && !bridge; ++attempt) {
        port = UnusedTcpPort();
        bridge = StartTool({"bridge", std::string("serial:") + kUsb, "listen:" + std::to_string(port), "--reconnect"});
        if (!bridge->WaitForStderr("bridging", kToolWaitMs))
            bridge.reset();
    }
    ASSERT_TRUE(bridge);
    Fd caller = ConnectLoopbackTcp(port);
    ASSERT_TRUE(caller.Valid());
    ASSERT_TRUE(bridge->WaitForStderr("linked", kToolWaitMs)) << bridge->Stderr();
    const auto Exchange = [&](const std::string& in, const std::string& out) {
        ASSERT_TRUE(peer.Send("usb", in));
        EXPECT_EQ(ReceiveExactly(caller, in.size(), 10s), in);
        ASSERT_TRUE(SendAll(caller, out));
        auto got = peer.Receive("usb", out.size(), 10000);
        ASSERT_TRUE(got) << peer.LastAnswer();
        EXPECT_EQ(*got, out);
    };
    Exchange("one", "two");

    ASSERT_TRUE(PullOut());
    const std::string gone = "tavrin: serial side gone, waiting\r\n";
    EXPECT_EQ(ReceiveExactly(caller, gone.size(), kNoticeWait), gone) << bridge->Stderr();
    ASSERT_TRUE(PlugIn());
    const std::string back = "tavrin: serial side back\r\n";
    EXPECT_EQ(ReceiveExactly(caller, back.size(), kNoticeWait), back) << bridge->Stderr();

    Exchange("three", "four");
    EXPECT_EQ(bridge->Stop(SIGTERM, kToolWaitMs), 0) << bridge->Stderr();
}
