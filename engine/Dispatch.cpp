// DataDone: one scan cycle, the merge, one delivery cycle per region, then
// forwarding to a linked partner and the held-back commands.
#include "../core/Courier.h"
#include "../core/DeviceEngine.h"
#include "../core/Waits.h"
#include "Merge.h"

namespace tavrin::detail {

bool DeviceEngine::WorkersRunningLocked() const
{
    const CEvent* stop = m_device.m_pStopEvent;
    return stop && WaitForSingleObject(stop->m_hObject, 0) == WAIT_TIMEOUT;
}

bool DeviceEngine::WaitForAnswers(CEvent (&answers)[WORKER_COUNT], unsigned workers)
{
    // A cycle ends when every worker is done with it: it has answered, or
    // its thread has ended (a stopped worker never answers). Waiting for the
    // stop event instead would end the cycle while a worker still reads the
    // block or is notifying the host with pointers into it.
    HANDLE handles[2 * WORKER_COUNT];
    int workerOf[2 * WORKER_COUNT];
    bool pending[WORKER_COUNT];
    for (int i = 0; i < WORKER_COUNT; ++i)
        pending[i] = (workers >> i) & 1u;
    bool allAnswered = true;
    for (;;) {
        DWORD count = 0;
        for (int i = 0; i < WORKER_COUNT; ++i)
            if (pending[i]) {
                workerOf[count] = i;
                handles[count++] = answers[i].m_hObject;
            }
        if (count == 0)
            return allAnswered;
        const DWORD answerCount = count;
        for (DWORD k = 0; k < answerCount; ++k) {
            workerOf[count] = workerOf[k];
            handles[count++] = m_device.m_Workers[workerOf[k]].hThread;
        }
        // A worker may be notifying a window of the thread that runs this
        // cycle, so sent messages are handled meanwhile.
        const DWORD index = WaitAnyServingSentMessages(handles, count, INFINITE);
        if (index >= count)
            return false;
        pending[workerOf[index]] = false;
        if (index >= answerCount)
            allAnswered = false;
    }
}

DeviceEngine::Route DeviceEngine::RouteOfBlock()
{
    if (IsCourierThread())
        return Route::Here;
    if (IsWorkerThread() || RunsCycleHere() || InHandlerOfWorker())
        return Route::HandOff;
    // Blocks of this thread still with the courier (written inside a
    // handler) go first: this one joins them, and Write waits for it.
    std::lock_guard<std::mutex> lock(m_courierLock);
    return m_blocksInFlight.count(GetCurrentThreadId()) ? Route::HandOffAndWait : Route::HereWhenFree;
}

std::uint64_t DeviceEngine::HandOffBlock(const BYTE* pBuffer, DWORD dwLength)
{
    std::lock_guard<std::mutex> lock(m_courierLock);
    if (!EnsureCourierLocked())
        return 0;  // stopping, or no thread to carry it: lost, not deadlocked on
    const DWORD writer = GetCurrentThreadId();
    const std::uint64_t ticket = ++m_blocksInFlight[writer].queued;
    m_courier->PushBlock(writer, pBuffer, dwLength);
    return ticket;
}

void DeviceEngine::WaitForBlock(std::uint64_t ticket)
{
    const DWORD self = GetCurrentThreadId();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_courierLock);
            auto writer = m_blocksInFlight.find(self);
            if (writer == m_blocksInFlight.end() || writer->second.done >= ticket)
                return;
            m_evBlockDone.ResetEvent();
        }
        // The block's notifications may be for this thread's windows.
        WaitServingSentMessages(m_evBlockDone.m_hObject);
    }
}

void DeviceEngine::BlockDone(DWORD dwWriter)
{
    {
        std::lock_guard<std::mutex> lock(m_courierLock);
        auto writer = m_blocksInFlight.find(dwWriter);
        if (writer != m_blocksInFlight.end() && ++writer->second.done >= writer->second.queued)
            m_blocksInFlight.erase(writer);
    }
    m_evBlockDone.SetEvent();
}

}  // namespace tavrin::detail

using tavrin::detail::DeviceEngine;

