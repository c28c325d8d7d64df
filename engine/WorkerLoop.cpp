#include "WorkerLoop.h"

namespace tavrin::engine {

DWORD WorkerLoop::Run()
{
    CSyncObject* objects[SLOT_WAIT_COUNT];
    for (int i = 0; i < SLOT_WAIT_COUNT; ++i)
        objects[i] = m_slot.pWaitObjects[i];
    CMultiLock lock(objects, SLOT_WAIT_COUNT);
    for (;;) {
        switch (lock.Lock(WaitTimeout(), FALSE, 0)) {
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
        case WAIT_TIMEOUT:
            OnTimeout();
            break;
        case WAIT_FAILED:
            // The wait objects are gone: there is nothing left to wait on.
            return 1;
        default:
            break;
        }
    }
}

}  // namespace tavrin::engine
