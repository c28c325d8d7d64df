#include "Courier.h"

#include "DeviceEngine.h"
#include "Waits.h"

namespace tavrin::detail {

Courier::Courier(CDevice& device, DeviceEngine& engine, CEvent& stop)
    : m_device(device), m_engine(engine), m_stop(stop)
{
}

Courier::~Courier()
{
    if (m_hThread)
        CloseHandle(m_hThread);
}

bool Courier::Start()
{
    if (!m_evQueued.m_hObject)
        return false;
    m_hThread = CreateThread(nullptr, 0, ThreadMain, this, 0, &m_dwThread);
    return m_hThread != nullptr;
}

void Courier::PushBlock(DWORD dwWriter, const BYTE* pBuffer, DWORD dwLength)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_jobs.push_back(Job{dwWriter, std::vector<BYTE>(pBuffer, pBuffer + dwLength)});
    }
    m_evQueued.SetEvent();
}

void Courier::PushDrain()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        // One drain writes everything queued until it finds the queue
        // empty, so a second request behind a waiting one adds nothing.
        if (m_drainQueued)
            return;
        m_drainQueued = true;
        m_jobs.push_back(Job{});
    }
    m_evQueued.SetEvent();
}

void Courier::Join()
{
    if (m_hThread)
        WaitServingSentMessages(m_hThread);
}

DWORD WINAPI Courier::ThreadMain(LPVOID pCourier)
{
    return static_cast<Courier*>(pCourier)->Run();
}

bool Courier::Stopping() const
{
    return WaitForSingleObject(m_stop.m_hObject, 0) == WAIT_OBJECT_0;
}

DWORD Courier::Run()
{
    HANDLE handles[2] = {m_stop.m_hObject, m_evQueued.m_hObject};
    while (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        for (;;) {
            Job job;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                if (m_jobs.empty())
                    break;
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
                if (job.block.empty())
                    m_drainQueued = false;
            }
            if (Stopping())
                return 1;
            if (job.block.empty()) {
                m_engine.DrainQueuedTexts();
            } else {
                m_device.DataDone(job.block.data(), static_cast<DWORD>(job.block.size()));
                m_engine.BlockDone(job.writer);
            }
        }
    }
    return 1;
}

}  // namespace tavrin::detail
