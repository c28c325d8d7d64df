// DataDone: one scan cycle, the merge, one delivery cycle per region, then
// forwarding to a linked partner and the held-back commands.
#include "../core/Device.h"
#include "Merge.h"

bool CDevice::WorkersRunningLocked()
{
    return m_pStopEvent && WaitForSingleObject(m_pStopEvent->m_hObject, 0) == WAIT_TIMEOUT;
}

bool CDevice::WaitForAnswers(CEvent (&answers)[WORKER_COUNT])
{
    // Wait-any over the stop event and the answers still missing, rather
    // than one wait-all on the answers: a cycle must end when the workers
    // are stopped, since stopped workers never answer.
    HANDLE handles[1 + WORKER_COUNT] = {m_pStopEvent->m_hObject, answers[0].m_hObject, answers[1].m_hObject,
                                        answers[2].m_hObject};
    DWORD count = 1 + WORKER_COUNT;
    while (count > 1) {
        const DWORD result = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
        if (result <= WAIT_OBJECT_0 || result >= WAIT_OBJECT_0 + count)
            return false;
        handles[result - WAIT_OBJECT_0] = handles[count - 1];
        --count;
    }
    return true;
}

void CDevice::DataDone(BYTE* pBuffer, DWORD dwLength)
{
    if (dwLength == 0)
        return;
    m_mtxDispatch.Lock(INFINITE);
    // Without running workers nobody could answer the cycles: the block is
    // dropped, neither delivered nor forwarded.
    if (!WorkersRunningLocked()) {
        m_mtxDispatch.Unlock();
        return;
    }

    for (WorkerSlot& slot : m_Workers) {
        slot.dwMatchStart = NO_CLAIM;
        slot.dwMatchEnd = NO_CLAIM;
        slot.pData = pBuffer;
        slot.dwDataLength = dwLength;
    }
    for (WorkerSlot& slot : m_Workers)
        slot.pWaitObjects[1]->SetEvent();
    bool running = WaitForAnswers(m_evDataDone);

    CPtrArray regions;
    for (int i = 0; running && i < WORKER_COUNT; ++i) {
        const WorkerSlot& slot = m_Workers[i];
        if (slot.dwMatchStart == NO_CLAIM || slot.dwMatchEnd == NO_CLAIM)
            continue;
        // A claim outside the block would hand the host bytes that are not
        // there.
        if (slot.dwMatchStart > slot.dwMatchEnd || slot.dwMatchEnd > dwLength)
            continue;
        MergeClaim(regions, i, slot.dwMatchStart, slot.dwMatchEnd);
    }

    for (int r = 0; running && r < regions.GetSize(); ++r) {
        const auto* region = static_cast<const DataRegion*>(regions[r]);
        for (int i = 0; i < WORKER_COUNT; ++i) {
            WorkerSlot& slot = m_Workers[i];
            const bool owner = i == region->nWorker;
            slot.pData = owner ? pBuffer + region->dwStart : nullptr;
            slot.dwDataLength = owner ? region->dwEnd - region->dwStart : 0;
        }
        for (WorkerSlot& slot : m_Workers)
            slot.pWaitObjects[2]->SetEvent();
        running = WaitForAnswers(m_evDataDone);
    }
    FreeRegions(regions);
    m_mtxDispatch.Unlock();
    if (!running)
        return;

    if (CDevice* partner = m_pLinkedDevice.load()) {
        // A 0x00 byte stands for a break on the line, so a pair of linked
        // devices carries breaks across.
        std::uint64_t runStart = 0;
        for (std::uint64_t i = 0; i <= dwLength; ++i) {
            if (i < dwLength && pBuffer[i] != 0)
                continue;
            if (i > runStart)
                partner->Write(pBuffer + runStart, static_cast<DWORD>(i - runStart));
            if (i < dwLength)
                partner->SendBreak();
            runStart = i + 1;
        }
    }

    m_mtxPending.Lock(INFINITE);
    while (!m_lstPendingCommands.IsEmpty()) {
        CString text = m_lstPendingCommands.RemoveHead();
        WriteEx(text);
        m_mtxPending.Unlock();
        text.Empty();
        m_mtxPending.Lock(INFINITE);
    }
    m_mtxPending.Unlock();
}
