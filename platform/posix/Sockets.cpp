// POSIX backend of Windows Sockets: the table of live sockets, start-up and
// clean-up, and the calls on one socket. select is in SocketSelect.cpp,
// names and addresses as text in SocketNames.cpp.
#include <time.h>  // before linux/errqueue.h, which needs timespec
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "SocketCore.h"

namespace tavrin::posix {
namespace {

// Far from the descriptor numbers, so that a descriptor passed by mistake
// is refused rather than taken for a socket.
constexpr SOCKET kFirstSocket = 0x10000;

// Every live socket by its number. Numbers come from a counter and are never
// reused, so a stale copy of a closed socket's number finds nothing.
class SocketTable {
public:
    SOCKET Insert(SocketRef record)
    {
        std::unique_lock lock(m_mutex);
        const SOCKET id = m_next;
        m_records.emplace(id, std::move(record));
        ++m_next;
        return id;
    }

    SocketRef Find(SOCKET id) const
    {
        std::shared_lock lock(m_mutex);
        auto found = m_records.find(id);
        return found == m_records.end() ? nullptr : found->second;
    }

    SocketRef Remove(SOCKET id)
    {
        std::unique_lock lock(m_mutex);
        auto found = m_records.find(id);
        if (found == m_records.end())
            return nullptr;
        SocketRef record = std::move(found->second);
        m_records.erase(found);
        return record;
    }

