// The serial event thread: one read and one comm-event wait always
// outstanding; received bytes go to the receive engine, events and line
// errors to the host as texts.
#include "Com.h"

#include "../res/Resource.h"

namespace {

constexpr DWORD kEventMask = EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;
constexpr DWORD kReadSize = 1024;
// Only an operation that failed at once is retried after this; with both
// outstanding the thread sleeps until one completes or the port closes, so
// an idle port wakes nobody.
constexpr DWORD kRetryWait = 500;

struct LineRow {
    DWORD flag;
    UINT text;
};

// Searched for the row equal to the whole error word: two errors at once
// match no row and report nothing.
constexpr LineRow kLineErrors[] = {
    {CE_BREAK, IDS_COM_LINE_BREAK},       {CE_FRAME, IDS_COM_LINE_FRAME},   {CE_IOE, IDS_COM_LINE_IOE},
    {CE_MODE, IDS_COM_LINE_MODE},         {CE_OVERRUN, IDS_COM_LINE_OVERRUN}, {CE_RXOVER, IDS_COM_LINE_RXOVER},
    {CE_RXPARITY, IDS_COM_LINE_RXPARITY}, {CE_TXFULL, IDS_COM_LINE_TXFULL}, {CE_DNS, IDS_COM_LINE_DNS},
    {CE_PTO, IDS_COM_LINE_PTO},           {CE_OOP, IDS_COM_LINE_OOP},
};

struct StatusRow {
    DWORD event;
    DWORD status;
    UINT text;
};

// In priority order: one call reports at most one of them.
constexpr StatusRow kStatusLines[] = {
    {EV_RING, MS_RING_ON, IDS_COM_RING},
    {EV_CTS, MS_CTS_ON, IDS_COM_CTS},
    {EV_DSR, MS_DSR_ON, IDS_COM_DSR},
    {EV_RLSD, MS_RLSD_ON, IDS_COM_RLSD},
};

struct Report {
    UINT text = 0;
    DWORD code = 0;
};

bool IsPortGone(DWORD error)
{
    return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_GEN_FAILURE || error == ERROR_INVALID_HANDLE;
}

// The manual-reset events and operation records of the two outstanding
// operations, released however the thread ends.
struct Operations {
    Operations()
    {
        read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~Operations()
    {
        if (read.hEvent)
            CloseHandle(read.hEvent);
        if (wait.hEvent)
            CloseHandle(wait.hEvent);
    }
    Operations(const Operations&) = delete;
    Operations& operator=(const Operations&) = delete;

    bool Created() const { return read.hEvent && wait.hEvent; }

    // CancelIo only asks: an operation still completes afterwards, writing
    // its count and event word into this thread's frame. Collected before
    // the frame goes (Wine's comm-event wait ends this way some time later).
    void Finish(HANDLE hCom, bool readPending, bool waitPending)
    {
        CancelIo(hCom);
        DWORD unused = 0;
        if (readPending)
            GetOverlappedResult(hCom, &read, &unused, TRUE);
        if (waitPending)
            GetOverlappedResult(hCom, &wait, &unused, TRUE);
    }

    OVERLAPPED read{};
    OVERLAPPED wait{};
};

}  // namespace

DWORD WINAPI CCom::EventThreadProc(LPVOID pCom)
{
    if (!pCom)
        return 0xFFFFFFFFu;
    return static_cast<CCom*>(pCom)->RunEventThread();
}

DWORD CCom::RunEventThread()
{
    Operations ops;
    if (!ops.Created())
        return 0;
    SetCommMask(m_hCom, kEventMask);
    ConnectDone();

    BYTE buffer[kReadSize];
    DWORD events = 0;
    bool readPending = false;
    bool waitPending = false;
    for (;;) {
        bool failedAtOnce = false;
        if (!readPending) {
            DWORD bytes = 0;
            DWORD none = 0;
            ResetEvent(ops.read.hEvent);
            if (ReadFile(m_hCom, buffer, kReadSize, &bytes, &ops.read)) {
                if (bytes)
                    DataDone(buffer, bytes);
                OnMessageError(none);
            } else {
                const DWORD error = GetLastError();
                if (error == ERROR_IO_PENDING) {
                    readPending = true;
                } else {
                    OnMessageError(none);
                    if (IsPortGone(error)) {
                        ops.Finish(m_hCom, false, waitPending);
                        PortGone();
                        return 1;
                    }
                    failedAtOnce = true;
                }
            }
        }
        if (!waitPending) {
            events = 0;
            ResetEvent(ops.wait.hEvent);
            if (WaitCommEvent(m_hCom, &events, &ops.wait)) {
                OnMessageError(events);
            } else if (GetLastError() == ERROR_IO_PENDING) {
                waitPending = true;
            } else {
                OnMessageError(events);
                failedAtOnce = true;
            }
        }
        // An operation that completed at once is started again at once; one
        // that failed is retried only after the wait below, so a port that
        // keeps refusing it cannot make this loop spin past a stop request.
        if ((!readPending || !waitPending) && !failedAtOnce)
            continue;

        HANDLE objects[3];
        int kinds[3];
        DWORD count = 0;
        objects[count] = m_pEventThreadStop->m_hObject;
        kinds[count++] = 0;
        if (readPending) {
            objects[count] = ops.read.hEvent;
            kinds[count++] = 1;
        }
        if (waitPending) {
            objects[count] = ops.wait.hEvent;
            kinds[count++] = 2;
        }
        const DWORD result = WaitForMultipleObjects(count, objects, FALSE, failedAtOnce ? kRetryWait : INFINITE);
        if (result == WAIT_TIMEOUT)
            continue;
        if (result >= WAIT_OBJECT_0 + count)
            break;  // the objects are gone: nothing left to wait on
        const int kind = kinds[result - WAIT_OBJECT_0];
        if (kind == 0)
            break;
        if (kind == 1) {
            readPending = false;
            DWORD bytes = 0;
            DWORD none = 0;
            if (GetOverlappedResult(m_hCom, &ops.read, &bytes, FALSE)) {
                if (bytes)
                    DataDone(buffer, bytes);
                OnMessageError(none);
            } else if (IsPortGone(GetLastError())) {
                OnMessageError(none);
                ops.Finish(m_hCom, false, waitPending);
                PortGone();
                return 1;
            }
        } else {
            waitPending = false;
            DWORD unused = 0;
            GetOverlappedResult(m_hCom, &ops.wait, &unused, FALSE);
            OnMessageError(events);
        }
    }
    // Disconnect has cleared the mask and purged the port, which ended the
    // pending operations; cancel what may still run so that nothing
    // completes into this thread's buffers once it has gone.
    ops.Finish(m_hCom, readPending, waitPending);
    return 1;
}

// The port went away (an adapter unplugged, a pseudo-terminal's peer
// closed): reported once as an I/O error, then as a disconnection. The
// thread ends; Disconnect still closes the port.
void CCom::PortGone()
{
    CancelIo(m_hCom);
    if (!m_bGoneReported.exchange(true)) {
        CString text;
        text.LoadString(IDS_COM_LINE_IOE);
        DWORD status;
        {
            CSingleLock lines(&m_mtxLineCheck, TRUE);
            status = m_dwModemStatus;
        }
        ErrorDone(text, status);
    }
    DisconnectDone();
}

void CCom::OnMessageError(DWORD& dwEvents)
{
    if (!m_bStreamReady || m_hCom == INVALID_HANDLE_VALUE)
        return;
    Report reports[3];
    int count = 0;
    {
        CSingleLock lines(&m_mtxLineCheck, TRUE);
        DWORD errors = 0;
        COMSTAT stat{};
        ClearCommError(m_hCom, &errors, &stat);
        // A port that cannot tell its lines (it went away) keeps the last
        // word it told rather than reporting them all dropped.
        DWORD status = 0;
        if (!GetCommModemStatus(m_hCom, &status))
            status = m_dwModemStatus;

        for (const StatusRow& row : kStatusLines) {
            if ((dwEvents & row.event) && (status & row.status)) {
                reports[count++] = Report{row.text, status};
                dwEvents = 0;
                break;
            }
        }
        if (status != m_dwModemStatus) {
            const DWORD changed = (m_dwModemStatus ^ status) & 0xFFFF;
            reports[count++] = Report{IDS_COM_CHANGE_STATUS, (changed << 16) | (status & 0xFFFF)};
            m_dwModemStatus = status;
        }
        if (errors != 0) {
            for (const LineRow& row : kLineErrors) {
                if (row.flag == errors) {
                    // A port that went away reports its I/O error once.
                    if (row.flag == CE_IOE && m_bGoneReported.exchange(true))
                        break;
                    reports[count++] = Report{row.text, status};
                    break;
                }
            }
        }
    }
    for (int i = 0; i < count; ++i) {
        CString text;
        text.LoadString(reports[i].text);
        ErrorDone(text, reports[i].code);
    }
}
