// --reconnect of term and bridge: a serial port or TCP peer that went away
// is closed, waited for and opened again with the same settings. A path is
// waited for through a watch on the folder that holds its name (for a
// symbolic link, the link's own folder; one that has gone itself is waited
// for from the nearest folder there is), an adapter named by its USB ids
// through /dev, a TCP peer by trying again after 1, 2, 4 ... 30 s. A port
// that is there but does not open is tried again on the next change or
// after that back-off. The waiting happens on a thread of its own; closing
// and opening happen on the host window's thread, as at the start.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "DeviceArg.h"
#include "DeviceWatch.h"
#include "Host.h"

namespace tavrin::tool {

class Reconnector {
public:
    struct Hooks {
        std::function<void(const std::string&)> notice;
        // Host thread: just before the device is closed, and once it is open again.
        std::function<void()> gone;
        std::function<void()> back;
    };

    Reconnector(Host& host, CDevice& device, const DeviceArgument& argument, Hooks hooks);
    // Stops.
    ~Reconnector();
    Reconnector(const Reconnector&) = delete;
    Reconnector& operator=(const Reconnector&) = delete;

    // Why the device cannot be waited for; empty when it can.
    static std::string Refusal(const DeviceArgument& argument);
    // "serial" or "tcp", for the line a bridge tells its callers.
    static const char* SideWord(const DeviceArgument& argument);

    // From the device's DEVMSG_DISCONNECTED handler: the device went away.
    // A second report while it is away is ignored.
    void Lost();
    // Between Lost and the device being open again. Any thread.
    bool Away() const { return m_away; }
    // Host thread: ends a wait at once; nothing is reopened afterwards.
    void Stop();

private:
    void Close();
    void StartWaiting();
    void TryReopen();
    // The waiting thread's part; false when stopped.
    bool WaitForDevice(bool failedBefore, int backoffMs);
    bool Present(std::string& folder) const;

    Host& m_host;
    CDevice& m_device;
    DeviceArgument m_argument;
    Hooks m_hooks;
    std::atomic<bool> m_away{false};
    bool m_stopped = false;
    bool m_failed = false;      // the last reopen failed
    int m_backoffMs = 1000;
    DeviceWatch m_watch;
    std::thread m_waiter;
    // Tasks posted to the host check it: a reconnector that has gone runs nothing.
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
};

}  // namespace tavrin::tool
