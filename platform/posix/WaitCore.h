// Internal to the POSIX backend: the waitable-object core shared by the
// kernel objects (Threads.cpp, Handles.cpp, Events.cpp, Mutexes.cpp,
// Waits.cpp) and the message queues (Window.cpp).
//
// A waiter links itself into the wait list of every object it waits on;
// whoever changes an object's state offers the signal to the linked waiters
// in arrival order, and a waiter that can be satisfied is satisfied right
// there (an auto-reset event is consumed, a mutex changes owner) before it
// is woken. A woken waiter therefore never competes again for what it was
// given, and exactly one waiter takes an auto-reset signal, as on Win32.
//
// Locking. A process serving thousands of devices has tens of thousands of
// objects, nearly all of them touched by two or three threads only; one
// lock for all of them made every SetEvent and every wait meet every other
// on one cache line and one futex. State is therefore guarded per object,
// by one of kStripeCount stripe locks chosen by hashing the object's
// address. A HANDLE is that address, so the stripe is known before the
// handle is looked up, and the handle table is sharded by the same stripes
// (a lookup is one probe under a lock the caller already holds). A thread's
// message queue is one more lockable object, striped by its address.
// Striping rather than a lock inside each object: deleting an object has to
// serialise with everyone who might be looking it up or waiting on it, and a
// lock inside the object would die with it.
//
//  - An operation on one object (SetEvent, ReleaseMutex, a wait on one
//    object, a thread's end, CloseHandle) holds that object's stripe only.
//  - A wait on several objects takes their distinct stripes, and its
//    queue's, in ascending order, to test and link itself atomically.
//  - A signaller holds only its own object's stripe, so it cannot look at
//    the waiter's other objects. It claims a wait-any waiter with a CAS on
//    the waiter's state (a signaller of another of its objects may race for
//    it; one wins), acquires the object for it, detaches that one link and
//    publishes the result. The woken waiter detaches its remaining links
//    itself, under their stripes, before its frame (which holds the links)
//    goes; signallers skip waiters that are already claimed.
//  - Lowest index: a linked wait-any waiter never has a signalled object,
//    because an offer of an object that stays signalled satisfies every
//    waiter on it. So the object offered is the lowest signalled index of
//    the waiter at that moment, and a concurrent claim through another
//    object orders that object's signal first.
//  - A wait-all waiter cannot be settled by one signaller; the signaller
//    only marks it for a re-check and wakes it, and the waiter takes all
//    its stripes and acquires everything at once or blocks again. A
//    wait-any waiter further down the list may take an auto-reset signal
//    that the old single lock would have given to the earlier wait-all
//    waiter: the order among waiters of different kinds may differ, what
//    each waiter is given may not.
//  - Mutex ownership lists of a thread (ThreadRecord) are changed by
//    whoever gives or takes a mutex, under that mutex's stripe, and guarded
//    by the record's own lock, always taken after a stripe.
//  - Leaf locks (the window table's shards, the thread-queue map) are
//    taken under a stripe or alone, and never hold anything else.
//  - A port's own mutex (CommPort) is taken before the stripe of the
//    events it sets, never the other way round.
// Wakes still wait until the waker holds no stripe at all.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "../Types.h"
#include "Futex.h"

namespace tavrin::posix {

// 128 stripes: with a few threads per object, two unrelated objects share a
// stripe with a chance of 1 in 128, and a wait on 6 objects takes at most 7
// of them. More stripes would only cost memory; the hold times are a few
// list steps.
constexpr std::size_t kStripeCount = 128;

// The stripe that guards the object (or queue) at this address.
std::size_t StripeOf(const void* address);

// Holds the stripes of one or more addresses, taken in ascending order.
// Wakes that fall due while any stripe is held by this thread are made once
// it holds none, so that a woken thread does not run straight into a lock.
class StripeLock {
public:
    StripeLock() = default;
    // Takes the stripe of one address at once.
    explicit StripeLock(const void* address)
    {
        Add(address);
        lock();
    }
    ~StripeLock()
    {
        if (m_owns)
            unlock();
    }
    StripeLock(const StripeLock&) = delete;
    StripeLock& operator=(const StripeLock&) = delete;

