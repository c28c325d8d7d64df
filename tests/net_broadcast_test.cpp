// SendBroadcast for real, inside a network namespace this test process
// makes for itself before any thread starts, so that the broadcast never
// reaches the machine's network: only `lo` exists there, with a route for
// 255.255.255.255 through it (see PrivateNetwork.h). Without root the
// namespace cannot be made and the tests skip, saying so.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <string>

#include "support/PrivateNetwork.h"
#include "support/SocketPeer.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

namespace {

// Empty once the process is in its own network.
std::string g_noPrivateNetwork = "main did not run";

struct Datagram {
    std::string bytes;
    sockaddr_in from{};
};

bool ReceiveWithin(const Fd& fd, Datagram& datagram, std::chrono::milliseconds timeout = kPeerWait)
{
    pollfd entry{fd.Get(), POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(timeout.count())) != 1)
        return false;
    char buffer[2048];
    socklen_t length = sizeof datagram.from;
    const ssize_t got =
        recvfrom(fd.Get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&datagram.from), &length);
    if (got < 0)
        return false;
    datagram.bytes.assign(buffer, static_cast<size_t>(got));
    return true;
}

bool AnswerTo(const Fd& fd, const sockaddr_in& to, const std::string& bytes)
{
    return sendto(fd.Get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(bytes.size());
}

// A receiver on every address of the namespace, as a device that listens
// for broadcasts binds.
Fd BindAnyUdp(std::uint16_t& port)
{
    Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    if (!fd.Valid() || bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return Fd();
    port = ntohs(address.sin_port);
    return fd;
}

class LanBroadcast : public testing::Test {
protected:
    void SetUp() override
    {
        if (!g_noPrivateNetwork.empty())
            GTEST_SKIP() << "no network namespace of our own: " << g_noPrivateNetwork;
        // A broadcast goes out only where nothing but loopback exists.
        ASSERT_EQ(NetworkInterfaces(), "lo");
    }
};

TEST_F(LanBroadcast, OneDatagramReachesTheReceiverAndItsAnswersReachTheHost)
{
    std::uint16_t port = 0;
    const Fd receiver = BindAnyUdp(port);
    ASSERT_TRUE(receiver.Valid());

    WindowThread window;
    CLan lan;
    window.Attach(lan);
    lan.SendBroadcast("hello", port);

    Datagram datagram;
    ASSERT_TRUE(ReceiveWithin(receiver, datagram)) << "no broadcast arrived";
    EXPECT_EQ(datagram.bytes.size(), 5u);
    EXPECT_EQ(datagram.bytes, "hello");
    EXPECT_EQ(ntohl(datagram.from.sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_NE(datagram.from.sin_port, 0);

    // The device stays open as a datagram socket that reads the answers.
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));
    EXPECT_TRUE(lan.IsConnected());
    const std::string first = "answer one";
    ASSERT_TRUE(AnswerTo(receiver, datagram.from, first));
    ASSERT_TRUE(window.WaitForData(first.size()));
    EXPECT_EQ(window.DataBytes(), first);
    const std::string second = "and another";
    ASSERT_TRUE(AnswerTo(receiver, datagram.from, second));
    ASSERT_TRUE(window.WaitForData(first.size() + second.size()));
    EXPECT_EQ(window.DataBytes(), first + second);
    EXPECT_TRUE(lan.IsConnected());

    // One broadcast, not more: a second copy would have been queued here
    // long before the two answers made their round trips.
    char extra[16];
    EXPECT_LT(recv(receiver.Get(), extra, sizeof extra, MSG_DONTWAIT), 0) << "a second datagram arrived";

    Within(10s, [&] { lan.Disconnect(); }, "Disconnect");
    EXPECT_EQ(window.NoticesOf(DEVMSG_DISCONNECTED).size(), 1u);
}

TEST_F(LanBroadcast, ASecondBroadcastReplacesTheFirstSocket)
{
    std::uint16_t port = 0;
    const Fd receiver = BindAnyUdp(port);
    ASSERT_TRUE(receiver.Valid());
    WindowThread window;
    CLan lan;
    window.Attach(lan);

    lan.SendBroadcast("first", port);
    Datagram one;
    ASSERT_TRUE(ReceiveWithin(receiver, one));
    EXPECT_EQ(one.bytes, "first");
    lan.SendBroadcast("second", port);
    // The first socket was disconnected, and a disconnect forgets the
    // host's window: the host gives it again, as after any reconnect.
    EXPECT_EQ(window.NoticesOf(DEVMSG_DISCONNECTED).size(), 1u);
    window.Attach(lan);
    Datagram two;
    ASSERT_TRUE(ReceiveWithin(receiver, two));
    EXPECT_EQ(two.bytes, "second");
    EXPECT_TRUE(lan.IsConnected());

    // Only the second socket is read: an answer sent to the first sender
    // first finds no one (unless the new socket happens to have the old
    // port), and the answer to the second is all the host gets.
    if (one.from.sin_port != two.from.sin_port)
        ASSERT_TRUE(AnswerTo(receiver, one.from, "to the first"));
    const std::string answer = "to the second";
    ASSERT_TRUE(AnswerTo(receiver, two.from, answer));
    ASSERT_TRUE(window.WaitForData(answer.size()));
    EXPECT_EQ(window.DataBytes(), answer);

    Within(10s, [&] { lan.Disconnect(); }, "Disconnect");
}

}  // namespace

int main(int argc, char** argv)
{
    // Before InitGoogleTest and before any thread: a thread started earlier
    // would stay in the machine's network.
    g_noPrivateNetwork = EnterPrivateNetwork();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
