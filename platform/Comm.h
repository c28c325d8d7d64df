// Serial ports with Win32 semantics: files opened with CreateFileA,
// overlapped reads, writes and comm-event waits, and the comm state calls.
//
// Device names: "COMn" and "\\.\COMn" resolve to the environment variable
// TAVRIN_COMn when it is set, else to /dev/ttyS<n-1>; any other name is a
// path opened as given. A port is opened exclusively and its stale input is
// flushed. A device without modem-control lines (a pseudo-terminal) reports
// CTS, DSR and RLSD as on, as a null-modem cable that loops the handshake
// lines would, so that virtual ports can be used.
#pragma once

#include "Kernel.h"
#include "Types.h"

// Windows: the system's comm API itself, BuildCommDCBA included
// (<windows.h>, through Types.h); nothing of what follows is compiled.
#if !defined(_WIN32)

// The Win32 device-control block, with its exact 28-byte layout, so that a
// DCB saved on Windows reads back field for field.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
static_assert(sizeof(DCB) == 28, "DCB must keep the Win32 layout");
using LPDCB = DCB*;

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
using LPCOMMTIMEOUTS = COMMTIMEOUTS*;

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};
using LPCOMSTAT = COMSTAT*;

struct OVERLAPPED {
    UINT_PTR Internal;      // the operation's status while and after it runs
    UINT_PTR InternalHigh;  // bytes transferred
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;          // manual-reset event set when the operation ends
};
using LPOVERLAPPED = OVERLAPPED*;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080u;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_BAD_COMMAND = 22;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_IO_INCOMPLETE = 996;
inline constexpr DWORD ERROR_IO_PENDING = 997;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr DWORD ERROR_CONNECTION_ABORTED = 1236;
inline constexpr DWORD ERROR_TIMEOUT = 1460;

// Comm events (SetCommMask, WaitCommEvent).
inline constexpr DWORD EV_RXCHAR = 0x0001;
inline constexpr DWORD EV_RXFLAG = 0x0002;
inline constexpr DWORD EV_TXEMPTY = 0x0004;
inline constexpr DWORD EV_CTS = 0x0008;
inline constexpr DWORD EV_DSR = 0x0010;
inline constexpr DWORD EV_RLSD = 0x0020;
inline constexpr DWORD EV_BREAK = 0x0040;
inline constexpr DWORD EV_ERR = 0x0080;
inline constexpr DWORD EV_RING = 0x0100;

// Line errors (ClearCommError).
inline constexpr DWORD CE_RXOVER = 0x0001;
inline constexpr DWORD CE_OVERRUN = 0x0002;
inline constexpr DWORD CE_RXPARITY = 0x0004;
inline constexpr DWORD CE_FRAME = 0x0008;
inline constexpr DWORD CE_BREAK = 0x0010;
inline constexpr DWORD CE_TXFULL = 0x0100;
inline constexpr DWORD CE_PTO = 0x0200;
inline constexpr DWORD CE_IOE = 0x0400;
inline constexpr DWORD CE_DNS = 0x0800;
inline constexpr DWORD CE_OOP = 0x1000;
inline constexpr DWORD CE_MODE = 0x8000;

// Modem status (GetCommModemStatus).
inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MS_DSR_ON = 0x0020;
inline constexpr DWORD MS_RING_ON = 0x0040;
inline constexpr DWORD MS_RLSD_ON = 0x0080;

// EscapeCommFunction.
inline constexpr DWORD SETXOFF = 1;
inline constexpr DWORD SETXON = 2;
inline constexpr DWORD SETRTS = 3;
inline constexpr DWORD CLRRTS = 4;
inline constexpr DWORD SETDTR = 5;
inline constexpr DWORD CLRDTR = 6;
inline constexpr DWORD SETBREAK = 8;
inline constexpr DWORD CLRBREAK = 9;

// PurgeComm.
inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;

// DCB values.
inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD DTR_CONTROL_ENABLE = 1;
inline constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_TOGGLE = 3;
inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;
inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;

// Opens a serial port (the only kind of file this layer opens). Fails with
// ERROR_FILE_NOT_FOUND for a missing device, ERROR_ACCESS_DENIED when the
// port is taken or not permitted, ERROR_NOT_SUPPORTED for a file that is no
// terminal. Closed with CloseHandle.
TAVRIN_API HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     void* lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

// Reads follow COMMTIMEOUTS as on Windows: with all five values 0 a read
// ends only when its buffer is full; ReadIntervalTimeout ends it that many
// milliseconds after the last character once one has arrived. A line that
// goes away (hang-up, EIO) fails pending and later reads and writes with
// ERROR_DEVICE_NOT_CONNECTED, once the bytes received before are read, and
// ClearCommError reports CE_IOE once.
//
// With an OVERLAPPED: TRUE when the operation completed at once, or FALSE
// with ERROR_IO_PENDING, and the event of the OVERLAPPED is set when it
// ends. The buffer and the OVERLAPPED must stay valid until then.
TAVRIN_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
TAVRIN_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
TAVRIN_API BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                           LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
// Ends the calling thread's pending operations on the file with
// ERROR_OPERATION_ABORTED; their events are set. Once it returns, no
// operation touches their buffers any more.
TAVRIN_API BOOL WINAPI CancelIo(HANDLE hFile);

TAVRIN_API BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
TAVRIN_API BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
TAVRIN_API BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
TAVRIN_API BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB);
// Refuses (ERROR_INVALID_PARAMETER) what the device cannot do rather than
// applying something else: 1.5 stop bits where the driver lacks them (Linux
// termios has no way to ask for them), a byte size outside 5 to 8, a parity
// the driver cannot make, DTR/DSR flow control (Linux has none), RTS
// toggling, equal Xon and Xoff characters with Xon/Xoff on. A pseudo-
// terminal forces 8 bits without parity; there GetCommState returns the
// byte size and parity last set rather than what the driver forced.
// Received bytes with a parity or framing error are delivered (or replaced
// by ErrorChar when fErrorChar is set) and reported as CE_RXPARITY or
// CE_FRAME; a break is reported as CE_BREAK and EV_BREAK and is no data.
TAVRIN_API BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB);
TAVRIN_API BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
TAVRIN_API BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
// A new mask completes a pending WaitCommEvent with an event word of 0.
TAVRIN_API BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask);
TAVRIN_API BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
TAVRIN_API BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
TAVRIN_API BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
TAVRIN_API BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags);
TAVRIN_API BOOL WINAPI SetCommBreak(HANDLE hFile);
TAVRIN_API BOOL WINAPI ClearCommBreak(HANDLE hFile);

// Fills a DCB from a mode text as the MODE command takes it: the short form
// "57600,m,8,2,p" (rate, parity n/e/o/m/s, data bits, stop bits 1/1.5/2,
// and an optional last "x" for Xon/Xoff or "p" for hardware handshaking;
// rates 11, 15, 30, 60, 12, 24, 48, 96 and 19 stand for 110 to 19200) or
// the keyword form "baud=57600 parity=m data=8 stop=2 xon=off octs=on
// rts=hs dtr=on ..." with an optional "COMn:" in front. Fields the text does
// not name keep their values; fBinary is set. Hardware handshaking is RTS/CTS
// (fOutxCtsFlow, RTS_CONTROL_HANDSHAKE) with DTR on, the one form a Linux
// port can make. FALSE (ERROR_INVALID_PARAMETER), with the DCB unchanged,
// for a text it cannot read.
TAVRIN_API BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB);

#endif  // !_WIN32
