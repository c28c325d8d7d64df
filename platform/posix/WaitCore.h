// Internal to the POSIX backend: the waitable-object core shared by the
// kernel objects (Threads.cpp, Handles.cpp, Events.cpp, Mutexes.cpp,
// Waits.cpp) and the message queues (Window.cpp).
//
// All waitable state lives under one process-wide lock. A waiter links
// itself into the wait list of every object it waits on; whoever changes an
// object's state offers the signal to the linked waiters in arrival order,
// and a waiter that can be satisfied is satisfied right there (an auto-reset
// event is consumed, a mutex changes owner) before it is woken. A woken
// waiter therefore never competes again for what it was given, and exactly
// one waiter takes an auto-reset signal, as on Win32.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "../Types.h"

namespace tavrin::posix {

std::mutex& SyncLock();

// Holds SyncLock(). Wakes that fall due while it is held are made when it is
// released, so that a woken thread does not run straight into the lock.
class SyncGuard {
public:
    SyncGuard() { lock(); }
    ~SyncGuard()
    {
        if (m_owns)
            unlock();
    }
    SyncGuard(const SyncGuard&) = delete;
    SyncGuard& operator=(const SyncGuard&) = delete;

    void lock();
    void unlock();

private:
    bool m_owns = false;
};

// Under SyncLock(): wake the futex word once the lock is released.
void DeferWake(std::atomic<std::uint32_t>& word);

class SyncObject;
class MutexObject;
struct ThreadQueue;
struct Waiter;

// What the backend keeps of a thread that has used its waits. The mutexes a
// thread owns are linked here, so that its end costs what it owns and never
// a walk over the objects of the whole process.
struct ThreadRecord {
    DWORD id = 0;
    // Under SyncLock(): the first of the mutexes this thread owns.
    MutexObject* ownedMutexes = nullptr;
    // Under SyncLock(): the thread's owned mutexes have been abandoned. The
    // record's storage ends with the thread, so a mutex taken after this
    // (by a later thread-exit destructor) is not linked to it.
    bool ended = false;
};

// The calling thread's record; its id is set by GetCurrentThreadId().
ThreadRecord& CurrentThreadRecord();

struct WaitLink {
    Waiter* waiter = nullptr;
    SyncObject* object = nullptr;
    WaitLink* prev = nullptr;
    WaitLink* next = nullptr;
};

struct Waiter {
    DWORD thread = 0;
    // Every waiter is built on the thread that waits; a mutex given to it
    // is linked to this record.
    ThreadRecord* owner = &CurrentThreadRecord();
    bool waitAll = false;
    DWORD count = 0;
    WaitLink links[MAXIMUM_WAIT_OBJECTS];
    // Non-null: message input of this kind for the thread also ends the wait,
    // with the result WAIT_OBJECT_0 + count.
    ThreadQueue* queue = nullptr;
    DWORD inputMask = 0;
    // Posted messages count as new input only once the queue's post count
    // moves past this value.
    std::uint64_t seenPosts = 0;
    DWORD result = WAIT_TIMEOUT;
    DWORD error = ERROR_SUCCESS;
    std::atomic<std::uint32_t> state{0};
};

class SyncObject {
public:
    enum class Kind { Event, Mutex, Thread, CommFile };

    explicit SyncObject(Kind kind) : m_kind(kind) {}
    virtual ~SyncObject() = default;
    SyncObject(const SyncObject&) = delete;
    SyncObject& operator=(const SyncObject&) = delete;

    Kind GetKind() const { return m_kind; }

    // All of the following run under SyncLock().
    virtual bool IsSignalledFor(DWORD thread) const = 0;
    virtual void Acquire(ThreadRecord& thread) { (void)thread; }
    // After Acquire: true once for a mutex whose former owner ended holding it.
    virtual bool TakeAbandoned() { return false; }
    void Attach(WaitLink& link);
    void Detach(WaitLink& link);
    // The object may have become signalled: satisfy the waiters that can be.
    void OfferToWaiters();
    // The object is going away: every waiter on it fails.
    void FailAllWaiters();
    // Its last handle has just been closed; it is deleted unless the
    // backend still holds it.
    virtual void OnLastHandleClosed() {}
    // Work for the last handle's close that cannot run under SyncLock() (a
    // comm file ends its operations and joins its threads): CloseHandle
    // runs it after dropping the lock, holding a backend reference so that
    // the object outlives it.
    virtual bool ClosesOutsideLock() const { return false; }
    virtual void CloseOutsideLock() {}

    int handles = 1;       // open handles
    int internalRefs = 0;  // references the backend holds (a running thread)

private:
    Kind m_kind;
    WaitLink* m_head = nullptr;
    WaitLink* m_tail = nullptr;
};

// The handle table (Handles.cpp). A handle is the object's address, checked
// against the set of live objects, so a lookup costs one hash probe.
HANDLE RegisterObject(SyncObject* object);
// Under SyncLock(): resolve a handle to a live object, or nullptr.
SyncObject* LookupLocked(HANDLE handle);
// Under SyncLock(): delete the object once no handle and no backend
// reference is left.
void DeleteIfUnreferencedLocked(SyncObject* object);

template <class T>
T* LookupKindLocked(HANDLE handle, SyncObject::Kind kind)
{
    SyncObject* object = LookupLocked(handle);
    if (!object || object->GetKind() != kind)
        return nullptr;
    return static_cast<T*>(object);
}

// Under SyncLock(): satisfy the waiter now if it can be.
bool TrySatisfyLocked(Waiter& waiter);
// Under SyncLock(): unlink the waiter everywhere and wake it with a result.
void FinishLocked(Waiter& waiter, DWORD result, DWORD error);
// Called with the lock held and the waiter not satisfiable: links it, drops
// the lock (making the wakes it owes), blocks until satisfied or timed out, and returns the result with
// the lock released.
DWORD BlockLocked(SyncGuard& lock, Waiter& waiter, DWORD milliseconds);

// Under no lock, on the ending thread: releases, as abandoned, every mutex
// the thread still owns (Mutexes.cpp).
void AbandonOwnedMutexes(ThreadRecord& thread);

// Provided by the message-queue code (Window.cpp).
bool QueueHasInputLocked(const Waiter& waiter);
void QueueSetBlockedLocked(ThreadQueue* queue, Waiter* waiter);
// Ends the calling thread's message queue: its windows are destroyed and
// any sender waiting on them is released with 0.
void ReleaseCurrentThreadQueue();

}  // namespace tavrin::posix
