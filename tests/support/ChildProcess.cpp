#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

extern char** environ;

namespace tavrin::test {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::vector<std::string> MergedEnvironment(const std::vector<std::pair<std::string, std::string>>& added)
{
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (equals != nullptr)
            variables[std::string(*entry, static_cast<size_t>(equals - *entry))] = equals + 1;
    }
    for (const auto& [name, value] : added)
        variables[name] = value;
    std::vector<std::string> result;
    for (const auto& [name, value] : variables)
        result.push_back(name + "=" + value);
    return result;
}

}  // namespace

ChildProcess::ChildProcess(const ChildOptions& options)
{
    // A child that has gone must fail the test's write, not kill the test.
    signal(SIGPIPE, SIG_IGN);
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if ((options.stdinFd < 0 && pipe2(in, O_CLOEXEC) != 0) || (options.stdoutFd < 0 && pipe2(out, O_CLOEXEC) != 0) ||
        (options.stderrFd < 0 && pipe2(err, O_CLOEXEC) != 0)) {
        m_error = std::string("pipe: ") + std::strerror(errno);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            if (fd >= 0)
                close(fd);
        }
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, options.stdinFd >= 0 ? options.stdinFd : in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, options.stdoutFd >= 0 ? options.stdoutFd : out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, options.stderrFd >= 0 ? options.stderrFd : err[1], STDERR_FILENO);

    std::vector<char*> argv;
    for (const std::string& arg : options.argv)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const std::vector<std::string> environment = MergedEnvironment(options.environment);
    std::vector<char*> envp;
    for (const std::string& entry : environment)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {in[0], out[1], err[1]}) {
        if (fd >= 0)
            close(fd);
    }
    m_stdin = in[1];
    m_stdoutPipe = out[0];
    m_stderrPipe = err[0];
    if (rc != 0) {
        m_error = "cannot start " + options.argv[0] + ": " + std::strerror(rc);
        CloseFd(m_stdin);
        CloseFd(m_stdoutPipe);
        CloseFd(m_stderrPipe);
        return;
    }
    m_pid = pid;
    m_pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (m_pidFd < 0)
        m_error = std::string("pidfd_open: ") + std::strerror(errno);
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0 && !m_status) {
        kill(m_pid, SIGKILL);
        Reap(true);
    }
    CloseFd(m_stdin);
    CloseFd(m_stdoutPipe);
    CloseFd(m_stderrPipe);
    CloseFd(m_pidFd);
}

bool ChildProcess::WriteStdin(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(m_stdin, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void ChildProcess::CloseStdin()
{
    CloseFd(m_stdin);
}

void ChildProcess::Reap(bool wait)
{
    int status = 0;
    pid_t result;
    do {
        result = waitpid(m_pid, &status, wait ? 0 : WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == m_pid)
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ChildProcess::Pump(int timeoutMs, const std::function<bool()>& done)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    for (;;) {
        if (done())
            return true;
        pollfd fds[3];
        std::string* sinks[3];
        int* owners[3];
        nfds_t count = 0;
        for (auto [fd, sink] : {std::pair{&m_stdoutPipe, &m_stdout}, std::pair{&m_stderrPipe, &m_stderr}}) {
            if (*fd >= 0) {
                fds[count] = {*fd, POLLIN, 0};
                sinks[count] = sink;
                owners[count++] = fd;
            }
        }
        const bool watchExit = !m_status && m_pidFd >= 0;
        if (watchExit) {
            fds[count] = {m_pidFd, POLLIN, 0};
            sinks[count] = nullptr;
            owners[count++] = nullptr;
        }
        if (count == 0)
            return done();
        const int ready = poll(fds, count, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return done();
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0)
                continue;
            if (sinks[i] == nullptr) {
                Reap(false);
                continue;
            }
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0)
                sinks[i]->append(buffer, static_cast<size_t>(n));
            else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                CloseFd(*owners[i]);
        }
    }
}

bool ChildProcess::WaitForStdout(const std::string& text, int timeoutMs)
{
    return Pump(timeoutMs, [&] { return m_stdout.find(text) != std::string::npos; });
}

bool ChildProcess::WaitForStderr(const std::string& text, int timeoutMs)
{
    return Pump(timeoutMs, [&] { return m_stderr.find(text) != std::string::npos; });
}

bool ChildProcess::WaitForStderrUntil(const std::function<bool(const std::string&)>& done, int timeoutMs)
{
    return Pump(timeoutMs, [&] { return done(m_stderr); });
}

std::optional<int> ChildProcess::WaitForExit(int timeoutMs)
{
    if (m_pid <= 0)
        return std::nullopt;
    Pump(timeoutMs, [&] { return m_status && m_stdoutPipe < 0 && m_stderrPipe < 0; });
    return m_status;
}

std::optional<int> ChildProcess::Stop(int signal, int timeoutMs)
{
    if (m_pid <= 0)
        return std::nullopt;
    if (!m_status)
        kill(m_pid, signal);
    const std::optional<int> status = WaitForExit(timeoutMs);
    if (!status) {
        kill(m_pid, SIGKILL);
        Reap(true);
    }
    return status;
}

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tavrin-test-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr)
        m_path = pattern;
}

TempDir::~TempDir()
{
    if (!m_path.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
}

bool ReadUntil(int fd, std::string& received, const std::string& text, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    while (received.find(text) == std::string::npos) {
        pollfd pfd = {fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        received.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

}  // namespace tavrin::test
