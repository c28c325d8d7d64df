// WriteEx: offers a command text to the workers in an examine cycle and
// hands it to the first one that takes it in a run cycle. When a data cycle
// holds the dispatcher the text is queued and written at its end.
#include "../core/Device.h"
#include "../core/Waits.h"

namespace {

constexpr DWORD kDispatchLockTimeout = 10;
constexpr DWORD kPendingLockTimeout = 10;

}  // namespace

BOOL CDevice::WriteEx(const char* pszText)
{
    CString text(pszText);
    if (text.IsEmpty() || !m_bConnected)
        return TRUE;

    // A handler running inside a cycle on this thread finds the dispatcher
    // busy too, although the mutex would let its owner in again; so does a
    // handler that a worker is waiting for, since the cycles would wait for
    // that worker.
    const DWORD self = GetCurrentThreadId();
    if (m_dwCycleThread.load() == self || m_dwHandlerThread.load() == self ||
        !m_mtxDispatch.Lock(kDispatchLockTimeout)) {
        QueuePendingCommand(text);
        return FALSE;
    }
    if (!WorkersRunningLocked()) {
        m_mtxDispatch.Unlock();
        return TRUE;
    }
    m_dwCycleThread = GetCurrentThreadId();
    for (WorkerSlot& slot : m_Workers) {
        slot.bCommandClaimed = FALSE;
        slot.pszCommand = text.GetBuffer(0);
        slot.dwCommandLength = static_cast<DWORD>(text.GetLength());
    }
    for (WorkerSlot& slot : m_Workers)
        slot.pWaitObjects[3]->SetEvent();
    if (WaitForAnswers(m_evCommandDone)) {
        bool taken = false;
        for (WorkerSlot& slot : m_Workers) {
            if (!taken && slot.bCommandClaimed) {
                taken = true;
                continue;
            }
            slot.pszCommand = nullptr;
            slot.dwCommandLength = 0;
        }
        for (WorkerSlot& slot : m_Workers)
            slot.pWaitObjects[4]->SetEvent();
        WaitForAnswers(m_evCommandDone);
    }
    m_dwCycleThread = 0;
    m_mtxDispatch.Unlock();
    return TRUE;
}

void CDevice::QueuePendingCommand(const CString& strText)
{
    if (m_mtxPending.Lock(kPendingLockTimeout)) {
        m_lstPendingCommands.AddTail(strText);
        m_mtxPending.Unlock();
        return;
    }
    // The queue is busy for longer than a dispatch would wait: the text goes
    // to the head so that it is written first, but only ever under the lock,
    // since the thread that holds the queue is walking it. The holder may be
    // waiting for a worker that is notifying this very thread, so sent
    // messages are handled meanwhile.
    tavrin::detail::WaitServingSentMessages(m_mtxPending.m_hObject);
    m_lstPendingCommands.AddHead(strText);
    m_mtxPending.Unlock();
}
