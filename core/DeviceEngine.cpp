// The device's own threads and the courier; the cycles themselves are the
// receive engine's (engine/Dispatch.cpp, engine/CommandWriter.cpp).
#include "DeviceEngine.h"

#include <algorithm>

#include "Courier.h"
#include "Waits.h"

namespace tavrin::detail {

namespace {

// Guards every device's m_pLinkedDevice writes and m_forwardsIn. Held only
// for a few pointer and list operations, never across a call into a device.
std::mutex& LinkLock()
{
    static std::mutex lock;
    return lock;
}

}  // namespace

DeviceEngine::DeviceEngine(CDevice& device)
    : m_device(device), m_evBlockDone(FALSE, TRUE), m_evDrained(TRUE, TRUE), m_evForwardEnded(FALSE, TRUE)
{
    for (auto& thread : m_workerThreads)
        thread = 0;
}

DeviceEngine::~DeviceEngine() = default;

CEvent& DeviceEngine::RetimeEvent(const WorkerSlot& slot)
{
    CDevice& device = *slot.pOwner;
    return device.m_pEngine->m_evRetime[&slot - device.m_Workers];
}

DeviceEngine::ScanSeat& DeviceEngine::SeatOf(const WorkerSlot& slot)
{
    CDevice& device = *slot.pOwner;
    return device.m_pEngine->m_seats[&slot - device.m_Workers];
}

bool DeviceEngine::ScanHere(int nSlot)
{
    ScanSeat& seat = m_seats[nSlot];
    std::unique_lock<std::mutex> lock(seat.lock, std::try_to_lock);
    if (!lock.owns_lock() || !seat.scanner)
        return false;
    seat.scanner->ScanForDispatcher();
    seat.dwLastScan = GetTickCount();
    seat.bScanUnseen = true;
    return true;
}

bool DeviceEngine::DeliverQuietlyHere(int nSlot)
{
    ScanSeat& seat = m_seats[nSlot];
    std::unique_lock<std::mutex> lock(seat.lock, std::try_to_lock);
    if (!lock.owns_lock() || !seat.scanner || !seat.scanner->DeliverQuietlyForDispatcher())
        return false;
    seat.dwLastScan = GetTickCount();
    seat.bScanUnseen = true;
    return true;
}

bool DeviceEngine::TakeUnseenScan(const WorkerSlot& slot, DWORD& dwAt)
{
    ScanSeat& seat = SeatOf(slot);
    std::lock_guard<std::mutex> lock(seat.lock);
    if (!seat.bScanUnseen)
        return false;
    seat.bScanUnseen = false;
    dwAt = seat.dwLastScan;
    return true;
}

void DeviceEngine::BeginIdleWatch()
{
    ++m_idleWatchers;
    for (int i = 0; i < WORKER_COUNT; ++i)
        Retime(i);
}

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
    SetStopEvent(nullptr);
    m_device.m_bConnected = FALSE;
}

void DeviceEngine::SetStopEvent(CEvent* stop)
{
    std::lock_guard<std::mutex> lock(m_courierLock);
    delete m_device.m_pStopEvent;
    m_device.m_pStopEvent = stop;
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
    m_courierThread = courier->ThreadId();
    m_courier = std::move(courier);
    return true;
}

void DeviceEngine::Link(CDevice& device, CDevice* pOther)
{
    std::lock_guard<std::mutex> lock(LinkLock());
    if (CDevice* partner = device.m_pLinkedDevice.load()) {
        partner->m_pLinkedDevice = nullptr;
        device.m_pLinkedDevice = nullptr;
    }
    if (pOther) {
        pOther->m_pLinkedDevice = &device;
        device.m_pLinkedDevice = pOther;
    }
}

CDevice* DeviceEngine::BeginForward(CDevice& from)
{
    // Most devices have no partner: their blocks do not take the lock every
    // device shares. A pair made just after this look forwards from the
    // next block on, as if it had been made a moment later.
    if (!from.m_pLinkedDevice.load())
        return nullptr;
    std::lock_guard<std::mutex> lock(LinkLock());
    CDevice* partner = from.m_pLinkedDevice.load();
    if (partner)
        partner->m_pEngine->m_forwardsIn.push_back(GetCurrentThreadId());
    return partner;
}

void DeviceEngine::EndForward(CDevice& partner)
{
    std::lock_guard<std::mutex> lock(LinkLock());
    DeviceEngine& engine = *partner.m_pEngine;
    auto& forwards = engine.m_forwardsIn;
    forwards.erase(std::find(forwards.begin(), forwards.end(), GetCurrentThreadId()));
    // Under the lock: once it is released a waiting Disconnect may return
    // and the partner go.
    engine.m_evForwardEnded.SetEvent();
}

void DeviceEngine::WaitForForwardsIn()
{
    const DWORD self = GetCurrentThreadId();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(LinkLock());
            if (std::all_of(m_forwardsIn.begin(), m_forwardsIn.end(), [self](DWORD t) { return t == self; }))
                return;
            m_evForwardEnded.ResetEvent();
        }
        // A forward's Write may notify a window of this thread (an error on
        // the line, the loopback's data): answer while waiting.
        WaitServingSentMessages(m_evForwardEnded.m_hObject);
    }
}

void DeviceEngine::StopCourier()
{
    std::unique_ptr<Courier> courier;
    {
        std::lock_guard<std::mutex> lock(m_courierLock);
        courier = std::move(m_courier);
        m_blocksInFlight.clear();
        // Writers waiting for their blocks wait no more: what the courier
        // still held goes with it.
        m_evBlockDone.SetEvent();
    }
    if (courier)
        courier->Join();
}

}  // namespace tavrin::detail
