// The callers of a listen: device. Each one is taken over by a new CLan
// inside the listener's DEVMSG_CALL, its address is checked against the
// --allow rules, its access text is printed, and it is then admitted or
// turned away. Turning away and a caller's leaving end in a disconnect
// that runs after the notification, never inside it: a device's Disconnect
// waits for the thread that is waiting for the handler.
//
// Everything but Admitted() runs on the host window's thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DeviceArg.h"
#include "Host.h"

namespace tavrin::tool {

class CallerDesk {
public:
    struct Caller {
        int id = 0;          // 1, 2, ... in order of arrival, for notices
        int number = -1;     // the host's number for the caller's notifications
        std::shared_ptr<CDevice> device;
        bool admitted = false;
        bool retiring = false;
        // Data received before the admission was decided, handed on once
        // it is: nothing from a caller that is turned away gets through.
        std::string early;
    };
    struct Hooks {
        // Once the access check has passed: empty to admit the caller, or
        // the reason for turning it away.
        std::function<std::string(const Caller&)> vacancy;
        std::function<void(Caller&)> admitted;
        // An admitted caller's link went down; its device is disconnected
        // after this returns.
        std::function<void(Caller&)> left;
        // Data from an admitted caller; the bytes are valid during the call.
        std::function<void(Caller&, const BYTE*, size_t)> data;
        // An admitted caller that leaves stays connected (its workers
        // running) until CloseAll, for an owner that is still using it.
        bool holdAdmitted = false;
        // Each caller's device is made transparent before it is connected.
        bool transparent = false;
    };

    CallerDesk(Host& host, std::vector<AccessRule> allow, bool refuseTelnet,
               std::function<void(const std::string&)> notice, Hooks hooks);
    // Disconnects every caller left.
    ~CallerDesk();
    CallerDesk(const CallerDesk&) = delete;
    CallerDesk& operator=(const CallerDesk&) = delete;

    // The listener's DEVMSG_CALL: takes the caller over (the library wants
    // it done inside that notification) and decides on it.
    void TakeCall(CDevice& listener);
    // A notification from the host: false when number is none of the callers.
    bool Handle(int number, int index, WPARAM wParam, LPARAM lParam);
    // Lets an admitted caller go, as if it had been turned away: no left
    // hook. number is the host's.
    void LetGo(int number) { Retire(number); }
    // From now on calls are left to the listener, which is going away.
    void StopTaking() { m_stopped = true; }
    // Disconnects every caller now, and takes no more calls. Not from a
    // handler of a caller.
    void CloseAll();
    // The callers admitted and still there. Any thread.
    std::vector<std::shared_ptr<CDevice>> Admitted() const;

private:
    void Decide(Caller& caller, const std::string& accessText, bool granted);
    void Retire(int number);
    void FinishRetiring(int number);
    void RefreshAdmitted();

    Host& m_host;
    std::vector<AccessRule> m_allow;
    bool m_refuseTelnet;
    std::function<void(const std::string&)> m_notice;
    Hooks m_hooks;
    int m_nextId = 1;
    bool m_stopped = false;
    std::map<int, Caller> m_callers;   // by host number
    mutable std::mutex m_admittedLock;
    std::vector<std::shared_ptr<CDevice>> m_admitted;
    // Tasks posted to the host check it: a desk that has gone runs nothing.
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
};

}  // namespace tavrin::tool
