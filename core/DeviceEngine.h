// Internal: what a device needs beyond the members its interface names —
// the identity of its threads, the courier thread, and the bookkeeping that
// keeps each writer's blocks and texts in the order written.
//
// Where a write may run is decided from exact answers, never from guesses:
// a thread that runs a cycle of this device, one of its workers, or a
// thread that is inside a window procedure called for a message one of its
// workers sent (InSendMessageFromThread) cannot run a cycle, because the
// cycle would wait for a worker that is waiting for it. Such writes are
// handed on: blocks to the courier, texts to the pending queue, which the
// end of the current data cycle or the courier writes.
#pragma once

#include <atomic>
#include <deque>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "Device.h"

namespace tavrin::detail {

class Courier;

// A worker's scan, offered to the thread that dispatches a block. The scans
// only compute claims and advance the worker's own matching state, so the
// dispatching thread may run them while the worker sits between events,
// and spare the two thread switches that waking the worker for it costs.
class SlotScanner {
public:
    virtual void ScanForDispatcher() = 0;
    // A delivery that would notify nobody (the host takes no such
    // notification, or the worker has nothing to say about the region) is
    // done here and true returned; otherwise nothing is touched and the
    // worker is woken for it, since notifications come only from workers.
    virtual bool DeliverQuietlyForDispatcher() = 0;

protected:
    ~SlotScanner() = default;
};

class DeviceEngine {
public:
    explicit DeviceEngine(CDevice& device);
    ~DeviceEngine();
    DeviceEngine(const DeviceEngine&) = delete;
    DeviceEngine& operator=(const DeviceEngine&) = delete;

    // What the workers read of their device beyond its public operations.
    static DWORD Mode(const CDevice& device) { return device.m_dwMode.load(); }
    static bool Transparent(const CDevice& device) { return device.m_pEngine->m_transparent.load(); }
    void SetTransparent(bool transparent) { m_transparent = transparent; }
    // A notification of this kind would reach nobody: the host set no
    // message number for it, or no window.
    static bool Unheard(CDevice& device, int nIndex)
    {
        return device.GetMessageA(nIndex) == 0 || !device.IsEnableNotify();
    }

    // Idle workers wait without a time-out, so that a device nobody talks
    // to costs no wake-ups. A worker's tick is needed only for its own work
    // (a poll, a script's wait or its next line), which the worker sees
    // itself, or while someone waits for the workers' idle reports; a need
    // that arises on another thread sets the worker's re-time event, which
    // makes it work out its time-out afresh.
    static CEvent& RetimeEvent(const WorkerSlot& slot);
    static bool IdleWatched(const CDevice& device) { return device.m_pEngine->m_idleWatchers.load() != 0; }
    void Retime(int nSlot) { m_evRetime[nSlot].SetEvent(); }
    // WaitToIdle: the workers tick while at least one such wait runs.
    void BeginIdleWatch();
    void EndIdleWatch() { --m_idleWatchers; }

    // A worker holds its seat's lock while it handles any event of its own;
    // the dispatching thread only tries it, so a worker busy with a long
    // command or a notification to the host is woken for the scan instead,
    // and nothing ever waits on the lock.
    struct ScanSeat {
        std::mutex lock;
        SlotScanner* scanner = nullptr;  // under lock; null while no worker runs
        // Under lock: when the last scan or delivery run for the worker
        // happened, and whether the worker has not yet seen it. Either is an
        // event of the worker's and restarts its interval as one would; the
        // worker learns of it only when its time-out ends, so that a stream
        // of blocks does not wake it.
        DWORD dwLastScan = 0;
        bool bScanUnseen = false;
    };
    // The worker's time-out has ended: the time of a scan run for it since
    // its last look, if any.
    static bool TakeUnseenScan(const WorkerSlot& slot, DWORD& dwAt);
    static ScanSeat& SeatOf(const WorkerSlot& slot);
    // Runs the scan of worker nSlot on the calling thread; false when the
    // worker must be woken for it.
    bool ScanHere(int nSlot);
    // The same for a delivery that notifies nobody.
    bool DeliverQuietlyHere(int nSlot);

    // Thread identity.
    void SetWorkerThread(int nSlot, DWORD dwThread) { m_workerThreads[nSlot] = dwThread; }
    bool IsWorkerThread() const;
    // The calling thread handles, at any depth, a message one of this
    // device's workers sent it.
    bool InHandlerOfWorker() const;
    bool RunsCycleHere() const { return m_cycleThread.load() == GetCurrentThreadId(); }
    bool IsCourierThread() const { return m_courierThread.load() == GetCurrentThreadId(); }

    // Ends the workers (waiting for them when they were started) and
    // releases their objects.
    void ReleaseWorkers(bool started);
    // Replaces (and deletes) the device's stop event. Under the courier's
    // lock: a writer on another thread that finds the dispatch busy hands
    // its block on and reads the stop event to know whether the device
    // still runs, while Connect or Disconnect may be changing it.
    void SetStopEvent(CEvent* stop);

    // Cycles; the callers hold m_mtxDispatch.
    bool WorkersRunningLocked() const;
    void BeginCycle() { m_cycleThread = GetCurrentThreadId(); }
    void EndCycle() { m_cycleThread = 0; }
    // Waits for one answer of each worker in `workers` (a bit per worker;
    // all three by default), handling sent messages meanwhile; false when a
    // worker ended instead, which ends the cycle.
    bool WaitForAnswers(CEvent (&answers)[WORKER_COUNT], unsigned workers = kAllWorkers);
    static constexpr unsigned kAllWorkers = (1u << WORKER_COUNT) - 1;
    // The examine and run cycles of one text.
    void RunCommandCycles(CString& strText);

