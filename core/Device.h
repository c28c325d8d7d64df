// CDevice: the base of every device of the library, and itself a complete
// loopback device whose Write hands the bytes straight back as received data.
//
// A host gives a window (EnableNotify) and a message number per kind of
// notification (SetMessage), connects the device, writes to it, and hears
// about everything through its window procedure. Every received block runs
// through three worker threads (packet link, command script, plain data)
// whose claims are merged by priority and reported in the order of the bytes.
//
// What a host may rely on:
// - Notifications other than DEVMSG_SCRIPT_PROGRESS are sent: the worker or
//   I/O thread waits while the handler runs, and pointers in lParam are
//   valid only until the handler returns.
// - Every write operation may be called on the window's own thread and
//   from any handler, DEVMSG_SCRIPT_VALUE and DEVMSG_SCRIPT_WAIT included:
//   a write that would wait for a worker which is waiting for the calling
//   thread is handed on instead (WriteEx queues and returns FALSE; the
//   loopback Write hands the block to the device's courier thread), and
//   the library's waits handle the messages sent to the waiting thread.
// - A text queued from a handler is written, in order, when the data cycle
//   that sent the notification ends; when no data cycle is running (a quiet
//   line), the device's courier thread writes it at once.
// - Blocks written by one thread arrive in the order written, and that
//   thread's texts reach the workers in the order written, whichever path
//   each one takes.
// - A handler never disconnects or destroys the device that sent it:
//   Disconnect waits for the worker that is waiting for the handler.
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

    // Virtual operations, in slot order. "Any thread" includes the window's
    // own thread and the handlers of this device's notifications unless a
    // line says otherwise.

    // Takes over the connection of another device; TRUE on success (the
    // base has nothing to take over and answers TRUE). Host threads.
    virtual BOOL Connect(CDevice& device);
    // Starts the three workers. FALSE only when already connected; a start
    // that fails still answers TRUE and leaves IsConnected() FALSE. Host
    // threads, never a handler of this device.
    virtual BOOL Connect();
    // Unpairs a partner and waits for a block the partner may be forwarding
    // to this device right then, then stops the workers (waiting for them)
    // and drops queued texts. Once it returns the former partner no longer
    // calls into this device, which may be destroyed while the partner still
    // receives. Host threads, never a handler of this device: the worker it
    // would wait for is the one waiting for the handler.
    virtual void Disconnect();
    // TRUE: the base device listens for nothing.
    virtual BOOL DoListening();
    // Writes a command text through the workers. TRUE: it ran its command
    // cycles now (or was empty, or the device is stopped). FALSE: it was
    // queued, because this thread runs a cycle of this device or handles a
    // notification one of its workers is waiting on, or the dispatcher was
    // busy for 10 ms, or this thread's earlier texts are still queued; a
    // queued text is written, in order, when the current data cycle ends or,
    // on a quiet line, at once by the device's courier thread. Any thread.
    virtual BOOL WriteEx(const char* pszText);
    // Loopback: the bytes come back as one received block. TRUE always.
    // From a worker, from a handler a worker waits on, or while this
    // thread's earlier such blocks are still on their way, the block is
    // copied and dispatched by the courier thread after the call returns;
    // otherwise it is dispatched before the call returns. Blocks written by
    // one thread arrive in the order written. Any thread.
    virtual BOOL Write(BYTE* pBuffer, DWORD dwLength);
    // TRUE; the base device has nothing to read and touches neither
    // argument.
    virtual BOOL Read(BYTE* pBuffer, DWORD& dwLength);
    // Stores the receive mode (MODE_ bits); TRUE. Any thread.
    virtual BOOL ChangeMode(DWORD dwMode);
    // The base device has no line: nothing happens. Any thread.
    virtual void SendBreak();
    // TRUE once each worker has reported idle after the call, FALSE after
    // nTimeout ms (-1: no limit). Handles sent messages while it waits, so
    // it may be called on the window's thread. Not from a handler.
    virtual BOOL WaitToIdle(int nTimeout);
    // The display name ("Loopback" for the base). Any thread.
    virtual void GetName(CString& strName);
    // No indicators: count 0, NULL.
    virtual int* GetIndicators(int& nCount);
    // Whether the device can be used; TRUE for the base.
    virtual BOOL IsOK();
    // TRUE while the workers run and the link has not been reported down.
    virtual BOOL IsConnected();
    // FALSE: no device of this library has controls to enable.
    virtual BOOL IsControlEnabled(UINT nControl);
    // The archived auto-online switch.
    virtual BOOL IsAutoOnline();
    // Stores or loads the five archived settings: the connect and
    // disconnect commands and the three switches. Loading assigns the
    // members only; a short archive throws CArchiveException* (endOfFile)
    // with the fields before it loaded. Not while the device is connecting.
    void Serialize(CArchive& ar) override;

protected:
    // Reports a line event or error; an empty text sends nothing. The
    // device's I/O thread, or a thread that wrote.
    virtual void ErrorDone(CString& strText, DWORD dwCode);
    // Runs one received block through the workers and reports it before it
    // returns, then forwards it to a partner and writes queued texts. The
    // device's I/O thread (or, for the loopback, the writer); blocks that
    // cannot run there are handed to the courier, as Write says.
    virtual void DataDone(BYTE* pBuffer, DWORD dwLength);
    // A peer is calling: DEVMSG_CALL. The device's I/O thread.
    virtual void CallDone();
    // The link went down: DEVMSG_DISCONNECTED, then the window is forgotten
    // and IsConnected() turns FALSE; the workers keep running until
    // Disconnect. The disconnecting thread or the I/O thread.
    virtual void DisconnectDone();
    // The link came up: the connect command (when configured) is written,
    // then DEVMSG_CONNECTED. The device's I/O thread.
    virtual void ConnectDone();

public:
    void DisconnectEx();
    void LinkDevice(CDevice* pOther);
    // Under a transparent device every received byte is data: outside
    // packet mode no stray frame is taken out of the stream, and a linked
    // partner is written zero bytes instead of being sent breaks. Packet
    // mode, when turned on, works as ever. Off by default; kept across
    // connections and packet links, and not part of the archived settings.
    // Any thread.
    void SetTransparent(BOOL bTransparent);
    BOOL IsTransparent();

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
