#include "DeviceWatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace tavrin::tool {

struct DeviceWatch::State {
    int notify = -1;
    int watch = -1;
    int stop = -1;
};

DeviceWatch::DeviceWatch() : m_state(std::make_unique<State>())
{
    m_state->notify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    m_state->stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

DeviceWatch::~DeviceWatch()
{
    if (m_state->notify >= 0)
        close(m_state->notify);
    if (m_state->stop >= 0)
        close(m_state->stop);
}

bool DeviceWatch::Watch(const std::string& folder, std::string& error)
{
    State& state = *m_state;
    if (state.watch >= 0)
        inotify_rm_watch(state.notify, state.watch);
    // A link's folder sees the link made (socat's link=, udev's by-id), a
    // device folder the node made and then given its owner (IN_ATTRIB).
    state.watch = state.notify < 0 ? -1
                                   : inotify_add_watch(state.notify, folder.c_str(),
                                                       IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE |
                                                           IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    if (state.watch >= 0)
        return true;
    error = "cannot watch " + folder + ": " + std::strerror(errno);
    return false;
}

namespace {

DeviceWatch::Wake PollFor(int stop, int notify, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int remaining = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            remaining = static_cast<int>(std::max<long long>(0, left.count()));
        }
        pollfd fds[2] = {{stop, POLLIN, 0}, {notify, POLLIN, 0}};
        const int ready = poll(fds, notify >= 0 ? 2 : 1, remaining);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || fds[0].revents != 0)
            return DeviceWatch::Wake::Stopped;
        if (ready == 0)
            return DeviceWatch::Wake::TimedOut;
        alignas(inotify_event) char events[4096];
        while (read(notify, events, sizeof events) > 0) {
        }
        return DeviceWatch::Wake::Changed;
    }
}

}  // namespace

DeviceWatch::Wake DeviceWatch::Wait(int timeoutMs)
{
    return PollFor(m_state->stop, m_state->watch >= 0 ? m_state->notify : -1, timeoutMs);
}

DeviceWatch::Wake DeviceWatch::Sleep(int timeoutMs)
{
    return PollFor(m_state->stop, -1, timeoutMs);
}

void DeviceWatch::Stop()
{
    const eventfd_t one = 1;
    [[maybe_unused]] const int written = eventfd_write(m_state->stop, one);
}

}  // namespace tavrin::tool
