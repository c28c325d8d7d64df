// A device that stands for a line: it records every Write and SendBreak
// with a time stamp instead of sending, and feeds received blocks through
// DataDone from a thread of its own, as a serial or socket thread would.
#pragma once

#include <tavrin/Tavrin.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestDevices.h"

namespace tavrin::test {

struct LineOp {
    std::chrono::steady_clock::time_point at;
    std::string bytes;  // "" with isBreak for a break
    bool isBreak;
};

class LineDevice : public ProbeDevice {
public:
    LineDevice();
    ~LineDevice() override;

    BOOL Write(BYTE* pBuffer, DWORD dwLength) override;
    void SendBreak() override;
    BOOL IsConnected() override;

    // Runs DataDone with the bytes on the line thread and waits for it.
    void Receive(const std::string& bytes);
    // Queues the bytes for the line thread and returns at once.
    void ReceiveAsync(const std::string& bytes);

    std::vector<LineOp> Ops() const;
    // Writes joined, breaks shown as "<BREAK>".
    std::vector<std::string> Writes() const;
    bool WaitForOps(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // While set, IsConnected answers FALSE once a write contains this text.
    void DropLinkAfterWriting(const std::string& text);

    using CDevice::m_mtxDispatch;
    using CDevice::m_mtxPending;

private:
    void LineThread();

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<LineOp> m_ops;
    std::string m_dropAfter;
    bool m_dropped = false;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace tavrin::test
