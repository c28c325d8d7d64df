// `tavrin term` and `tavrin bridge` with --reconnect: a serial port whose
// far end goes and comes back under the same link name (socat killed and
// started again with the same link=), and a TCP peer that goes and comes
// back on its port, tried again after a back-off that grows.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "support/Ser2netPeer.h"
#include "support/SocketPeer.h"
#include "support/ToolRun.h"

namespace {

using namespace tavrin::test;
using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 20000;

std::unique_ptr<ChildProcess> StartHost(const std::vector<std::string>& args, const std::string& lockDir)
{
    ChildOptions options;
    options.argv = {TAVRIN_CLI_PATH};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.environment = {{"TAVRIN_LOCK_DIR", lockDir}};
    return std::make_unique<ChildProcess>(options);
}

// The far end of the line: the pair's other pty, opened by its link.
class FarEnd {
public:
    explicit FarEnd(const std::string& path) : m_fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~FarEnd()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    bool Write(const std::string& bytes) const
    {
        return write(m_fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    bool ReadUntil(const std::string& text) { return tavrin::test::ReadUntil(m_fd, m_received, text, kTimeoutMs); }
    const std::string& Received() const { return m_received; }
    int Fd() const { return m_fd; }

private:
    int m_fd;
    std::string m_received;
};

// The pair that stands for an adapter: pulled out (socat ends, its links
// go) and plugged in again (a new socat, the same links, new ptys).
struct Line {
    TempDir dir;
    std::unique_ptr<SocatPtyPair> pair;

    bool PlugIn()
    {
        pair = std::make_unique<SocatPtyPair>(dir.Path());
        return pair->Ready();
    }
    void Unplug() { pair.reset(); }
    std::string Device() const { return dir.Path() + "/ptya"; }
    std::string Far() const { return dir.Path() + "/ptyb"; }
};

TEST(ToolReconnect, TermWaitsForTheLinkAndGoesOnAfterIt)
{
    Line line;
    ASSERT_TRUE(line.PlugIn()) << line.pair->Error();
    auto term = StartHost({"term", "--reconnect", "serial:" + line.Device() + ":115200,8,N,1"}, line.dir.Path());
    ASSERT_TRUE(term->WaitForStderr("end of input quits", kTimeoutMs)) << term->Stderr();
    {
        FarEnd far(line.Far());
        ASSERT_TRUE(far.Write("before\n"));
        ASSERT_TRUE(term->WaitForStdout("before\n", kTimeoutMs)) << term->Stderr();
    }
    line.Unplug();
    // The link's own folder is watched, not the folder of the pty it led to.
    ASSERT_TRUE(term->WaitForStderr("waiting for it to come back (watching " + line.dir.Path() + ")", kTimeoutMs))
        << term->Stderr();
    ASSERT_TRUE(line.PlugIn()) << line.pair->Error();
    ASSERT_TRUE(term->WaitForStderr("back: ", kTimeoutMs)) << term->Stderr();

    FarEnd far(line.Far());
    ASSERT_TRUE(far.Write("after\n"));
    ASSERT_TRUE(term->WaitForStdout("after\n", kTimeoutMs)) << term->Stderr();
    ASSERT_TRUE(term->WriteStdin("typed\n"));
    ASSERT_TRUE(far.ReadUntil("typed\n")) << far.Received();
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
    EXPECT_EQ(term->Stdout(), "before\nafter\n");
}

TEST(ToolReconnect, BridgeCallerStaysAndIsToldWhatHappened)
{
    // Also when the listen: side is shared: the fan-out is linked again.
    for (const bool shared : {false, true}) {
        SCOPED_TRACE(shared ? "--clients 2" : "one caller");
        const auto Args = [](std::vector<std::string> args, bool more) {
            if (more)
                args.insert(args.end(), {"--clients", "2"});
            return args;
        };
        Line line;
        ASSERT_TRUE(line.PlugIn()) << line.pair->Error();
        std::uint16_t port = 0;
        std::unique_ptr<ChildProcess> bridge;
        for (int attempt = 0; attempt < 5 && !bridge; ++attempt) {
            port = UnusedTcpPort();
            bridge = StartHost(
                Args({"bridge", "--reconnect", "serial:" + line.Device(), "listen:" + std::to_string(port)}, shared),
                line.dir.Path());
            if (!bridge->WaitForStderr("bridging", kTimeoutMs))
                bridge.reset();
        }
        ASSERT_TRUE(bridge);
        Fd caller = ConnectLoopbackTcp(port);
        ASSERT_TRUE(caller.Valid());
        ASSERT_TRUE(bridge->WaitForStderr("linked", kTimeoutMs)) << bridge->Stderr();
        {
            FarEnd far(line.Far());
            ASSERT_TRUE(far.Write("one"));
            EXPECT_EQ(ReceiveExactly(caller, 3), "one");
        }

        line.Unplug();
        const std::string gone = "tavrin: serial side gone, waiting\r\n";
        EXPECT_EQ(ReceiveExactly(caller, gone.size(), std::chrono::milliseconds(kTimeoutMs)), gone);
        ASSERT_TRUE(line.PlugIn()) << line.pair->Error();
        const std::string back = "tavrin: serial side back\r\n";
        EXPECT_EQ(ReceiveExactly(caller, back.size(), std::chrono::milliseconds(kTimeoutMs)), back);

        FarEnd far(line.Far());
        ASSERT_TRUE(far.Write("two"));
        EXPECT_EQ(ReceiveExactly(caller, 3), "two");
        ASSERT_TRUE(SendAll(caller, "three"));
        EXPECT_TRUE(far.ReadUntil("three")) << far.Received();
        EXPECT_EQ(bridge->Stop(SIGTERM, kTimeoutMs), 0) << bridge->Stderr();
    }
}

TEST(ToolReconnect, TcpPeerIsTriedAgainAfterAGrowingBackOff)
{
    TempDir dir;
    // Both listeners reuse the address: the first one's connection stays in
    // TIME_WAIT, which only a socket of the same kind may bind beside.
    const std::uint16_t port = UnusedTcpPort();
    Fd listener = ListenLoopbackOn(port);
    ASSERT_TRUE(listener.Valid());
    auto term = StartHost({"term", "--reconnect", "tcp:127.0.0.1:" + std::to_string(port)}, dir.Path());
    {
        Fd peer = AcceptWithin(listener);
        ASSERT_TRUE(peer.Valid()) << term->Stderr();
        ASSERT_TRUE(SendAll(peer, "before\n"));
        ASSERT_TRUE(term->WaitForStdout("before\n", kTimeoutMs)) << term->Stderr();
        listener = Fd();
    }
    // 1 s after it went, then 2 s, then 4 s: each refused, as nothing listens.
    ASSERT_TRUE(term->WaitForStderr("trying again in 1 s", kTimeoutMs)) << term->Stderr();
    ASSERT_TRUE(term->WaitForStderr("next try in 2 s", kTimeoutMs)) << term->Stderr();
    ASSERT_TRUE(term->WaitForStderr("next try in 4 s", kTimeoutMs)) << term->Stderr();
    const auto told = Clock::now();
    listener = ListenLoopbackOn(port);
    ASSERT_TRUE(listener.Valid()) << term->Stderr();
    Fd peer = AcceptWithin(listener, std::chrono::milliseconds(kTimeoutMs));
    ASSERT_TRUE(peer.Valid()) << term->Stderr();
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - told).count();
    EXPECT_GE(waited, 2500) << "the 4 s back-off was not kept";
    EXPECT_LE(waited, 12000);
    ASSERT_TRUE(term->WaitForStderr("back: ", kTimeoutMs)) << term->Stderr();
    ASSERT_TRUE(SendAll(peer, "after\n"));
    ASSERT_TRUE(term->WaitForStdout("after\n", kTimeoutMs)) << term->Stderr();
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
}

TEST(ToolReconnect, AWaitEndsAtOnceOnSigterm)
{
    Line line;
    ASSERT_TRUE(line.PlugIn()) << line.pair->Error();
    auto term = StartHost({"term", "--reconnect", "serial:" + line.Device()}, line.dir.Path());
    ASSERT_TRUE(term->WaitForStderr("end of input quits", kTimeoutMs)) << term->Stderr();
    line.Unplug();
    ASSERT_TRUE(term->WaitForStderr("waiting for it", kTimeoutMs)) << term->Stderr();
    EXPECT_EQ(term->Stop(SIGTERM, kTimeoutMs), 0) << term->Stderr();
}

TEST(ToolReconnect, DevicesThatDoNotGoAwayAreRefused)
{
    TempDir dir;
    auto term = StartHost({"term", "--reconnect", "loopback"}, dir.Path());
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 2);
    EXPECT_NE(term->Stderr().find("--reconnect waits for a serial: or tcp: device"), std::string::npos)
        << term->Stderr();
}

}  // namespace
