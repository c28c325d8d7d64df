// CDevice: construction, the worker threads, connect and disconnect, the
// partner link and the loopback write.
#include "Device.h"

#include <new>

#include "../res/Resource.h"
#include "Loopback.h"
#include "Waits.h"

using tavrin::detail::LoopbackRelay;
using tavrin::detail::WaitServingSentMessages;

namespace {

constexpr LPTHREAD_START_ROUTINE kThreadTable[WORKER_COUNT] = {PacketThreadProc, ScriptThreadProc,
                                                               DataThreadProc};

}  // namespace

CDevice::CDevice() : m_lstPendingCommands(10)
{
    ClearAllFields();
}

CDevice::CDevice(CDevice& src) : CDevice()
{
    m_bAutoOnline = src.m_bAutoOnline;
    m_bSendDisconnectCommand = src.m_bSendDisconnectCommand;
    m_bSendConnectCommand = src.m_bSendConnectCommand;
    m_strConnectCommand = src.m_strConnectCommand;
    m_strDisconnectCommand = src.m_strDisconnectCommand;
}

CDevice::~CDevice()
{
    CDevice::Disconnect();
    CloseThreads();
}

void CDevice::ClearAllFields()
{
    m_hNotifyWnd = nullptr;
    m_pLinkedDevice = nullptr;
    m_pStopEvent = nullptr;
    m_bConnected = FALSE;
    m_bAutoOnline = FALSE;
    m_bSendDisconnectCommand = FALSE;
    m_bSendConnectCommand = FALSE;
    m_dwMode = 0;
    for (WorkerSlot& slot : m_Workers) {
        slot = WorkerSlot{};
        slot.dwMatchStart = NO_CLAIM;
        slot.dwMatchEnd = NO_CLAIM;
    }
    for (auto& id : m_dwWorkerThreadIds)
        id = 0;
    m_dwCycleThread = 0;
    for (auto& message : m_uMessages)
        message = 0;
}

BOOL CDevice::Connect(CDevice&)
{
    return TRUE;
}

BOOL CDevice::Connect()
{
    if (m_bConnected)
        return FALSE;
    // A link that dropped by itself (DisconnectDone) leaves its workers
    // running; stop them rather than start a second set beside them.
    if (m_pStopEvent)
        CloseThreads();
    InitThreads();
    return TRUE;
}

void CDevice::InitThreads()
{
    CSingleLock dispatch(&m_mtxDispatch, TRUE);
    m_pStopEvent = new (std::nothrow) CEvent(FALSE, TRUE);
    bool complete = m_pStopEvent && m_pStopEvent->m_hObject;
    for (int i = 0; i < WORKER_COUNT; ++i) {
        WorkerSlot& slot = m_Workers[i];
        DWORD threadId = 0;
        slot.hThread = CreateThread(nullptr, 0, kThreadTable[i], &slot, CREATE_SUSPENDED, &threadId);
        if (!slot.hThread) {
            complete = false;
            continue;
        }
        m_dwWorkerThreadIds[i] = threadId;
        slot.pDataDone = &m_evDataDone[i];
        slot.pCommandDone = &m_evCommandDone[i];
        slot.pIdle = &m_evIdle[i];
        for (int e = 1; e <= 4; ++e) {
            slot.pWaitObjects[e] = new (std::nothrow) CEvent();
            if (!slot.pWaitObjects[e] || !slot.pWaitObjects[e]->m_hObject)
                complete = false;
        }
        SetThreadPriority(slot.hThread, THREAD_PRIORITY_ABOVE_NORMAL);
        slot.pWaitObjects[0] = m_pStopEvent;
        slot.pOwner = this;
    }
    if (!complete) {
        // The threads have never run: closing their handles ends them
        // without entering their loops, and they are not waited for.
        ReleaseWorkers(false);
        return;
    }
    // An answer left over from a cycle that was cut short by a stop must not
    // satisfy a cycle of this run.
    for (int i = 0; i < WORKER_COUNT; ++i) {
        m_evDataDone[i].ResetEvent();
        m_evCommandDone[i].ResetEvent();
    }
    m_bConnected = TRUE;
    for (WorkerSlot& slot : m_Workers)
        ResumeThread(slot.hThread);
}

void CDevice::CloseThreads()
{
    if (m_pStopEvent)
        m_pStopEvent->SetEvent();

    // The relay leaves on the stop event once its cycle in progress is over
    // (every worker has answered or ended); after that no more handed-off
    // blocks can start.
    std::unique_ptr<LoopbackRelay> relay;
    {
        std::lock_guard<std::mutex> lock(m_relayLock);
        relay = std::move(m_pLoopback);
    }
    if (relay)
        relay->Join();
    relay.reset();

    // A cycle running on another thread ends once each worker has answered
    // or ended; wait for it so that no cycle touches the slots while they
    // are released.
    WaitServingSentMessages(m_mtxDispatch.m_hObject);
    ReleaseWorkers(true);
    m_mtxDispatch.Unlock();
}

