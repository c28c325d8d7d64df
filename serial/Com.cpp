// CCom: construction, opening and configuring the port, closing it, and the
// state queries.
#include "Com.h"

#include <cstdio>

#include "../core/Waits.h"
#include "../platform/Archive.h"
#include "../res/Resource.h"

namespace {

constexpr DWORD kInQueue = 512;
constexpr DWORD kOutQueue = 4096;

}  // namespace

CCom::CCom(BYTE nPort, DWORD dwBaudRate)
    : m_hCom(INVALID_HANDLE_VALUE),
      m_hEventThread(nullptr),
      m_pEventThreadStop(new CEvent(FALSE, TRUE)),
      m_nComPort(nPort),
      m_byReserved(1),
      m_bStreamReady(0),
      m_nByteSize(8),
      m_nFlowControl(COM_FLOW_XONXOFF),
      m_nParity(NOPARITY),
      m_nStopBits(ONESTOPBIT),
      m_bPortConnected(FALSE),
      m_dwBaudRate(dwBaudRate),
      m_dwModemStatus(0)
{
    InitStream();
}

CCom::CCom(CCom& src)
    : CDevice(src),
      m_hCom(INVALID_HANDLE_VALUE),
      m_hEventThread(nullptr),
      m_pEventThreadStop(new CEvent(FALSE, TRUE)),
      m_nComPort(src.m_nComPort),
      m_byReserved(src.m_byReserved),
      m_bStreamReady(0),
      m_nByteSize(src.m_nByteSize),
      m_nFlowControl(src.m_nFlowControl),
      m_nParity(src.m_nParity),
      m_nStopBits(src.m_nStopBits),
      m_bPortConnected(FALSE),
      m_dwBaudRate(src.m_dwBaudRate),
      m_dwModemStatus(0)
{
    InitStream();
}

CCom::~CCom()
{
    CCom::Disconnect();
    delete m_pEventThreadStop;
}

void CCom::InitStream()
{
    m_bStreamReady = 1;
}

BOOL CCom::Connect(const char* pszDevice, DCB* pDcb)
{
    if (!m_bStreamReady)
        return FALSE;
    // A port that went away by itself leaves its handle and its ended event
    // thread behind; release them before they are replaced.
    if (!m_bConnected)
        ReleasePort();
    if (!CDevice::Connect())
        return FALSE;
    // A start of the workers that failed leaves the device stopped; a port
    // opened without them would read into nothing.
    if (!m_bConnected) {
        CDevice::Disconnect();
        return FALSE;
    }
    m_bPortConnected = FALSE;
    m_bGoneReported = false;

    CString path;
    if (pszDevice) {
        path = pszDevice;
    } else {
        CString format;
        if (!format.LoadString(IDS_COM_DEVICE_PATH))
            format = "\\\\.\\COM%d";
        path.Format(format, static_cast<int>(m_nComPort));
    }
    m_hCom = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (m_hCom == INVALID_HANDLE_VALUE) {
        CDevice::Disconnect();
        return FALSE;
    }
    SetupComm(m_hCom, kInQueue, kOutQueue);
    // A read ends when its buffer is full or 1 ms passes between two
    // characters after the first; writes have no time-out of their own.
    COMMTIMEOUTS timeouts{1, 0, 0, 0, 0};
    SetCommTimeouts(m_hCom, &timeouts);

    BOOL configured;
    if (pDcb) {
        m_dwBaudRate = pDcb->BaudRate;
        m_nByteSize = pDcb->ByteSize;
        m_nParity = pDcb->Parity;
        m_nStopBits = pDcb->StopBits;
        m_nFlowControl = 0;
        if (pDcb->fRtsControl == RTS_CONTROL_HANDSHAKE)
            m_nFlowControl |= COM_FLOW_RTSCTS;
        if (pDcb->fDtrControl == DTR_CONTROL_HANDSHAKE)
            m_nFlowControl |= COM_FLOW_DTRDSR;
        if (pDcb->fOutX || pDcb->fInX)
            m_nFlowControl |= COM_FLOW_XONXOFF;
        configured = SetCommState(m_hCom, pDcb);
    } else {
        configured = ChangeParam();
    }
    if (!configured) {
        FailConnect();
        return FALSE;
    }

    EscapeCommFunction(m_hCom, SETDTR);
    {
        CSingleLock lines(&m_mtxLineCheck, TRUE);
        DWORD status = 0;
        GetCommModemStatus(m_hCom, &status);
        m_dwModemStatus = status;
    }
    // With a caller's settings nothing answering on the line is a failure.
    if (pDcb && m_dwModemStatus == 0) {
        FailConnect();
        return FALSE;
    }

    // Set before the thread starts: its first act writes the connect
    // command, whose script writes through Write, which needs the port
    // counted as connected.
    m_bPortConnected = TRUE;
    m_pEventThreadStop->ResetEvent();
    m_hEventThread = CreateThread(nullptr, 0, EventThreadProc, this, 0, nullptr);
    if (!m_hEventThread) {
        m_bPortConnected = FALSE;
        FailConnect();
        return FALSE;
    }
    return TRUE;
}

void CCom::FailConnect()
{
    CloseHandle(m_hCom);
    m_hCom = INVALID_HANDLE_VALUE;
    CDevice::Disconnect();
}

