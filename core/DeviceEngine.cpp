// The device's own threads and the courier; the cycles themselves are the
// receive engine's (engine/Dispatch.cpp, engine/CommandWriter.cpp).
#include "DeviceEngine.h"

#include "Courier.h"
#include "Waits.h"

namespace tavrin::detail {

DeviceEngine::DeviceEngine(CDevice& device) : m_device(device), m_evDrained(TRUE, TRUE)
{
    for (auto& thread : m_workerThreads)
        thread = 0;
}

DeviceEngine::~DeviceEngine() = default;

bool DeviceEngine::IsWorkerThread() const
{
    const DWORD self = GetCurrentThreadId();
    for (const auto& thread : m_workerThreads)
        if (thread.load() == self)
            return true;
    return false;
}

bool DeviceEngine::InHandlerOfWorker() const
{
    if (!InSendMessage())
        return false;
    for (const auto& thread : m_workerThreads) {
        const DWORD id = thread.load();
        if (id != 0 && InSendMessageFromThread(id))
            return true;
    }
    return false;
}

void DeviceEngine::ReleaseWorkers(bool started)
{
    if (m_device.m_pStopEvent)
        m_device.m_pStopEvent->SetEvent();
    for (int i = 0; i < WORKER_COUNT; ++i) {
        WorkerSlot& slot = m_device.m_Workers[i];
        if (slot.hThread) {
            if (started)
                WaitServingSentMessages(slot.hThread);
            else
                // Never resumed: on Windows closing its handle would leave
                // it suspended for the life of the process.
                TerminateThread(slot.hThread, 0);
            CloseHandle(slot.hThread);
        }
        for (int e = SLOT_WAIT_SCAN; e < SLOT_WAIT_COUNT; ++e) {
            delete slot.pWaitObjects[e];
            slot.pWaitObjects[e] = nullptr;
        }
        slot.hThread = nullptr;
        slot.pWaitObjects[SLOT_WAIT_STOP] = nullptr;
        slot.pDataDone = nullptr;
        slot.pCommandDone = nullptr;
        slot.pIdle = nullptr;
        m_workerThreads[i] = 0;
    }
    delete m_device.m_pStopEvent;
    m_device.m_pStopEvent = nullptr;
    m_device.m_bConnected = FALSE;
}

bool DeviceEngine::WaitUntilDrained(DWORD dwMilliseconds)
{
    return WaitForEachServingSentMessages(&m_evDrained.m_hObject, 1, dwMilliseconds);
}

bool DeviceEngine::EnsureCourierLocked()
{
    // The workers, and with them the stop event, are released only after
    // the courier has been stopped (CloseThreads), and a host does not
    // disconnect a device while it writes to it from another thread.
    CEvent* stop = m_device.m_pStopEvent;
    if (!stop || WaitForSingleObject(stop->m_hObject, 0) == WAIT_OBJECT_0)
        return false;
    if (m_courier)
        return true;
    auto courier = std::make_unique<Courier>(m_device, *this, *stop);
    if (!courier->Start())
        return false;
    m_courier = std::move(courier);
    return true;
}

void DeviceEngine::StopCourier()
{
    std::unique_ptr<Courier> courier;
    {
        std::lock_guard<std::mutex> lock(m_courierLock);
        courier = std::move(m_courier);
        m_blocksInFlight.clear();
    }
    if (courier)
        courier->Join();
}

}  // namespace tavrin::detail