void CDevice::DataDone(BYTE* pBuffer, DWORD dwLength)
{
    if (dwLength == 0 || !pBuffer)
        return;
    DeviceEngine& engine = *m_pEngine;
    DeviceEngine::Route route = engine.RouteOfBlock();
    // A cycle of another thread (the courier, a receiving thread) holds the
    // dispatch: waiting for it here would handle that cycle's notifications
    // meanwhile, and a handler's write among them would reach the courier,
    // and the host, before this earlier block. The block joins the courier
    // instead, ahead of whatever those handlers write, and is waited for.
    if (route == DeviceEngine::Route::HereWhenFree)
        route = WaitForSingleObject(m_mtxDispatch.m_hObject, 0) == WAIT_OBJECT_0 ? DeviceEngine::Route::Here
                                                                                 : DeviceEngine::Route::HandOffAndWait;
    else if (route == DeviceEngine::Route::Here)
        tavrin::detail::WaitServingSentMessages(m_mtxDispatch.m_hObject);
    if (route != DeviceEngine::Route::Here) {
        const std::uint64_t ticket = engine.HandOffBlock(pBuffer, dwLength);
        if (ticket && route == DeviceEngine::Route::HandOffAndWait)
            engine.WaitForBlock(ticket);
        return;
    }
    // Without running workers nobody could answer the cycles: the block is
    // dropped, neither delivered nor forwarded.
    if (!engine.WorkersRunningLocked()) {
        m_mtxDispatch.Unlock();
        return;
    }
    engine.BeginCycle();

    for (WorkerSlot& slot : m_Workers) {
        slot.dwMatchStart = NO_CLAIM;
        slot.dwMatchEnd = NO_CLAIM;
        slot.pData = pBuffer;
        slot.dwDataLength = dwLength;
    }
    unsigned woken = 0;
    for (int i = 0; i < WORKER_COUNT; ++i)
        if (!engine.ScanHere(i)) {
            m_Workers[i].pWaitObjects[SLOT_WAIT_SCAN]->SetEvent();
            woken |= 1u << i;
        }
    bool running = woken == 0 || engine.WaitForAnswers(m_evDataDone, woken);

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

    // A delivery with no data does nothing in any worker, so only the
    // region's owner is woken, and not even that one when its delivery
    // would notify nobody: each cross-processor wake-up costs more than the
    // work it carries.
    for (WorkerSlot& slot : m_Workers) {
        slot.pData = nullptr;
        slot.dwDataLength = 0;
    }
    for (int r = 0; running && r < regions.GetSize(); ++r) {
        const auto* region = static_cast<const DataRegion*>(regions[r]);
        WorkerSlot& owner = m_Workers[region->nWorker];
        owner.pData = pBuffer + region->dwStart;
        owner.dwDataLength = region->dwEnd - region->dwStart;
        if (engine.DeliverQuietlyHere(region->nWorker))
            continue;
        owner.pWaitObjects[SLOT_WAIT_DELIVER]->SetEvent();
        running = engine.WaitForAnswers(m_evDataDone, 1u << region->nWorker);
    }
    FreeRegions(regions);
    engine.EndCycle();
    m_mtxDispatch.Unlock();
    if (!running)
        return;

    // The partner is held for the whole forward: its Disconnect waits for
    // the forward to end, so it cannot go while these calls run.
    const tavrin::detail::PartnerForward forward(*this);
    CDevice* partner = forward.Partner();
    if (partner && engine.Transparent(*this)) {
        if (forward.StillLinked())
            partner->Write(pBuffer, dwLength);
    } else if (partner) {
        // A 0x00 byte stands for a break on the line, so a pair of linked
        // devices carries breaks across.
        std::uint64_t runStart = 0;
        for (std::uint64_t i = 0; i <= dwLength; ++i) {
            if (i < dwLength && pBuffer[i] != 0)
                continue;
            if (i > runStart && forward.StillLinked())
                partner->Write(pBuffer + runStart, static_cast<DWORD>(i - runStart));
            if (i < dwLength && forward.StillLinked())
                partner->SendBreak();
            runStart = i + 1;
        }
    }

    // Texts that handlers queued during this block's cycles.
    engine.DrainQueuedTexts();
}
