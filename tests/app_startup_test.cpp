// The library's start-up, in real processes: a host linked with the library
// and a host that opens it with dlopen, each once as it is and once in a
// process where the system refuses IPv4 sockets (a seccomp filter installed
// before the host is executed).
#include <gtest/gtest.h>

#include <tavrin/Tavrin.h>

#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

using tavrin::test::ChildOptions;
using tavrin::test::ChildProcess;

namespace {

constexpr int kChildTimeoutMs = 20000;
constexpr int kSeccompUnavailable = 77;
const std::string kBoxLine = "tavrin: Windows sockets initialization failed.\n";
const std::string kBoxText = "Windows sockets initialization failed.";
const std::string kNotInitialised = std::to_string(WSANOTINITIALISED);

int Occurrences(const std::string& haystack, const std::string& needle)
{
    int count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++count;
    return count;
}

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

// Runs the program to its end; with refuseSockets, under the filter.
Outcome RunToEnd(std::vector<std::string> argv, bool refuseSockets)
{
    if (refuseSockets)
        argv.insert(argv.begin(), DENY_INET_SOCKETS_PATH);
    ChildProcess child(ChildOptions{argv, {}, -1, -1, -1});
    EXPECT_TRUE(child.Started()) << child.Error();
    const std::optional<int> status = child.WaitForExit(kChildTimeoutMs);
    EXPECT_TRUE(status.has_value()) << argv[0] << " did not end within " << kChildTimeoutMs << " ms";
    return Outcome{status.value_or(-1), child.Stdout(), child.Stderr()};
}

}  // namespace

TEST(AppStartup, TheTestProcessItselfStartedTheLibrary)
{
    EXPECT_TRUE(TavrinStartupSucceeded());
}

TEST(AppStartup, ALinkedHostFindsTheSocketsStartedAndNothingShown)
{
    const Outcome run = RunToEnd({STARTUP_PROBE_PATH}, false);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "startup succeeded\nsocket opened\n");
    EXPECT_EQ(run.err, "");
}

TEST(AppStartup, RefusedSocketsShowTheBoxOnceAndLeaveTheLibraryUnusable)
{
    const Outcome run = RunToEnd({STARTUP_PROBE_PATH}, true);
    if (run.exitCode == kSeccompUnavailable)
        GTEST_SKIP() << "no seccomp filter can be installed here: " << run.err;
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Occurrences(run.err, kBoxText), 1) << run.err;
    EXPECT_EQ(Occurrences(run.err, kBoxLine), 1) << run.err;
    EXPECT_EQ(run.out, "startup failed\nsocket failed " + kNotInitialised + "\n");
}

TEST(AppStartup, OpeningTheLibraryAtRunTimeRunsTheStartUp)
{
    const Outcome run = RunToEnd({STARTUP_DLOPEN_PROBE_PATH, TAVRIN_LIBRARY_PATH}, false);
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "startup succeeded\n");
    EXPECT_EQ(run.err, "load begins\nload ends\n");
}

TEST(AppStartup, OpeningTheLibraryWithSocketsRefusedShowsTheBoxDuringTheLoad)
{
    const Outcome run = RunToEnd({STARTUP_DLOPEN_PROBE_PATH, TAVRIN_LIBRARY_PATH}, true);
    if (run.exitCode == kSeccompUnavailable)
        GTEST_SKIP() << "no seccomp filter can be installed here: " << run.err;
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "startup failed\n");
    EXPECT_EQ(run.err, "load begins\n" + kBoxLine + "load ends\n");
}
