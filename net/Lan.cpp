// CLan: construction, the four ways of opening, closing, and the access
// check of an accepted caller.
#include "Lan.h"

#include <chrono>
#include <cstring>

#include "../core/Waits.h"
#include "../platform/Archive.h"
#include "../res/Resource.h"

namespace ws = tavrin::winsock;

namespace {

constexpr int kListenBacklog = 5;

// How long Disconnect lets a writer finish with the socket after shutting
// it down. A shutdown ends a send blocked on a peer that reads nothing
// where the system's sockets allow it (the POSIX layer: at once); Windows
// does not, and there only the close that follows ends it.
constexpr std::chrono::milliseconds kWriterLeaveWait{1000};

sockaddr_in AnyAddress(UINT nPort)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(nPort & 0xFFFF));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return address;
}

void CloseQuietly(SOCKET s)
{
    if (s != INVALID_SOCKET)
        closesocket(s);
}

}  // namespace

CLan::CLan()
    : m_hSocket(INVALID_SOCKET),
      m_nPort(LAN_DEFAULT_PORT),
      m_hWatchThread(nullptr),
      m_addrPeer{},
      m_bDatagram(FALSE),
      m_bAutoReply(FALSE),
      m_bRefuseTelnetOptions(FALSE),
      m_hWatchWake(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
}

CLan::CLan(CLan& src)
    : CDevice(src),
      m_hSocket(INVALID_SOCKET),
      m_strHost(src.m_strHost),
      m_nPort(src.m_nPort),
      m_hWatchThread(nullptr),
      m_addrPeer{},
      m_bDatagram(src.m_bDatagram),
      m_bAutoReply(src.m_bAutoReply),
      m_bRefuseTelnetOptions(src.m_bRefuseTelnetOptions.load()),
      m_strReply(src.m_strReply),
      m_hWatchWake(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
}

CLan::~CLan()
{
    CLan::Disconnect();
    if (m_hWatchWake)
        CloseHandle(m_hWatchWake);
}

bool CLan::HasLink() const
{
    return m_hSocket.load() != INVALID_SOCKET || m_hWatchThread != nullptr;
}

void CLan::ReleaseLink()
{
    // Emptied first: the watch thread, woken below, then ends instead of
    // taking the close for the peer's, and a write from now on finds no
    // socket and fails quietly.
    const SOCKET s = m_hSocket.exchange(INVALID_SOCKET);
    if (s != INVALID_SOCKET) {
        ws::shutdown(s, SD_BOTH);
        {
            // A writer still sending on s gives its turn back before the
            // number is closed, so that no send reaches a socket opened
            // later under the same number. Refusals still queued were for
            // this link.
            std::unique_lock<std::mutex> writers(m_mtxWriters);
            m_cvWriters.wait_for(writers, kWriterLeaveWait, [this] { return !m_bWriting; });
            m_strRefusals.clear();
        }
        closesocket(s);
    }
    if (m_hWatchWake)
        SetEvent(m_hWatchWake);
    if (m_hWatchThread) {
        // The watch thread may be notifying a window of this thread: answer
        // while waiting.
        tavrin::detail::WaitServingSentMessages(m_hWatchThread);
        CloseHandle(m_hWatchThread);
        m_hWatchThread = nullptr;
    }
    m_bLinkDropped = false;
    m_bReceiveFailed = false;
}

void CLan::ReleaseDroppedLink()
{
    // The host heard of the drop from the watch thread, which also forgot
    // the window: a window given since is for the next link and hears
    // nothing of this one.
    if (!m_bLinkDropped.load())
        return;
    ReleaseLink();
    CDevice::Disconnect();
}

BOOL CLan::Connect(CString strHost, UINT nPort)
{
    m_strHost = strHost;
    m_nPort = nPort;
    return Connect();
}

BOOL CLan::Connect()
{
    if (m_bConnected)
        return FALSE;
    ReleaseDroppedLink();
    // A listening object keeps its socket and thread.
    if (HasLink())
        return FALSE;
    if (!CDevice::Connect())
        return FALSE;
    // Workers that could not start leave nothing to read into.
    if (!m_bConnected) {
        CDevice::Disconnect();
        return FALSE;
    }
    const SOCKET s = ws::socket(AF_INET, SOCK_STREAM, 0);
    m_hSocket = s;
    bool connected = false;
    if (s != INVALID_SOCKET) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(m_nPort & 0xFFFF));
        to.sin_addr.s_addr = ws::inet_addr(m_strHost);
        // "0.0.0.0" and "255.255.255.255" read as no address at all and go
        // to the name lookup like any host name.
        bool addressKnown = to.sin_addr.s_addr != 0 && to.sin_addr.s_addr != INADDR_NONE;
        if (!addressKnown) {
            const hostent* entry = ws::gethostbyname(m_strHost);
            if (entry && entry->h_addrtype == AF_INET && entry->h_addr_list && entry->h_addr_list[0]) {
                std::memcpy(&to.sin_addr, entry->h_addr_list[0], sizeof to.sin_addr);
                addressKnown = true;
            }
        }
        connected = addressKnown &&
                    ws::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != SOCKET_ERROR;
    }
    if (!connected) {
        CloseQuietly(m_hSocket.exchange(INVALID_SOCKET));
        CDevice::Disconnect();
        return FALSE;
    }
    CreateWatchThread();
    return TRUE;
}

