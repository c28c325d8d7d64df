// Addresses as text and names as addresses: inet_addr, inet_ntoa and
// gethostbyname, each result in a record of the calling thread.
#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "SocketCore.h"

namespace tavrin::posix {
namespace {

// Windows hands out at most this many addresses of one name.
constexpr std::size_t kMaxHostAddresses = 35;

// The hostent of one thread and everything its pointers reach.
struct HostRecord {
    std::string name;
    std::vector<in_addr> addresses;
    std::vector<char*> addressList;
    char* aliases[1] = {nullptr};
    hostent entry{};

    void Fill(const char* canonicalName, const addrinfo* results)
    {
        name = canonicalName;
        addresses.clear();
        for (const addrinfo* result = results; result && addresses.size() < kMaxHostAddresses;
             result = result->ai_next) {
            if (result->ai_family != AF_INET || result->ai_addrlen < sizeof(sockaddr_in))
                continue;
            in_addr address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
            bool seen = false;
            for (const in_addr& known : addresses)
                seen = seen || known.s_addr == address.s_addr;
            if (!seen)
                addresses.push_back(address);
        }
        addressList.clear();
        for (in_addr& address : addresses)
            addressList.push_back(reinterpret_cast<char*>(&address));
        addressList.push_back(nullptr);
        entry.h_name = name.data();
        entry.h_aliases = aliases;
        entry.h_addrtype = AF_INET;
        entry.h_length = sizeof(in_addr);
        entry.h_addr_list = addressList.data();
    }
};

thread_local HostRecord t_host;
thread_local char t_dotted[sizeof "255.255.255.255"];

// Windows looks the local host up for a null or empty name.
bool LocalHostName(std::string& name)
{
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0)
        return false;
    name = buffer;
    return true;
}

}  // namespace
}  // namespace tavrin::posix

using namespace tavrin::posix;

// The classic BSD parser, which Windows' inet_addr also is: one to four
// parts in decimal, octal (leading 0) or hex (0x), the last part filling
// the remaining bytes, whitespace ending the text.
ULONG WINAPI tavrin::winsock::inet_addr(const char* cp)
{
    in_addr address{};
    if (!cp || ::inet_aton(cp, &address) == 0)
        return INADDR_NONE;
    return address.s_addr;
}

char* WINAPI tavrin::winsock::inet_ntoa(in_addr in)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(&in.s_addr);
    std::snprintf(t_dotted, sizeof t_dotted, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return t_dotted;
}

hostent* WINAPI tavrin::winsock::gethostbyname(const char* name)
{
    if (!SocketsStarted())
        return nullptr;
    std::string wanted;
    if (name && *name)
        wanted = name;
    else if (!LocalHostName(wanted)) {
        SetLastError(WSANO_RECOVERY);
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
    hints.ai_flags = AI_CANONNAME;
    addrinfo* results = nullptr;
    errno = 0;
    const int result = ::getaddrinfo(wanted.c_str(), nullptr, &hints, &results);
    const int errorNumber = errno;
    if (result != 0) {
        SetLastError(static_cast<DWORD>(WsaFromAddrinfo(result, errorNumber)));
        return nullptr;
    }
    try {
        t_host.Fill(results->ai_canonname ? results->ai_canonname : wanted.c_str(), results);
    } catch (const std::bad_alloc&) {
        ::freeaddrinfo(results);
        SetLastError(WSAENOBUFS);
        return nullptr;
    }
    ::freeaddrinfo(results);
    if (t_host.addresses.empty()) {
        SetLastError(WSANO_DATA);
        return nullptr;
    }
    return &t_host.entry;
}
