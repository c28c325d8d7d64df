// Waiting for a device to come back without polling it: a watch on the
// folder that holds its name (inotify on Linux), timed waits for the
// back-off of a TCP peer, and a stop that ends any wait at once when the
// host is told to end. DeviceWatchPosix.cpp and DeviceWatchWin32.cpp hold
// the system's side; Windows has no cheap folder watch for COM ports, so
// there a folder wait is a wait of one second (the caller then tries the
// port again).
#pragma once

#include <memory>
#include <string>

namespace tavrin::tool {

class DeviceWatch {
public:
    enum class Wake { Changed, TimedOut, Stopped };

    DeviceWatch();
    ~DeviceWatch();
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    // Watches folder for names that appear, change or go (only that folder:
    // the one before is given up). False, with the reason, when it cannot.
    bool Watch(const std::string& folder, std::string& error);
    // Until something happens in the watched folder, timeoutMs passes (-1:
    // never) or Stop is called.
    Wake Wait(int timeoutMs);
    // Until timeoutMs passes or Stop is called.
    Wake Sleep(int timeoutMs);
    // Any thread: this wait and every later one ends with Stopped.
    void Stop();

    struct State;

private:
    std::unique_ptr<State> m_state;
};

}  // namespace tavrin::tool
