// CLan: a device on an IPv4 socket. One object plays one of four roles:
// - a TCP client: Connect(host, port);
// - a listening server: DoListening(port) announces each caller with
//   DEVMSG_CALL (lParam: the listening object); the host takes the caller
//   over inside that notification with a new CLan's Connect(listener), and
//   may check the peer with IsAccessGranted;
// - the server side of one accepted connection: Connect(listener);
// - a datagram socket: AutoReply(port, text) answers every datagram with
//   the text, SendBroadcast(text, port) broadcasts one text and then reads
//   the answers.
// A socket watch thread sleeps in select on the socket, reads what arrives
// in blocks of at most 1024 bytes into the receive engine, announces
// callers and notices a peer that closes.
//
// The sockets are started when the library is loaded; when that failed,
// every opening returns FALSE.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "../core/Device.h"
#include "../platform/Winsock.h"

inline constexpr UINT LAN_DEFAULT_PORT = 23;
inline constexpr DWORD LAN_READ_MAX = 1024;

class TAVRIN_API CLan : public CDevice {
public:
    CLan();
    // A closed object with the source's host, port, datagram and reply
    // settings (and the device core's five archived ones).
    CLan(CLan& src);
    ~CLan() override;

    // Takes over one pending caller of a listening CLan (the argument must
    // be one on which DoListening succeeded): starts the workers, accepts,
    // starts the watch thread. Afterwards the host is the caller's dotted
    // address and the port is the listener's. Call it inside the listener's
    // DEVMSG_CALL notification. FALSE when the device is already connected
    // or listening, or nothing could be accepted.
    BOOL Connect(CDevice& listener) override;
    // TCP client to the stored host and port. A dotted address is used as
    // it is; anything else is looked up by name (first IPv4 address). FALSE,
    // with the object idle, when the name is not found or the connect
    // fails; no error text is reported. FALSE as well while the object is
    // connected or listening. Host threads.
    //
    // Every opening first releases what a link that went down by itself
    // left behind (its socket, its ended watch thread, its workers, the
    // pairing and queued texts, as Disconnect would), without a second
    // DEVMSG_DISCONNECTED: the watch thread sent one when the link went, and
    // the window given since belongs to the new link. Calling Disconnect
    // between the two is no longer needed, and still allowed.
    BOOL Connect() override;
    BOOL Connect(CString strHost, UINT nPort);
    // Shuts the socket down, waits for the watch thread, stops the workers,
    // then DEVMSG_DISCONNECTED. It goes by what exists (socket, threads),
    // whatever IsOK answers or settings were loaded. Host threads, never a
    // handler of this device.
    void Disconnect() override;
    // Sends every byte (TRUE), or reports the socket error as a text with
    // code 0 and answers FALSE. FALSE without a report when not connected,
    // and when the socket is being closed by Disconnect or the destructor
    // (a worker writing while the device stops). Writes never interleave:
    // each goes out whole, and Telnet refusals go between them. Any thread.
    BOOL Write(BYTE* pData, DWORD dwLength) override;
    // Called by the watch thread with the number of bytes pending; reads at
    // most 1024. TRUE unless the device is not connected.
    BOOL Read(BYTE* pBuffer, DWORD& dwSize) override;
    // One zero byte.
    void SendBreak() override;
    // "TCP/IP <host>:<port>".
    void GetName(CString& strName) override;
    BOOL IsConnected() override;

    // A listening server on every local address. The object itself starts
    // no workers and reads nothing; its watch thread sends
    // DEVMSG_CONNECTED when listening begins and DEVMSG_CALL per caller.
    BOOL DoListening(UINT nPort);
    using CDevice::DoListening;
    // A datagram socket on nPort that answers every datagram it reads with
    // strReply (nothing when empty) and reports the datagrams as data.
    // Disconnects first when connected.
    BOOL AutoReply(UINT nPort, CString strReply);
    // Turns the object into a datagram socket (disconnecting first when
    // connected) and sends strText to 255.255.255.255:nPort; the answers
    // arrive as data.
    void SendBroadcast(CString strText, UINT nPort);
    // Whether the accepted peer's address, masked, equals dwAddress masked
    // (both in network byte order, as inet_addr gives them); strText gets
    // "Connection from <peer>. (Accepted)" or "(Forbidden)". Closes nothing.
    BOOL IsAccessGranted(DWORD dwAddress, DWORD dwMask, CString& strText);
    UINT GetPort();
    // The host and the low 16 bits of the port, then the device core's
    // settings. A connected socket keeps its peer until the next Connect.
    void Serialize(CArchive& ar) override;

