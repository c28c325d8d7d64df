#include "LineDevice.h"

namespace tavrin::test {

LineDevice::LineDevice()
{
    m_thread = std::thread([this] { LineThread(); });
}

LineDevice::~LineDevice()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
    // As a concrete device does: its own thread is stopped before the core.
    Disconnect();
}

void LineDevice::LineThread()
{
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_jobs.empty())
            return;
        auto job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
}

void LineDevice::Receive(const std::string& bytes)
{
    std::mutex doneLock;
    std::condition_variable doneChanged;
    bool done = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_jobs.emplace_back([&] {
            std::vector<BYTE> block(bytes.begin(), bytes.end());
            DataDone(block.data(), static_cast<DWORD>(block.size()));
            std::lock_guard<std::mutex> guard(doneLock);
            done = true;
            doneChanged.notify_all();
        });
    }
    m_changed.notify_all();
    std::unique_lock<std::mutex> wait(doneLock);
    doneChanged.wait(wait, [&] { return done; });
}

void LineDevice::ReceiveAsync(const std::string& bytes)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_jobs.emplace_back([this, bytes] {
            std::vector<BYTE> block(bytes.begin(), bytes.end());
            DataDone(block.data(), static_cast<DWORD>(block.size()));
        });
    }
    m_changed.notify_all();
}

BOOL LineDevice::Write(BYTE* pBuffer, DWORD dwLength)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        std::string bytes(reinterpret_cast<const char*>(pBuffer), dwLength);
        if (!m_dropAfter.empty() && bytes.find(m_dropAfter) != std::string::npos)
            m_dropped = true;
        m_ops.push_back({std::chrono::steady_clock::now(), std::move(bytes), false});
    }
    m_changed.notify_all();
    return TRUE;
}

void LineDevice::SendBreak()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_ops.push_back({std::chrono::steady_clock::now(), "", true});
    }
    m_changed.notify_all();
}

BOOL LineDevice::IsConnected()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_dropped)
            return FALSE;
    }
    return CDevice::IsConnected();
}

void LineDevice::DropLinkAfterWriting(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_dropAfter = text;
}

std::vector<LineOp> LineDevice::Ops() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_ops;
}

std::vector<std::string> LineDevice::Writes() const
{
    std::vector<std::string> writes;
    for (const LineOp& op : Ops())
        writes.push_back(op.isBreak ? "<BREAK>" : op.bytes);
    return writes;
}

bool LineDevice::WaitForOps(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, timeout, [&] { return m_ops.size() >= count; });
}

}  // namespace tavrin::test
