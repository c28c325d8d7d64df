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
    int error = 0;
    while (received < dwSize) {
        const int got = ws::recvfrom(s, reinterpret_cast<char*>(pBuffer + received),
                                     static_cast<int>(dwSize - received), 0, nullptr, nullptr);
        if (got == SOCKET_ERROR) {
            failed = true;
            error = WSAGetLastError();
            break;
        }
        // The peer has closed: nothing more will come for this read.
        if (got == 0)
            break;
        received += static_cast<DWORD>(got);
    }
    if (failed && error == WSAECONNABORTED) {
        const SOCKET aborted = m_hSocket.exchange(INVALID_SOCKET);
        if (aborted != INVALID_SOCKET) {
            ws::shutdown(aborted, SD_BOTH);
            closesocket(aborted);
        }
    }
    // Bytes that arrived before a receive failed are still the peer's data
    // and are passed on; only a read that got nothing reports nothing.
    dwSize = received;
    if (dwSize > 0 && !m_pLinkedDevice.load() && m_bRefuseTelnetOptions) {
        // A DO is answered WONT and a WILL DONT: a server that offers an
        // option waits for the answer before it goes on (some send nothing,
        // not even their banner, until every offer is answered).
        dwSize = tavrin::detail::StripTelnetCommands(pBuffer, dwSize, [this](BYTE command, BYTE option) {
            using namespace tavrin::detail;
            BYTE refusal[3] = {TELNET_IAC, command == TELNET_DO ? TELNET_WONT : TELNET_DONT, option};
            Write(refusal, sizeof refusal);
        });
    }
    return TRUE;
}

BOOL CLan::Write(BYTE* pData, DWORD dwLength)
{
    if (!IsConnected())
        return FALSE;
    std::lock_guard<std::mutex> whole(m_mtxWrite);
    const SOCKET s = m_hSocket.load();
    DWORD sent = 0;
    while (sent < dwLength) {
        const int count =
            ws::send(s, reinterpret_cast<const char*>(pData + sent), static_cast<int>(dwLength - sent), 0);
        if (count == SOCKET_ERROR) {
            ProcessError(0);
            break;
        }
        sent += static_cast<DWORD>(count);
    }
    return sent == dwLength ? TRUE : FALSE;
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
    if (IsConnected() || m_hSocket.load() != INVALID_SOCKET || m_hWatchThread)
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
