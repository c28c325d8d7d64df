#include "../Sync.h"
#include "../Window.h"

CSyncObject::CSyncObject(LPCTSTR) : m_hObject(nullptr) {}

CSyncObject::~CSyncObject()
{
    if (m_hObject)
        CloseHandle(m_hObject);
}

BOOL CSyncObject::Lock(DWORD dwTimeout)
{
    if (!m_hObject)
        return FALSE;
    // An abandoned mutex is acquired all the same.
    const DWORD result = WaitForSingleObject(m_hObject, dwTimeout);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED_0 ? TRUE : FALSE;
}

CEvent::CEvent(BOOL bInitiallyOwn, BOOL bManualReset, LPCTSTR lpszName, void* lpsaAttribute) : CSyncObject(lpszName)
{
    m_hObject = CreateEventA(static_cast<LPSECURITY_ATTRIBUTES>(lpsaAttribute), bManualReset, bInitiallyOwn, lpszName);
}

BOOL CEvent::SetEvent()
{
    return m_hObject ? ::SetEvent(m_hObject) : FALSE;
}

BOOL CEvent::ResetEvent()
{
    return m_hObject ? ::ResetEvent(m_hObject) : FALSE;
}

BOOL CEvent::Unlock()
{
    return TRUE;
}

CMutex::CMutex(BOOL bInitiallyOwn, LPCTSTR lpszName, void* lpsaAttribute) : CSyncObject(lpszName)
{
    m_hObject = CreateMutexA(static_cast<LPSECURITY_ATTRIBUTES>(lpsaAttribute), bInitiallyOwn, lpszName);
}

BOOL CMutex::Unlock()
{
    return m_hObject ? ::ReleaseMutex(m_hObject) : FALSE;
}

CSingleLock::CSingleLock(CSyncObject* pObject, BOOL bInitialLock) : m_pObject(pObject)
{
    if (bInitialLock)
        Lock();
}

CSingleLock::~CSingleLock()
{
    Unlock();
}

BOOL CSingleLock::Lock(DWORD dwTimeOut)
{
    if (!m_bAcquired && m_pObject)
        m_bAcquired = m_pObject->Lock(dwTimeOut);
    return m_bAcquired;
}

BOOL CSingleLock::Unlock()
{
    if (m_bAcquired && m_pObject)
        m_bAcquired = !m_pObject->Unlock();
    return !m_bAcquired;
}

CMultiLock::CMultiLock(CSyncObject* ppObjects[], DWORD dwCount, BOOL bInitialLock)
    : m_ppObjects{}, m_hObjects{}, m_bLocked{}, m_dwCount(dwCount <= kMaxObjects ? dwCount : 0)
{
    for (DWORD i = 0; i < m_dwCount; ++i) {
        m_ppObjects[i] = ppObjects[i];
        m_hObjects[i] = ppObjects[i] ? ppObjects[i]->m_hObject : nullptr;
    }
    if (bInitialLock)
        Lock();
}

CMultiLock::~CMultiLock()
{
    Unlock();
}

DWORD CMultiLock::Lock(DWORD dwTimeOut, BOOL bWaitForAll, DWORD dwWakeMask)
{
    if (m_dwCount == 0)
        return WAIT_FAILED;
    for (DWORD i = 0; i < m_dwCount; ++i)
        if (!m_hObjects[i])
            return WAIT_FAILED;
    DWORD result;
    if (dwWakeMask)
        result = MsgWaitForMultipleObjects(m_dwCount, m_hObjects, bWaitForAll, dwTimeOut, dwWakeMask);
    else
        result = WaitForMultipleObjects(m_dwCount, m_hObjects, bWaitForAll, dwTimeOut);
    // An abandoned mutex is owned all the same.
    const DWORD base = result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + m_dwCount ? WAIT_ABANDONED_0
                                                                                          : WAIT_OBJECT_0;
    if (result - base < m_dwCount) {
        if (bWaitForAll) {
            for (DWORD i = 0; i < m_dwCount; ++i)
                m_bLocked[i] = TRUE;
        } else {
            m_bLocked[result - base] = TRUE;
        }
    }
    return result;
}

BOOL CMultiLock::Unlock()
{
    for (DWORD i = 0; i < m_dwCount; ++i)
        if (m_bLocked[i]) {
            m_ppObjects[i]->Unlock();
            m_bLocked[i] = FALSE;
        }
    return TRUE;
}

BOOL CMultiLock::IsLocked(DWORD dwItem) const
{
    return dwItem < m_dwCount ? m_bLocked[dwItem] : FALSE;
}
