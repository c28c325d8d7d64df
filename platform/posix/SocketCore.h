// What the files of the POSIX Winsock layer share: the socket record and
// its lookup, the start-up check, and the translation of system error
// numbers into Winsock codes.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "../Kernel.h"
#include "../Winsock.h"

namespace tavrin::posix {

// One socket. The table and every call in progress on it share it, so the
// descriptor stays open, and its number cannot be handed to anything else,
// until the last of them is done with it.
struct SocketRecord {
    SocketRecord(int descriptor, int addressFamily, int socketType)
        : fd(descriptor), family(addressFamily), type(socketType),
          datagram(socketType == SOCK_DGRAM || socketType == SOCK_RAW)
    {
    }
    ~SocketRecord() { ::close(fd); }
    SocketRecord(const SocketRecord&) = delete;
    SocketRecord& operator=(const SocketRecord&) = delete;

    const int fd;
    const int family;
    const int type;
    const bool datagram;
    // closesocket has run: whatever a blocking call on it returns now is
    // the wake-up, not an answer from the network.
    std::atomic<bool> closed{false};
    std::atomic<bool> sendShutDown{false};
    std::atomic<bool> receiveShutDown{false};
    std::atomic<bool> nonBlocking{false};
    // A connection was made, or its attempt started: a later EPIPE is a
    // reset rather than a socket that never had a peer.
    std::atomic<bool> connectStarted{false};
    // A non-blocking connect not yet seen to succeed; select also reports
    // its failure in the except set, as Windows does.
    std::atomic<bool> connecting{false};
    // An ICMP refusal of an earlier datagram that the system handed to a
    // send instead; the next receive reports it, as Windows does.
    std::atomic<int> pendingError{0};
};

using SocketRef = std::shared_ptr<SocketRecord>;

// False, with WSANOTINITIALISED as the thread's last error, while no
// WSAStartup is in force.
bool SocketsStarted();

// The record of a live socket; null with the thread's last error set
// (WSANOTINITIALISED or WSAENOTSOCK) otherwise.
SocketRef UseSocket(SOCKET s);
// The record of a live socket, or null; sets no error and checks no start-up.
SocketRef FindSocket(SOCKET s);

// The Winsock code Windows reports for the condition behind an errno value,
// without any knowledge of the socket it came from.
int WsaFromErrno(int error);

// The Winsock code for a getaddrinfo result; errorNumber is errno as it was
// right after the call (for EAI_SYSTEM).
int WsaFromAddrinfo(int result, int errorNumber);

inline int FailWith(int wsaError)
{
    SetLastError(static_cast<DWORD>(wsaError));
    return SOCKET_ERROR;
}

}  // namespace tavrin::posix
