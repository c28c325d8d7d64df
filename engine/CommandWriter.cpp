// WriteEx: offers a command text to the workers in an examine cycle and
// hands it to the first one that takes it in a run cycle. A text that cannot
// run its cycles now is queued and written, in order, when the current data
// cycle ends or, with no data cycle to do it, by the courier.
#include "../core/Courier.h"
#include "../core/DeviceEngine.h"
#include "../core/Waits.h"

namespace {

constexpr DWORD kDispatchLockTimeout = 10;
constexpr DWORD kPendingLockTimeout = 10;

}  // namespace

namespace tavrin::detail {

void DeviceEngine::RunCommandCycles(CString& strText)
{
    BeginCycle();
    for (WorkerSlot& slot : m_device.m_Workers) {
        slot.bCommandClaimed = FALSE;
        slot.pszCommand = strText.GetBuffer(0);
        slot.dwCommandLength = static_cast<DWORD>(strText.GetLength());
    }
    for (WorkerSlot& slot : m_device.m_Workers)
        slot.pWaitObjects[SLOT_WAIT_EXAMINE_COMMAND]->SetEvent();
    if (WaitForAnswers(m_device.m_evCommandDone)) {
        bool taken = false;
        for (WorkerSlot& slot : m_device.m_Workers) {
            if (!taken && slot.bCommandClaimed) {
                taken = true;
                continue;
            }
            slot.pszCommand = nullptr;
            slot.dwCommandLength = 0;
        }
        for (WorkerSlot& slot : m_device.m_Workers)
            slot.pWaitObjects[SLOT_WAIT_RUN_COMMAND]->SetEvent();
        WaitForAnswers(m_device.m_evCommandDone);
    }
    EndCycle();
}

bool DeviceEngine::MustQueueText()
{
    // The mutex would let a thread that runs a cycle in again, and a handler
    // a worker waits for would make the cycles wait for that worker.
    if (IsWorkerThread() || RunsCycleHere() || InHandlerOfWorker())
        return true;
    // Texts of this thread still queued go first.
    if (!m_device.m_mtxPending.Lock(kPendingLockTimeout))
        return true;
    auto writer = m_textsInFlight.find(GetCurrentThreadId());
    const bool behind = writer != m_textsInFlight.end() && writer->second > 0;
    m_device.m_mtxPending.Unlock();
    return behind;
}

void DeviceEngine::AddQueuedLocked(const CString& strText, bool atHead)
{
    const DWORD writer = GetCurrentThreadId();
    if (atHead) {
        m_device.m_lstPendingCommands.AddHead(strText);
        m_queuedWriters.push_front(writer);
    } else {
        m_device.m_lstPendingCommands.AddTail(strText);
        m_queuedWriters.push_back(writer);
    }
    ++m_textsInFlight[writer];
    m_evDrained.ResetEvent();
}

void DeviceEngine::QueueText(const CString& strText)
{
    if (m_device.m_mtxPending.Lock(kPendingLockTimeout)) {
        AddQueuedLocked(strText, false);
        m_device.m_mtxPending.Unlock();
    } else {
        // The queue is busy for longer than a dispatch would wait: the text
        // goes to the head, but only ever under the lock. Nobody holds it
        // across a wait for a worker, so this wait is short.
        WaitServingSentMessages(m_device.m_mtxPending.m_hObject);
        AddQueuedLocked(strText, true);
        m_device.m_mtxPending.Unlock();
    }
    // The data cycle in progress, if any, writes the text at its end; the
    // courier does so when there is none, so a quiet line never strands it.
    std::lock_guard<std::mutex> lock(m_courierLock);
    if (EnsureCourierLocked())
        m_courier->PushDrain();
}

void DeviceEngine::DrainQueuedTexts()
{
    CMutex& pending = m_device.m_mtxPending;
    CStringList& queue = m_device.m_lstPendingCommands;
    WaitServingSentMessages(pending.m_hObject);
    if (m_draining) {
        pending.Unlock();
        return;
    }
    m_draining = true;
    for (;;) {
        if (queue.IsEmpty()) {
            m_draining = false;
            m_evDrained.SetEvent();
            pending.Unlock();
            return;
        }
        CString text = queue.RemoveHead();
        const DWORD writer = m_queuedWriters.empty() ? 0 : m_queuedWriters.front();
        if (!m_queuedWriters.empty())
            m_queuedWriters.pop_front();
        // The queue is free while the text runs its cycles: a handler that
        // the text's script notifies may queue another one meanwhile.
        pending.Unlock();

        // This thread runs no cycle and handles no worker's message, so it
        // may wait for the dispatcher as a data cycle does.
        WaitServingSentMessages(m_device.m_mtxDispatch.m_hObject);
        if (WorkersRunningLocked())
            RunCommandCycles(text);
        m_device.m_mtxDispatch.Unlock();

        WaitServingSentMessages(pending.m_hObject);
        auto inFlight = m_textsInFlight.find(writer);
        if (inFlight != m_textsInFlight.end() && --inFlight->second <= 0)
            m_textsInFlight.erase(inFlight);
    }
}

void DeviceEngine::DropQueuedTexts()
{
    WaitServingSentMessages(m_device.m_mtxPending.m_hObject);
    m_device.m_lstPendingCommands.RemoveAll();
    m_queuedWriters.clear();
    m_textsInFlight.clear();
    m_evDrained.SetEvent();
    m_device.m_mtxPending.Unlock();
}

}  // namespace tavrin::detail

BOOL CDevice::WriteEx(const char* pszText)
{
    CString text(pszText);
    if (text.IsEmpty() || !m_bConnected)
        return TRUE;

    tavrin::detail::DeviceEngine& engine = *m_pEngine;
    if (engine.MustQueueText() || !m_mtxDispatch.Lock(kDispatchLockTimeout)) {
        engine.QueueText(text);
        return FALSE;
    }
    if (engine.WorkersRunningLocked())
        engine.RunCommandCycles(text);
    m_mtxDispatch.Unlock();
    return TRUE;
}
