// Windows Sockets 1.1 over the system's sockets, with the Windows semantics
// the library's network code depends on:
// - a SOCKET is an opaque number that is never 0 and never reused while the
//   process runs, so a stale copy in another thread fails cleanly
//   (WSAENOTSOCK) instead of reaching a descriptor opened since;
// - closesocket ends every select, recv and accept that other threads are
//   blocked in on that socket, as on Windows;
// - errors are Winsock codes, read with WSAGetLastError (the thread's last
//   error, as GetLastError);
// - no operation raises SIGPIPE;
// - a datagram larger than the buffer fails with WSAEMSGSIZE (the buffer
//   holds its start), and a datagram socket reports an ICMP refusal of an
//   earlier send as WSAECONNRESET on its next receive;
// - select takes Winsock's fd_set (a count and an array), so any number of
//   sockets may exist;
// - every call fails with WSANOTINITIALISED until WSAStartup has succeeded
//   (and after the matching WSACleanup).
//
// The address records and constants (sockaddr_in, AF_INET, SOL_SOCKET,
// FIONREAD, INADDR_ANY ...) are the system's own, with the system's values.
// The functions whose names the system's socket interface also uses live in
// the namespace tavrin::winsock so that both can be included together.
//
// On Windows these are the system's Winsock (ws2_32) and none of the
// emulation is compiled: the records, constants and functions come from
// <winsock2.h> and <ws2tcpip.h>, and tavrin::winsock names the real
// functions, so code written against it builds unchanged on both systems.
#pragma once

#if defined(_WIN32)

#include "Types.h"
#include <winsock2.h>
#include <ws2tcpip.h>

namespace tavrin::winsock {

inline constexpr UINT WS_FD_SETSIZE = FD_SETSIZE;
using ::fd_set;

inline int WINAPI IsSet(SOCKET s, fd_set* set)
{
    return __WSAFDIsSet(s, set);
}

using ::accept;
using ::bind;
using ::connect;
using ::gethostbyname;
using ::getpeername;
using ::getsockname;
using ::getsockopt;
using ::inet_addr;
using ::inet_ntoa;
using ::listen;
using ::recv;
using ::recvfrom;
using ::select;
using ::send;
using ::sendto;
using ::setsockopt;
using ::shutdown;
using ::socket;

}  // namespace tavrin::winsock

#else

#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "Types.h"

using SOCKET = UINT_PTR;
inline constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
inline constexpr int SOCKET_ERROR = -1;

inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;

// Winsock error codes.
inline constexpr int WSABASEERR = 10000;
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAELOOP = 10062;
inline constexpr int WSAENAMETOOLONG = 10063;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

inline constexpr int WSADESCRIPTION_LEN = 256;
inline constexpr int WSASYS_STATUS_LEN = 128;

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};
using LPWSADATA = WSADATA*;

inline constexpr WORD MAKEWORD(BYTE low, BYTE high)
{
    return static_cast<WORD>(low | (high << 8));
}

// Starts the sockets for the caller (versions 1.1 to 2.2 are accepted).
// Counted: each success needs one WSACleanup. Fails with WSASYSNOTREADY
// when this process cannot create an IPv4 socket at all (no descriptors
// left, or a sandbox that forbids sockets); the code is also the result.
TAVRIN_API int WINAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
TAVRIN_API int WINAPI WSACleanup();
TAVRIN_API int WINAPI WSAGetLastError();
TAVRIN_API void WINAPI WSASetLastError(int iError);

TAVRIN_API int WINAPI closesocket(SOCKET s);
// FIONREAD (bytes pending; for a datagram socket the size of the next
// datagram) and FIONBIO.
TAVRIN_API int WINAPI ioctlsocket(SOCKET s, long cmd, ULONG* argp);

namespace tavrin::winsock {

// The system's FD_SETSIZE is a macro for its own bitmap sets.
inline constexpr UINT WS_FD_SETSIZE = 64;

// Winsock's set: the sockets themselves, not a bitmap of descriptors.
struct fd_set {
    UINT fd_count;
    SOCKET fd_array[WS_FD_SETSIZE];
};

// True when s is in the set.
TAVRIN_API int WINAPI IsSet(SOCKET s, fd_set* set);

TAVRIN_API SOCKET WINAPI socket(int af, int type, int protocol);
TAVRIN_API int WINAPI bind(SOCKET s, const sockaddr* name, int namelen);
TAVRIN_API int WINAPI listen(SOCKET s, int backlog);
TAVRIN_API SOCKET WINAPI accept(SOCKET s, sockaddr* addr, int* addrlen);
TAVRIN_API int WINAPI connect(SOCKET s, const sockaddr* name, int namelen);
TAVRIN_API int WINAPI send(SOCKET s, const char* buf, int len, int flags);
TAVRIN_API int WINAPI sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
TAVRIN_API int WINAPI recv(SOCKET s, char* buf, int len, int flags);
TAVRIN_API int WINAPI recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
// nfds is ignored, as on Windows. A null timeout waits without a limit;
// the wait still ends when one of the sockets is closed (that socket then
// counts as readable, and the next operation on it fails with WSAENOTSOCK).
// The sets are rewritten to hold the sockets that are ready.
TAVRIN_API int WINAPI select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout);
TAVRIN_API int WINAPI getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
TAVRIN_API int WINAPI setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
TAVRIN_API int WINAPI shutdown(SOCKET s, int how);
TAVRIN_API int WINAPI getpeername(SOCKET s, sockaddr* name, int* namelen);
TAVRIN_API int WINAPI getsockname(SOCKET s, sockaddr* name, int* namelen);

// Dotted IPv4 text to an address in network byte order; INADDR_NONE for
// anything else (and for "255.255.255.255" itself, as on Windows).
TAVRIN_API ULONG WINAPI inet_addr(const char* cp);
// The dotted text, in a buffer of the calling thread that the thread's next
// call overwrites.
TAVRIN_API char* WINAPI inet_ntoa(in_addr in);
// The first IPv4 addresses of a name, in a record of the calling thread
// that the thread's next call overwrites; NULL (WSAHOST_NOT_FOUND,
// WSANO_DATA or WSATRY_AGAIN) when the name has none. Safe from several
// threads at once.
TAVRIN_API hostent* WINAPI gethostbyname(const char* name);

}  // namespace tavrin::winsock

#endif  // _WIN32
