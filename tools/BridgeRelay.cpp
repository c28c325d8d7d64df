#include "BridgeRelay.h"

#include <atomic>

#include <tavrin/net/ComPortOption.h>
#include <tavrin/res/Resource.h>

namespace tavrin::tool {

bool IsBreakReport(const CString& text)
{
    CString breakText;
    breakText.LoadString(IDS_COM_LINE_BREAK);
    return text.str() == breakText.str();
}

BreakCarried CarryBreak(CDevice& to, bool toIsSocket, bool zeroIsBreak)
{
    if (toIsSocket && !zeroIsBreak)
        return BreakCarried::NotCarried;
    to.SendBreak();
    return toIsSocket ? BreakCarried::AsZeroByte : BreakCarried::AsBreak;
}

std::string DescribeCarry(BreakCarried carried, const std::string& toName)
{
    switch (carried) {
    case BreakCarried::AsBreak:
        return "went to " + toName + " as a break";
    case BreakCarried::AsZeroByte:
        return "went to " + toName + " as a zero byte (--breaks)";
    case BreakCarried::NotCarried:
        break;
    }
    return "not passed on: " + toName + " is a socket, which has no break, and a zero byte would pass for data "
           "(--breaks sends one)";
}

void ForwardBlock(CDevice& to, const BYTE* bytes, size_t count, bool zeroIsBreak)
{
    BYTE* data = const_cast<BYTE*>(bytes);
    if (!zeroIsBreak) {
        to.Write(data, static_cast<DWORD>(count));
        return;
    }
    size_t runStart = 0;
    for (size_t i = 0; i <= count; ++i) {
        if (i < count && bytes[i] != 0)
            continue;
        if (i > runStart)
            to.Write(data + runStart, static_cast<DWORD>(i - runStart));
        if (i < count)
            to.SendBreak();
        runStart = i + 1;
    }
}

// One caller's queue and the thread that writes it out.
class CallerFanOut::Outlet {
public:
    explicit Outlet(std::shared_ptr<CDevice> caller) : m_caller(std::move(caller)), m_thread([this] { Run(); }) {}
    ~Outlet()
    {
        Stop();
        if (m_thread.joinable())
            m_thread.join();
    }

    // False once, when the queue has just grown past the limit: it is
    // dropped and the outlet stops. A fanned-out block waits while the
    // outlet is held; a block for this caller alone does not.
    bool Queue(const BYTE* bytes, size_t count, size_t limit, bool fannedOut = false)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_stop)
            return true;
        if (m_queue.size() + m_held.size() + count > limit) {
            m_queue.clear();
            m_held.clear();
            m_stop = true;
            m_wake.notify_one();
            return false;
        }
        (fannedOut && m_holding ? m_held : m_queue).append(reinterpret_cast<const char*>(bytes), count);
        m_wake.notify_one();
        return true;
    }
    void Hold(bool hold)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_holding = hold;
        if (hold)
            return;
        m_queue += m_held;
        m_held.clear();
        m_wake.notify_one();
    }
    void Stop()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
        m_wake.notify_one();
    }
    bool Finished() const { return m_finished; }

private:
    void Run()
    {
        std::string block;
        for (;;) {
            {
                std::unique_lock<std::mutex> guard(m_lock);
                m_wake.wait(guard, [this] { return m_stop || !m_queue.empty(); });
                if (m_stop)
                    break;
                block.swap(m_queue);
                m_queue.clear();
            }
            m_caller->Write(reinterpret_cast<BYTE*>(block.data()), static_cast<DWORD>(block.size()));
        }
        m_finished = true;
    }

    std::shared_ptr<CDevice> m_caller;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::string m_queue;
    std::string m_held;
    bool m_holding = false;
    bool m_stop = false;
    std::atomic<bool> m_finished{false};
    std::thread m_thread;   // last: starts once the rest is made
};

CallerFanOut::CallerFanOut(size_t backlogLimit, std::function<void(int)> onOverflow)
    : m_backlogLimit(backlogLimit), m_onOverflow(std::move(onOverflow))
{
}

CallerFanOut::~CallerFanOut()
{
    JoinAll();
}

void CallerFanOut::Add(int id, std::shared_ptr<CDevice> caller, const std::string& prelude)
{
    auto outlet = std::make_unique<Outlet>(std::move(caller));
    outlet->Queue(reinterpret_cast<const BYTE*>(prelude.data()), prelude.size(), m_backlogLimit);
    std::lock_guard<std::mutex> guard(m_lock);
    m_outlets[id] = std::move(outlet);
}

void CallerFanOut::SendTo(int id, const std::string& bytes)
{
    bool overflowed = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto found = m_outlets.find(id);
        if (found != m_outlets.end())
            overflowed = !found->second->Queue(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(),
                                               m_backlogLimit);
    }
    if (overflowed)
        m_onOverflow(id);
}

void CallerFanOut::Hold(int id, bool hold)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto found = m_outlets.find(id);
    if (found != m_outlets.end())
        found->second->Hold(hold);
}

void CallerFanOut::Remove(int id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto found = m_outlets.find(id);
    if (found == m_outlets.end())
        return;
    found->second->Stop();
    m_removed.push_back(std::move(found->second));
    m_outlets.erase(found);
}

void CallerFanOut::Reap()
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::erase_if(m_removed, [](const std::unique_ptr<Outlet>& outlet) { return outlet->Finished(); });
}

void CallerFanOut::JoinAll()
{
    std::map<int, std::unique_ptr<Outlet>> outlets;
    std::vector<std::unique_ptr<Outlet>> removed;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        outlets.swap(m_outlets);
        removed.swap(m_removed);
    }
    // Destroyed outside the lock: a thread may still be finishing a write.
    outlets.clear();
    removed.clear();
}

BOOL CallerFanOut::Write(BYTE* pBuffer, DWORD dwLength)
{
    std::string escaped;
    if (m_escapeIac) {
        escaped = rfc2217::Escape(pBuffer, dwLength);
        pBuffer = reinterpret_cast<BYTE*>(escaped.data());
        dwLength = static_cast<DWORD>(escaped.size());
    }
    std::vector<int> overflowed;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto& [id, outlet] : m_outlets) {
            if (!outlet->Queue(pBuffer, dwLength, m_backlogLimit, true))
                overflowed.push_back(id);
        }
    }
    for (int id : overflowed)
        m_onOverflow(id);
    return TRUE;
}

void CallerFanOut::SendBreak()
{
    BYTE zero = 0;
    Write(&zero, 1);
}

}  // namespace tavrin::tool
