#include "DeviceWatch.h"

#include <windows.h>

#include <algorithm>

namespace tavrin::tool {

struct DeviceWatch::State {
    HANDLE stop = nullptr;   // manual reset: every later wait ends too
};

DeviceWatch::DeviceWatch() : m_state(std::make_unique<State>())
{
    m_state->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

DeviceWatch::~DeviceWatch()
{
    if (m_state->stop != nullptr)
        CloseHandle(m_state->stop);
}

bool DeviceWatch::Watch(const std::string&, std::string&)
{
    return true;
}

DeviceWatch::Wake DeviceWatch::Wait(int timeoutMs)
{
    // No notice comes when a COM port returns: look again each second.
    const int wait = timeoutMs < 0 ? 1000 : std::min(timeoutMs, 1000);
    return Sleep(wait) == Wake::Stopped ? Wake::Stopped : Wake::Changed;
}

DeviceWatch::Wake DeviceWatch::Sleep(int timeoutMs)
{
    const DWORD result = WaitForSingleObject(m_state->stop, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    return result == WAIT_TIMEOUT ? Wake::TimedOut : Wake::Stopped;
}

void DeviceWatch::Stop()
{
    SetEvent(m_state->stop);
}

}  // namespace tavrin::tool
