// The data side of CLan: reading streams and datagrams (with the Telnet
// refusal and the automatic reply), writing, broadcasting, breaks, socket
// error texts and the display name.
#include <algorithm>
#include <mutex>

#include "../res/Resource.h"
#include "Lan.h"
#include "Telnet.h"

namespace ws = tavrin::winsock;

namespace {

struct SocketErrorRow {
    int code;
    UINT text;
};

constexpr SocketErrorRow kSocketErrors[] = {
    {WSANOTINITIALISED, IDS_WSA_NOTINITIALISED},
    {WSAENETDOWN, IDS_WSA_ENETDOWN},
    {WSAEAFNOSUPPORT, IDS_WSA_EAFNOSUPPORT},
    {WSAEINPROGRESS, IDS_WSA_EINPROGRESS},
    {WSAEMFILE, IDS_WSA_EMFILE},
    {WSAENOBUFS, IDS_WSA_ENOBUFS},
    {WSAEPROTONOSUPPORT, IDS_WSA_EPROTONOSUPPORT},
    {WSAEPROTOTYPE, IDS_WSA_EPROTOTYPE},
    {WSAESOCKTNOSUPPORT, IDS_WSA_ESOCKTNOSUPPORT},
    {WSAENOTCONN, IDS_WSA_ENOTCONN},
    {WSAENOTSOCK, IDS_WSA_ENOTSOCK},
    {WSAEOPNOTSUPP, IDS_WSA_EOPNOTSUPP},
    {WSAEWOULDBLOCK, IDS_WSA_EWOULDBLOCK},
    {WSAEMSGSIZE, IDS_WSA_EMSGSIZE},
    {WSAEINVAL, IDS_WSA_EINVAL},
    {WSAECONNABORTED, IDS_WSA_ECONNABORTED},
    {WSAECONNRESET, IDS_WSA_ECONNRESET},
    {WSAEADDRINUSE, IDS_WSA_EADDRINUSE},
    {WSAEISCONN, IDS_WSA_EISCONN},
};

// Sends every byte on s; 0, or the Winsock error of the send that failed.
int SendWhole(SOCKET s, const BYTE* pData, DWORD dwLength)
{
    DWORD sent = 0;
    while (sent < dwLength) {
        const int count =
            ws::send(s, reinterpret_cast<const char*>(pData + sent), static_cast<int>(dwLength - sent), 0);
        if (count == SOCKET_ERROR)
            return WSAGetLastError();
        sent += static_cast<DWORD>(count);
    }
    return 0;
}

// Whether a send on s would go out now rather than wait for the peer.
bool WritableNow(SOCKET s)
{
    ws::fd_set writable{};
    writable.fd_count = 1;
    writable.fd_array[0] = s;
    timeval now{0, 0};  // not const: Winsock's select takes a plain pointer
    return ws::select(0, nullptr, &writable, nullptr, &now) == 1;
}

}  // namespace

BOOL CLan::Read(BYTE* pBuffer, DWORD& dwSize)
{
    if (!m_bConnected)
        return FALSE;
    dwSize = std::min(dwSize, LAN_READ_MAX);
    return m_bDatagram ? ReadDatagram(pBuffer, dwSize) : ReadStream(pBuffer, dwSize);
}