    // Stream mode: take Telnet commands (IAC, command, option) out of the
    // received data and answer every DO with WONT, so that a Telnet server
    // settles for a plain line. Off by default; ignored while the device is
    // linked to another, which then receives the bytes unchanged. The
    // answers are queued and sent when the socket can take them, between
    // writes; the watch thread never waits for a writer, so that a peer
    // that sends while a host's write waits for it to read still gets read.
    void SetRefuseTelnetOptions(BOOL bRefuse);
    BOOL IsRefusingTelnetOptions();

protected:
    // Telnet answers of the watch thread: queued and sent between writes,
    // never waiting for a full socket (see SetRefuseTelnetOptions).
    void QueueTelnetReply(const BYTE* pBytes, DWORD dwLength);
    // A caller is waiting: DEVMSG_CALL to a window that still exists;
    // without one the caller is accepted and closed at once.
    void CallDone() override;
    // Datagrams gathered after a receive reported that an earlier datagram
    // was refused: each with its sender. Does nothing here. Watch thread.
    virtual void DatagramProcessing(BYTE* pData, DWORD dwLength, sockaddr& from);

    // INVALID_SOCKET when there is none. The watch thread's stop signal:
    // emptied by Disconnect, the destructor and an opening that releases a
    // dropped link.
    std::atomic<SOCKET> m_hSocket;
    CString m_strHost;
    UINT m_nPort;
    HANDLE m_hWatchThread;
    sockaddr_in m_addrPeer;
    BOOL m_bDatagram;
    BOOL m_bAutoReply;
    std::atomic<BOOL> m_bRefuseTelnetOptions;
    CString m_strReply;

private:
    void CreateWatchThread();
    BOOL AcceptCheck();
    void ProcessError(int nError);
    static DWORD WINAPI WatchThreadProc(LPVOID pLan);
    DWORD RunWatchThread();
    DWORD ReportLinkDropped();
    void PauseAfterUnansweredCall();
    BOOL ReadDatagram(BYTE* pBuffer, DWORD& dwSize);
    BOOL ReadStream(BYTE* pBuffer, DWORD& dwSize);

    // A socket or a watch thread, live or left by a dropped link.
    bool HasLink() const;
    // Closes the socket (once no writer uses it) and waits for the watch
    // thread; reports nothing.
    void ReleaseLink();
    // ReleaseLink and the device core's Disconnect, when the watch thread
    // has reported the link gone; nothing otherwise.
    void ReleaseDroppedLink();

    // The writers' turn: held by one Write at a time, or by the watch
    // thread while it sends queued refusals.
    void TakeWritersTurn();
    // Sends what was queued meanwhile on s, then hands the turn on.
    void GiveBackWritersTurn(SOCKET s);
    void QueueRefusal(const BYTE* pBytes, DWORD dwLength);
    // The watch thread's side: sends the queued refusals when no writer has
    // the turn and the socket takes them without waiting; else leaves them.
    void SendRefusalsIfFree(SOCKET s);
    bool RefusalsAwaitSocket();

    // Accepts taken from this listening object, so that the watch thread
    // can tell a call the host left pending from one it took.
    std::atomic<unsigned> m_nAccepted{0};
    // Set while the object is being disconnected: ends the watch thread's
    // pause after a call the host left pending.
    HANDLE m_hWatchWake;
    // m_mtxWriters guards the turn and the refusals; it is never held
    // across a send, so the watch thread only ever waits on it briefly.
    std::mutex m_mtxWriters;
    std::condition_variable m_cvWriters;
    bool m_bWriting = false;
    std::string m_strRefusals;
    // The watch thread has reported the link gone (DEVMSG_DISCONNECTED):
    // what is left of it is released quietly by the next opening.
    std::atomic<bool> m_bLinkDropped{false};
    // A stream receive failed on the current socket: the link is gone.
    std::atomic<bool> m_bReceiveFailed{false};
};