    // Where a received block is dispatched: on the calling thread (the
    // courier waits for the dispatch; any other thread dispatches when the
    // dispatch is free and otherwise hands the block on and waits for it),
    // or by the courier, either because this thread cannot run cycles now
    // (a worker, a cycle, a handler of a worker) or behind its earlier
    // blocks still with the courier, waited for.
    enum class Route { Here, HereWhenFree, HandOff, HandOffAndWait };
    Route RouteOfBlock();
    // The block's place in its writer's sequence; 0 when it was dropped.
    std::uint64_t HandOffBlock(const BYTE* pBuffer, DWORD dwLength);
    // Until the courier has dispatched the writer's block `ticket` (or has
    // gone), handling sent messages meanwhile.
    void WaitForBlock(std::uint64_t ticket);
    // The courier has dispatched a block of this writer.
    void BlockDone(DWORD dwWriter);

    // Command texts that cannot run their cycles now.
    bool MustQueueText();
    void QueueText(const CString& strText);
    // Writes the queued texts, oldest first, one at a time; a call that
    // finds another thread doing so leaves the work to it.
    void DrainQueuedTexts();
    // Disconnect: queued texts are dropped.
    void DropQueuedTexts();
    // Waits until no text is queued or running its cycles from the queue.
    bool WaitUntilDrained(DWORD dwMilliseconds);

    // Ends the courier once the stop event is set; handles sent messages
    // while waiting for it.
    void StopCourier();

    // The partner link. Pairing and unpairing take one lock for every
    // device: a change touches both sides (and a former partner), and a
    // forward must find its partner and be counted by it in one step.
    static void Link(CDevice& device, CDevice* pOther);
    static CDevice* Partner(const CDevice& device) { return device.m_pLinkedDevice.load(); }
    // A forward of one received block: finds the partner (NULL when there
    // is none) and counts the forward on it until EndForward.
    static CDevice* BeginForward(CDevice& from);
    static void EndForward(CDevice& partner);
    // Disconnect: after unpairing, waits until no forward into this device
    // is left, handling sent messages meanwhile. Forwards running on the
    // calling thread itself are not waited for (a handler reached from
    // inside one cannot wait for it to end); the rest of such a forward is
    // dropped, since it finds the pair undone.
    void WaitForForwardsIn();

private:
    bool EnsureCourierLocked();
    // Under m_mtxPending.
    void AddQueuedLocked(const CString& strText, bool atHead);

    CDevice& m_device;
    std::atomic<DWORD> m_workerThreads[WORKER_COUNT];
    // Auto-reset; they live as long as the device, so a re-time from a host
    // thread never races the workers' start or end.
    CEvent m_evRetime[WORKER_COUNT];
    ScanSeat m_seats[WORKER_COUNT];
    std::atomic<int> m_idleWatchers{0};
    // Kept here rather than in the device, whose layout hosts derive from.
    std::atomic<bool> m_transparent{false};
    // The thread running a data or command cycle, 0 when none.
    std::atomic<DWORD> m_cycleThread{0};

    std::mutex m_courierLock;
    std::unique_ptr<Courier> m_courier;
    std::atomic<DWORD> m_courierThread{0};
    // Blocks of each writer thread handed to the courier and dispatched by
    // it: a later block of the same thread follows those still in flight
    // rather than overtaking. An entry goes once both counts meet.
    struct Flight {
        std::uint64_t queued = 0;
        std::uint64_t done = 0;
    };
    std::unordered_map<DWORD, Flight> m_blocksInFlight;
    // Set whenever a block of any writer was dispatched, or all were dropped.
    CEvent m_evBlockDone;

    // Under m_mtxPending: the writer of each queued text, parallel to
    // m_lstPendingCommands, and how many each writer has queued or in its
    // cycles, so that its later texts queue behind them.
    std::deque<DWORD> m_queuedWriters;
    std::unordered_map<DWORD, int> m_textsInFlight;
    bool m_draining = false;
    // Set while nothing is queued or being written from the queue.
    CEvent m_evDrained;

    // Under the link lock: the threads forwarding a block into this device,
    // one entry per forward.
    std::vector<DWORD> m_forwardsIn;
    // Set each time one of them ends.
    CEvent m_evForwardEnded;
};

// A forward of one received block to the device's partner. While it lives
// the partner is counted as written to, so the partner's Disconnect, and
// with it the partner's destruction, waits for it to end: the forward runs
// on the receiving thread after the dispatch, when nothing else ties the
// two devices together.
class PartnerForward {
public:
    explicit PartnerForward(CDevice& from) : m_from(from), m_partner(DeviceEngine::BeginForward(from)) {}
    ~PartnerForward()
    {
        if (m_partner)
            DeviceEngine::EndForward(*m_partner);
    }
    PartnerForward(const PartnerForward&) = delete;
    PartnerForward& operator=(const PartnerForward&) = delete;

    CDevice* Partner() const { return m_partner; }
    // False once the pair has been undone: the rest of the block stays here.
    bool StillLinked() const { return DeviceEngine::Partner(m_from) == m_partner; }

private:
    CDevice& m_from;
    CDevice* m_partner;
};

}  // namespace tavrin::detail
