// The UUCP lock files of the serial ports term and bridge open: a port
// another live program holds is refused with its name and PID, under either
// name a pty's lock may have; a lock whose holder is gone is taken over;
// the lock holds the PID in ten columns and goes when the port is closed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/Ser2netPeer.h"
#include "support/ToolRun.h"

namespace {

using namespace tavrin::test;
namespace fs = std::filesystem;

constexpr int kTimeoutMs = 20000;

std::unique_ptr<ChildProcess> StartTerm(const std::string& device, const std::string& lockDir)
{
    ChildOptions options;
    options.argv = {TAVRIN_CLI_PATH, "term", device};
    options.environment = {{"TAVRIN_LOCK_DIR", lockDir}};
    return std::make_unique<ChildProcess>(options);
}

std::string Read(const fs::path& file)
{
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string LockText(pid_t pid)
{
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

class ToolPortLock : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_pair.Ready()) << m_pair.Error();
        m_locks = fs::path(m_dir.Path()) / "lock";
        fs::create_directory(m_locks);
        // socat's link leads to /dev/pts/N; the lock is the pty's.
        m_number = fs::read_symlink(m_pair.PathA()).filename().string();
    }
    TempDir m_dir;
    SocatPtyPair m_pair{m_dir.Path()};
    fs::path m_locks;
    std::string m_number;
};

// tio and picocom hold a port with flock and make no lock file: their
// name and PID come from the kernel's list of locks.
TEST_F(ToolPortLock, APortHeldWithFlockIsRefusedWithTheHoldersNameAndPid)
{
    const int fd = open(m_pair.PathA().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    std::string self;
    std::getline(std::ifstream("/proc/self/comm"), self);
    auto term = StartTerm("serial:" + m_pair.PathA(), m_locks.string());
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 1);
    EXPECT_NE(term->Stderr().find(": in use by " + self + " (pid " + std::to_string(getpid()) + ")"),
              std::string::npos)
        << term->Stderr();
    close(fd);
}

TEST_F(ToolPortLock, APortHeldByALiveProgramIsRefusedWithItsNameAndPid)
{
    ChildOptions sleeper;
    sleeper.argv = {"sleep", "60"};
    ChildProcess holder(sleeper);
    ASSERT_TRUE(holder.Started()) << holder.Error();
    for (const std::string name : {"LCK..pts_" + m_number, "LCK.." + m_number}) {
        std::ofstream(m_locks / name) << LockText(holder.Pid());
        auto term = StartTerm("serial:" + m_pair.PathA(), m_locks.string());
        term->CloseStdin();
        EXPECT_EQ(term->WaitForExit(kTimeoutMs), 1) << name;
        EXPECT_NE(term->Stderr().find("in use by sleep (pid " + std::to_string(holder.Pid()) + ", lock file " +
                                      (m_locks / name).string()),
                  std::string::npos)
            << term->Stderr();
        EXPECT_EQ(Read(m_locks / name), LockText(holder.Pid())) << "another's lock is left alone";
        fs::remove(m_locks / name);
    }
}

TEST_F(ToolPortLock, AStaleLockIsTakenOverAndTheLockGoesWithThePort)
{
    ChildOptions quick;
    quick.argv = {"true"};
    ChildProcess gone(quick);
    ASSERT_EQ(gone.WaitForExit(kTimeoutMs), 0);
    const fs::path lock = m_locks / ("LCK..pts_" + m_number);
    std::ofstream(lock) << LockText(gone.Pid());

    auto term = StartTerm("serial:" + m_pair.PathA(), m_locks.string());
    ASSERT_TRUE(term->WaitForStderr("end of input quits", kTimeoutMs)) << term->Stderr();
    EXPECT_EQ(Read(lock), LockText(term->Pid()));
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
    EXPECT_FALSE(fs::exists(lock));
    EXPECT_TRUE(fs::is_empty(m_locks)) << "no other file is left behind";
}

TEST_F(ToolPortLock, SigtermRemovesTheLockToo)
{
    auto term = StartTerm("serial:" + m_pair.PathA(), m_locks.string());
    ASSERT_TRUE(term->WaitForStderr("end of input quits", kTimeoutMs)) << term->Stderr();
    EXPECT_TRUE(fs::exists(m_locks / ("LCK..pts_" + m_number)));
    EXPECT_EQ(term->Stop(SIGTERM, kTimeoutMs), 0) << term->Stderr();
    EXPECT_TRUE(fs::is_empty(m_locks));
}

TEST_F(ToolPortLock, ALockFolderThatCannotBeWrittenMeansNoLockAndOneNotice)
{
    auto term = StartTerm("serial:" + m_pair.PathA(), (m_locks / "missing").string());
    ASSERT_TRUE(term->WaitForStderr("end of input quits", kTimeoutMs)) << term->Stderr();
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
    const std::string& text = term->Stderr();
    const size_t notice = text.find("opened without a lock file");
    EXPECT_NE(notice, std::string::npos) << text;
    EXPECT_EQ(text.find("opened without a lock file", notice + 1), std::string::npos) << text;
}

}  // namespace

namespace {

// Another user's program was killed and left its lock in the shared,
// sticky folder: this user cannot remove it, and opens the port without a
// lock rather than being refused it for good.
TEST_F(ToolPortLock, AStaleLockOfAnotherUserMeansNoLockAndANotice)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs root, to leave a lock file that the user running term cannot remove";
    ChildOptions quick;
    quick.argv = {"true"};
    ChildProcess gone(quick);
    ASSERT_EQ(gone.WaitForExit(kTimeoutMs), 0);
    const fs::path lock = m_locks / ("LCK..pts_" + m_number);
    std::ofstream(lock) << LockText(gone.Pid());
    fs::permissions(m_dir.Path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(m_locks, fs::perms::all | fs::perms::sticky_bit);
    fs::permissions(fs::canonical(m_pair.PathA()), fs::perms::owner_read | fs::perms::owner_write |
                                                       fs::perms::group_read | fs::perms::group_write |
                                                       fs::perms::others_read | fs::perms::others_write);

    ChildOptions options;
    options.argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", TAVRIN_CLI_PATH, "term",
                    "serial:" + m_pair.PathA()};
    options.environment = {{"TAVRIN_LOCK_DIR", m_locks.string()}};
    ChildProcess term(options);
    ASSERT_TRUE(term.WaitForStderr("end of input quits", kTimeoutMs)) << term.Stderr();
    EXPECT_NE(term.Stderr().find("cannot be removed"), std::string::npos) << term.Stderr();
    term.CloseStdin();
    EXPECT_EQ(term.WaitForExit(kTimeoutMs), 0) << term.Stderr();
    EXPECT_EQ(Read(lock), LockText(gone.Pid())) << "another user's file is left as it was";
}

}  // namespace