    std::vector<SocketRef> RemoveAll()
    {
        std::vector<SocketRef> records;
        std::unique_lock lock(m_mutex);
        records.reserve(m_records.size());
        for (auto& entry : m_records)
            records.push_back(std::move(entry.second));
        m_records.clear();
        return records;
    }

private:
    mutable std::shared_mutex m_mutex;
    std::unordered_map<SOCKET, SocketRef> m_records;
    SOCKET m_next = kFirstSocket;
};

// Never destroyed: the library's start-up object and host threads may use
// sockets while static destructors run.
SocketTable& Table()
{
    static auto* table = new SocketTable();
    return *table;
}

std::mutex g_startupLock;
std::atomic<int> g_startups{0};

// What a failed call reports. Kinds of call, for the codes that differ.
enum class Call { Other, Connect, Transfer };

// The code for an errno of a call on this socket: the parts of the mapping
// that depend on the socket's kind and history.
int WsaForSocket(const SocketRecord& record, int error, Call call)
{
    switch (error) {
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN:
        // A blocking socket gets EAGAIN from a transfer only when its
        // SO_RCVTIMEO or SO_SNDTIMEO ran out; Windows calls that a time-out.
        if (call == Call::Transfer && !record.nonBlocking.load())
            return WSAETIMEDOUT;
        break;
    case EINPROGRESS:
        // A non-blocking connect under way is WSAEWOULDBLOCK on Windows.
        if (call == Call::Connect)
            return WSAEWOULDBLOCK;
        break;
    case EPIPE:
        if (record.sendShutDown.load())
            return WSAESHUTDOWN;
        return record.connectStarted.load() ? WSAECONNRESET : WSAENOTCONN;
    case ECONNREFUSED:
        // An ICMP port-unreachable answering an earlier datagram.
        if (record.datagram)
            return WSAECONNRESET;
        break;
    default:
        break;
    }
    return WsaFromErrno(error);
}

// As above for a call that failed: once another thread has closed the
// socket, the failure is the wake-up that closesocket caused.
int WsaForFailedCall(const SocketRecord& record, int error, Call call)
{
    if (record.closed.load())
        return WSAEINTR;
    return WsaForSocket(record, error, call);
}

int FailCall(const SocketRecord& record, int error, Call call)
{
    return FailWith(WsaForFailedCall(record, error, call));
}

// The shortest address record a call accepts for the family (Windows fails
// shorter ones with WSAEFAULT; Linux would take some of them).
int MinimumAddressLength(int family)
{
    switch (family) {
    case AF_INET:
        return static_cast<int>(sizeof(sockaddr_in));
    case AF_INET6:
        return static_cast<int>(sizeof(sockaddr_in6));
    default:
        return static_cast<int>(sizeof(sa_family_t));
    }
}

bool AddressFits(const SocketRecord& record, const void* address, const int* length)
{
    return address && length && *length >= MinimumAddressLength(record.family);
}

// Copies an address the system returned to the caller's record, as far as
// it fits, and gives the caller its full length.
void ReturnAddress(const sockaddr_storage& address, socklen_t length, sockaddr* name, int* namelen)
{
    if (!name || !namelen)
        return;
    const socklen_t room = *namelen < 0 ? 0 : static_cast<socklen_t>(*namelen);
    std::memcpy(name, &address, length < room ? length : room);
    *namelen = static_cast<int>(length);
}

// Port 0 after getsockname: the socket was never bound (Linux answers with
// the wildcard address where Windows fails).
bool IsUnbound(const SocketRecord& record, const sockaddr_storage& address)
{
    if (record.type == SOCK_RAW)
        return false;
    if (address.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in&>(address).sin_port == 0;
    if (address.ss_family == AF_INET6)
        return reinterpret_cast<const sockaddr_in6&>(address).sin6_port == 0;
    return false;
}

bool LocalAddress(const SocketRecord& record, sockaddr_storage& address, socklen_t& length)
{
    length = sizeof address;
    return ::getsockname(record.fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
}

// Takes every entry off a datagram socket's error queue (IP_RECVERR), so
// that poll stops reporting POLLERR for an error already handled. Returns
// the errno of the last ICMP error among them, 0 if none.
int DrainErrorQueue(int fd)
{
    int icmpError = 0;
    // Bounded: new errors may arrive as fast as they are taken.
    for (int entries = 0; entries < 1024; ++entries) {
        char data[1];
        iovec vector{data, sizeof data};
        sockaddr_storage offender{};
        alignas(cmsghdr) char control[512];
        msghdr message{};
        message.msg_name = &offender;
        message.msg_namelen = sizeof offender;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (::recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
            const bool ipv4 = header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_RECVERR;
            const bool ipv6 = header->cmsg_level == IPPROTO_IPV6 && header->cmsg_type == IPV6_RECVERR;
            if (!ipv4 && !ipv6)
                continue;
            sock_extended_err report{};
            std::memcpy(&report, CMSG_DATA(header), sizeof report);
            if (report.ee_origin == SO_EE_ORIGIN_ICMP || report.ee_origin == SO_EE_ORIGIN_ICMP6)
                icmpError = static_cast<int>(report.ee_errno);
        }
    }
    return icmpError;
}

// An abortive close (SO_LINGER on with a time of 0) must reset the
// connection as on Windows, without the FIN that a shutdown sends first.
bool LingersAbortively(int fd)
{
    linger setting{};
    socklen_t length = sizeof setting;
    return ::getsockopt(fd, SOL_SOCKET, SO_LINGER, &setting, &length) == 0 && setting.l_onoff != 0 &&
           setting.l_linger == 0;
}

// The part of closesocket that acts on the record, once it has left the
// table. The descriptor itself closes with the last reference.
void CloseRecord(SocketRecord& record)
{
    record.closed.store(true);
    if (!record.datagram && LingersAbortively(record.fd)) {
        // Connecting to AF_UNSPEC disconnects: a reset, as close() with this
        // setting would send.
        sockaddr unspecified{};
        unspecified.sa_family = AF_UNSPEC;
        ::connect(record.fd, &unspecified, sizeof unspecified);
    }
    // close() would not end a poll, recv or accept that another thread is
    // blocked in on the descriptor; shutdown does, for listening, connected
    // and datagram sockets alike (on an unconnected one it fails with
    // ENOTCONN but still wakes the waiters).
    ::shutdown(record.fd, SHUT_RDWR);
}

// The rest of a blocking connect that a signal interrupted: the kernel
// carries on with it; wait for its outcome.
int AwaitConnect(const SocketRecord& record)
{
    for (;;) {
        pollfd entry{record.fd, POLLOUT, 0};
        if (::poll(&entry, 1, -1) < 0) {
            if (errno == EINTR && !record.closed.load())
                continue;
            return errno;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(record.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            return errno;
        return error;
    }
}

SOCKET Register(int fd, int family, int type, bool nonBlocking, bool connected)
{
    try {
        auto record = std::make_shared<SocketRecord>(fd, family, type);
        record->nonBlocking.store(nonBlocking);
        record->connectStarted.store(connected);
        return Table().Insert(std::move(record));
    } catch (const std::bad_alloc&) {
        SetLastError(WSAENOBUFS);
        return INVALID_SOCKET;
    }
}

int SendOn(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen)
{
    SocketRef record = UseSocket(s);
    if (!record)
        return SOCKET_ERROR;
    if (len < 0 || (!buf && len > 0))
        return FailWith(WSAEFAULT);
    if (!record->datagram)
        to = nullptr;  // ignored on a connection, as on Windows
    if (to && tolen < MinimumAddressLength(record->family))
        return FailWith(WSAEFAULT);
    if (record->sendShutDown.load())
        return FailWith(WSAESHUTDOWN);
    bool retried = false;
    for (;;) {
        const ssize_t sent = ::sendto(record->fd, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL, to,
                                      to ? static_cast<socklen_t>(tolen) : 0);
        if (sent >= 0)
            return static_cast<int>(sent);
        const int error = errno;
        if (record->closed.load())
            return FailWith(WSAEINTR);
        if (error == EINTR)
            continue;
        if (record->datagram) {
            // The system reports an ICMP error of an earlier datagram to
            // whichever call comes first; Windows keeps a refusal for the
            // next receive and sends this datagram.
            const int icmpError = DrainErrorQueue(record->fd);
            if (!retried && (error == ECONNREFUSED || (icmpError != 0 && error == icmpError))) {
                if (error == ECONNREFUSED)
                    record->pendingError.store(WSAECONNRESET);
                retried = true;
                continue;
            }
        }
        return FailCall(*record, error, Call::Transfer);
    }
}

int ReceiveStream(SocketRecord& record, char* buf, int len, int flags)
{
    for (;;) {
        const ssize_t received = ::recv(record.fd, buf, static_cast<size_t>(len), flags);
        if (received >= 0)
            return static_cast<int>(received);  // 0 also when closesocket woke it
        const int error = errno;
        if (error == EINTR && !record.closed.load())
            continue;
        return FailCall(record, error, Call::Transfer);
    }
}

// recvmsg shows a datagram cut short (MSG_TRUNC) and where it came from.
int ReceiveDatagram(SocketRecord& record, char* buf, int len, int flags, sockaddr* from, int* fromlen)
{
    if (from && !AddressFits(record, from, fromlen))
        return FailWith(WSAEFAULT);
    const int pending = (flags & MSG_PEEK) ? record.pendingError.load() : record.pendingError.exchange(0);
    if (pending != 0)
        return FailWith(pending);
    for (;;) {
        sockaddr_storage source{};
        iovec vector{buf, static_cast<size_t>(len)};
        msghdr message{};
        message.msg_name = &source;
        message.msg_namelen = sizeof source;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        const ssize_t received = ::recvmsg(record.fd, &message, flags);
        if (received < 0) {
            const int error = errno;
            if (record.closed.load())
                return FailWith(WSAEINTR);
            if (error == EINTR)
                continue;
            const int icmpError = DrainErrorQueue(record.fd);
            if (error == ECONNREFUSED)
                return FailWith(WSAECONNRESET);
            // Other ICMP reports (host or network unreachable) Windows does
            // not pass to a datagram socket.
            if (icmpError != 0 && error == icmpError)
                continue;
            return FailCall(record, error, Call::Transfer);
        }
        if (received == 0 && message.msg_namelen == 0) {
            // No datagram at all (a datagram, even an empty one, has a
            // source): the receive side was shut down, by closesocket or
            // by a shutdown.
            return FailWith(record.closed.load() ? WSAEINTR : WSAESHUTDOWN);
        }
        ReturnAddress(source, message.msg_namelen, from, fromlen);
        if (message.msg_flags & MSG_TRUNC)
            return FailWith(WSAEMSGSIZE);  // the buffer holds the datagram's start
        return static_cast<int>(received);
    }
}

int ReceiveOn(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen)
{
    SocketRef record = UseSocket(s);
    if (!record)
        return SOCKET_ERROR;
    if (len < 0 || (!buf && len > 0))
        return FailWith(WSAEFAULT);
    if (record->receiveShutDown.load())
        return FailWith(WSAESHUTDOWN);
    if (record->datagram)
        return ReceiveDatagram(*record, buf, len, flags, from, fromlen);
    return ReceiveStream(*record, buf, len, flags);  // from is ignored on a connection, as on Windows
}

bool IsTimeoutOption(int level, int optname)
{
    return level == SOL_SOCKET && (optname == SO_RCVTIMEO || optname == SO_SNDTIMEO);
}

void FillStartupData(WSADATA& data, WORD version)
{
    data = WSADATA{};
    data.wVersion = version;
    data.wHighVersion = MAKEWORD(2, 2);
    std::strncpy(data.szDescription, "Tavrin Windows Sockets over BSD sockets", WSADESCRIPTION_LEN);
    std::strncpy(data.szSystemStatus, "Running", WSASYS_STATUS_LEN);
    data.iMaxSockets = 32767;
    data.iMaxUdpDg = 65507;  // the largest IPv4 UDP payload
    data.lpVendorInfo = nullptr;
}

}  // namespace

bool SocketsStarted()
{
    if (g_startups.load(std::memory_order_acquire) > 0)
        return true;
    SetLastError(WSANOTINITIALISED);
    return false;
}

SocketRef FindSocket(SOCKET s)
{
    return Table().Find(s);
}

SocketRef UseSocket(SOCKET s)
{
    if (!SocketsStarted())
        return nullptr;
    SocketRef record = Table().Find(s);
    if (!record)
        SetLastError(WSAENOTSOCK);
    return record;
}

}  // namespace tavrin::posix

using namespace tavrin::posix;

int WINAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData)
{
    const int major = wVersionRequested & 0xFF;
    const int minor = wVersionRequested >> 8;
    const bool supported = (major == 1 && minor >= 1) || (major == 2 && minor <= 2);
    if (lpWSAData)
        FillStartupData(*lpWSAData, supported ? wVersionRequested : MAKEWORD(2, 2));
    if (!supported)
        return WSAVERNOTSUPPORTED;
    // Without descriptors to spare, or in a sandbox that forbids sockets,
    // the sockets cannot work at all.
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return WSASYSNOTREADY;
    ::close(probe);
    std::lock_guard lock(g_startupLock);
    g_startups.fetch_add(1, std::memory_order_release);
    return 0;
}

int WINAPI WSACleanup()
{
    std::vector<SocketRef> closing;
    {
        std::lock_guard lock(g_startupLock);
        if (g_startups.load() == 0)
            return FailWith(WSANOTINITIALISED);
        // The last clean-up closes every socket still open, as on Windows.
        if (g_startups.fetch_sub(1) == 1)
            closing = Table().RemoveAll();
    }
    for (const SocketRef& record : closing)
        CloseRecord(*record);
    return 0;
}

int WINAPI WSAGetLastError()
{
    return static_cast<int>(GetLastError());
}

void WINAPI WSASetLastError(int iError)
{
    SetLastError(static_cast<DWORD>(iError));
}

int WINAPI closesocket(SOCKET s)
{
    if (!SocketsStarted())
        return SOCKET_ERROR;
    SocketRef record = Table().Remove(s);
    if (!record)
        return FailWith(WSAENOTSOCK);
    CloseRecord(*record);
    return 0;
}

int WINAPI ioctlsocket(SOCKET s, long cmd, ULONG* argp)
{
    SocketRef record = UseSocket(s);
    if (!record)
        return SOCKET_ERROR;
    if (!argp)
        return FailWith(WSAEFAULT);
    switch (cmd) {
    case FIONBIO: {
        int on = *argp != 0 ? 1 : 0;
        if (::ioctl(record->fd, FIONBIO, &on) != 0)
            return FailCall(*record, errno, Call::Other);
        record->nonBlocking.store(on != 0);
        return 0;
    }
    case FIONREAD: {
        // For a datagram socket Linux gives the size of the next datagram,
        // as Windows does; a listening socket fails (EINVAL).
        int pending = 0;
        if (::ioctl(record->fd, FIONREAD, &pending) != 0)
            return FailCall(*record, errno, Call::Other);
        *argp = pending < 0 ? 0 : static_cast<ULONG>(pending);
        return 0;
    }
    default:
        return FailWith(WSAEINVAL);
    }
}

SOCKET WINAPI tavrin::winsock::socket(int af, int type, int protocol)
{
    if (!SocketsStarted())
        return INVALID_SOCKET;
    const int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        const int error = errno;
        // Linux refuses a type it does not know as EINVAL.
        SetLastError(static_cast<DWORD>(error == EINVAL ? WSAESOCKTNOSUPPORT : WsaFromErrno(error)));
        return INVALID_SOCKET;
    }
    const int baseType = type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (baseType == SOCK_DGRAM || baseType == SOCK_RAW) {
        // ICMP errors answering this socket's datagrams, for the
        // WSAECONNRESET that Windows reports after a refused datagram.
        const int on = 1;
        if (af == AF_INET)
            ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
        else if (af == AF_INET6)
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
    }
    const SOCKET id = Register(fd, af, baseType, (type & SOCK_NONBLOCK) != 0, false);
    if (id == INVALID_SOCKET)
        ::close(fd);
    return id;
}

int WINAPI tavrin::winsock::bind(SOCKET s, const sockaddr* name, int namelen)
{
    SocketRef record = UseSocket(s);
    if (!record)
        return SOCKET_ERROR;
    if (!AddressFits(*record, name, &namelen))
        return FailWith(WSAEFAULT);
    if (::bind(record->fd, name, static_cast<socklen_t>(namelen)) != 0)
        return FailCall(*record, errno, Call::Other);
    return 0;
}

int WINAPI tavrin::winsock::listen(SOCKET s, int backlog)
{
    SocketRef record = UseSocket(s);
    if (!record)
        return SOCKET_ERROR;
    if (!record->datagram) {
        // Linux binds a socket that listens unbound; Windows refuses.
        sockaddr_storage address{};
        socklen_t length = 0;
        if (LocalAddress(*record, address, length) && IsUnbound(*record, address))
            return FailWith(WSAEINVAL);
    }
    if (::listen(record->fd, backlog) != 0)
        return FailCall(*record, errno, Call::Other);
    return 0;
}

SOCKET WINAPI tavrin::winsock::accept(SOCKET s, sockaddr* addr, int* addrlen)
{
    SocketRef record = UseSocket(s);
    if (!record)
        return INVALID_SOCKET;
    // Windows checks the caller's record before it takes a connection.
    if (addr && !AddressFits(*record, addr, addrlen)) {
        SetLastError(WSAEFAULT);
        return INVALID_SOCKET;
    }
    // The accepted socket has the listening socket's blocking mode, as on
    // Windows.
    const bool nonBlocking = record->nonBlocking.load();
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    int fd = -1;
    for (;;) {
        peerLength = sizeof peer;
        fd = ::accept4(record->fd, reinterpret_cast<sockaddr*>(&peer), &peerLength,
                       SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0));
        if (fd >= 0)
            break;
        const int error = errno;
        if (error == EINTR && !record->closed.load())
            continue;
        SetLastError(static_cast<DWORD>(WsaForFailedCall(*record, error, Call::Transfer)));
        return INVALID_SOCKET;
    }
    const SOCKET id = Register(fd, record->family, record->type, nonBlocking, true);
    if (id == INVALID_SOCKET) {
        ::close(fd);
        return INVALID_SOCKET;
    }
    ReturnAddress(peer, peerLength, addr, addrlen);
    return id;
}

int WINAPI tavrin::winsock::connect(SOCKET s, const sockaddr* name, int namelen)
{
    SocketRef record = UseSocket(s);
    if (!record)
        return SOCKET_ERROR;
    if (!AddressFits(*record, name, &namelen))
        return FailWith(WSAEFAULT);
    int error = 0;
    if (::connect(record->fd, name, static_cast<socklen_t>(namelen)) != 0) {
        error = errno;
        if (error == EINTR && !record->closed.load())
            error = AwaitConnect(*record);
    }
    if (error == 0 || error == EISCONN)
        record->connecting.store(false);
    if (error == 0) {
        record->connectStarted.store(true);
        return 0;
    }
    if (error == EINPROGRESS) {
        record->connectStarted.store(true);
        record->connecting.store(true);
    }
    return FailCall(*record, error, Call::Connect);
}

int WINAPI tavrin::winsock::send(SOCKET s, const char* buf, int len, int flags)
{
    return SendOn(s, buf, len, flags, nullptr, 0);
}

int WINAPI tavrin::winsock::sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen)
{
    return SendOn(s, buf, len, flags, to, tolen);
}

