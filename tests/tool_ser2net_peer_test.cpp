// The ser2net peer the serial tests use: a socat pseudo-terminal pair with
// ser2net serving one end on a loopback port; bytes go both ways between
// the other end and a TCP client.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "support/Ser2netPeer.h"

namespace {

using namespace tavrin::test;

constexpr int kTimeoutMs = 10000;

struct Fd {
    explicit Fd(int value) : fd(value) {}
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
    int fd;
};

bool WriteAll(int fd, const std::string& bytes)
{
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

TEST(ToolSer2netPeer, ServesAPseudoTerminalOnALoopbackPort)
{
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    SocatPtyPair pair(dir.Path());
    ASSERT_TRUE(pair.Ready()) << pair.Error();
    Ser2netServer server(pair.PathB(), dir.Path());
    ASSERT_TRUE(server.Ready()) << server.Error();
    EXPECT_TRUE(IsListeningOnLoopback(server.Port()));

    Fd port(open(pair.PathA().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_GE(port.fd, 0);
    Fd client(ConnectLoopback(server.Port()));
    ASSERT_GE(client.fd, 0);

    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    ASSERT_TRUE(WriteAll(client.fd, "to the port:" + all));
    std::string atPort;
    ASSERT_TRUE(ReadUntil(port.fd, atPort, all, kTimeoutMs)) << atPort.size();
    EXPECT_EQ(atPort, "to the port:" + all);

    ASSERT_TRUE(WriteAll(port.fd, "to the client:" + all));
    std::string atClient;
    ASSERT_TRUE(ReadUntil(client.fd, atClient, all, kTimeoutMs)) << atClient.size();
    EXPECT_EQ(atClient, "to the client:" + all);
}

TEST(ToolSer2netPeer, StopsAndFreesItsPort)
{
    TempDir dir;
    SocatPtyPair pair(dir.Path());
    ASSERT_TRUE(pair.Ready()) << pair.Error();
    int port = 0;
    {
        Ser2netServer server(pair.PathB(), dir.Path());
        ASSERT_TRUE(server.Ready()) << server.Error();
        port = server.Port();
        EXPECT_TRUE(IsListeningOnLoopback(port));
    }
    EXPECT_FALSE(IsListeningOnLoopback(port));
    EXPECT_LT(ConnectLoopback(port), 0);
}

}  // namespace
