// CCom against a real third-party peer: ser2net serves the other end of a
// socat pseudo-terminal pair on a loopback TCP port, so bytes written by the
// port reach a TCP client and the client's bytes come back as received data.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>
#include <unistd.h>

#include <string>

#include "support/Ser2netPeer.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

TEST(SerialSer2net, BytesGoBothWaysBetweenTheComPortAndATcpClient)
{
    TempDir dir;
    SocatPtyPair pair(dir.Path());
    ASSERT_TRUE(pair.Ready()) << pair.Error();
    Ser2netServer server(pair.PathB(), dir.Path());
    ASSERT_TRUE(server.Ready()) << server.Error() << server.Output();
    const int client = ConnectLoopback(server.Port());
    ASSERT_GE(client, 0);

    WindowThread window;
    CCom com;
    window.Attach(com);
    ASSERT_TRUE(com.Connect(pair.PathA().c_str(), nullptr));
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));

    // Every byte value but the Xon/Xoff characters, which the port's
    // default flow control keeps for itself.
    std::string all;
    for (int i = 0; i < 256; ++i)
        if (i != 0x11 && i != 0x13)
            all += static_cast<char>(i);
    ASSERT_TRUE(com.Write(reinterpret_cast<BYTE*>(all.data()), static_cast<DWORD>(all.size())));
    std::string atClient;
    EXPECT_TRUE(ReadUntil(client, atClient, all, 10000)) << atClient.size() << " bytes";
    EXPECT_EQ(atClient, all);

    // Back the other way, printable so that no packet frame starts.
    const std::string reply = "hello from the TCP side\r\n";
    ASSERT_EQ(write(client, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
    ASSERT_TRUE(window.WaitForData(reply.size()));
    EXPECT_EQ(window.DataBytes(), reply);

    close(client);
    Within(10s, [&] { com.Disconnect(); }, "Disconnect");
}
