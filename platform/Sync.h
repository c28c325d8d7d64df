// The MFC synchronisation classes over the kernel objects.
//
// Where MFC throws when the kernel object cannot be created, these leave
// m_hObject NULL; every operation on such an object fails (Lock returns
// FALSE, CMultiLock::Lock returns WAIT_FAILED).
#pragma once

#include "Kernel.h"
#include "Mfc.h"

class TAVRIN_API CSyncObject : public CObject {
public:
    explicit CSyncObject(LPCTSTR pstrName);
    ~CSyncObject() override;

    operator HANDLE() const { return m_hObject; }
    virtual BOOL Lock(DWORD dwTimeout = INFINITE);
    virtual BOOL Unlock() = 0;

    HANDLE m_hObject;
};

class TAVRIN_API CEvent : public CSyncObject {
public:
    explicit CEvent(BOOL bInitiallyOwn = FALSE, BOOL bManualReset = FALSE, LPCTSTR lpszName = nullptr,
                    void* lpsaAttribute = nullptr);

    BOOL SetEvent();
    BOOL ResetEvent();
    BOOL Unlock() override;
};

// Recursive for its owner: a thread that holds it may lock it again and
// must unlock it as many times.
class TAVRIN_API CMutex : public CSyncObject {
public:
    explicit CMutex(BOOL bInitiallyOwn = FALSE, LPCTSTR lpszName = nullptr, void* lpsaAttribute = nullptr);

    BOOL Unlock() override;
};

class TAVRIN_API CSingleLock {
public:
    explicit CSingleLock(CSyncObject* pObject, BOOL bInitialLock = FALSE);
    ~CSingleLock();
    CSingleLock(const CSingleLock&) = delete;
    CSingleLock& operator=(const CSingleLock&) = delete;

    BOOL Lock(DWORD dwTimeOut = INFINITE);
    BOOL Unlock();
    BOOL IsLocked() const { return m_bAcquired; }

private:
    CSyncObject* m_pObject;
    BOOL m_bAcquired = FALSE;
};

// Waits on several objects at once. Lock returns WAIT_OBJECT_0 + index of
// the object that ended a wait-any (the lowest index when several are
// signalled), WAIT_OBJECT_0 for a completed wait-all, or WAIT_TIMEOUT.
class TAVRIN_API CMultiLock {
public:
    static constexpr DWORD kMaxObjects = MAXIMUM_WAIT_OBJECTS;

    CMultiLock(CSyncObject* ppObjects[], DWORD dwCount, BOOL bInitialLock = FALSE);
    ~CMultiLock();
    CMultiLock(const CMultiLock&) = delete;
    CMultiLock& operator=(const CMultiLock&) = delete;

    DWORD Lock(DWORD dwTimeOut = INFINITE, BOOL bWaitForAll = TRUE, DWORD dwWakeMask = 0);
    BOOL Unlock();
    BOOL IsLocked(DWORD dwItem) const;

private:
    CSyncObject* m_ppObjects[kMaxObjects];
    HANDLE m_hObjects[kMaxObjects];
    BOOL m_bLocked[kMaxObjects];
    DWORD m_dwCount;
};
