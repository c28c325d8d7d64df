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

DWORD WorkerLoop::Run()
{
    CSyncObject* objects[SLOT_WAIT_COUNT + 1];
    for (int i = 0; i < SLOT_WAIT_COUNT; ++i)
        objects[i] = m_slot.pWaitObjects[i];
    objects[kWaitRetime] = &DeviceEngine::RetimeEvent(m_slot);
    CMultiLock lock(objects, SLOT_WAIT_COUNT + 1);
    DWORD tickStart = GetTickCount();
    for (;;) {
        const DWORD result = lock.Lock(NextWait(tickStart), FALSE, 0);
        switch (result) {
        case WAIT_OBJECT_0 + SLOT_WAIT_STOP:
            return 1;
        case WAIT_OBJECT_0 + SLOT_WAIT_SCAN:
            OnScan();
            m_slot.pDataDone->SetEvent();
            break;
        case WAIT_OBJECT_0 + SLOT_WAIT_DELIVER:
            OnDeliver();
            m_slot.pDataDone->SetEvent();
            break;
        case WAIT_OBJECT_0 + SLOT_WAIT_EXAMINE_COMMAND:
            OnExamineCommand();
            m_slot.pCommandDone->SetEvent();
            break;
        case WAIT_OBJECT_0 + SLOT_WAIT_RUN_COMMAND:
            OnRunCommand();
            break;
        case WAIT_OBJECT_0 + kWaitRetime:
            // Not an event of the worker's: its interval runs on.
            continue;
        case WAIT_TIMEOUT:
            OnTimeout();
            break;
        case WAIT_FAILED:
            // The wait objects are gone: there is nothing left to wait on.
            return 1;
        default:
            break;
        }
        // Every event, and every tick, starts a new interval.
        tickStart = GetTickCount();
    }
}

}  // namespace tavrin::engine
