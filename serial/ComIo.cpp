// CCom: writing, breaks, and the port's display name.
#include "Com.h"

namespace {

constexpr DWORD kWriteWait = 1000;
constexpr int kDrainPolls = 100;
constexpr DWORD kDrainPollInterval = 100;
constexpr DWORD kBreakHold = 300;

constexpr const char* kStopBitNames[] = {"1", "1.5", "2"};
// Space parity (4) has no name of its own in the classic tables; it is
// named rather than printed as garbage.
constexpr const char* kParityNames[] = {"none", "odd", "even", "mark", "space"};
constexpr struct {
    BYTE bit;
    const char* name;
} kFlowNames[] = {{COM_FLOW_DTRDSR, "DTR/DSR"}, {COM_FLOW_RTSCTS, "RTS/CTS"}, {COM_FLOW_XONXOFF, "Xon/Xoff"}};

template <size_t N>
const char* NameOf(const char* const (&names)[N], BYTE index)
{
    return index < N ? names[index] : "?";
}

}  // namespace

BOOL CCom::Write(BYTE* pBuffer, DWORD dwLength)
{
    if (!m_bStreamReady || m_hCom == INVALID_HANDLE_VALUE || !IsConnected())
        return FALSE;
    if (dwLength == 0)
        return TRUE;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent)
        return FALSE;
    BOOL result;
    DWORD written = 0;
    if (WriteFile(m_hCom, pBuffer, dwLength, &written, &ov)) {
        result = written == dwLength ? TRUE : FALSE;
    } else if (GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, kWriteWait) == WAIT_OBJECT_0) {
            SetLastError(ERROR_SUCCESS);
            result = GetOverlappedResult(m_hCom, &ov, &written, FALSE) && written == dwLength ? TRUE : FALSE;
        } else {
            // Held back (flow control, a full line): the write is cancelled
            // and collected before its record and the caller's buffer go.
            CancelIo(m_hCom);
            GetOverlappedResult(m_hCom, &ov, &written, TRUE);
            result = FALSE;
        }
    } else {
        // Refused at once (the port went away, a line error): reported as
        // a line error, and the caller learns that nothing went out.
        DWORD none = 0;
        OnMessageError(none);
        result = FALSE;
    }
    CloseHandle(ov.hEvent);
    return result;
}

void CCom::SendBreak()
{
    if (!m_bStreamReady || m_hCom == INVALID_HANDLE_VALUE)
        return;
    if (IsConnected()) {
        for (int poll = 0; poll < kDrainPolls; ++poll) {
            DWORD errors = 0;
            COMSTAT stat{};
            if (!ClearCommError(m_hCom, &errors, &stat) || stat.cbOutQue == 0)
                break;
            Sleep(kDrainPollInterval);
            if (!IsConnected())
                break;
        }
    }
    SetCommBreak(m_hCom);
    Sleep(kBreakHold);
    ClearCommBreak(m_hCom);
}

void CCom::GetName(CString& strName)
{
    strName.Format("COM%d:%lu-%d,%s,%s", static_cast<int>(m_nComPort), static_cast<unsigned long>(m_dwBaudRate),
                   static_cast<int>(m_nByteSize), NameOf(kStopBitNames, m_nStopBits),
                   NameOf(kParityNames, m_nParity));
    for (const auto& flow : kFlowNames) {
        if (m_nFlowControl & flow.bit) {
            strName += "-";
            strName += flow.name;
        }
    }
}
