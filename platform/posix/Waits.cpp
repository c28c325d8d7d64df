// POSIX backend of the waits: the stripe locks and their deferred wakes,
// the waiter core every waitable object shares, and WaitForSingleObject /
// WaitForMultipleObjects.
#include "../Kernel.h"

#include <chrono>
#include <mutex>
#include <type_traits>

#include "Futex.h"
#include "WaitCore.h"

namespace tavrin::posix {

namespace {

// Each stripe on its own cache lines, so that two busy stripes never share
// one. Constant-initialised and trivially destructible: threads still
// running while the process exits keep using them.
struct alignas(128) Stripe {
    std::mutex lock;
};
static_assert(std::is_trivially_destructible_v<Stripe>);
constinit Stripe g_stripes[kStripeCount];

// Wakes owed by the calling thread, made once it holds no stripe, so that a
// woken thread does not run straight into a held lock.
struct DeferredWakes {
    int held = 0;  // stripes this thread holds
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

std::size_t StripeOf(const void* address)
{
    // Objects are heap blocks of 16-byte alignment: drop those bits and
    // spread neighbouring blocks over the table (Fibonacci hashing).
    static_assert(kStripeCount == 128);
    const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(address) >> 4);
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> (64 - 7));
}

void DeferWake(std::atomic<std::uint32_t>& word)
{
    if (t_wakes.held == 0) {
        FutexWakeAll(word);
        return;
    }
    if (t_wakes.count == 16)
        FlushWakes();
    t_wakes.words[t_wakes.count++] = &word;
}

void StripeLock::Add(const void* address)
{
    const auto stripe = static_cast<std::uint8_t>(StripeOf(address));
    int at = m_count;
    for (int i = 0; i < m_count; ++i)
        if (m_stripes[i] == stripe)
            return;
    while (at > 0 && m_stripes[at - 1] > stripe) {
        m_stripes[at] = m_stripes[at - 1];
        --at;
    }
    m_stripes[at] = stripe;
    ++m_count;
}

void StripeLock::lock()
{
    for (int i = 0; i < m_count; ++i)
        g_stripes[m_stripes[i]].lock.lock();
    t_wakes.held += m_count;
    m_owns = true;
}

void StripeLock::unlock()
{
    m_owns = false;
    for (int i = m_count; i-- > 0;)
        g_stripes[m_stripes[i]].lock.unlock();
    t_wakes.held -= m_count;
    if (t_wakes.held == 0)
        FlushWakes();
}

namespace {

// Under a stripe of one of the waiter's objects or of its queue: takes the
// waiter for the caller to settle, unless a signaller of another of its
// objects (holding another stripe) has taken it first.
bool Claim(Waiter& waiter)
{
    std::uint32_t state = waiter.state.load(std::memory_order_relaxed);
    while (state == kWaiting || state == kRecheck)
        if (waiter.state.compare_exchange_weak(state, kClaimed, std::memory_order_acquire,
                                               std::memory_order_relaxed))
            return true;
    return false;
}

// Still under the claiming stripe. The waiter returns without taking that
// stripe again when nothing else is left to detach, so its stack frame may
// be gone right after the store below, before the wake is made; a wake on a
// stale private futex address is harmless (every futex waiter re-checks its
// condition).
void Publish(Waiter& waiter, DWORD result, DWORD error)
{
    waiter.result = result;
    waiter.error = error;
    waiter.state.store(kDone, std::memory_order_release);
    DeferWake(waiter.state);
}

// A wait-all waiter one of whose objects became signalled: it re-evaluates
// under all its stripes. A waiter already marked needs no second wake.
void AskToRecheck(Waiter& waiter)
{
    std::uint32_t expected = kWaiting;
    if (waiter.state.compare_exchange_strong(expected, kRecheck, std::memory_order_release,
                                             std::memory_order_relaxed))
        DeferWake(waiter.state);
}

// Under every stripe of the waiter.
void DetachLocked(Waiter& waiter)
{
    for (DWORD i = 0; i < waiter.count; ++i)
        if (waiter.links[i].object)
            waiter.links[i].object->Detach(waiter.links[i]);
    if (waiter.queue)
        QueueSetBlockedLocked(waiter.queue, nullptr);
}

// After kDone, under no stripe: the settler detached the link it came
// through (or the queue's); the others may still sit in their lists.
void DetachRemaining(StripeLock& lock, Waiter& waiter)
{
    const bool nothingLeft = (waiter.count == 0 && waiter.satisfiedBy == kByQueue) ||
                             (waiter.count == 1 && !waiter.queue && waiter.satisfiedBy == 0);
    if (nothingLeft)
        return;
    lock.lock();
    DetachLocked(waiter);
    lock.unlock();
}

// Under every stripe of the waiter, woken for a re-check or at its
// deadline. True once the wait is settled (result set, links detached).
bool SettleLocked(Waiter& waiter, bool expired)
{
    std::uint32_t state = waiter.state.load(std::memory_order_acquire);
    if (state == kRecheck) {
        waiter.state.store(kWaiting, std::memory_order_relaxed);
        state = kWaiting;
        if (TrySatisfyLocked(waiter))
            state = kDone;
    }
    if (state == kWaiting && expired) {
        waiter.result = WAIT_TIMEOUT;
        state = kDone;
    }
    if (state != kDone)
        return false;
    waiter.state.store(kDone, std::memory_order_relaxed);
    DetachLocked(waiter);
    return true;
}

}  // namespace

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
        if (IsSignalledFor(waiter.thread)) {
            if (waiter.WaitsForAll()) {
                AskToRecheck(waiter);
            } else if (Claim(waiter)) {
                Acquire(*waiter.owner);
                const auto index = static_cast<DWORD>(link - waiter.links);
                const DWORD result = (TakeAbandoned() ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + index;
                Detach(*link);
                waiter.satisfiedBy = index;
                Publish(waiter, result, ERROR_SUCCESS);
            }
        }
        link = next;
    }
}

