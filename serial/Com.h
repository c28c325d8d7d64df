// CCom: a device on a serial port. Connect(pszDevice, pDcb) opens the port
// (the inherited Connect() starts only the workers and opens nothing),
// applies the stored line settings or the caller's DCB, raises DTR and
// starts the port's event thread, which reads everything that arrives into
// the receive engine in blocks of at most 1024 bytes and reports status
// lines and line errors as DEVMSG_ERROR texts.
#pragma once

#include <atomic>

#include "../core/Device.h"
#include "../platform/Comm.h"

// Bits of the flow-control setting.
inline constexpr BYTE COM_FLOW_DTRDSR = 0x01;
inline constexpr BYTE COM_FLOW_RTSCTS = 0x02;
inline constexpr BYTE COM_FLOW_XONXOFF = 0x04;

class TAVRIN_API CCom : public CDevice {
public:
    // COM1 at 9600 baud, 8 data bits, no parity, one stop bit, Xon/Xoff.
    CCom(BYTE nPort = 1, DWORD dwBaudRate = 9600);
    // A closed port with the source's settings (and the device core's five
    // archived ones).
    CCom(CCom& src);
    ~CCom() override;

    // Opens pszDevice (NULL: "\\.\COM<n>" of the port number) with the
    // caller's DCB, or the stored settings when pDcb is NULL. TRUE when the
    // port is open and its event thread runs; FALSE, with everything
    // released, otherwise. Host threads.
    BOOL Connect(const char* pszDevice, DCB* pDcb);
    using CDevice::Connect;

    // Stops the event thread, closes the port, stops the workers, then
    // DEVMSG_DISCONNECTED. Whatever is open is closed, also when loaded
    // settings marked the port unusable meanwhile. Host threads, never a
    // handler of this device.
    void Disconnect() override;
    // TRUE when every byte was written within 1000 ms; FALSE on a closed,
    // unusable or disconnected port, and when the port refused the write
    // (reported as a line error). Any thread.
    BOOL Write(BYTE* pBuffer, DWORD dwLength) override;
    // Waits for the output to drain (at most about 10 s), then holds a
    // break for 300 ms. Blocks its caller meanwhile. Any thread.
    void SendBreak() override;
    // "COM<n>:<baud>-<bits>,<stop>,<parity>" and "-<flow>" per flow bit.
    void GetName(CString& strName) override;
    // FALSE only for a port whose loaded settings marked it unusable.
    BOOL IsOK() override;
    // The workers run, the link is not reported down, and Connect succeeded.
    BOOL IsConnected() override;

    void GetStatus(BYTE& nPort, DWORD& dwModemStatus);
    // Raise (TRUE) or lower DTR or RTS on the open port, as
    // EscapeCommFunction's SETDTR/CLRDTR and SETRTS/CLRRTS do. FALSE, with
    // the system's reason in GetLastError, on a closed port and on a line
    // that has no such output (a pseudo-terminal: ERROR_NOT_SUPPORTED). A
    // later Connect or a DCB with handshaking sets the lines afresh. Host
    // threads, while the port is open.
    BOOL SetDtr(BOOL bOn);
    BOOL SetRts(BOOL bOn);
    // The status lines read from the port now (GetCommModemStatus):
    // MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON. FALSE on a closed
    // port. Unlike GetStatus it does not wait for the event thread's last
    // check. Host threads, while the port is open.
    BOOL GetModemStatus(DWORD& dwModemStatus);
    // The open port's line settings as the driver holds them
    // (GetCommState), and new ones (SetCommState): FALSE, with the port's
    // settings unchanged and ERROR_INVALID_PARAMETER, when the driver does
    // not take them (a rate it cannot make, say). Taken settings become the
    // stored ones. Host threads, while the port is open.
    BOOL GetState(DCB& dcb);
    BOOL SetState(const DCB& dcb);
    // PurgeComm on the open port (PURGE_RXCLEAR, PURGE_TXCLEAR ...).
    BOOL Purge(DWORD dwFlags);
    // Holds a break on the line until it is cleared: a remote client's
    // break has its own length. Host threads, while the port is open.
    BOOL SetBreak(BOOL bOn);
    // The port number, the line settings, the usable flag and the baud
    // rate, then the device core's settings. An open port keeps its line
    // settings until the next Connect.
    void Serialize(CArchive& ar) override;

protected:
    HANDLE m_hCom;
    HANDLE m_hEventThread;
    CEvent* m_pEventThreadStop;
    BYTE m_nComPort;
    BYTE m_byReserved;
    BYTE m_bStreamReady;
    BYTE m_nByteSize;
    BYTE m_nFlowControl;
    BYTE m_nParity;
    BYTE m_nStopBits;
    BOOL m_bPortConnected;
    DWORD m_dwBaudRate;
    DWORD m_dwModemStatus;

private:
    void InitStream();
    BOOL ChangeParam();
    void OnMessageError(DWORD& dwEvents);
    static DWORD WINAPI EventThreadProc(LPVOID pCom);
    DWORD RunEventThread();
    void FailConnect();
    void StopEventThread();
    void ReleasePort();
    void PortGone();

    // The event thread and a writer may check the lines at once: the check
    // itself (reading and storing the status word) is serialised, the
    // reports it produces are sent after the lock is released, so a host
    // handler that writes cannot wait on it.
    CMutex m_mtxLineCheck;
    // Set once the I/O error of a port that went away has been reported.
    std::atomic<bool> m_bGoneReported{false};
};
