// CDevice: construction, the worker threads, connect and disconnect, the
// partner link and the loopback write.
#include "Device.h"

#include <new>

#include "../res/Resource.h"
#include "DeviceEngine.h"
#include "Waits.h"

using tavrin::detail::DeviceEngine;
using tavrin::detail::WaitServingSentMessages;

namespace {

constexpr LPTHREAD_START_ROUTINE kThreadTable[WORKER_COUNT] = {PacketThreadProc, ScriptThreadProc,
                                                               DataThreadProc};

}  // namespace

CDevice::CDevice() : m_lstPendingCommands(10), m_pEngine(std::make_unique<DeviceEngine>(*this))
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
    m_pEngine->SetStopEvent(new (std::nothrow) CEvent(FALSE, TRUE));
    bool complete = m_pStopEvent && m_pStopEvent->m_hObject;
    for (int i = 0; i < WORKER_COUNT; ++i) {
        WorkerSlot& slot = m_Workers[i];
        DWORD threadId = 0;
        slot.hThread = CreateThread(nullptr, 0, kThreadTable[i], &slot, CREATE_SUSPENDED, &threadId);
        if (!slot.hThread) {
            complete = false;
            continue;
        }
        m_pEngine->SetWorkerThread(i, threadId);
        slot.pDataDone = &m_evDataDone[i];
        slot.pCommandDone = &m_evCommandDone[i];
        slot.pIdle = &m_evIdle[i];
        for (int e = SLOT_WAIT_SCAN; e < SLOT_WAIT_COUNT; ++e) {
            slot.pWaitObjects[e] = new (std::nothrow) CEvent();
            if (!slot.pWaitObjects[e] || !slot.pWaitObjects[e]->m_hObject)
                complete = false;
        }
        SetThreadPriority(slot.hThread, THREAD_PRIORITY_ABOVE_NORMAL);
        slot.pWaitObjects[SLOT_WAIT_STOP] = m_pStopEvent;
        slot.pOwner = this;
    }
    if (!complete) {
        // The threads have never run: they are ended without entering their
        // loops, and not waited for.
        m_pEngine->ReleaseWorkers(false);
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
    // The courier leaves on the stop event once its job in progress is over;
    // after that nothing handed on can start a cycle.
    m_pEngine->StopCourier();
    // A cycle running on another thread ends once each worker has answered
    // or ended; wait for it so that no cycle touches the slots while they
    // are released.
    WaitServingSentMessages(m_mtxDispatch.m_hObject);
    m_pEngine->ReleaseWorkers(true);
    m_mtxDispatch.Unlock();
}

void CDevice::Disconnect()
{
    // A former partner may be forwarding a block to this device on its own
    // receiving thread; the host may destroy this device as soon as
    // Disconnect returns, so that forward ends first. It ends while the
    // workers still run, so a block it writes here is dispatched as usual.
    DeviceEngine::Link(*this, nullptr);
    m_pEngine->WaitForForwardsIn();
    CloseThreads();
    m_pEngine->DropQueuedTexts();
}

void CDevice::DisconnectEx()
{
    if (m_bConnected && m_bSendDisconnectCommand) {
        constexpr DWORD kDisconnectWait = 60000;
        const DWORD start = GetTickCount();
        // A command that had to be queued must reach the workers before
        // their idleness means anything.
        if (!WriteEx(m_strDisconnectCommand))
            m_pEngine->WaitUntilDrained(kDisconnectWait);
        const DWORD spent = GetTickCount() - start;
        WaitToIdle(static_cast<int>(spent < kDisconnectWait ? kDisconnectWait - spent : 0));
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
    // Idle workers report idle only on their ticks, which they keep only
    // while someone waits here.
    m_pEngine->BeginIdleWatch();
    // The workers may be notifying this thread's window on their way to
    // idle (a disconnect script that waits for an answer, say): handle those
    // messages rather than hold the workers back until the time-out.
    const bool reported = tavrin::detail::WaitForEachServingSentMessages(idle, WORKER_COUNT, timeout);
    m_pEngine->EndIdleWatch();
    return reported ? TRUE : FALSE;
}

void CDevice::LinkDevice(CDevice* pOther)
{
    DeviceEngine::Link(*this, pOther);
}

void CDevice::SetTransparent(BOOL bTransparent)
{
    m_pEngine->SetTransparent(bTransparent != FALSE);
}

BOOL CDevice::IsTransparent()
{
    return DeviceEngine::Transparent(*this) ? TRUE : FALSE;
}

BOOL CDevice::IsLinkedDevice()
{
    return m_pLinkedDevice.load() ? TRUE : FALSE;
}

BOOL CDevice::Write(BYTE* pBuffer, DWORD dwLength)
{
    DataDone(pBuffer, dwLength);
    return TRUE;
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
    // The packet-link worker may be waiting without a time-out: polling
    // needs its tick.
    if (dwMode & MODE_PACKET_POLL)
        m_pEngine->Retime(WORKER_PACKET);
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