int WINAPI tavrin::winsock::recv(SOCKET s, char* buf, int len, int flags)
{
    return ReceiveOn(s, buf, len, flags, nullptr, nullptr);
}

int WINAPI tavrin::winsock::recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen)
{
    return ReceiveOn(s, buf, len, flags, from, fromlen);
}

int WINAPI tavrin::winsock::getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen)
{
    SocketRef record = UseSocket(s);
    if (!record)
        return SOCKET_ERROR;
    if (!optval || !optlen || *optlen < 0)
        return FailWith(WSAEFAULT);
    if (IsTimeoutOption(level, optname) && *optlen == static_cast<int>(sizeof(DWORD))) {
        // Windows code reads these time-outs as a DWORD of milliseconds.
        timeval value{};
        socklen_t length = sizeof value;
        if (::getsockopt(record->fd, level, optname, &value, &length) != 0)
            return FailCall(*record, errno, Call::Other);
        const DWORD milliseconds = static_cast<DWORD>(value.tv_sec * 1000 + value.tv_usec / 1000);
        std::memcpy(optval, &milliseconds, sizeof milliseconds);
        return 0;
    }
    socklen_t length = static_cast<socklen_t>(*optlen);
    if (::getsockopt(record->fd, level, optname, optval, &length) != 0)
        return FailCall(*record, errno, Call::Other);
    *optlen = static_cast<int>(length);
    if (level == SOL_SOCKET && optname == SO_ERROR && length >= sizeof(int)) {
        int error = 0;
        std::memcpy(&error, optval, sizeof error);
        if (error != 0 && record->datagram)
            DrainErrorQueue(record->fd);  // reported now; poll must stop saying POLLERR
        error = WsaForSocket(*record, error, Call::Other);
        std::memcpy(optval, &error, sizeof error);
    }
    return 0;
}

