// Waits for an expected answer: the match across blocks, what the host
// sees as data, time-outs with steps, and commands written meanwhile.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <string>
#include <vector>

#include "support/LineDevice.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

namespace {

std::vector<WPARAM> WaitNotices(const WindowThread& window)
{
    std::vector<WPARAM> values;
    for (const Notice& n : window.NoticesOf(DEVMSG_SCRIPT_WAIT))
        values.push_back(n.wParam);
    return values;
}

// A connected line device with a window, whose script is waiting.
class ScriptWait : public ::testing::Test {
protected:
    void Start(const char* script)
    {
        window.Attach(device);
        ASSERT_TRUE(device.Connect());
        ASSERT_TRUE(device.WriteEx(script));
        // DEVMSG_SCRIPT_WAIT (0) is sent once the wait is set up.
        ASSERT_TRUE(window.WaitForIndex(DEVMSG_SCRIPT_WAIT, 1));
        ASSERT_EQ(WaitNotices(window), std::vector<WPARAM>{0});
    }
    void TearDown() override { device.Disconnect(); }

    WindowThread window;
    LineDevice device;
};

}  // namespace

TEST_F(ScriptWait, AnswerInOneBlockIsTakenWhole)
{
    Start("@3#OK#");
    device.Receive("xxOK");
    EXPECT_EQ(WaitNotices(window), (std::vector<WPARAM>{0, 2}));
    EXPECT_TRUE(window.NoticesOf(DEVMSG_DATA).empty());
    // After the answer the stream is the host's again.
    device.Receive("later");
    EXPECT_EQ(window.DataBytes(), "later");
}

TEST_F(ScriptWait, AnswerSplitOverTwoBlocksLeavesTheRestAsData)
{
    Start("@3#OK#");
    device.Receive("xxO");
    EXPECT_EQ(WaitNotices(window), std::vector<WPARAM>{0});
    EXPECT_TRUE(window.NoticesOf(DEVMSG_DATA).empty());
    device.Receive("Kyy");
    EXPECT_EQ(WaitNotices(window), (std::vector<WPARAM>{0, 2}));
    EXPECT_EQ(window.DataBytes(), "yy");
    // The order the host hears: the answer first, then the data after it.
    auto notices = window.Notices();
    ASSERT_EQ(notices.size(), 3u);
    EXPECT_EQ(notices[1].index, DEVMSG_SCRIPT_WAIT);
    EXPECT_EQ(notices[2].index, DEVMSG_DATA);
}

TEST_F(ScriptWait, MatchRestartsOnlyAtTheFirstCharacter)
{
    Start("@3#aab#");
    // After "aa" the third "a" sets the count back to 1, and "b" then fails
    // against the second "a": no match (a full substring search would find
    // one). The unfinished answer is the script's: the host sees nothing.
    device.Receive("aaab");
    EXPECT_EQ(WaitNotices(window), std::vector<WPARAM>{0});
    EXPECT_TRUE(window.NoticesOf(DEVMSG_DATA).empty());
    device.Receive("aab");
    EXPECT_EQ(WaitNotices(window), (std::vector<WPARAM>{0, 2}));
}

TEST_F(ScriptWait, AMismatchingFirstCharacterStartsTheMatchAgain)
{
    Start("@3#OK#");
    // "O" matches, the second "O" fails against "K" but is the first
    // character, so the count goes back to 1 (not 0) and "K" completes it.
    device.Receive("OOK");
    EXPECT_EQ(WaitNotices(window), (std::vector<WPARAM>{0, 2}));
    EXPECT_TRUE(window.NoticesOf(DEVMSG_DATA).empty());
    device.Receive("after");
    EXPECT_EQ(window.DataBytes(), "after");
}

TEST_F(ScriptWait, TheRestartCarriesOverFromBlockToBlock)
{
    Start("@3#OK#");
    device.Receive("O");
    device.Receive("O");
    EXPECT_EQ(WaitNotices(window), std::vector<WPARAM>{0});
    device.Receive("Kyy");
    EXPECT_EQ(WaitNotices(window), (std::vector<WPARAM>{0, 2}));
    EXPECT_EQ(window.DataBytes(), "yy");
}

TEST_F(ScriptWait, TheRestartFindsAabInAaaab)
{
    Start("@3#aab#");
    // a:1 a:2 a:fails against "b", is the first character: 1; a:2 b:3. The
    // same algorithm that misses "aab" in "aaab" finds it here; a count
    // reset to 0 would miss it (a:1 a:2 a:0 a:1 b:0).
    device.Receive("aaaabz");
    EXPECT_EQ(WaitNotices(window), (std::vector<WPARAM>{0, 2}));
    EXPECT_EQ(window.DataBytes(), "z");
}

TEST_F(ScriptWait, TextAfterTheWaitOnTheSameLineIsWrittenAtOnceAndLaterLinesWait)
{
    Start("ATZ^13@3#OK#more\r\nNEXT");
    ASSERT_TRUE(device.WaitForOps(3));
    EXPECT_EQ(device.Writes(), (std::vector<std::string>{"ATZ", "\r", "more"}));
    device.Receive("OK");
    ASSERT_TRUE(device.WaitForOps(4));
    EXPECT_EQ(device.Writes()[3], "NEXT");
}

