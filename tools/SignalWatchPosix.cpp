// The handler only writes the signal's number to a pipe, which is all a
// handler may do safely, and works whichever thread the signal lands on
// (the library may have threads of its own, started before the host could
// block anything). A thread of the watch's reads the pipe; the stop pipe
// ends it when the command ends for another reason.
#include "SignalWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace tavrin::tool {

namespace {
int s_signalPipe[2] = {-1, -1};

void OnSignal(int number)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = write(s_signalPipe[1], &byte, 1);
    errno = saved;
}
}  // namespace

struct SignalWatch::State {
    bool ok = false;
    std::string error;
    int stop[2] = {-1, -1};
    struct sigaction savedInt {};
    struct sigaction savedTerm {};
    std::thread thread;
};

SignalWatch::SignalWatch() : m_state(std::make_unique<State>())
{
    State& state = *m_state;
    state.ok = pipe2(s_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0 && pipe2(state.stop, O_CLOEXEC) == 0;
    if (state.ok) {
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        state.ok = sigaction(SIGINT, &action, &state.savedInt) == 0 && sigaction(SIGTERM, &action, &state.savedTerm) == 0;
    }
    if (!state.ok)
        state.error = std::string("cannot watch for signals: ") + std::strerror(errno);
}

SignalWatch::~SignalWatch()
{
    Stop();
    State& state = *m_state;
    sigaction(SIGINT, &state.savedInt, nullptr);
    sigaction(SIGTERM, &state.savedTerm, nullptr);
    for (int* fd : {&s_signalPipe[0], &s_signalPipe[1], &state.stop[0], &state.stop[1]}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

bool SignalWatch::Valid() const
{
    return m_state->ok;
}

std::string SignalWatch::Error() const
{
    return m_state->error;
}

const char* SignalWatch::Requests()
{
    return "SIGINT or SIGTERM";
}

void SignalWatch::Start(std::function<void(const std::string&)> onStop)
{
    State& state = *m_state;
    state.thread = std::thread([&state, onStop = std::move(onStop)] {
        for (;;) {
            pollfd fds[2] = {{s_signalPipe[0], POLLIN, 0}, {state.stop[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[1].revents != 0)
                return;
            unsigned char number = 0;
            if (read(s_signalPipe[0], &number, 1) == 1) {
                onStop(number == SIGINT ? "SIGINT" : "SIGTERM");
                return;
            }
        }
    });
}

void SignalWatch::Stop()
{
    State& state = *m_state;
    if (!state.thread.joinable())
        return;
    const char byte = 1;
    while (write(state.stop[1], &byte, 1) < 0 && errno == EINTR) {
    }
    state.thread.join();
}

}  // namespace tavrin::tool
