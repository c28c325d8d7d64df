#include "PrivateNetwork.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "SocketPeer.h"

namespace tavrin::test {

namespace {

std::string Failure(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

std::string BringLoopbackUp()
{
    const Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid())
        return Failure("socket");
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(fd.Get(), SIOCGIFFLAGS, &request) != 0)
        return Failure("SIOCGIFFLAGS lo");
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (ioctl(fd.Get(), SIOCSIFFLAGS, &request) != 0)
        return Failure("SIOCSIFFLAGS lo up");
    return {};
}

void AddAttribute(nlmsghdr& message, size_t capacity, unsigned short type, const void* data, size_t length)
{
    const size_t at = NLMSG_ALIGN(message.nlmsg_len);
    if (at + RTA_SPACE(length) > capacity)
        return;
    auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&message) + at);
    attribute->rta_type = type;
    attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
    std::memcpy(RTA_DATA(attribute), data, length);
    message.nlmsg_len = static_cast<__u32>(at + RTA_SPACE(length));
}

// `ip route add 255.255.255.255/32 dev lo src 127.0.0.1`, through rtnetlink
// so that the test needs no iproute2.
std::string RouteBroadcastThroughLoopback()
{
    const unsigned loopback = if_nametoindex("lo");
    if (loopback == 0)
        return Failure("if_nametoindex lo");
    const Fd fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!fd.Valid())
        return Failure("netlink socket");
    const timeval bound{5, 0};
    setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);

    alignas(nlmsghdr) char buffer[256] = {};
    auto& message = *reinterpret_cast<nlmsghdr*>(buffer);
    message.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    message.nlmsg_type = RTM_NEWROUTE;
    message.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL;
    message.nlmsg_seq = 1;
    auto& route = *static_cast<rtmsg*>(NLMSG_DATA(&message));
    route.rtm_family = AF_INET;
    route.rtm_dst_len = 32;
    route.rtm_table = RT_TABLE_MAIN;
    route.rtm_protocol = RTPROT_BOOT;
    route.rtm_scope = RT_SCOPE_LINK;
    route.rtm_type = RTN_UNICAST;
    const in_addr_t broadcast = htonl(INADDR_BROADCAST);
    const in_addr_t source = htonl(INADDR_LOOPBACK);
    const __u32 device = loopback;
    AddAttribute(message, sizeof buffer, RTA_DST, &broadcast, sizeof broadcast);
    AddAttribute(message, sizeof buffer, RTA_PREFSRC, &source, sizeof source);
    AddAttribute(message, sizeof buffer, RTA_OIF, &device, sizeof device);

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd.Get(), buffer, message.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
        return Failure("RTM_NEWROUTE");
    // The kernel answers at once: an error message whose error is 0 for
    // success.
    alignas(nlmsghdr) char answer[1024];
    const ssize_t got = recv(fd.Get(), answer, sizeof answer, 0);
    if (got < 0)
        return Failure("netlink answer");
    const auto* reply = reinterpret_cast<const nlmsghdr*>(answer);
    if (!NLMSG_OK(reply, static_cast<unsigned>(got)) || reply->nlmsg_type != NLMSG_ERROR)
        return "netlink: unexpected answer to RTM_NEWROUTE";
    const int error = static_cast<const nlmsgerr*>(NLMSG_DATA(reply))->error;
    if (error != 0) {
        errno = -error;
        return Failure("route 255.255.255.255/32 dev lo src 127.0.0.1");
    }
    return {};
}

}  // namespace

std::string EnterPrivateNetwork()
{
    if (unshare(CLONE_NEWNET) != 0)
        return Failure("unshare(CLONE_NEWNET) (needs root)");
    if (std::string problem = BringLoopbackUp(); !problem.empty())
        return problem;
    if (std::string problem = RouteBroadcastThroughLoopback(); !problem.empty())
        return problem;
    if (const std::string interfaces = NetworkInterfaces(); interfaces != "lo")
        return "the new namespace holds more than lo: " + interfaces;
    return {};
}

std::string NetworkInterfaces()
{
    std::string names;
    struct if_nameindex* list = if_nameindex();
    if (list == nullptr)
        return names;
    for (const struct if_nameindex* entry = list; entry->if_index != 0; ++entry) {
        if (!names.empty())
            names += ' ';
        names += entry->if_name;
    }
    if_freenameindex(list);
    return names;
}

}  // namespace tavrin::test