int WINAPI tavrin::winsock::setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen)
{
    SocketRef record = UseSocket(s);
    if (!record)
        return SOCKET_ERROR;
    if (optlen < 0 || (!optval && optlen > 0))
        return FailWith(WSAEFAULT);
    if (IsTimeoutOption(level, optname) && optlen == static_cast<int>(sizeof(DWORD))) {
        // Windows code gives these time-outs as a DWORD of milliseconds.
        DWORD milliseconds = 0;
        std::memcpy(&milliseconds, optval, sizeof milliseconds);
        timeval value{};
        value.tv_sec = static_cast<time_t>(milliseconds / 1000);
        value.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
        if (::setsockopt(record->fd, level, optname, &value, sizeof value) != 0)
            return FailCall(*record, errno, Call::Other);
        return 0;
    }
    if (::setsockopt(record->fd, level, optname, optval, static_cast<socklen_t>(optlen)) != 0)
        return FailCall(*record, errno, Call::Other);
    return 0;
}

int WINAPI tavrin::winsock::shutdown(SOCKET s, int how)
{
    SocketRef record = UseSocket(s);
    if (!record)
        return SOCKET_ERROR;
    if (how != SD_RECEIVE && how != SD_SEND && how != SD_BOTH)
        return FailWith(WSAEINVAL);
    static_assert(SD_RECEIVE == SHUT_RD && SD_SEND == SHUT_WR && SD_BOTH == SHUT_RDWR);
    if (::shutdown(record->fd, how) != 0)
        return FailCall(*record, errno, Call::Other);
    if (how != SD_SEND)
        record->receiveShutDown.store(true);
    if (how != SD_RECEIVE)
        record->sendShutDown.store(true);
    return 0;
}

int WINAPI tavrin::winsock::getpeername(SOCKET s, sockaddr* name, int* namelen)
{
    SocketRef record = UseSocket(s);
    if (!record)
        return SOCKET_ERROR;
    if (!name || !namelen)
        return FailWith(WSAEFAULT);
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(record->fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return FailCall(*record, errno, Call::Other);
    if (*namelen < static_cast<int>(length))
        return FailWith(WSAEFAULT);
    ReturnAddress(address, length, name, namelen);
    return 0;
}

int WINAPI tavrin::winsock::getsockname(SOCKET s, sockaddr* name, int* namelen)
{
    SocketRef record = UseSocket(s);
    if (!record)
        return SOCKET_ERROR;
    if (!name || !namelen)
        return FailWith(WSAEFAULT);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (!LocalAddress(*record, address, length))
        return FailCall(*record, errno, Call::Other);
    if (IsUnbound(*record, address))
        return FailWith(WSAEINVAL);  // Windows: not bound yet
    if (*namelen < static_cast<int>(length))
        return FailWith(WSAEFAULT);
    ReturnAddress(address, length, name, namelen);
    return 0;
}
