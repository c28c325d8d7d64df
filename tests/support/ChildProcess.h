// A program started by a test, with its output read through pipes and every
// wait bounded: a test waits for text or for the exit, never for time.
// ChildProcess.cpp starts it with posix_spawn, ChildProcessWin32.cpp with
// CreateProcess (where the standard handles can only be pipes).
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavrin::test {

struct ChildOptions {
    std::vector<std::string> argv;  // argv[0] is looked up in PATH
    // Variables added to (or replacing those of) the test's environment.
    std::vector<std::pair<std::string, std::string>> environment;
    // -1: a pipe the test writes (stdin) or reads (stdout, stderr); any other
    // descriptor is given to the child as it is, a pseudo-terminal for one.
    int stdinFd = -1;
    int stdoutFd = -1;
    int stderrFd = -1;
};

class ChildProcess {
public:
    explicit ChildProcess(const ChildOptions& options);
    // A child still running is killed and reaped.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    const std::string& Error() const { return m_error; }
    pid_t Pid() const { return m_pid; }
#ifndef _WIN32
    // Readable once the child has ended (a pidfd), for waits of one's own.
    int ExitFd() const { return m_pidFd; }
#endif

    bool WriteStdin(const std::string& bytes);
    void CloseStdin();

    // Reads stdout and stderr until text has appeared in one of them, or
    // the time-out has passed (false).
    bool WaitForStdout(const std::string& text, int timeoutMs);
    bool WaitForStderr(const std::string& text, int timeoutMs);
    // Reads stdout and stderr until done holds for all of stderr so far, or
    // the time-out has passed (false).
    bool WaitForStderrUntil(const std::function<bool(const std::string&)>& done, int timeoutMs);
    // Waits for the exit and the end of the output: the exit status, or
    // 128 + the signal; nothing when the time-out passed first.
    std::optional<int> WaitForExit(int timeoutMs);
#ifndef _WIN32
    // Sends signal, then waits as WaitForExit does; SIGKILL after the time-out.
    std::optional<int> Stop(int signal, int timeoutMs);
#endif

    const std::string& Stdout() const { return m_stdout; }
    const std::string& Stderr() const { return m_stderr; }

private:
    // Reads what arrives until done() holds or the time-out passes.
    bool Pump(int timeoutMs, const std::function<bool()>& done);
    void Reap(bool wait);

#ifdef _WIN32
    // The process, the pipes and the threads that read them.
    struct Native;
    std::unique_ptr<Native> m_native;
#endif
    pid_t m_pid = -1;
    int m_pidFd = -1;
    int m_stdin = -1, m_stdoutPipe = -1, m_stderrPipe = -1;
    std::optional<int> m_status;
    std::string m_stdout, m_stderr, m_error;
};

// A directory removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

#ifndef _WIN32
// Reads fd until text has arrived (appended to received) or the time-out
// passed.
bool ReadUntil(int fd, std::string& received, const std::string& text, int timeoutMs);
#endif

}  // namespace tavrin::test
