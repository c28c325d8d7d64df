// CDevice: the base of every device of the library, and itself a complete
// loopback device whose Write hands the bytes straight back as received data.
//
// A host gives a window (EnableNotify) and a message number per kind of
// notification (SetMessage), connects the device, writes to it, and hears
// about everything through its window procedure. Every received block runs
// through three worker threads (packet link, command script, plain data)
// whose claims are merged by priority and reported in the order of the bytes.
#pragma once

#include <atomic>
#include <memory>

#include "../platform/Kernel.h"
#include "../platform/Mfc.h"
#include "../platform/Sync.h"
#include "../platform/Window.h"

// Notification indices: positions in a device's table of message numbers.
enum : int {
    DEVMSG_CONNECTED = 0,
    DEVMSG_DISCONNECTED = 1,
    DEVMSG_DATA = 2,
    DEVMSG_ERROR = 3,
    DEVMSG_PACKET = 4,
    DEVMSG_PACKET_REQUEST = 5,
    DEVMSG_SCRIPT_WAIT = 6,
    DEVMSG_PACKET_CANCEL = 7,
    DEVMSG_SCRIPT_VALUE = 8,
    DEVMSG_SCRIPT_PROGRESS = 9,
    DEVMSG_CALL = 10,
};
inline constexpr int DEVMSG_COUNT = 11;

// The receive mode (ChangeMode). The packet-link worker writes
// MODE_PACKET_ENDED when the link ends, which leaves packet mode.
inline constexpr DWORD MODE_PACKET_ENDED = 0x01;
inline constexpr DWORD MODE_PACKET = 0x02;
inline constexpr DWORD MODE_PACKET_POLL = 0x08;

// Worker slots, in thread-table order, which is also their merge priority.
inline constexpr int WORKER_PACKET = 0;
inline constexpr int WORKER_SCRIPT = 1;
inline constexpr int WORKER_DATA = 2;
inline constexpr int WORKER_COUNT = 3;

// Indices into WorkerSlot::pWaitObjects. The stop event comes first so that
// it wins over any request pending at the same time.
enum : int {
    SLOT_WAIT_STOP = 0,
    SLOT_WAIT_SCAN = 1,
    SLOT_WAIT_DELIVER = 2,
    SLOT_WAIT_EXAMINE_COMMAND = 3,
    SLOT_WAIT_RUN_COMMAND = 4,
    SLOT_WAIT_COUNT = 5,
};

class CDevice;

// What one worker thread shares with its device. The worker reads and
// writes only its own slot; the dispatcher hands it work through the events.
struct TAVRIN_API WorkerSlot {
    HANDLE hThread;
    DWORD dwMatchStart;  // scan result; 0xFFFFFFFF = no claim
    DWORD dwMatchEnd;    // exclusive; 0xFFFFFFFF = no claim
    BOOL bCommandClaimed;
    // The device's stop event, then the worker's own auto-reset events, in
    // the order of the SLOT_WAIT_ indices.
    CEvent* pWaitObjects[SLOT_WAIT_COUNT];
    CEvent* pDataDone;
    CEvent* pCommandDone;
    CEvent* pIdle;
    BYTE* pData;
    char* pszCommand;
    DWORD dwDataLength;
    DWORD dwCommandLength;
    CDevice* pOwner;
};

inline constexpr DWORD NO_CLAIM = 0xFFFFFFFFu;

// The three worker thread functions; the parameter is the worker's slot.
// They return 1 after the stop event and 0xFFFFFFFF for a NULL slot.
TAVRIN_API DWORD WINAPI PacketThreadProc(LPVOID pSlot);
TAVRIN_API DWORD WINAPI ScriptThreadProc(LPVOID pSlot);
TAVRIN_API DWORD WINAPI DataThreadProc(LPVOID pSlot);

namespace tavrin::detail {
class DeviceEngine;
class Courier;
}  // namespace tavrin::detail

class TAVRIN_API CDevice : public CObject {
public:
    CDevice();
    // A new, stopped device with the five archived settings of src and
    // nothing else: no window, no message numbers, no partner, no mode.
    CDevice(CDevice& src);
    ~CDevice() override;

    // Virtual operations, in slot order.
    virtual BOOL Connect(CDevice& device);
    virtual BOOL Connect();
    virtual void Disconnect();
    virtual BOOL DoListening();
    virtual BOOL WriteEx(const char* pszText);
    virtual BOOL Write(BYTE* pBuffer, DWORD dwLength);
    virtual BOOL Read(BYTE* pBuffer, DWORD& dwLength);
    virtual BOOL ChangeMode(DWORD dwMode);
    virtual void SendBreak();
    virtual BOOL WaitToIdle(int nTimeout);
    virtual void GetName(CString& strName);
    virtual int* GetIndicators(int& nCount);
    virtual BOOL IsOK();
    virtual BOOL IsConnected();
    virtual BOOL IsControlEnabled(UINT nControl);
    virtual BOOL IsAutoOnline();

protected:
    virtual void ErrorDone(CString& strText, DWORD dwCode);
    virtual void DataDone(BYTE* pBuffer, DWORD dwLength);
    virtual void CallDone();
    virtual void DisconnectDone();
    virtual void ConnectDone();

public:
    void DisconnectEx();
    void LinkDevice(CDevice* pOther);

    // Notifications. Indices outside 0..10 are ignored by SetMessage and
    // read as 0 by GetMessageA.
    void EnableNotify(HWND hWnd);
    void SetMessage(int nIndex, UINT nMsg);
    UINT GetMessageA(int nIndex);
    // lParam is pointer-sized: notifications carry pointers in it.
    LRESULT SendNotify(UINT nMsg, UINT wParam, LPARAM lParam);
    LRESULT PostNotify(UINT nMsg, UINT wParam, LPARAM lParam);

protected:
    BOOL IsLinkedDevice();
    BOOL IsEnableNotify();

    // Read and written from several threads without a lock, hence atomic;
    // sizes and meanings are those of the plain fields they stand for.
    std::atomic<DWORD> m_dwMode;
    std::atomic<BYTE> m_bConnected;
    std::atomic<HWND> m_hNotifyWnd;
    std::atomic<UINT> m_uMessages[DEVMSG_COUNT];
    std::atomic<CDevice*> m_pLinkedDevice;
    CString m_strConnectCommand;
    CString m_strDisconnectCommand;
    BOOL m_bAutoOnline;
    BOOL m_bSendDisconnectCommand;
    BOOL m_bSendConnectCommand;
    CStringList m_lstPendingCommands;
    CMutex m_mtxPending;
    WorkerSlot m_Workers[WORKER_COUNT];
    CEvent* m_pStopEvent;
    CEvent m_evDataDone[WORKER_COUNT];
    CEvent m_evCommandDone[WORKER_COUNT];
    CEvent m_evIdle[WORKER_COUNT];
    CMutex m_mtxDispatch;
    CMutex m_mtxNotify;

private:
    friend class tavrin::detail::DeviceEngine;
    friend class tavrin::detail::Courier;

    void ClearAllFields();
    void InitThreads();
    void CloseThreads();

    // The library's own state beyond the members above: thread identity,
    // the courier thread and the order of handed-on writes.
    std::unique_ptr<tavrin::detail::DeviceEngine> m_pEngine;
};
