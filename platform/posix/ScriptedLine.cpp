// The scripted line driver: a simulation of a tty with modem lines, error
// counters and breaks, for what this machine's pseudo-terminals cannot
// produce. Received bytes travel through a socket pair, so the port waits on
// them with the same poll() as on a real tty, and a hang-up is a real
// POLLHUP; everything else is state under one lock.
#include "../ScriptedLine.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string_view>

#include "LineDriver.h"

namespace tavrin {

struct ScriptedLine::State {
    std::string name;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;

    bool open = false;
    int feedFd = -1;  // the far end of the open port's socket pair
    int failOpen = 0;
    bool noModemLines = false;
    DWORD status = 0;
    posix::LineCounters counters;
    // Moves whenever the status word or a counter does.
    std::uint64_t generation = 0;
    posix::LineSettings settings;

    std::string written;
    bool dtr = false;
    bool rts = false;
    bool breakOn = false;
    DWORD breaks = 0;

    void CloseFeedLocked()
    {
        if (feedFd >= 0)
            ::close(feedFd);
        feedFd = -1;
    }
};

namespace {

constexpr char kPrefix[] = "scripted:";

std::mutex& RegistryLock()
{
    static auto* lock = new std::mutex();
    return *lock;
}

std::map<std::string, std::weak_ptr<ScriptedLine::State>>& Registry()
{
    static auto* lines = new std::map<std::string, std::weak_ptr<ScriptedLine::State>>();
    return *lines;
}

class ScriptedDriver final : public posix::LineDriver {
public:
    ScriptedDriver(std::shared_ptr<ScriptedLine::State> state, int fd, std::uint64_t generation)
        : m_state(std::move(state)), m_fd(fd), m_seenGeneration(generation)
    {
    }
    ~ScriptedDriver() override
    {
        std::lock_guard lock(m_state->mutex);
        m_state->open = false;
        m_state->CloseFeedLocked();
        m_state->changed.notify_all();
        ::close(m_fd);
    }

    int PollFd() const override { return m_fd; }

    int GetSettings(posix::LineSettings& settings) override
    {
        std::lock_guard lock(m_state->mutex);
        settings = m_state->settings;
        return 0;
    }
    int SetSettings(const posix::LineSettings& settings) override
    {
        std::lock_guard lock(m_state->mutex);
        m_state->settings = settings;
        return 0;
    }
    bool ForcesFrameFormat() const override { return false; }
    bool HandsOutputToPeer() const override { return false; }

    long Read(void* buffer, std::size_t size) override
    {
        ssize_t n = ::recv(m_fd, buffer, size, MSG_DONTWAIT);
        return n < 0 ? -errno : static_cast<long>(n);
    }
    long Write(const void* buffer, std::size_t size) override
    {
        std::lock_guard lock(m_state->mutex);
        m_state->written.append(static_cast<const char*>(buffer), size);
        m_state->changed.notify_all();
        return static_cast<long>(size);
    }

    int GetModemLines(DWORD& status) override
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->noModemLines)
            return ENOTTY;
        status = m_state->status;
        return 0;
    }
    int SetOutputLine(posix::OutputLine line, bool on) override
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->noModemLines)
            return ENOTTY;
        (line == posix::OutputLine::Dtr ? m_state->dtr : m_state->rts) = on;
        return 0;
    }
    int WaitModemChange() override
    {
        std::unique_lock lock(m_state->mutex);
        if (m_state->noModemLines)
            return ENOTTY;
        m_state->changed.wait(lock, [&] { return m_interrupted || m_state->generation != m_seenGeneration; });
        if (m_interrupted)
            return EINTR;
        m_seenGeneration = m_state->generation;
        return 0;
    }
    // The flag stays set, so an interrupt that comes before the wait is
    // not lost: the port only interrupts the wait to stop it.
    void InterruptModemWait() override
    {
        std::lock_guard lock(m_state->mutex);
        m_interrupted = true;
        m_state->changed.notify_all();
    }
    int GetCounters(posix::LineCounters& counters) override
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->noModemLines)
            return ENOTTY;
        counters = m_state->counters;
        return 0;
    }

    int SetBreak(bool on) override
    {
        std::lock_guard lock(m_state->mutex);
        if (on && !m_state->breakOn)
            ++m_state->breaks;
        m_state->breakOn = on;
        m_state->changed.notify_all();
        return 0;
    }
    int Flush(bool input, bool) override
    {
        if (input) {
            char scratch[4096];
            while (::recv(m_fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
            }
        }
        return 0;
    }
    // Output is taken as soon as it is written; there is nothing to hold.
    int SetOutputFlow(bool) override { return 0; }
    int InputQueue(DWORD& bytes) override
    {
        int n = 0;
        if (ioctl(m_fd, FIONREAD, &n) != 0)
            return errno;
        bytes = static_cast<DWORD>(n);
        return 0;
    }
    int OutputQueue(DWORD& bytes) override
    {
        bytes = 0;
        return 0;
    }

private:
    std::shared_ptr<ScriptedLine::State> m_state;
    int m_fd;
    std::uint64_t m_seenGeneration;
    bool m_interrupted = false;  // under the state's lock
};

}  // namespace

