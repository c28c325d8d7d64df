// Internal: a device's courier thread. It carries out, in the order handed
// over, what could not run on the thread that asked: received blocks
// written to a plain CDevice from one of its own workers or from a handler
// a worker waits for (their data cycle would wait for itself), and the
// writing of queued command texts when no data cycle is there to do it.
#pragma once

#include <deque>
#include <mutex>
#include <vector>

#include "Device.h"

namespace tavrin::detail {

class DeviceEngine;

class Courier {
public:
    Courier(CDevice& device, DeviceEngine& engine, CEvent& stop);
    ~Courier();
    Courier(const Courier&) = delete;
    Courier& operator=(const Courier&) = delete;

    bool Start();
    DWORD ThreadId() const { return m_dwThread; }
    // A copy of the block is dispatched later, tagged with its writer.
    void PushBlock(DWORD dwWriter, const BYTE* pBuffer, DWORD dwLength);
    void PushDrain();
    // The device has set the stop event: the thread drops what is queued
    // and ends; this waits for it while handling sent messages.
    void Join();

private:
    struct Job {
        DWORD writer = 0;
        std::vector<BYTE> block;  // empty: write the queued command texts
    };

    static DWORD WINAPI ThreadMain(LPVOID pCourier);
    DWORD Run();
    bool Stopping() const;

    CDevice& m_device;
    DeviceEngine& m_engine;
    CEvent& m_stop;
    CEvent m_evQueued;
    std::mutex m_lock;
    std::deque<Job> m_jobs;
    bool m_drainQueued = false;
    HANDLE m_hThread = nullptr;
    DWORD m_dwThread = 0;
};

}  // namespace tavrin::detail
