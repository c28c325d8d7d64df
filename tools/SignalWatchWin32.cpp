// The console calls its control handlers on a thread it starts for the
// event; the handler here passes the request on at most once, under a lock
// that Stop takes too, so no call begins once the command is closing.
#include "SignalWatch.h"

#include <windows.h>

#include <mutex>

namespace tavrin::tool {

struct SignalWatch::State {
    std::mutex lock;
    std::function<void(const std::string&)> onStop;
    bool ok = false;
    bool fired = false;
    std::string error;
};

namespace {
// One watch at a time: the console knows handlers, not objects.
SignalWatch::State* s_active = nullptr;
std::mutex s_activeLock;

const char* EventName(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        return "Ctrl-C";
    case CTRL_BREAK_EVENT:
        return "Ctrl-Break";
    case CTRL_CLOSE_EVENT:
        return "the console closing";
    default:
        return nullptr;
    }
}
}  // namespace

// Outside the unnamed namespace so that it can reach State.
BOOL WINAPI TavrinToolConsoleHandler(DWORD event)
{
    const char* name = EventName(event);
    if (name == nullptr)
        return FALSE;
    std::lock_guard<std::mutex> active(s_activeLock);
    if (s_active == nullptr)
        return FALSE;
    std::lock_guard<std::mutex> guard(s_active->lock);
    if (s_active->onStop && !s_active->fired) {
        s_active->fired = true;
        s_active->onStop(name);
    }
    return TRUE;
}

SignalWatch::SignalWatch() : m_state(std::make_unique<State>())
{
    std::lock_guard<std::mutex> active(s_activeLock);
    if (s_active != nullptr) {
        m_state->error = "another watch for Ctrl-C is running";
        return;
    }
    m_state->ok = SetConsoleCtrlHandler(TavrinToolConsoleHandler, TRUE) != 0;
    if (!m_state->ok) {
        m_state->error = "cannot watch for Ctrl-C: error " + std::to_string(GetLastError());
        return;
    }
    s_active = m_state.get();
}

SignalWatch::~SignalWatch()
{
    Stop();
    if (!m_state->ok)
        return;
    std::lock_guard<std::mutex> active(s_activeLock);
    SetConsoleCtrlHandler(TavrinToolConsoleHandler, FALSE);
    s_active = nullptr;
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
    return "Ctrl-C or Ctrl-Break";
}

void SignalWatch::Start(std::function<void(const std::string&)> onStop)
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->onStop = std::move(onStop);
}

void SignalWatch::Stop()
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->onStop = nullptr;
}

}  // namespace tavrin::tool
