// POSIX backend of the kernel objects: events, mutexes, threads and waits.
#include "../Kernel.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <new>
#include <thread>
#include <unordered_set>

#include "Futex.h"
#include "WaitCore.h"

namespace tavrin::posix {
namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

thread_local DWORD t_threadId = 0;
std::atomic<DWORD> g_nextThreadId{1};

std::unordered_set<SyncObject*>& LiveObjects()
{
    static auto* live = new std::unordered_set<SyncObject*>();
    return *live;
}

class EventObject final : public SyncObject {
public:
    EventObject(bool manualReset, bool initialState)
        : SyncObject(Kind::Event), manual(manualReset), signalled(initialState)
    {
    }
    bool IsSignalledFor(DWORD) const override { return signalled; }
    void Acquire(DWORD) override
    {
        if (!manual)
            signalled = false;
    }
    bool manual;
    bool signalled;
};

class MutexObject final : public SyncObject {
public:
    MutexObject() : SyncObject(Kind::Mutex) {}
    bool IsSignalledFor(DWORD thread) const override { return count == 0 || owner == thread; }
    void Acquire(DWORD thread) override
    {
        owner = thread;
        ++count;
    }
    bool TakeAbandoned() override
    {
        const bool was = abandoned;
        abandoned = false;
        return was;
    }
    DWORD owner = 0;
    unsigned count = 0;
    // Its owner ended while holding it; the next owner is told so.
    bool abandoned = false;
};

class ThreadObject final : public SyncObject {
public:
    ThreadObject() : SyncObject(Kind::Thread) {}
    bool IsSignalledFor(DWORD) const override { return ended; }

    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;
    DWORD id = 0;
    pid_t tid = 0;  // kernel id, known once the thread runs
    int priority = THREAD_PRIORITY_NORMAL;
    bool ended = false;
    DWORD exitCode = STILL_ACTIVE;
    // 0: suspended, 1: run, 2: discard without running.
    std::atomic<std::uint32_t> gate{0};
};

// Maps the Win32 priority steps onto nice values. Raising priority needs a
// privilege; without it the thread keeps the normal priority.
void ApplyPriority(pid_t tid, int priority)
{
    if (tid != 0)
        setpriority(PRIO_PROCESS, static_cast<id_t>(tid), -priority);
}

void DeleteIfUnreferencedLocked(SyncObject* object)
{
    if (object->handles == 0 && object->internalRefs == 0) {
        LiveObjects().erase(object);
        delete object;
    }
}

}  // namespace

// A thread that ends while it owns mutexes leaves them abandoned: each goes
// to its next waiter with WAIT_ABANDONED_0 instead of blocking it for ever.
void AbandonMutexesOf(DWORD thread)
{
    SyncGuard lock;
    for (SyncObject* object : LiveObjects()) {
        if (object->GetKind() != SyncObject::Kind::Mutex)
            continue;
        auto* mutex = static_cast<MutexObject*>(object);
        if (mutex->count == 0 || mutex->owner != thread)
            continue;
        mutex->count = 0;
        mutex->owner = 0;
        mutex->abandoned = true;
        mutex->OfferToWaiters();
    }
}

namespace {

// Threads not made by CreateThread (std::thread, the main thread) get the
// same treatment when they end, once they have used a thread id.
struct ThreadExit {
    ~ThreadExit()
    {
        if (t_threadId != 0)
            AbandonMutexesOf(t_threadId);
    }
};
thread_local ThreadExit t_exit;

void* ThreadMain(void* arg)
{
    auto* thread = static_cast<ThreadObject*>(arg);
    t_threadId = thread->id;
    while (thread->gate.load(std::memory_order_acquire) == 0)
        FutexWait(thread->gate, 0, nullptr);

    DWORD code = 0xFFFFFFFFu;
    if (thread->gate.load(std::memory_order_acquire) == 1) {
        {
            SyncGuard lock;
            thread->tid = static_cast<pid_t>(syscall(SYS_gettid));
            ApplyPriority(thread->tid, thread->priority);
        }
        code = thread->start(thread->parameter);
    }
    ReleaseCurrentThreadQueue();
    AbandonMutexesOf(thread->id);

    SyncGuard lock;
    thread->ended = true;
    thread->exitCode = code;
    thread->tid = 0;
    thread->OfferToWaiters();
    --thread->internalRefs;
    DeleteIfUnreferencedLocked(thread);
    return nullptr;
}

template <class T>
T* LookupKindLocked(HANDLE handle, SyncObject::Kind kind)
{
    SyncObject* object = LookupLocked(handle);
    if (!object || object->GetKind() != kind)
        return nullptr;
    return static_cast<T*>(object);
}

HANDLE Register(SyncObject* object)
{
    SyncGuard lock;
    LiveObjects().insert(object);
    return object;
}

}  // namespace

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

