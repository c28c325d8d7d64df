// The socket watch thread: sleeps in select until the socket has something
// to report, reads what is pending into the receive engine, announces
// callers of a listening socket, and notices a peer that has gone.
#include "Lan.h"

#include <algorithm>

namespace ws = tavrin::winsock;

namespace {

// A call the host leaves pending stays readable; it is announced again
// after this pause rather than at once, so that a host that takes its
// callers later is not flooded with notifications meanwhile.
constexpr DWORD kUnansweredCallPause = 100;

}  // namespace

DWORD WINAPI CLan::WatchThreadProc(LPVOID pLan)
{
    if (!pLan)
        return 0xFFFFFFFFu;
    return static_cast<CLan*>(pLan)->RunWatchThread();
}

DWORD CLan::RunWatchThread()
{
    ConnectDone();
    BYTE buffer[LAN_READ_MAX];
    for (;;) {
        const SOCKET s = m_hSocket.load();
        if (s == INVALID_SOCKET)
            return 1;
        // Telnet refusals that found the socket full wait for it to take
        // them, unless a writer has the turn and sends them itself.
        const bool refusalsWaiting = RefusalsAwaitSocket();
        ws::fd_set readable{};
        readable.fd_count = 1;
        readable.fd_array[0] = s;
        ws::fd_set writable{};
        writable.fd_count = 1;
        writable.fd_array[0] = s;
        if (ws::select(0, &readable, refusalsWaiting ? &writable : nullptr, nullptr, nullptr) < 1)
            continue;
        // Closing the socket ends the wait too; the member tells which.
        if (m_hSocket.load() != s)
            return 1;
        if (refusalsWaiting && ws::IsSet(s, &writable))
            SendRefusalsIfFree(s);
        if (!ws::IsSet(s, &readable))
            continue;

        ULONG pending = 0;
        if (ioctlsocket(s, FIONREAD, &pending) == 0 && pending > 0) {
            while (pending > 0) {
                const DWORD chunk = std::min<ULONG>(pending, LAN_READ_MAX);
                pending -= chunk;
                DWORD size = chunk;
                Read(buffer, size);
                if (size > 0)
                    DataDone(buffer, size);
                if (m_hSocket.load() != s)
                    return 1;
                if (m_bReceiveFailed.exchange(false))
                    return ReportLinkDropped();
            }
            continue;
        }

        const unsigned acceptedBefore = m_nAccepted.load();
        if (AcceptCheck()) {
            if (m_nAccepted.load() == acceptedBefore)
                PauseAfterUnansweredCall();
            continue;
        }
        if (m_bDatagram) {
            // Readable with nothing pending: an empty datagram, or the
            // report of an earlier one refused. Either stays readable until
            // it is received, and the loop would spin on it.
            sockaddr_in from{};
            int fromLength = sizeof from;
            ws::recvfrom(s, reinterpret_cast<char*>(buffer), 0, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            continue;
        }
        if (m_hSocket.load() != s)
            return 1;
        return ReportLinkDropped();
    }
}

// The peer closed, or the connection failed under a receive: the host hears
// of it once, from here; the socket waits for its Disconnect or the next
// opening.
DWORD CLan::ReportLinkDropped()
{
    m_bLinkDropped = true;
    DisconnectDone();
    return 0;
}

void CLan::PauseAfterUnansweredCall()
{
    if (m_hWatchWake)
        WaitForSingleObject(m_hWatchWake, kUnansweredCallPause);
}

BOOL CLan::AcceptCheck()
{
    if (!IsOK())
        return FALSE;
    if (m_hSocket.load() == INVALID_SOCKET)
        return FALSE;
    int listening = 0;
    int length = sizeof listening;
    while (ws::getsockopt(m_hSocket.load(), SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&listening), &length) ==
           SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEINPROGRESS)
            return FALSE;
        Sleep(10);
        length = sizeof listening;
    }
    if (listening == 0)
        return FALSE;
    CallDone();
    return TRUE;
}

void CLan::CallDone()
{
    // Only a host that has a window and a message number for calls can take
    // the caller; anyone else's callers are turned away, not left waiting.
    const HWND hWnd = m_hNotifyWnd.load();
    if (hWnd && IsWindow(hWnd) && GetMessageA(DEVMSG_CALL) != 0) {
        CDevice::CallDone();
        return;
    }
    sockaddr_in peer{};
    int length = sizeof peer;
    const SOCKET caller = ws::accept(m_hSocket.load(), reinterpret_cast<sockaddr*>(&peer), &length);
    if (caller != INVALID_SOCKET)
        closesocket(caller);
    ++m_nAccepted;
}