ScriptedLine::ScriptedLine(const char* name) : m_state(std::make_shared<State>())
{
    m_state->name = name;
    std::lock_guard lock(RegistryLock());
    Registry()[m_state->name] = m_state;
}

ScriptedLine::~ScriptedLine()
{
    {
        std::lock_guard lock(RegistryLock());
        auto it = Registry().find(m_state->name);
        if (it != Registry().end() && it->second.lock() == m_state)
            Registry().erase(it);
    }
    HangUp();
}

std::string ScriptedLine::Path() const { return kPrefix + m_state->name; }

BOOL ScriptedLine::Feed(const void* bytes, std::size_t count)
{
    std::lock_guard lock(m_state->mutex);
    if (m_state->feedFd < 0)
        return FALSE;
    const char* p = static_cast<const char*>(bytes);
    while (count > 0) {
        ssize_t n = ::send(m_state->feedFd, p, count, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return FALSE;
        }
        p += n;
        count -= static_cast<std::size_t>(n);
    }
    return TRUE;
}

void ScriptedLine::SetModemStatus(DWORD status)
{
    std::lock_guard lock(m_state->mutex);
    DWORD changed = (m_state->status ^ status);
    posix::LineCounters& c = m_state->counters;
    c.cts += (changed & MS_CTS_ON) ? 1 : 0;
    c.dsr += (changed & MS_DSR_ON) ? 1 : 0;
    c.ring += (changed & MS_RING_ON) ? 1 : 0;
    c.dcd += (changed & MS_RLSD_ON) ? 1 : 0;
    m_state->status = status;
    ++m_state->generation;
    m_state->changed.notify_all();
}

void ScriptedLine::CountStatusChanges(DWORD lines, DWORD count)
{
    std::lock_guard lock(m_state->mutex);
    posix::LineCounters& c = m_state->counters;
    c.cts += (lines & MS_CTS_ON) ? count : 0;
    c.dsr += (lines & MS_DSR_ON) ? count : 0;
    c.ring += (lines & MS_RING_ON) ? count : 0;
    c.dcd += (lines & MS_RLSD_ON) ? count : 0;
    ++m_state->generation;
    m_state->changed.notify_all();
}

void ScriptedLine::AddErrorCounts(DWORD frame, DWORD parity, DWORD overrun, DWORD brk, DWORD bufferOverrun)
{
    std::lock_guard lock(m_state->mutex);
    posix::LineCounters& c = m_state->counters;
    c.frame += frame;
    c.parity += parity;
    c.overrun += overrun;
    c.brk += brk;
    c.bufferOverrun += bufferOverrun;
    ++m_state->generation;
    m_state->changed.notify_all();
}

void ScriptedLine::SetNoModemLines(BOOL none)
{
    std::lock_guard lock(m_state->mutex);
    m_state->noModemLines = none != FALSE;
}

void ScriptedLine::FailOpen(int errnoValue)
{
    std::lock_guard lock(m_state->mutex);
    m_state->failOpen = errnoValue;
}

void ScriptedLine::HangUp()
{
    std::lock_guard lock(m_state->mutex);
    m_state->CloseFeedLocked();
}

BOOL ScriptedLine::IsOpen() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->open;
}

std::string ScriptedLine::Written() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->written;
}

BOOL ScriptedLine::WaitForWritten(std::size_t count, DWORD milliseconds) const
{
    std::unique_lock lock(m_state->mutex);
    return m_state->changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                     [&] { return m_state->written.size() >= count; })
               ? TRUE
               : FALSE;
}

BOOL ScriptedLine::Dtr() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->dtr;
}

BOOL ScriptedLine::Rts() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->rts;
}

BOOL ScriptedLine::BreakOn() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->breakOn;
}

DWORD ScriptedLine::BreakCount() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->breaks;
}

}  // namespace tavrin

namespace tavrin::posix {

std::unique_ptr<LineDriver> OpenScriptedDriver(const char* name, int& error)
{
    std::shared_ptr<ScriptedLine::State> state;
    {
        std::lock_guard lock(RegistryLock());
        auto it = Registry().find(name);
        if (it != Registry().end())
            state = it->second.lock();
    }
    if (!state) {
        error = ENOENT;
        return nullptr;
    }
    std::lock_guard lock(state->mutex);
    if (state->failOpen != 0) {
        error = state->failOpen;
        return nullptr;
    }
    if (state->open) {
        error = EBUSY;
        return nullptr;
    }
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        error = errno;
        return nullptr;
    }
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    state->open = true;
    state->feedFd = fds[1];
    return std::make_unique<ScriptedDriver>(state, fds[0], state->generation);
}

bool IsScriptedPath(const char* path, const char*& name)
{
    std::size_t n = sizeof kPrefix - 1;
    if (std::string_view(path).substr(0, n) != std::string_view(kPrefix, n))
        return false;
    name = path + n;
    return true;
}

}  // namespace tavrin::posix