BOOL CLan::Connect(CDevice& listener)
{
    if (!IsOK())
        return FALSE;
    // Only a listening CLan has callers to hand over.
    CLan* source = dynamic_cast<CLan*>(&listener);
    if (!source || source == this || m_bConnected)
        return FALSE;
    ReleaseDroppedLink();
    if (HasLink())
        return FALSE;
    if (!CDevice::Connect())
        return FALSE;
    if (!m_bConnected) {
        CDevice::Disconnect();
        return FALSE;
    }
    sockaddr_in peer{};
    int length = sizeof peer;
    const SOCKET s = ws::accept(source->m_hSocket.load(), reinterpret_cast<sockaddr*>(&peer), &length);
    if (s == INVALID_SOCKET) {
        CDevice::Disconnect();
        return FALSE;
    }
    ++source->m_nAccepted;
    // The name is complete before the watch thread starts: its connected
    // notification may ask for it.
    m_addrPeer = peer;
    m_strHost = ws::inet_ntoa(peer.sin_addr);
    m_nPort = source->m_nPort;
    m_hSocket = s;
    CreateWatchThread();
    return TRUE;
}

BOOL CLan::DoListening(UINT nPort)
{
    if (!IsOK())
        return FALSE;
    ReleaseDroppedLink();
    // A second opening would leave the first socket and its thread behind.
    if (HasLink())
        return FALSE;
    m_nPort = nPort;
    const SOCKET s = ws::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in local = AnyAddress(nPort);
    if (s == INVALID_SOCKET || ws::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == SOCKET_ERROR ||
        ws::listen(s, kListenBacklog) == SOCKET_ERROR) {
        CloseQuietly(s);
        m_hSocket = INVALID_SOCKET;
        return FALSE;
    }
    m_hSocket = s;
    CreateWatchThread();
    return TRUE;
}

BOOL CLan::AutoReply(UINT nPort, CString strReply)
{
    // A listening object is not connected but has a socket and a thread of
    // its own: those go too.
    ReleaseDroppedLink();
    if (IsConnected() || HasLink())
        Disconnect();
    if (!CDevice::Connect())
        return FALSE;
    if (!m_bConnected) {
        CDevice::Disconnect();
        return FALSE;
    }
    const SOCKET s = ws::socket(AF_INET, SOCK_DGRAM, 0);
    m_bDatagram = TRUE;
    m_bAutoReply = TRUE;
    m_strReply = strReply;
    const sockaddr_in local = AnyAddress(nPort);
    if (s == INVALID_SOCKET || ws::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == SOCKET_ERROR) {
        CloseQuietly(s);
        m_hSocket = INVALID_SOCKET;
        CDevice::Disconnect();
        return FALSE;
    }
    m_hSocket = s;
    CreateWatchThread();
    return TRUE;
}

void CLan::CreateWatchThread()
{
    if (m_hWatchWake)
        ResetEvent(m_hWatchWake);
    m_bLinkDropped = false;
    m_bReceiveFailed = false;
    m_hWatchThread = CreateThread(nullptr, 0, WatchThreadProc, this, 0, nullptr);
    if (!m_hWatchThread) {
        CloseQuietly(m_hSocket.exchange(INVALID_SOCKET));
        return;
    }
    SetThreadPriority(m_hWatchThread, THREAD_PRIORITY_ABOVE_NORMAL);
}

// Not gated by IsOK: an object that a derived class or a loaded record
// calls unusable may still hold a socket and threads, and they must go.
void CLan::Disconnect()
{
    ReleaseLink();
    CDevice::Disconnect();
    DisconnectDone();
}

BOOL CLan::IsConnected()
{
    return m_bConnected;
}

BOOL CLan::IsAccessGranted(DWORD dwAddress, DWORD dwMask, CString& strText)
{
    const DWORD peer = m_addrPeer.sin_addr.s_addr;
    const BOOL granted = (dwAddress & dwMask) == (dwMask & peer) ? TRUE : FALSE;
    CString format;
    if (!format.LoadString(granted ? IDS_LAN_ACCESS_GRANTED : IDS_LAN_ACCESS_FORBIDDEN))
        format = granted ? "Connection from %s. (Accepted)" : "Connection from %s. (Forbidden)";
    strText.Format(format, ws::inet_ntoa(m_addrPeer.sin_addr));
    return granted;
}

UINT CLan::GetPort()
{
    return m_nPort;
}

void CLan::SetRefuseTelnetOptions(BOOL bRefuse)
{
    m_bRefuseTelnetOptions = bRefuse ? TRUE : FALSE;
}

BOOL CLan::IsRefusingTelnetOptions()
{
    return m_bRefuseTelnetOptions;
}

void CLan::Serialize(CArchive& ar)
{
    if (ar.IsStoring()) {
        ar << m_strHost << static_cast<WORD>(m_nPort & 0xFFFF);
    } else {
        ar >> m_strHost;
        WORD port = 0;
        ar >> port;
        m_nPort = (m_nPort & 0xFFFF0000u) | port;
    }
    CDevice::Serialize(ar);
}