TEST_F(ScriptWait, StepRepeatsAndTheWaitExpiresDroppingTheRest)
{
    Stopwatch watch;
    const auto started = std::chrono::steady_clock::now();
    Start("@2#OK#@1#^13#\r\nNEVER");
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_SCRIPT_WAIT, 2, 10s));  // the time-out notice
    const long long expiredAt = watch.Ms();
    EXPECT_EQ(WaitNotices(window), (std::vector<WPARAM>{0, 1}));
    EXPECT_GE(expiredAt, 1800);
    EXPECT_LT(expiredAt, 5000);
    auto ops = device.Ops();
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_EQ(ops[0].bytes, "\r");
    const long long crAfter = std::chrono::duration_cast<std::chrono::milliseconds>(ops[0].at - started).count();
    EXPECT_GE(crAfter, 900);
    EXPECT_LT(crAfter, 3000);
    // The rest of the list was dropped with the wait.
    EXPECT_TRUE(device.WaitToIdle(10000));
    EXPECT_EQ(device.Writes(), std::vector<std::string>{"\r"});
}

TEST_F(ScriptWait, AWaitWithoutExpectedTextOnlyPassesTime)
{
    Stopwatch watch;
    Start("@1##\r\nNEVER");
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_SCRIPT_WAIT, 2, 10s));
    EXPECT_EQ(WaitNotices(window), (std::vector<WPARAM>{0, 1}));
    EXPECT_GE(watch.Ms(), 900);
    // Received bytes are not claimed by a wait that expects nothing.
    device.Receive("data");
    EXPECT_EQ(window.DataBytes(), "data");
    EXPECT_TRUE(device.Writes().empty());
}

TEST(ScriptWaitStretch, IncomingDataStretchesTheWaitWhoeverTakesIt)
{
    // Any received block restarts the worker's time-out, whether the wait
    // takes it (an answer is expected) or the host does (only time passes):
    // blocks 600 ms apart keep a 2000 ms wait alive well past its 2000 ms.
    const struct {
        const char* script;
        const char* hostSees;
    } cases[] = {{"@2#OK#", ""}, {"@2##", "noisenoisenoisenoise"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        WindowThread window;
        LineDevice device;
        window.Attach(device);
        ASSERT_TRUE(device.Connect());
        Stopwatch watch;
        ASSERT_TRUE(device.WriteEx(c.script));
        for (int i = 0; i < 4; ++i) {
            EXPECT_FALSE(window.WaitForIndex(DEVMSG_SCRIPT_WAIT, 2, 600ms));
            device.Receive("noise");
        }
        EXPECT_EQ(WaitNotices(window), std::vector<WPARAM>{0});
        ASSERT_TRUE(window.WaitForIndex(DEVMSG_SCRIPT_WAIT, 2, 10s));
        EXPECT_EQ(WaitNotices(window), (std::vector<WPARAM>{0, 1}));
        EXPECT_GE(watch.Ms(), 3500);
        EXPECT_EQ(window.DataBytes(), c.hostSees);
        device.Disconnect();
    }
}

TEST(ScriptWaitRace, AnswersArrivingWhileTheWaitIsSetUpEndIt)
{
    // The peer answers while the worker is still setting the wait up: the
    // blocks are scanned meanwhile, and one of them ends the wait.
    WindowThread window;
    LineDevice device;
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    ASSERT_TRUE(device.WriteEx("@3#OK#"));
    Stopwatch watch;
    do
        device.Receive("OK");
    while (!window.WaitForIndex(DEVMSG_SCRIPT_WAIT, 2, 5ms) && watch.Ms() < 10000);
    EXPECT_EQ(WaitNotices(window), (std::vector<WPARAM>{0, 2}));
    device.Disconnect();
}

TEST_F(ScriptWait, ACommandWrittenDuringTheWaitIsNotTaken)
{
    Start("@5#OK#");
    EXPECT_TRUE(device.WriteEx("AT"));
    device.Receive("OK");
    EXPECT_EQ(WaitNotices(window), (std::vector<WPARAM>{0, 2}));
    EXPECT_TRUE(device.WaitToIdle(10000));
    EXPECT_TRUE(device.Writes().empty());
    // Once the wait is over, commands are taken again.
    EXPECT_TRUE(device.WriteEx("ATH"));
    ASSERT_TRUE(device.WaitForOps(1));
    EXPECT_EQ(device.Writes(), std::vector<std::string>{"ATH"});
}

TEST(ScriptLoopback, AScriptOnThePlainDeviceHearsItsOwnEcho)
{
    WindowThread window;
    CDevice device;
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    // The worker's own writes come back through the loopback without
    // blocking it: "AT" and CR arrive as data, then the wait sees "ping".
    EXPECT_TRUE(device.WriteEx("AT^13"));
    ASSERT_TRUE(window.WaitForData(3));
    EXPECT_EQ(window.DataBytes(), "AT\r");
    EXPECT_TRUE(device.WriteEx("@2#ping#ping"));
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_SCRIPT_WAIT, 2));
    std::vector<WPARAM> waits;
    for (const Notice& n : window.NoticesOf(DEVMSG_SCRIPT_WAIT))
        waits.push_back(n.wParam);
    EXPECT_EQ(waits, (std::vector<WPARAM>{0, 2}));
    EXPECT_EQ(window.DataBytes(), "AT\r");
    device.Disconnect();
}