void SyncObject::FailAllWaiters()
{
    // Claimed waiters lose their link here too: they detach their remaining
    // links after this object is gone, and must not find it in them.
    while (WaitLink* link = m_head) {
        Waiter& waiter = *link->waiter;
        Detach(*link);
        if (Claim(waiter))
            Publish(waiter, WAIT_FAILED, ERROR_INVALID_HANDLE);
    }
}

void OfferInputLocked(Waiter& waiter)
{
    // A wait-all over objects ignores input, as TrySatisfyLocked does.
    if (waiter.WaitsForAll() || !QueueHasInputLocked(waiter) || !Claim(waiter))
        return;
    QueueSetBlockedLocked(waiter.queue, nullptr);
    waiter.satisfiedBy = kByQueue;
    Publish(waiter, WAIT_OBJECT_0 + waiter.count, ERROR_SUCCESS);
}

bool TrySatisfyLocked(Waiter& waiter)
{
    if (waiter.WaitsForAll()) {
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

DWORD BlockLocked(StripeLock& lock, Waiter& waiter, DWORD milliseconds)
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
    for (;;) {
        const std::uint32_t state = waiter.state.load(std::memory_order_acquire);
        if (state == kDone)
            break;
        if (state == kClaimed) {
            // The claimer publishes before it drops its stripe, and wakes
            // this word after: a short block, never a missed wake.
            FutexWait(waiter.state, kClaimed, nullptr);
            continue;
        }
        const bool expired = timed && std::chrono::steady_clock::now() >= deadline;
        if (state == kWaiting && !expired) {
            FutexWait(waiter.state, kWaiting, timed ? &deadline : nullptr);
            continue;
        }
        lock.lock();
        const bool settled = SettleLocked(waiter, expired);
        lock.unlock();
        if (settled)
            return waiter.result;
    }
    DetachRemaining(lock, waiter);
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
    StripeLock lock;
    for (DWORD i = 0; i < nCount; ++i)
        lock.Add(lpHandles[i]);
    lock.lock();
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
