// An operation record for the serial tests that outlives its operation:
// going out of scope, it cancels what the test started and left pending (an
// assertion that returned early), so the port never completes into a dead
// record.
#pragma once

#include <tavrin/Tavrin.h>

namespace tavrin::test {

struct Overlapped {
    static constexpr DWORD kDefaultWait = 5000;  // generous: the machine is shared

    explicit Overlapped(HANDLE port) : m_port(port) { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped()
    {
        CancelIo(m_port);
        CloseHandle(ov.hEvent);
    }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
    bool Ended(DWORD milliseconds = kDefaultWait)
    {
        return WaitForSingleObject(ov.hEvent, milliseconds) == WAIT_OBJECT_0;
    }
    OVERLAPPED ov{};

private:
    HANDLE m_port;
};

}  // namespace tavrin::test