BOOL CCom::ChangeParam()
{
    if (!m_bStreamReady)
        return FALSE;
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    GetCommState(m_hCom, &dcb);
    dcb.BaudRate = m_dwBaudRate;
    dcb.ByteSize = m_nByteSize;
    dcb.Parity = m_nParity;
    dcb.StopBits = m_nStopBits;
    const bool dtrDsr = (m_nFlowControl & COM_FLOW_DTRDSR) != 0;
    dcb.fOutxDsrFlow = dtrDsr ? 1 : 0;
    dcb.fDtrControl = dtrDsr ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    const bool rtsCts = (m_nFlowControl & COM_FLOW_RTSCTS) != 0;
    dcb.fOutxCtsFlow = rtsCts ? 1 : 0;
    dcb.fRtsControl = rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    const bool xonXoff = (m_nFlowControl & COM_FLOW_XONXOFF) != 0;
    dcb.fOutX = xonXoff ? 1 : 0;
    dcb.fInX = xonXoff ? 1 : 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 10;
    dcb.XoffLim = 256;
    return SetCommState(m_hCom, &dcb);
}

void CCom::StopEventThread()
{
    if (m_hCom != INVALID_HANDLE_VALUE) {
        // Complete the thread's pending event wait and read first.
        SetCommMask(m_hCom, 0);
        EscapeCommFunction(m_hCom, CLRDTR);
        PurgeComm(m_hCom, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    }
    if (m_hEventThread) {
        m_pEventThreadStop->SetEvent();
        // The thread may be notifying a window of this thread, directly or
        // through the workers of a data cycle: answer while waiting.
        tavrin::detail::WaitServingSentMessages(m_hEventThread);
        CloseHandle(m_hEventThread);
        m_hEventThread = nullptr;
    }
}

void CCom::ReleasePort()
{
    StopEventThread();
    if (m_hCom != INVALID_HANDLE_VALUE) {
        CloseHandle(m_hCom);
        m_hCom = INVALID_HANDLE_VALUE;
    }
}

void CCom::Disconnect()
{
    // Teardown goes by what exists, not by the usable flag: a settings
    // record loaded into an open port can clear that flag, and the port,
    // its thread and the workers must still go.
    const bool running = m_hCom != INVALID_HANDLE_VALUE || m_hEventThread || m_pStopEvent;
    if (!m_bStreamReady && !running)
        return;
    StopEventThread();
    // The workers write to the port (a script in progress): they stop
    // before the handle goes, so none of them writes to a closed handle.
    CDevice::Disconnect();
    ReleasePort();
    DisconnectDone();
}

BOOL CCom::IsOK()
{
    return m_bStreamReady ? TRUE : FALSE;
}

BOOL CCom::IsConnected()
{
    return m_bConnected && m_bPortConnected ? TRUE : FALSE;
}

void CCom::GetStatus(BYTE& nPort, DWORD& dwModemStatus)
{
    CSingleLock lines(&m_mtxLineCheck, TRUE);
    nPort = m_nComPort;
    dwModemStatus = m_dwModemStatus;
}

BOOL CCom::GetState(DCB& dcb)
{
    if (m_hCom == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    dcb = DCB{};
    dcb.DCBlength = sizeof(DCB);
    return GetCommState(m_hCom, &dcb);
}

BOOL CCom::SetState(const DCB& dcb)
{
    if (m_hCom == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DCB wanted = dcb;
    wanted.DCBlength = sizeof(DCB);
    if (!SetCommState(m_hCom, &wanted))
        return FALSE;
    DCB now{};
    now.DCBlength = sizeof(DCB);
    if (GetCommState(m_hCom, &now)) {
        m_dwBaudRate = now.BaudRate;
        m_nByteSize = now.ByteSize;
        m_nParity = now.Parity;
        m_nStopBits = now.StopBits;
        m_nFlowControl = static_cast<BYTE>((now.fOutxDsrFlow ? COM_FLOW_DTRDSR : 0) |
                                           (now.fOutxCtsFlow ? COM_FLOW_RTSCTS : 0) |
                                           (now.fOutX ? COM_FLOW_XONXOFF : 0));
    }
    return TRUE;
}

BOOL CCom::Purge(DWORD dwFlags)
{
    if (m_hCom == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return PurgeComm(m_hCom, dwFlags);
}

BOOL CCom::SetBreak(BOOL bOn)
{
    if (m_hCom == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return bOn ? SetCommBreak(m_hCom) : ClearCommBreak(m_hCom);
}

BOOL CCom::SetDtr(BOOL bOn)
{
    if (m_hCom == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return EscapeCommFunction(m_hCom, bOn ? SETDTR : CLRDTR);
}

BOOL CCom::SetRts(BOOL bOn)
{
    if (m_hCom == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return EscapeCommFunction(m_hCom, bOn ? SETRTS : CLRRTS);
}

BOOL CCom::GetModemStatus(DWORD& dwModemStatus)
{
    if (m_hCom == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return GetCommModemStatus(m_hCom, &dwModemStatus);
}

void CCom::Serialize(CArchive& ar)
{
    if (ar.IsStoring()) {
        ar << m_nComPort << m_byReserved << m_bStreamReady << m_nByteSize << m_nFlowControl << m_nParity
           << m_nStopBits << m_dwBaudRate;
    } else {
        // Only the members change: an open port keeps its line settings
        // until the next Connect.
        ar >> m_nComPort >> m_byReserved >> m_bStreamReady >> m_nByteSize >> m_nFlowControl >> m_nParity >>
            m_nStopBits >> m_dwBaudRate;
    }
    CDevice::Serialize(ar);
}
