// POSIX backend of the waits: the process-wide lock and its deferred wakes,
// the waiter core every waitable object shares, and WaitForSingleObject /
// WaitForMultipleObjects.
#include "../Kernel.h"

#include <chrono>

#include "Futex.h"
#include "WaitCore.h"

namespace tavrin::posix {

std::mutex& SyncLock()
{
    static auto* lock = new std::mutex();
    return *lock;
}

namespace {

// Wakes owed by the calling thread, made once it has dropped the lock, so
// that a woken thread does not run straight into the held lock.
struct DeferredWakes {
    int count = 0;
    std::atomic<std::uint32_t>* words[16];
};
thread_local DeferredWakes t_wakes;

void FlushWakes()
{
    for (int i = 0; i < t_wakes.count; ++i)
        FutexWakeAll(*t_wakes.words[i]);
    t_wakes.count = 0;
}

}  // namespace

void DeferWake(std::atomic<std::uint32_t>& word)
{
    if (t_wakes.count == 16)
        FlushWakes();
    t_wakes.words[t_wakes.count++] = &word;
}

void SyncGuard::lock()
{
    SyncLock().lock();
    m_owns = true;
}

void SyncGuard::unlock()
{
    m_owns = false;
    SyncLock().unlock();
    FlushWakes();
}

void SyncObject::Attach(WaitLink& link)
{
    link.object = this;
    link.prev = m_tail;
    link.next = nullptr;
    if (m_tail)
        m_tail->next = &link;
    else
        m_head = &link;
    m_tail = &link;
}

void SyncObject::Detach(WaitLink& link)
{
    if (link.object != this)
        return;
    if (link.prev)
        link.prev->next = link.next;
    else
        m_head = link.next;
    if (link.next)
        link.next->prev = link.prev;
    else
        m_tail = link.prev;
    link.prev = link.next = nullptr;
    link.object = nullptr;
}

void SyncObject::OfferToWaiters()
{
    for (WaitLink* link = m_head; link;) {
        WaitLink* next = link->next;
        Waiter& waiter = *link->waiter;
        if (TrySatisfyLocked(waiter))
            FinishLocked(waiter, waiter.result, ERROR_SUCCESS);
        link = next;
    }
}

void SyncObject::FailAllWaiters()
{
    while (m_head)
        FinishLocked(*m_head->waiter, WAIT_FAILED, ERROR_INVALID_HANDLE);
}

bool TrySatisfyLocked(Waiter& waiter)
{
    if (waiter.waitAll && waiter.count > 0) {
        for (DWORD i = 0; i < waiter.count; ++i)
            if (!waiter.links[i].waiter || !waiter.links[i].object ||
                !waiter.links[i].object->IsSignalledFor(waiter.thread))
                return false;
        DWORD result = WAIT_OBJECT_0;
        for (DWORD i = 0; i < waiter.count; ++i) {
            waiter.links[i].object->Acquire(*waiter.owner);
            if (waiter.links[i].object->TakeAbandoned() && result == WAIT_OBJECT_0)
                result = WAIT_ABANDONED_0 + i;
        }
        waiter.result = result;
        return true;
    }
    for (DWORD i = 0; i < waiter.count; ++i) {
        SyncObject* object = waiter.links[i].object;
        if (object && object->IsSignalledFor(waiter.thread)) {
            object->Acquire(*waiter.owner);
            waiter.result = (object->TakeAbandoned() ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
            return true;
        }
    }
    if (waiter.queue && QueueHasInputLocked(waiter)) {
        waiter.result = WAIT_OBJECT_0 + waiter.count;
        return true;
    }
    return false;
}

void FinishLocked(Waiter& waiter, DWORD result, DWORD error)
{
    for (DWORD i = 0; i < waiter.count; ++i)
        if (waiter.links[i].object)
            waiter.links[i].object->Detach(waiter.links[i]);
    if (waiter.queue)
        QueueSetBlockedLocked(waiter.queue, nullptr);
    waiter.result = result;
    waiter.error = error;
    waiter.state.store(1, std::memory_order_release);
    // The waiter returns without taking the lock again, so its stack frame
    // may be gone right after the store above, before the wake is made; a
    // wake on a stale private futex address is harmless (every futex waiter
    // re-checks its condition).
    DeferWake(waiter.state);
}

DWORD BlockLocked(SyncGuard& lock, Waiter& waiter, DWORD milliseconds)
{
    if (milliseconds == 0) {
        lock.unlock();
        return WAIT_TIMEOUT;
    }
    // The objects were resolved by the caller into links[i].object; link
    // them into their wait lists now.
    for (DWORD i = 0; i < waiter.count; ++i) {
        SyncObject* object = waiter.links[i].object;
        waiter.links[i].waiter = &waiter;
        waiter.links[i].object = nullptr;
        object->Attach(waiter.links[i]);
    }
    if (waiter.queue)
        QueueSetBlockedLocked(waiter.queue, &waiter);
    lock.unlock();

    std::chrono::steady_clock::time_point deadline;
    const bool timed = milliseconds != INFINITE;
    if (timed)
        deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (waiter.state.load(std::memory_order_acquire) == 0) {
        if (timed && std::chrono::steady_clock::now() >= deadline)
            break;
        FutexWait(waiter.state, 0, timed ? &deadline : nullptr);
    }
    if (waiter.state.load(std::memory_order_acquire) != 0)
        return waiter.result;

    lock.lock();
    if (waiter.state.load(std::memory_order_acquire) == 0) {
        for (DWORD i = 0; i < waiter.count; ++i)
            if (waiter.links[i].object)
                waiter.links[i].object->Detach(waiter.links[i]);
        if (waiter.queue)
            QueueSetBlockedLocked(waiter.queue, nullptr);
        waiter.result = WAIT_TIMEOUT;
    }
    lock.unlock();
    return waiter.result;
}

}  // namespace tavrin::posix

using namespace tavrin::posix;

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    Waiter waiter;
    waiter.thread = GetCurrentThreadId();
    waiter.waitAll = bWaitAll != FALSE;
    waiter.count = nCount;
    SyncGuard lock;
    for (DWORD i = 0; i < nCount; ++i) {
        SyncObject* object = LookupLocked(lpHandles[i]);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        for (DWORD j = 0; j < i; ++j)
            if (waiter.links[j].object == object) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return WAIT_FAILED;
            }
        waiter.links[i].waiter = &waiter;
        waiter.links[i].object = object;
    }
    if (TrySatisfyLocked(waiter))
        return waiter.result;
    const DWORD result = BlockLocked(lock, waiter, dwMilliseconds);
    if (result == WAIT_FAILED)
        SetLastError(waiter.error);
    return result;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}