BOOL CLan::ReadDatagram(BYTE* pBuffer, DWORD& dwSize)
{
    const SOCKET s = m_hSocket.load();
    sockaddr_in from{};
    int fromLength = sizeof from;
    bool haveSender = false;
    bool failed = false;
    const int received = ws::recvfrom(s, reinterpret_cast<char*>(pBuffer), static_cast<int>(dwSize), 0,
                                      reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (received != SOCKET_ERROR) {
        dwSize = static_cast<DWORD>(received);
        haveSender = true;
    } else if (WSAGetLastError() == WSAECONNRESET) {
        // An earlier datagram of ours was refused; what else is waiting is
        // gathered and shown to the hook with its sender.
        DWORD total = 0;
        while (total < dwSize) {
            ULONG pending = 0;
            if (ioctlsocket(s, FIONREAD, &pending) != 0 || pending == 0)
                break;
            const int want = static_cast<int>(std::min<ULONG>(pending, dwSize - total));
            fromLength = sizeof from;
            int got = ws::recvfrom(s, reinterpret_cast<char*>(pBuffer + total), want, 0,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (got == SOCKET_ERROR && WSAGetLastError() == WSAECONNRESET) {
                fromLength = sizeof from;
                got = ws::recvfrom(s, reinterpret_cast<char*>(pBuffer + total), want, 0,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
            }
            if (got == SOCKET_ERROR) {
                failed = true;
                break;
            }
            haveSender = true;
            DatagramProcessing(pBuffer + total, static_cast<DWORD>(got), *reinterpret_cast<sockaddr*>(&from));
            total += static_cast<DWORD>(got);
        }
        dwSize = total;
    } else {
        failed = true;
    }
    if (failed)
        dwSize = 0;

    // The reply goes to the sender of the last datagram read.
    if (m_bAutoReply && !m_strReply.IsEmpty() && dwSize > 0 && haveSender) {
        ws::sendto(s, m_strReply, m_strReply.GetLength(), 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
        ws::fd_set writable{};
        writable.fd_count = 1;
        writable.fd_array[0] = s;
        ws::select(0, nullptr, &writable, nullptr, nullptr);
    }
    return TRUE;
}

BOOL CLan::ReadStream(BYTE* pBuffer, DWORD& dwSize)
{
    const SOCKET s = m_hSocket.load();
    DWORD received = 0;
    bool failed = false;
    while (received < dwSize) {
        const int got = ws::recvfrom(s, reinterpret_cast<char*>(pBuffer + received),
                                     static_cast<int>(dwSize - received), 0, nullptr, nullptr);
        if (got == SOCKET_ERROR) {
            failed = true;
            break;
        }
        // The peer has closed: nothing more will come for this read.
        if (got == 0)
            break;
        received += static_cast<DWORD>(got);
    }
    // A blocking receive on a connection fails only when the connection is
    // gone (aborted, reset, timed out) or when Disconnect closed the socket
    // under it. The watch thread reports the first kind as a peer that
    // closed; the socket stays until the host disconnects or connects again.
    if (failed && m_hSocket.load() == s)
        m_bReceiveFailed = true;
    // Bytes that arrived before a receive failed are still the peer's data
    // and are passed on; only a read that got nothing reports nothing.
    dwSize = received;
    if (dwSize > 0 && !m_pLinkedDevice.load() && m_bRefuseTelnetOptions) {
        // A DO is answered WONT and a WILL DONT: a server that offers an
        // option waits for the answer before it goes on (some send nothing,
        // not even their banner, until every offer is answered).
        // Queued, not written: a host's write may be waiting for the peer
        // to read while the peer waits for this thread to read.
        bool refused = false;
        dwSize = tavrin::detail::StripTelnetCommands(pBuffer, dwSize, [this, &refused](BYTE command, BYTE option) {
            using namespace tavrin::detail;
            const BYTE refusal[3] = {TELNET_IAC, command == TELNET_DO ? TELNET_WONT : TELNET_DONT, option};
            QueueRefusal(refusal, sizeof refusal);
            refused = true;
        });
        if (refused)
            SendRefusalsIfFree(s);
    }
    return TRUE;
}

BOOL CLan::Write(BYTE* pData, DWORD dwLength)
{
    if (!IsConnected())
        return FALSE;
    TakeWritersTurn();
    // Read with the turn held: Disconnect closes the socket only once no
    // writer holds it.
    const SOCKET s = m_hSocket.load();
    int error = 0;
    if (s != INVALID_SOCKET)
        error = SendWhole(s, pData, dwLength);
    GiveBackWritersTurn(s);
    if (s == INVALID_SOCKET)
        return FALSE;
    // A socket emptied meanwhile was shut by Disconnect: its failure says
    // nothing about the link, and the host waiting in Disconnect must not
    // hear of it. The text is sent with the turn given back, so that a
    // handler may write.
    if (error != 0 && m_hSocket.load() == s)
        ProcessError(error);
    return error == 0 ? TRUE : FALSE;
}

void CLan::TakeWritersTurn()
{
    std::unique_lock<std::mutex> writers(m_mtxWriters);
    m_cvWriters.wait(writers, [this] { return !m_bWriting; });
    m_bWriting = true;
}

void CLan::GiveBackWritersTurn(SOCKET s)
{
    std::unique_lock<std::mutex> writers(m_mtxWriters);
    // Refusals queued while the turn was held go out behind the bytes that
    // held it; checked under the lock, so none is left behind unsent.
    while (!m_strRefusals.empty() && s != INVALID_SOCKET && m_hSocket.load() == s) {
        std::string refusals;
        refusals.swap(m_strRefusals);
        writers.unlock();
        SendWhole(s, reinterpret_cast<const BYTE*>(refusals.data()), static_cast<DWORD>(refusals.size()));
        writers.lock();
    }
    m_bWriting = false;
    writers.unlock();
    m_cvWriters.notify_all();
}

void CLan::QueueRefusal(const BYTE* pBytes, DWORD dwLength)
{
    std::lock_guard<std::mutex> writers(m_mtxWriters);
    m_strRefusals.append(reinterpret_cast<const char*>(pBytes), dwLength);
}

void CLan::QueueTelnetReply(const BYTE* pBytes, DWORD dwLength)
{
    QueueRefusal(pBytes, dwLength);
    SendRefusalsIfFree(m_hSocket.load());
}

bool CLan::RefusalsAwaitSocket()
{
    std::lock_guard<std::mutex> writers(m_mtxWriters);
    return !m_bWriting && !m_strRefusals.empty();
}

void CLan::SendRefusalsIfFree(SOCKET s)
{
    // A writer that has the turn sends them itself before it gives it
    // back; a full socket would hold this thread until the peer reads.
    // Either way the watch thread leaves them and goes on reading.
    if (!RefusalsAwaitSocket() || !WritableNow(s))
        return;
    {
        std::lock_guard<std::mutex> writers(m_mtxWriters);
        if (m_bWriting)
            return;
        m_bWriting = true;
    }
    // The turn is held from here: if the socket is still s, Disconnect
    // closes it only after the turn is given back.
    GiveBackWritersTurn(m_hSocket.load() == s ? s : INVALID_SOCKET);
}

void CLan::ProcessError(int nError)
{
    if (nError == 0)
        nError = WSAGetLastError();
    CString text;
    for (const SocketErrorRow& row : kSocketErrors) {
        if (row.code == nError) {
            text.LoadString(row.text);
            break;
        }
    }
    ErrorDone(text, 0);
}

void CLan::SendBroadcast(CString strText, UINT nPort)
{
    ReleaseDroppedLink();
    if (IsConnected() || HasLink())
        Disconnect();
    if (!CDevice::Connect())
        return;
    const SOCKET s = ws::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET || !m_bConnected) {
        if (s != INVALID_SOCKET)
            closesocket(s);
        CDevice::Disconnect();
        return;
    }
    m_hSocket = s;
    m_bDatagram = TRUE;
    const int on = 1;
    ws::setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(nPort & 0xFFFF));
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    CreateWatchThread();
    ws::sendto(s, strText, strText.GetLength(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void CLan::SendBreak()
{
    if (!IsConnected())
        return;
    BYTE zero = 0;
    Write(&zero, 1);
}

void CLan::GetName(CString& strName)
{
    strName.Format("TCP/IP %s:%u", static_cast<LPCSTR>(m_strHost), m_nPort);
}

void CLan::DatagramProcessing(BYTE*, DWORD, sockaddr&) {}
