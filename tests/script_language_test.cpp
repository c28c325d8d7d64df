// The command-script language as a host meets it: WriteEx on a connected
// device, and what reaches the line.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <future>
#include <string>
#include <vector>

#include "support/LineDevice.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

namespace {

struct Transcript {
    const char* text;
    std::vector<std::string> writes;
};

// Runs one text on its own device and returns what was written once the
// workers are idle again, so nothing written late is missed.
std::vector<std::string> RunToIdle(const std::string& text)
{
    LineDevice device;
    if (!device.Connect())
        return {"<connect failed>"};
    EXPECT_TRUE(device.WriteEx(text.c_str()));
    EXPECT_TRUE(device.WaitToIdle(10000));
    auto writes = device.Writes();
    device.Disconnect();
    return writes;
}

long long MsBetween(const LineOp& a, const LineOp& b)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(b.at - a.at).count();
}

}  // namespace

TEST(ScriptLanguage, EscapesWriteTheirBytesAndRunsAreWrittenWhole)
{
    const std::vector<Transcript> transcripts = {
        {"AT", {"AT"}},
        {"AT\rZ", {"AT", "Z"}},
        {"A\nB", {"A", "B"}},
        {"a\\\\b", {"a", "\\", "b"}},
        {"\\@", {"@"}},
        {"\\~\\^\\%\\`", {"~", "^", "%", "`"}},
        {"\\m\\M", {"\r", "\r"}},
        {"\\[", {"\x1b"}},
        {"\\J", {"\n"}},
        {"AB\\", {"AB"}},
        {"^13", {"\r"}},
        {"^x", {std::string(1, '\0'), "x"}},
        {"^300", {"\x2c"}},
        {"^1234", {"\x7b", "4"}},
        {"^0^255", {std::string(1, '\0'), "\xff"}},
        {"A`B", {"A", "<BREAK>", "B"}},
        {"%12", {}},
        {"AB%", {"AB"}},
        {"x%-", {"x"}},
        {"x%99999999999999999999X", {"x", "X"}},
        {"%1>Name#tail", {">Name", "tail"}},
        {"%1>Name", {">Name"}},
        {"@", {}},
        {"ATZ^13@1", {"ATZ", "\r"}},
    };
    // Each text runs on a device of its own, all at once.
    std::vector<std::future<std::vector<std::string>>> runs;
    for (const Transcript& t : transcripts)
        runs.push_back(std::async(std::launch::async, RunToIdle, std::string(t.text)));
    for (size_t i = 0; i < transcripts.size(); ++i)
        EXPECT_EQ(runs[i].get(), transcripts[i].writes) << "script: " << transcripts[i].text;
}

TEST(ScriptLanguage, ALineRunsToIdleWithoutProgressNotices)
{
    WindowThread window;
    LineDevice device;
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    EXPECT_TRUE(device.WriteEx("AT"));
    EXPECT_TRUE(device.WaitToIdle(10000));
    EXPECT_EQ(device.Writes(), (std::vector<std::string>{"AT"}));
    EXPECT_TRUE(window.Notices().empty());
    device.Disconnect();
}

TEST(ScriptLanguage, CrLfSplitsLinesWithProgressNotices)
{
    WindowThread window;
    LineDevice device;
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    EXPECT_TRUE(device.WriteEx("AT\r\nATZ"));
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_SCRIPT_PROGRESS, 2));
    auto ops = device.Ops();
    ASSERT_EQ(device.Writes(), (std::vector<std::string>{"AT", "ATZ"}));
    const auto progress = window.NoticesOf(DEVMSG_SCRIPT_PROGRESS);
    ASSERT_EQ(progress.size(), 2u);
    EXPECT_EQ(progress[0].wParam, 1u);
    EXPECT_EQ(progress[1].wParam, 0u);
    // The final notice comes with the first quiet second after the list ran empty.
    const long long quiet =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - ops[1].at).count();
    EXPECT_GE(quiet, 800);
    EXPECT_LT(quiet, 4000);
    EXPECT_EQ(window.Notices().size(), 2u);
    device.Disconnect();
}

TEST(ScriptLanguage, TildePausesHalfASecond)
{
    LineDevice device;
    ASSERT_TRUE(device.Connect());
    device.WriteEx("A~B");
    ASSERT_TRUE(device.WaitForOps(2));
    auto ops = device.Ops();
    EXPECT_EQ(ops[0].bytes, "A");
    EXPECT_EQ(ops[1].bytes, "B");
    EXPECT_GE(MsBetween(ops[0], ops[1]), 450);
    EXPECT_LT(MsBetween(ops[0], ops[1]), 3000);
    device.Disconnect();
}

TEST(ScriptLanguage, PercentAsksTheHostAndWritesItsAnswer)
{
    WindowThread window;
    window.SetHook([](const Notice& n) {
        if (n.index == DEVMSG_SCRIPT_VALUE && static_cast<int>(static_cast<UINT>(n.wParam)) == 1)
            *reinterpret_cast<CString*>(n.lParam) = "555";
        return LRESULT{0};
    });
    LineDevice device;
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    device.WriteEx("ATDT%1X^13");
    device.WriteEx("%-5>Name#!");
    ASSERT_TRUE(device.WaitToIdle(10000));
    EXPECT_EQ(device.Writes(), (std::vector<std::string>{"ATDT", "555", "\r", ">Name", "!"}));
    const auto values = window.NoticesOf(DEVMSG_SCRIPT_VALUE);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(static_cast<int>(static_cast<UINT>(values[0].wParam)), 1);
    EXPECT_EQ(static_cast<int>(static_cast<UINT>(values[1].wParam)), -5);
    device.Disconnect();
}

TEST(ScriptLanguage, ALineStopsWhereTheLinkDrops)
{
    LineDevice device;
    device.DropLinkAfterWriting("A");
    ASSERT_TRUE(device.Connect());
    device.WriteEx("A^13B\r\nC");
    // The check comes before each character: the caret that follows the
    // write of "A" still writes its byte, then the line and the next one stop.
    ASSERT_TRUE(device.WaitToIdle(10000));
    EXPECT_EQ(device.Writes(), (std::vector<std::string>{"A", "\r"}));
    device.Disconnect();
}
