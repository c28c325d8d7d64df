#include "Loopback.h"

#include "Waits.h"

namespace tavrin::detail {

LoopbackRelay::LoopbackRelay(CDevice& device, CEvent& stop) : m_device(device), m_stop(stop) {}

LoopbackRelay::~LoopbackRelay()
{
    if (m_hThread)
        CloseHandle(m_hThread);
}

bool LoopbackRelay::Start()
{
    if (!m_evQueued.m_hObject)
        return false;
    m_hThread = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
    return m_hThread != nullptr;
}

void LoopbackRelay::Push(const BYTE* pBuffer, DWORD dwLength)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_blocks.emplace_back(pBuffer, pBuffer + dwLength);
    }
    m_evQueued.SetEvent();
}

void LoopbackRelay::Join()
{
    if (m_hThread)
        WaitServingSentMessages(m_hThread);
}

DWORD WINAPI LoopbackRelay::ThreadMain(LPVOID pRelay)
{
    return static_cast<LoopbackRelay*>(pRelay)->Run();
}

DWORD LoopbackRelay::Run()
{
    HANDLE handles[2] = {m_stop.m_hObject, m_evQueued.m_hObject};
    while (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        for (;;) {
            std::vector<BYTE> block;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                if (m_blocks.empty())
                    break;
                block.swap(m_blocks.front());
                m_blocks.pop_front();
            }
            if (WaitForSingleObject(m_stop.m_hObject, 0) == WAIT_OBJECT_0)
                return 1;
            m_device.DataDone(block.data(), static_cast<DWORD>(block.size()));
        }
    }
    return 1;
}

}  // namespace tavrin::detail