SyncObject* LookupLocked(HANDLE handle)
{
    auto* object = static_cast<SyncObject*>(handle);
    if (!object || LiveObjects().count(object) == 0 || object->handles == 0)
        return nullptr;
    return object;
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
            waiter.links[i].object->Acquire(waiter.thread);
            if (waiter.links[i].object->TakeAbandoned() && result == WAIT_OBJECT_0)
                result = WAIT_ABANDONED_0 + i;
        }
        waiter.result = result;
        return true;
    }
    for (DWORD i = 0; i < waiter.count; ++i) {
        SyncObject* object = waiter.links[i].object;
        if (object && object->IsSignalledFor(waiter.thread)) {
            object->Acquire(waiter.thread);
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

DWORD WINAPI GetLastError()
{
    return t_lastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    t_lastError = dwErrCode;
}

DWORD WINAPI GetCurrentThreadId()
{
    if (t_threadId == 0) {
        t_threadId = g_nextThreadId.fetch_add(1);
        (void)&t_exit;  // constructs the exit hook of this thread
    }
    return t_threadId;
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

DWORD WINAPI GetTickCount()
{
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

HANDLE WINAPI CreateEventA(void*, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName)
{
    if (lpName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* event = new (std::nothrow) EventObject(bManualReset != FALSE, bInitialState != FALSE);
    if (!event) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return Register(event);
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    SyncGuard lock;
    auto* event = LookupKindLocked<EventObject>(hEvent, SyncObject::Kind::Event);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!event->signalled) {
        event->signalled = true;
        event->OfferToWaiters();
    }
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    SyncGuard lock;
    auto* event = LookupKindLocked<EventObject>(hEvent, SyncObject::Kind::Event);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->signalled = false;
    return TRUE;
}

HANDLE WINAPI CreateMutexA(void*, BOOL bInitialOwner, LPCSTR lpName)
{
    if (lpName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* mutex = new (std::nothrow) MutexObject();
    if (!mutex) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (bInitialOwner)
        mutex->Acquire(GetCurrentThreadId());
    return Register(mutex);
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex)
{
    const DWORD self = GetCurrentThreadId();
    SyncGuard lock;
    auto* mutex = LookupKindLocked<MutexObject>(hMutex, SyncObject::Kind::Mutex);
    if (!mutex) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (mutex->count == 0 || mutex->owner != self) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--mutex->count == 0) {
        mutex->owner = 0;
        mutex->OfferToWaiters();
    }
    return TRUE;
}

HANDLE WINAPI CreateThread(void*, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    if (!lpStartAddress) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* thread = new (std::nothrow) ThreadObject();
    if (!thread) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    thread->start = lpStartAddress;
    thread->parameter = lpParameter;
    thread->id = g_nextThreadId.fetch_add(1);
    thread->internalRefs = 1;
    if (!(dwCreationFlags & CREATE_SUSPENDED))
        thread->gate.store(1);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (dwStackSize)
        pthread_attr_setstacksize(&attr, dwStackSize);
    HANDLE handle = Register(thread);
    pthread_t native;
    const int rc = pthread_create(&native, &attr, ThreadMain, thread);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        SyncGuard lock;
        thread->internalRefs = 0;
        thread->handles = 0;
        DeleteIfUnreferencedLocked(thread);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId)
        *lpThreadId = thread->id;
    return handle;
}

DWORD WINAPI ResumeThread(HANDLE hThread)
{
    SyncGuard lock;
    auto* thread = LookupKindLocked<ThreadObject>(hThread, SyncObject::Kind::Thread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0xFFFFFFFFu;
    }
    if (thread->gate.load() != 0)
        return 0;
    thread->gate.store(1, std::memory_order_release);
    FutexWakeAll(thread->gate);
    return 1;
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority)
{
    SyncGuard lock;
    auto* thread = LookupKindLocked<ThreadObject>(hThread, SyncObject::Kind::Thread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    thread->priority = nPriority;
    ApplyPriority(thread->tid, nPriority);
    return TRUE;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    SyncGuard lock;
    auto* thread = LookupKindLocked<ThreadObject>(hThread, SyncObject::Kind::Thread);
    if (!thread || !lpExitCode) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpExitCode = thread->exitCode;
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    SyncGuard lock;
    SyncObject* object = LookupLocked(hObject);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (--object->handles == 0) {
        object->FailAllWaiters();
        if (object->GetKind() == SyncObject::Kind::Thread) {
            auto* thread = static_cast<ThreadObject*>(object);
            if (thread->gate.load() == 0) {
                thread->gate.store(2, std::memory_order_release);
                FutexWakeAll(thread->gate);
            }
        }
        DeleteIfUnreferencedLocked(object);
    }
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess()
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                            HANDLE* lpTargetHandle, DWORD, BOOL, DWORD)
{
    if (hSourceProcessHandle != GetCurrentProcess() || hTargetProcessHandle != GetCurrentProcess() ||
        !lpTargetHandle) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SyncGuard lock;
    SyncObject* object = LookupLocked(hSourceHandle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ++object->handles;
    *lpTargetHandle = object;
    return TRUE;
}

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