void CDevice::ReleaseWorkers(bool started)
{
    if (m_pStopEvent)
        m_pStopEvent->SetEvent();
    for (int i = 0; i < WORKER_COUNT; ++i) {
        WorkerSlot& slot = m_Workers[i];
        if (slot.hThread) {
            if (started)
                WaitServingSentMessages(slot.hThread);
            CloseHandle(slot.hThread);
        }
        for (int e = 1; e <= 4; ++e) {
            delete slot.pWaitObjects[e];
            slot.pWaitObjects[e] = nullptr;
        }
        slot.hThread = nullptr;
        slot.pWaitObjects[0] = nullptr;
        slot.pDataDone = nullptr;
        slot.pCommandDone = nullptr;
        slot.pIdle = nullptr;
        m_dwWorkerThreadIds[i] = 0;
    }
    delete m_pStopEvent;
    m_pStopEvent = nullptr;
    m_bConnected = FALSE;
}

void CDevice::Disconnect()
{
    if (CDevice* partner = m_pLinkedDevice.load()) {
        partner->m_pLinkedDevice = nullptr;
        m_pLinkedDevice = nullptr;
    }
    CloseThreads();
    CSingleLock pending(&m_mtxPending, TRUE);
    m_lstPendingCommands.RemoveAll();
}

void CDevice::DisconnectEx()
{
    if (m_bConnected && m_bSendDisconnectCommand) {
        WriteEx(m_strDisconnectCommand);
        WaitToIdle(60000);
    }
    EnableNotify(nullptr);
    Disconnect();
}

BOOL CDevice::WaitToIdle(int nTimeout)
{
    for (CEvent& idle : m_evIdle)
        idle.ResetEvent();
    const HANDLE idle[WORKER_COUNT] = {m_evIdle[0], m_evIdle[1], m_evIdle[2]};
    const DWORD timeout = nTimeout < 0 ? INFINITE : static_cast<DWORD>(nTimeout);
    // The workers may be notifying this thread's window on their way to
    // idle (a disconnect script that waits for an answer, say): handle those
    // messages rather than hold the workers back until the time-out.
    return tavrin::detail::WaitForEachServingSentMessages(idle, WORKER_COUNT, timeout) ? TRUE : FALSE;
}

void CDevice::LinkDevice(CDevice* pOther)
{
    if (CDevice* partner = m_pLinkedDevice.load()) {
        partner->m_pLinkedDevice = nullptr;
        m_pLinkedDevice = nullptr;
    }
    if (pOther) {
        pOther->m_pLinkedDevice = this;
        m_pLinkedDevice = pOther;
    }
}

BOOL CDevice::IsLinkedDevice()
{
    return m_pLinkedDevice.load() ? TRUE : FALSE;
}

bool CDevice::IsWorkerThread() const
{
    const DWORD self = GetCurrentThreadId();
    for (const auto& id : m_dwWorkerThreadIds)
        if (id.load() == self)
            return true;
    return false;
}

BOOL CDevice::Write(BYTE* pBuffer, DWORD dwLength)
{
    DataDone(pBuffer, dwLength);
    return TRUE;
}

bool CDevice::MustHandOff() const
{
    const DWORD self = GetCurrentThreadId();
    return IsWorkerThread() || m_dwCycleThread.load() == self || m_dwHandlerThread.load() == self;
}

void CDevice::HandOffToRelay(BYTE* pBuffer, DWORD dwLength)
{
    std::lock_guard<std::mutex> lock(m_relayLock);
    // m_pStopEvent is stable here: the workers exist while one of them runs.
    if (!m_pStopEvent || WaitForSingleObject(m_pStopEvent->m_hObject, 0) == WAIT_OBJECT_0)
        return;
    if (!m_pLoopback) {
        auto relay = std::make_unique<LoopbackRelay>(*this, *m_pStopEvent);
        if (!relay->Start())
            return;  // no thread to carry it: the block is lost, not deadlocked on
        m_pLoopback = std::move(relay);
    }
    m_pLoopback->Push(pBuffer, dwLength);
}

BOOL CDevice::DoListening()
{
    return TRUE;
}

BOOL CDevice::Read(BYTE*, DWORD&)
{
    return TRUE;
}

BOOL CDevice::ChangeMode(DWORD dwMode)
{
    m_dwMode = dwMode;
    return TRUE;
}

void CDevice::SendBreak() {}

void CDevice::GetName(CString& strName)
{
    if (!strName.LoadString(IDS_LOOPBACK_NAME))
        strName = "Loopback";
}

int* CDevice::GetIndicators(int& nCount)
{
    nCount = 0;
    return nullptr;
}

BOOL CDevice::IsOK()
{
    return TRUE;
}

BOOL CDevice::IsConnected()
{
    return m_bConnected;
}

BOOL CDevice::IsControlEnabled(UINT)
{
    return FALSE;
}

BOOL CDevice::IsAutoOnline()
{
    return m_bAutoOnline;
}
