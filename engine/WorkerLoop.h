// Internal: the loop common to the three workers. It waits on the slot's
// five objects and answers every cycle exactly once, since the dispatcher
// waits for all three answers.
#pragma once

#include "../core/DeviceEngine.h"

namespace tavrin::engine {

class WorkerLoop : private tavrin::detail::SlotScanner {
public:
    explicit WorkerLoop(WorkerSlot& slot) : m_slot(slot) {}
    virtual ~WorkerLoop() = default;
    WorkerLoop(const WorkerLoop&) = delete;
    WorkerLoop& operator=(const WorkerLoop&) = delete;

    // Returns the thread's exit code: 1 after the stop event.
    DWORD Run();

protected:
    // The loop answers scan, delivery and examine cycles after these return.
    virtual void OnScan() {}
    virtual void OnDeliver() {}
    // OnDeliver's work when it would notify nobody, run by the dispatching
    // thread; false (touching nothing) when the worker must deliver itself.
    virtual bool DeliverQuietly() { return false; }
    virtual void OnExamineCommand() {}
    // Must answer pCommandDone itself, so a worker can answer before it
    // starts a long piece of work.
    virtual void OnRunCommand() { m_slot.pCommandDone->SetEvent(); }
    virtual void OnTimeout() { m_slot.pIdle->SetEvent(); }
    // The interval of the worker's tick: the time without events after
    // which OnTimeout runs.
    virtual DWORD WaitTimeout() const { return 1000; }
    // Whether OnTimeout has work of the worker's own to do. Otherwise the
    // tick only reports idle, which matters only while a WaitToIdle runs.
    virtual bool TickHasWork() const { return false; }

    WorkerSlot& m_slot;

private:
    void ScanForDispatcher() override { OnScan(); }
    bool DeliverQuietlyForDispatcher() override { return DeliverQuietly(); }
    // Runs one event's work under the worker's seat lock.
    void Handle(DWORD dwResult);

    // The time-out of the next wait: none when no tick is needed, otherwise
    // what is left of the interval that began with the last event or tick.
    DWORD NextWait(DWORD dwTickStart) const;
};

// Runs a worker of type T on the slot passed as thread parameter.
template <class T>
DWORD RunWorker(LPVOID pSlot)
{
    if (!pSlot)
        return 0xFFFFFFFFu;
    T worker(*static_cast<WorkerSlot*>(pSlot));
    return worker.Run();
}

}  // namespace tavrin::engine
