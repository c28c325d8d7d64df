// Internal: the thread that carries the loopback writes of a device's own
// workers. A worker that writes to a plain CDevice cannot run the data cycle
// itself (the cycle would wait for that worker's own answer), so its blocks
// are copied and dispatched here, one after another in the order written.
#pragma once

#include <deque>
#include <mutex>
#include <vector>

#include "Device.h"

namespace tavrin::detail {

class LoopbackRelay {
public:
    LoopbackRelay(CDevice& device, CEvent& stop);
    ~LoopbackRelay();
    LoopbackRelay(const LoopbackRelay&) = delete;
    LoopbackRelay& operator=(const LoopbackRelay&) = delete;

    bool Start();
    void Push(const BYTE* pBuffer, DWORD dwLength);
    // The device has set the stop event: the thread drops what is queued
    // and ends; this waits for it while handling sent messages.
    void Join();

private:
    static DWORD WINAPI ThreadMain(LPVOID pRelay);
    DWORD Run();

    CDevice& m_device;
    CEvent& m_stop;
    CEvent m_evQueued;
    std::mutex m_lock;
    std::deque<std::vector<BYTE>> m_blocks;
    HANDLE m_hThread = nullptr;
};

}  // namespace tavrin::detail
