// POSIX backend of the mutexes: recursive, owned by a thread, and abandoned
// to the next waiter when their owner ends holding them.
#include "../Kernel.h"

#include <mutex>
#include <new>

#include "WaitCore.h"

namespace tavrin::posix {

// A held mutex is linked into its owner's ThreadRecord from the first
// acquisition until its count returns to zero, it is abandoned, or it is
// deleted. Its own state is under its stripe; the links between the mutexes
// of one record are under that record's lock, since mutexes of different
// stripes share the list (a signaller giving one mutex to a waiter while
// another thread deletes a second mutex of the same owner).
class MutexObject final : public SyncObject {
public:
    MutexObject() : SyncObject(Kind::Mutex) {}
    // A mutex closed while held leaves its owner's list, so the owner's end
    // never reaches a deleted object.
    ~MutexObject() override { UnlinkFromOwner(); }

    bool IsSignalledFor(DWORD thread) const override { return count == 0 || owner == thread; }
    void Acquire(ThreadRecord& thread) override
    {
        if (count++ == 0) {
            owner = thread.id;
            LinkToOwner(thread);
        }
    }
    bool TakeAbandoned() override
    {
        const bool was = abandoned;
        abandoned = false;
        return was;
    }

    // Returns false when the thread does not own it.
    bool Release(DWORD thread)
    {
        if (count == 0 || owner != thread)
            return false;
        if (--count == 0) {
            UnlinkFromOwner();
            owner = 0;
            OfferToWaiters();
        }
        return true;
    }

    void Abandon()
    {
        UnlinkFromOwner();
        count = 0;
        owner = 0;
        abandoned = true;
        OfferToWaiters();
    }

private:
    void LinkToOwner(ThreadRecord& thread)
    {
        std::lock_guard guard(thread.lock);
        if (thread.ended)
            return;
        m_ownerRecord = &thread;
        m_prevOwned = nullptr;
        m_nextOwned = thread.ownedMutexes;
        if (m_nextOwned)
            m_nextOwned->m_prevOwned = this;
        thread.ownedMutexes = this;
    }

    void UnlinkFromOwner()
    {
        if (!m_ownerRecord)
            return;
        std::lock_guard guard(m_ownerRecord->lock);
        if (m_prevOwned)
            m_prevOwned->m_nextOwned = m_nextOwned;
        else
            m_ownerRecord->ownedMutexes = m_nextOwned;
        if (m_nextOwned)
            m_nextOwned->m_prevOwned = m_prevOwned;
        m_ownerRecord = nullptr;
        m_prevOwned = m_nextOwned = nullptr;
    }

    DWORD owner = 0;
    unsigned count = 0;
    // Its owner ended while holding it; the next owner is told so.
    bool abandoned = false;
    ThreadRecord* m_ownerRecord = nullptr;
    MutexObject* m_prevOwned = nullptr;
    MutexObject* m_nextOwned = nullptr;
};

// A thread that ends while it owns mutexes leaves them abandoned: each goes
// to its next waiter with WAIT_ABANDONED_0 instead of blocking it for ever.
// Once the record is marked ended nothing is linked to it again (the ending
// thread waits for nothing, and LinkToOwner refuses it), so the list only
// shrinks. A mutex's stripe comes before the record's lock, so the first
// mutex is read under the record's lock alone and checked again under its
// stripe: meanwhile another thread may have closed and deleted it, which
// unlinks it first.
void AbandonOwnedMutexes(ThreadRecord& thread)
{
    {
        std::lock_guard guard(thread.lock);
        thread.ended = true;
    }
    for (;;) {
        MutexObject* first;
        {
            std::lock_guard guard(thread.lock);
            first = thread.ownedMutexes;
        }
        if (!first)
            return;
        StripeLock lock(static_cast<SyncObject*>(first));
        bool stillOwned;
        {
            std::lock_guard guard(thread.lock);
            stillOwned = thread.ownedMutexes == first;
        }
        if (stillOwned)
            first->Abandon();
    }
}

}  // namespace tavrin::posix

using namespace tavrin::posix;

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
    if (bInitialOwner) {
        GetCurrentThreadId();  // gives the record its id
        StripeLock lock(static_cast<SyncObject*>(mutex));
        mutex->Acquire(CurrentThreadRecord());
    }
    return RegisterObject(mutex);
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex)
{
    const DWORD self = GetCurrentThreadId();
    StripeLock lock(hMutex);
    auto* mutex = LookupKindLocked<MutexObject>(hMutex, SyncObject::Kind::Mutex);
    if (!mutex) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!mutex->Release(self)) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}
