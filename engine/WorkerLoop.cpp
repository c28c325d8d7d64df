#include "WorkerLoop.h"

namespace tavrin::engine {

DWORD WorkerLoop::Run()
{
    CSyncObject* objects[5];
    for (int i = 0; i < 5; ++i)
        objects[i] = m_slot.pWaitObjects[i];
    CMultiLock lock(objects, 5);
    for (;;) {
        switch (lock.Lock(WaitTimeout(), FALSE, 0)) {
        case WAIT_OBJECT_0:
            return 1;
        case WAIT_OBJECT_0 + 1:
            OnScan();
            m_slot.pDataDone->SetEvent();
            break;
        case WAIT_OBJECT_0 + 2:
            OnDeliver();
            m_slot.pDataDone->SetEvent();
            break;
        case WAIT_OBJECT_0 + 3:
            OnExamineCommand();
            m_slot.pCommandDone->SetEvent();
            break;
        case WAIT_OBJECT_0 + 4:
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
