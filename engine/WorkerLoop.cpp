#include "WorkerLoop.h"

#include "../core/DeviceEngine.h"

namespace tavrin::engine {

using tavrin::detail::DeviceEngine;

namespace {

// Past the slot's five objects: the worker's re-time event.
constexpr int kWaitRetime = SLOT_WAIT_COUNT;

}  // namespace

DWORD WorkerLoop::NextWait(DWORD dwTickStart) const
{
    if (!TickHasWork() && !DeviceEngine::IdleWatched(*m_slot.pOwner))
        return INFINITE;
    const DWORD interval = WaitTimeout();
    if (interval == 0 || interval == INFINITE)
        return interval;
    // A worker that waited without a time-out and is woken to tick again
    // keeps the phase its ticks would have had: a tick falls due a whole
    // number of intervals after the last event, as if it had ticked all
    // along.
    const DWORD elapsed = GetTickCount() - dwTickStart;
    return interval - elapsed % interval;
}

namespace {

// The worker's scans are offered to dispatchers from its start to its end;
// a dispatcher that finds the seat empty wakes the worker as before.
class SeatTaken {
public:
    SeatTaken(DeviceEngine::ScanSeat& seat, tavrin::detail::SlotScanner& scanner) : m_seat(seat)
    {
        std::lock_guard<std::mutex> lock(m_seat.lock);
        m_seat.scanner = &scanner;
    }
    ~SeatTaken()
    {
        std::lock_guard<std::mutex> lock(m_seat.lock);
        m_seat.scanner = nullptr;
    }
    SeatTaken(const SeatTaken&) = delete;
    SeatTaken& operator=(const SeatTaken&) = delete;

private:
    DeviceEngine::ScanSeat& m_seat;
};

}  // namespace

void WorkerLoop::Handle(DWORD dwResult)
{
    std::lock_guard<std::mutex> lock(DeviceEngine::SeatOf(m_slot).lock);
    switch (dwResult) {
    case WAIT_OBJECT_0 + SLOT_WAIT_SCAN:
        OnScan();
        break;
    case WAIT_OBJECT_0 + SLOT_WAIT_DELIVER:
        OnDeliver();
        break;
    case WAIT_OBJECT_0 + SLOT_WAIT_EXAMINE_COMMAND:
        OnExamineCommand();
        break;
    case WAIT_OBJECT_0 + SLOT_WAIT_RUN_COMMAND:
        OnRunCommand();
        break;
    case WAIT_TIMEOUT:
        OnTimeout();
        break;
    default:
        break;
    }
}

DWORD WorkerLoop::Run()
{
    CSyncObject* objects[SLOT_WAIT_COUNT + 1];
    for (int i = 0; i < SLOT_WAIT_COUNT; ++i)
        objects[i] = m_slot.pWaitObjects[i];
    objects[kWaitRetime] = &DeviceEngine::RetimeEvent(m_slot);
    CMultiLock lock(objects, SLOT_WAIT_COUNT + 1);
    const SeatTaken seat(DeviceEngine::SeatOf(m_slot), *this);
    DWORD tickStart = GetTickCount();
    for (;;) {
        DWORD wait;
        {
            // What the tick has to do depends on state a dispatcher may be
            // changing for the worker meanwhile.
            std::lock_guard<std::mutex> own(DeviceEngine::SeatOf(m_slot).lock);
            wait = NextWait(tickStart);
        }
        const DWORD result = lock.Lock(wait, FALSE, 0);
        // The stop event wins over any request pending with it; a failed
        // wait means the objects are gone and nothing is left to wait on.
        if (result == WAIT_OBJECT_0 + SLOT_WAIT_STOP || result == WAIT_FAILED)
            return 1;
        // Not an event of the worker's: its interval runs on.
        if (result == WAIT_OBJECT_0 + kWaitRetime)
            continue;
        // Blocks scanned for the worker while it waited moved its interval
        // on, as its own scan events did.
        DWORD scannedAt = 0;
        if (result == WAIT_TIMEOUT && DeviceEngine::TakeUnseenScan(m_slot, scannedAt) &&
            static_cast<LONG>(scannedAt - tickStart) > 0) {
            tickStart = scannedAt;
            continue;
        }
        Handle(result);
        // Answered only once the seat is free again: the dispatcher's next
        // cycle, which this answer may start at once, then finds it free.
        if (result == WAIT_OBJECT_0 + SLOT_WAIT_SCAN || result == WAIT_OBJECT_0 + SLOT_WAIT_DELIVER)
            m_slot.pDataDone->SetEvent();
        else if (result == WAIT_OBJECT_0 + SLOT_WAIT_EXAMINE_COMMAND)
            m_slot.pCommandDone->SetEvent();
        // Every event, and every tick, starts a new interval.
        tickStart = GetTickCount();
    }
}

}  // namespace tavrin::engine