    // Before lock(): one more address to cover (a repeated stripe is taken
    // once).
    void Add(const void* address);
    void lock();
    void unlock();

private:
    std::uint8_t m_stripes[MAXIMUM_WAIT_OBJECTS + 1] = {};
    int m_count = 0;
    bool m_owns = false;
};

// Under a stripe: wake the futex word once this thread holds none.
void DeferWake(std::atomic<std::uint32_t>& word);

// A blocking lock in one futex word: trivially destructible and constant-
// initialised, so it can live in a thread record that stays readable after
// its thread's exit hooks ran.
class WordLock {
public:
    void lock()
    {
        std::uint32_t state = 0;
        if (m_word.compare_exchange_strong(state, 1, std::memory_order_acquire))
            return;
        // 2: held, and someone may be blocked on it.
        if (state != 2)
            state = m_word.exchange(2, std::memory_order_acquire);
        while (state != 0) {
            FutexWait(m_word, 2, nullptr);
            state = m_word.exchange(2, std::memory_order_acquire);
        }
    }
    void unlock()
    {
        if (m_word.exchange(0, std::memory_order_release) == 2)
            FutexWakeOne(m_word);
    }

private:
    std::atomic<std::uint32_t> m_word{0};
};

class SyncObject;
class MutexObject;
struct ThreadQueue;
struct Waiter;

// What the backend keeps of a thread that has used its waits. The mutexes a
// thread owns are linked here, so that its end costs what it owns and never
// a walk over the objects of the whole process.
struct ThreadRecord {
    DWORD id = 0;
    // Guards the two members below; taken after a mutex's stripe, since a
    // mutex is linked and unlinked under its stripe by whichever thread
    // gives it, takes it or deletes it.
    WordLock lock;
    // The first of the mutexes this thread owns.
    MutexObject* ownedMutexes = nullptr;
    // The thread's owned mutexes have been abandoned. The record's storage
    // ends with the thread, so a mutex taken after this (by a later
    // thread-exit destructor) is not linked to it.
    bool ended = false;
};

// The calling thread's record; its id is set by GetCurrentThreadId().
ThreadRecord& CurrentThreadRecord();

struct WaitLink {
    Waiter* waiter = nullptr;
    // Under the object's stripe: the object whose list holds this link, or
    // nullptr once it has left the list.
    SyncObject* object = nullptr;
    WaitLink* prev = nullptr;
    WaitLink* next = nullptr;
};

// Waiter::state. A waiter is linked in kWaiting; a signaller takes it to
// kClaimed (a CAS, so one signaller wins) and, still under its stripe, to
// kDone with the result; a wait-all waiter is moved to kRecheck by a
// signaller that cannot settle it. kClaimed is only ever seen by a thread
// holding none of the waiter's stripes: the claimer holds one of them until
// it has published.
enum WaitState : std::uint32_t { kWaiting = 0, kRecheck = 1, kClaimed = 2, kDone = 3 };

// Waiter::satisfiedBy when no link was detached by the one who settled the
// wait, or when the queue settled it.
constexpr DWORD kNoLink = 0xFFFFFFFFu;
constexpr DWORD kByQueue = 0xFFFFFFFEu;

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
    // Written by whoever settles the wait, before kDone is published.
    DWORD result = WAIT_TIMEOUT;
    DWORD error = ERROR_SUCCESS;
    DWORD satisfiedBy = kNoLink;
    std::atomic<std::uint32_t> state{kWaiting};

    // Wait-all over objects; a wait-all with no object is a wait for input.
    bool WaitsForAll() const { return waitAll && count > 0; }
};

class SyncObject {
public:
    enum class Kind { Event, Mutex, Thread, CommFile };

    explicit SyncObject(Kind kind) : m_kind(kind) {}
    virtual ~SyncObject() = default;
    SyncObject(const SyncObject&) = delete;
    SyncObject& operator=(const SyncObject&) = delete;

    Kind GetKind() const { return m_kind; }

    // All of the following run under the object's stripe.
    virtual bool IsSignalledFor(DWORD thread) const = 0;
    virtual void Acquire(ThreadRecord& thread) { (void)thread; }
    // After Acquire: true once for a mutex whose former owner ended holding it.
    virtual bool TakeAbandoned() { return false; }
    void Attach(WaitLink& link);
    void Detach(WaitLink& link);
    // The object may have become signalled: satisfy the waiters that can be.
    void OfferToWaiters();
    // The object is going away: every waiter on it fails, and no link of
    // any waiter stays in its list.
    void FailAllWaiters();
    // Its last handle has just been closed; it is deleted unless the
    // backend still holds it.
    virtual void OnLastHandleClosed() {}
    // Work for the last handle's close that cannot run under a stripe (a
    // comm file ends its operations and joins its threads, which set
    // events): CloseHandle runs it after dropping the stripe, holding a
    // backend reference so that the object outlives it.
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
// against the set of live objects of its stripe, so a lookup costs one hash
// probe under the stripe the caller holds anyway.
HANDLE RegisterObject(SyncObject* object);
// Under the handle's stripe: resolve a handle to a live object, or nullptr.
SyncObject* LookupLocked(HANDLE handle);
// Under the object's stripe: delete the object once no handle and no
// backend reference is left.
void DeleteIfUnreferencedLocked(SyncObject* object);

template <class T>
T* LookupKindLocked(HANDLE handle, SyncObject::Kind kind)
{
    SyncObject* object = LookupLocked(handle);
    if (!object || object->GetKind() != kind)
        return nullptr;
    return static_cast<T*>(object);
}

// Under every stripe of the waiter's objects and queue: satisfy the waiter
// now if it can be (the lowest signalled index of a wait-any, everything of
// a wait-all, else input).
bool TrySatisfyLocked(Waiter& waiter);
// Under the stripe of the waiter's queue: new input may end its wait.
void OfferInputLocked(Waiter& waiter);
// Called with `lock` covering the waiter's objects and queue, held, and the
// waiter not satisfiable: links it, drops the lock (making the wakes it
// owes), blocks until satisfied or timed out, unlinks it everywhere, and
// returns the result with the lock released.
DWORD BlockLocked(StripeLock& lock, Waiter& waiter, DWORD milliseconds);

// Under no lock, on the ending thread: releases, as abandoned, every mutex
// the thread still owns (Mutexes.cpp).
void AbandonOwnedMutexes(ThreadRecord& thread);

// Provided by the message-queue code (Window.cpp), under the queue's stripe.
bool QueueHasInputLocked(const Waiter& waiter);
void QueueSetBlockedLocked(ThreadQueue* queue, Waiter* waiter);
// Ends the calling thread's message queue: its windows are destroyed and
// any sender waiting on them is released with 0.
void ReleaseCurrentThreadQueue();

}  // namespace tavrin::posix
