// Anonymous pipes cannot be waited on, so a thread per output pipe reads it
// to the end and hands the bytes over under a lock; the waits are condition
// waits with a deadline, and the process handle tells the exit.
#include "ChildProcess.h"

#include <windows.h>

#include <chrono>
#include <cstring>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

namespace tavrin::test {

namespace {

using Clock = std::chrono::steady_clock;

// The command line msvcrt splits back into the same argv.
std::string Quote(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos)
        return arg;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

std::string EnvironmentBlock(const std::vector<std::pair<std::string, std::string>>& added)
{
    std::map<std::string, std::string> variables;
    char* strings = GetEnvironmentStringsA();
    for (const char* entry = strings; entry && *entry != '\0'; entry += std::strlen(entry) + 1) {
        const char* equals = std::strchr(entry + 1, '=');   // "=C:=C:\..." entries start with '='
        if (equals != nullptr)
            variables[std::string(entry, static_cast<size_t>(equals - entry))] = equals + 1;
    }
    FreeEnvironmentStringsA(strings);
    for (const auto& [name, value] : added)
        variables[name] = value;
    std::string block;
    for (const auto& [name, value] : variables)
        block += name + "=" + value + '\0';
    return block + '\0';
}

void CloseHandleOnce(HANDLE& handle)
{
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    handle = nullptr;
}

}  // namespace

struct ChildProcess::Native {
    HANDLE process = nullptr;
    HANDLE stdinWrite = nullptr;
    std::mutex lock;
    std::condition_variable arrived;
    std::string out, err;
    int openPipes = 0;
    std::thread readers[2];

    void Read(HANDLE pipe, std::string Native::*into)
    {
        char buffer[4096];
        DWORD count = 0;
        while (ReadFile(pipe, buffer, sizeof buffer, &count, nullptr) && count != 0) {
            std::lock_guard<std::mutex> guard(lock);
            (this->*into).append(buffer, count);
            arrived.notify_all();
        }
        CloseHandle(pipe);
        std::lock_guard<std::mutex> guard(lock);
        --openPipes;
        arrived.notify_all();
    }
};

ChildProcess::ChildProcess(const ChildOptions& options) : m_native(std::make_unique<Native>())
{
    if (options.stdinFd >= 0 || options.stdoutFd >= 0 || options.stderrFd >= 0) {
        m_error = "only pipes can be given to a child here";
        return;
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE childIn = nullptr, childOut = nullptr, childErr = nullptr, ourOut = nullptr, ourErr = nullptr;
    const auto closeAll = [&] {
        for (HANDLE* handle : {&childIn, &childOut, &childErr, &ourOut, &ourErr, &m_native->stdinWrite})
            CloseHandleOnce(*handle);
    };
    if (!CreatePipe(&childIn, &m_native->stdinWrite, &inherit, 0) || !CreatePipe(&ourOut, &childOut, &inherit, 0) ||
        !CreatePipe(&ourErr, &childErr, &inherit, 0)) {
        m_error = "CreatePipe failed: " + std::to_string(GetLastError());
        closeAll();
        return;
    }
    // Only the child's ends go to the child: an inherited copy of ours
    // would keep its stdin open after CloseStdin.
    for (HANDLE ours : {m_native->stdinWrite, ourOut, ourErr})
        SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);

    std::string commandLine;
    for (const std::string& arg : options.argv)
        commandLine += (commandLine.empty() ? "" : " ") + Quote(arg);
    std::string environment = EnvironmentBlock(options.environment);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = childErr;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, environment.data(),
                        nullptr, &startup, &info)) {
        m_error = "CreateProcess " + commandLine + " failed: " + std::to_string(GetLastError());
        closeAll();
        return;
    }
    CloseHandle(info.hThread);
    m_native->process = info.hProcess;
    m_pid = static_cast<pid_t>(info.dwProcessId);
    CloseHandleOnce(childIn);
    CloseHandleOnce(childOut);
    CloseHandleOnce(childErr);
    m_native->openPipes = 2;
    m_native->readers[0] = std::thread(&Native::Read, m_native.get(), ourOut, &Native::out);
    m_native->readers[1] = std::thread(&Native::Read, m_native.get(), ourErr, &Native::err);
}

ChildProcess::~ChildProcess()
{
    CloseStdin();
    if (m_native->process != nullptr) {
        if (WaitForSingleObject(m_native->process, 0) == WAIT_TIMEOUT)
            TerminateProcess(m_native->process, 137);
        WaitForSingleObject(m_native->process, INFINITE);
    }
    for (std::thread& reader : m_native->readers) {
        if (reader.joinable())
            reader.join();
    }
    CloseHandleOnce(m_native->process);
}

bool ChildProcess::WriteStdin(const std::string& bytes)
{
    DWORD written = 0;
    return m_native->stdinWrite != nullptr &&
           WriteFile(m_native->stdinWrite, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

void ChildProcess::CloseStdin()
{
    CloseHandleOnce(m_native->stdinWrite);
}

bool ChildProcess::Pump(int timeoutMs, const std::function<bool()>& done)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> guard(m_native->lock);
    const auto check = [&] {
        m_stdout = m_native->out;
        m_stderr = m_native->err;
        return done();
    };
    return m_native->arrived.wait_until(guard, deadline, check);
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
    if (m_native->process == nullptr)
        return std::nullopt;
    const auto start = Clock::now();
    if (WaitForSingleObject(m_native->process, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0)
        return std::nullopt;
    const int left = timeoutMs - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                      Clock::now() - start).count());
    // The output has ended once both pipes have closed.
    if (!Pump(left > 0 ? left : 0, [&] { return m_native->openPipes == 0; }))
        return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(m_native->process, &code);
    m_status = static_cast<int>(code);
    return m_status;
}

void ChildProcess::Reap(bool)
{
}

TempDir::TempDir()
{
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path();
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate =
            base / ("tavrin-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount() + attempt));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            m_path = candidate.string();
            return;
        }
    }
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ec);
}

}  // namespace tavrin::test
