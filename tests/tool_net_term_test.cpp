// `tavrin term` on the socket devices, run as a program against peers made
// of plain sockets on 127.0.0.1: a TCP client to a server of the test's, a
// listener with callers from the test admitted or turned away by --allow,
// a datagram socket that answers, a broadcast answered (inside a network
// namespace of its own, never on the machine's network), the Telnet
// refusal switched on, and options that do not fit the device refused.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include <tavrin/net/Lan.h>
#include "support/ChildProcess.h"
#include "support/ToolRun.h"

#include "support/SocketPeer.h"

namespace {

using namespace tavrin::test;

constexpr int kTimeoutMs = 20000;

TEST(ToolNetTermOptions, OptionsThatDoNotFitTheDeviceAreRefused)
{
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"term", "loopback", "--telnet-refuse"}, "--telnet-refuse needs a tcp: or listen: device, not loopback"},
        {{"term", "udp-reply:5000:x", "--telnet-refuse"}, "not udp-reply:"},
        {{"term", "tcp:127.0.0.1:23", "--allow", "127.0.0.0/8"}, "tcp: has no callers"},
        {{"term", "listen:2323", "--allow", "127.0.0.0/255.0.255.0"}, "ones followed by zeros"},
        {{"term", "listen:2323", "--allow"}, "--allow: 1 required ADDRESS/MASK missing"},
        {{"term", "listen:2323", "--listen"}, "not expected: --listen"},
        {{"term", "listen:2323", "tcp:127.0.0.1:23"}, "not expected: tcp:127.0.0.1:23"},
        {{"dial", "1", "--step", "20"}, "--step: Value 20 not in range -14 to 14"},
        {{"frob"}, "unknown command 'frob'"},
        {{"term", "tcp:127.0.0.1:0"}, "the port must be from 1 to 65535"},
        {{"script", "loopback", "AT", "--allow", "127.0.0.0/8"}, "loopback has no callers"},
        {{"script", "broadcast:5000:x", "AT", "--telnet-refuse"}, "not broadcast:"},
    };
    for (const auto& c : cases) {
        auto tavrin = StartTavrin(c.args);
        ASSERT_TRUE(tavrin->Started()) << tavrin->Error();
        tavrin->CloseStdin();
        EXPECT_EQ(tavrin->WaitForExit(kTimeoutMs), 2) << c.args[1] << " " << tavrin->Stderr();
        EXPECT_NE(tavrin->Stderr().find(c.says), std::string::npos) << tavrin->Stderr();
        EXPECT_EQ(tavrin->Stdout(), "");
    }
}


constexpr std::chrono::milliseconds kPeerTimeout{kTimeoutMs};

std::unique_ptr<ChildProcess> StartTerm(const std::vector<std::string>& args)
{
    std::vector<std::string> all = {"term"};
    all.insert(all.end(), args.begin(), args.end());
    return StartTavrin(all);
}

// A term on listen:PORT with the options given, up and listening.
std::unique_ptr<ChildProcess> StartListeningTerm(const std::vector<std::string>& options, std::uint16_t& port)
{
    return StartListening(
        [&](std::uint16_t p) {
            std::vector<std::string> args = {"term", "listen:" + std::to_string(p)};
            args.insert(args.end(), options.begin(), options.end());
            return args;
        },
        UnusedTcpPort, "end of input quits", kTimeoutMs, port);
}

TEST(ToolNetTermTcp, BytesFlowBothWaysWithAServer)
{
    std::uint16_t port = 0;
    Fd server = ListenLoopback(port);
    ASSERT_TRUE(server.Valid());
    auto term = StartTerm({"tcp:127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(term->Started()) << term->Error();
    Fd peer = AcceptWithin(server, kPeerTimeout);
    ASSERT_TRUE(peer.Valid()) << term->Stderr();
    ASSERT_TRUE(term->WaitForStderr("end of input quits", kTimeoutMs)) << term->Stderr();
    EXPECT_NE(term->Stderr().find("on TCP 127.0.0.1:" + std::to_string(port)), std::string::npos) << term->Stderr();

    ASSERT_TRUE(SendAll(peer, "from the server\r\n"));
    ASSERT_TRUE(term->WaitForStdout("from the server\r\n", kTimeoutMs)) << term->Stdout() << term->Stderr();
    ASSERT_TRUE(term->WriteStdin("typed line\n"));
    EXPECT_EQ(ReceiveExactly(peer, 11, kPeerTimeout), "typed line\n");
    ASSERT_TRUE(term->WriteStdin("last"));
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
    EXPECT_EQ(ReceiveExactly(peer, 4, kPeerTimeout), "last");
    // The term hangs up when it ends.
    EXPECT_TRUE(WaitForEndOfStream(peer, kPeerTimeout));
    EXPECT_EQ(term->Stdout(), "from the server\r\n");
}

TEST(ToolNetTermTcp, TheServerClosingEndsTheSessionAndARefusalIsReported)
{
    std::uint16_t port = 0;
    Fd server = ListenLoopback(port);
    ASSERT_TRUE(server.Valid());
    auto term = StartTerm({"tcp:127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(term->Started()) << term->Error();
    Fd peer = AcceptWithin(server, kPeerTimeout);
    ASSERT_TRUE(peer.Valid()) << term->Stderr();
    ASSERT_TRUE(term->WaitForStderr("end of input quits", kTimeoutMs)) << term->Stderr();
    peer.Reset();
    // The input stays open: only the dropped link can end the session.
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 1) << term->Stderr();
    EXPECT_NE(term->Stderr().find("the link dropped"), std::string::npos) << term->Stderr();

    server.Reset();
    auto refused = StartTerm({"tcp:127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(refused->Started()) << refused->Error();
    refused->CloseStdin();
    EXPECT_EQ(refused->WaitForExit(kTimeoutMs), 1) << refused->Stderr();
    EXPECT_NE(refused->Stderr().find("cannot connect to 127.0.0.1:" + std::to_string(port)), std::string::npos)
        << refused->Stderr();
}

TEST(ToolNetTermTcp, TelnetRefuseAnswersOptionsAndKeepsThemOffTheScreen)
{
    const std::string ask = "\xFF\xFD\x18" "login: ";   // IAC DO TERMINAL-TYPE, then the prompt
    for (const bool refuse : {false, true}) {
        std::uint16_t port = 0;
        Fd server = ListenLoopback(port);
        ASSERT_TRUE(server.Valid());
        std::vector<std::string> args = {"tcp:127.0.0.1:" + std::to_string(port)};
        if (refuse)
            args.push_back("--telnet-refuse");
        auto term = StartTerm(args);
        ASSERT_TRUE(term->Started()) << term->Error();
        Fd peer = AcceptWithin(server, kPeerTimeout);
        ASSERT_TRUE(peer.Valid()) << term->Stderr();
        ASSERT_TRUE(term->WaitForStderr("end of input quits", kTimeoutMs)) << term->Stderr();
        ASSERT_TRUE(SendAll(peer, ask));
        ASSERT_TRUE(term->WaitForStdout("login: ", kTimeoutMs)) << term->Stderr();
        if (refuse) {
            // IAC WONT TERMINAL-TYPE, and nothing of the command on stdout.
            EXPECT_EQ(ReceiveExactly(peer, 3, kPeerTimeout), "\xFF\xFC\x18");
            EXPECT_EQ(term->Stdout(), "login: ");
        } else {
            EXPECT_EQ(term->Stdout(), ask);
        }
        ASSERT_TRUE(term->WriteStdin("guest\n"));
        term->CloseStdin();
        EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
        // Without the refusal nothing but the typed line reaches the server.
        EXPECT_EQ(ReceiveExactly(peer, 6, kPeerTimeout), "guest\n") << refuse;
        EXPECT_TRUE(WaitForEndOfStream(peer, kPeerTimeout));
    }
}

TEST(ToolNetTermListen, EveryCallerIsAdmittedWithoutAllowAndHearsWhatIsTyped)
{
    std::uint16_t port = 0;
    auto term = StartListeningTerm({}, port);
    ASSERT_TRUE(term && term->Started());
    ASSERT_NE(term->Stderr().find("end of input quits"), std::string::npos) << term->Stderr();

    Fd first = ConnectLoopbackTcp(port);
    ASSERT_TRUE(first.Valid());
    ASSERT_TRUE(term->WaitForStderr("caller 1: Connection from 127.0.0.1. (Accepted)", kTimeoutMs)) << term->Stderr();
    ASSERT_TRUE(SendAll(first, "hello from one\n"));
    ASSERT_TRUE(term->WaitForStdout("hello from one\n", kTimeoutMs)) << term->Stderr();
    ASSERT_TRUE(term->WriteStdin("to one\n"));
    EXPECT_EQ(ReceiveExactly(first, 7, kPeerTimeout), "to one\n");

    Fd second = ConnectLoopbackTcp(port);
    ASSERT_TRUE(second.Valid());
    ASSERT_TRUE(term->WaitForStderr("caller 2: Connection from 127.0.0.1. (Accepted)", kTimeoutMs)) << term->Stderr();
    // SOH too: a caller's bytes are all data.
    ASSERT_TRUE(SendAll(second, "two\x01here\n"));
    ASSERT_TRUE(term->WaitForStdout("two\x01here\n", kTimeoutMs)) << term->Stderr();
    // Typed text goes to every caller there is.
    ASSERT_TRUE(term->WriteStdin("to both\n"));
    EXPECT_EQ(ReceiveExactly(first, 8, kPeerTimeout), "to both\n");
    EXPECT_EQ(ReceiveExactly(second, 8, kPeerTimeout), "to both\n");

    // A caller leaving is a notice, not the end; the others stay.
    first.Reset();
    ASSERT_TRUE(term->WaitForStderr("caller 1 left", kTimeoutMs)) << term->Stderr();
    ASSERT_TRUE(term->WriteStdin("to two\n"));
    EXPECT_EQ(ReceiveExactly(second, 7, kPeerTimeout), "to two\n");
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
    EXPECT_TRUE(WaitForEndOfStream(second, kPeerTimeout));
    EXPECT_EQ(term->Stdout(), "hello from one\ntwo\x01here\n");
}

TEST(ToolNetTermListen, AllowAdmitsCallersInsideTheRule)
{
    for (const char* rule : {"127.0.0.0/8", "127.0.0.0/255.0.0.0", "127.0.0.1"}) {
        std::uint16_t port = 0;
        auto term = StartListeningTerm({"--allow", "10.0.0.0/8", "--allow", rule}, port);
        ASSERT_TRUE(term && term->Started());
        Fd caller = ConnectLoopbackTcp(port);
        ASSERT_TRUE(caller.Valid());
        ASSERT_TRUE(term->WaitForStderr("caller 1: Connection from 127.0.0.1. (Accepted)", kTimeoutMs))
            << rule << ": " << term->Stderr();
        ASSERT_TRUE(SendAll(caller, "inside\n"));
        ASSERT_TRUE(term->WaitForStdout("inside\n", kTimeoutMs)) << term->Stderr();
        ASSERT_TRUE(term->WriteStdin("welcome\n"));
        EXPECT_EQ(ReceiveExactly(caller, 8, kPeerTimeout), "welcome\n");
        term->CloseStdin();
        EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
        EXPECT_EQ(term->Stderr().find("turned away"), std::string::npos) << term->Stderr();
    }
}

TEST(ToolNetTermListen, AllowTurnsAwayCallersOutsideAfterTheirText)
{
    for (const char* rule : {"10.0.0.0/8", "127.0.0.2/32", "128.0.0.0/255.0.0.0"}) {
        std::uint16_t port = 0;
        auto term = StartListeningTerm({"--allow", rule}, port);
        ASSERT_TRUE(term && term->Started());
        Fd caller = ConnectLoopbackTcp(port);
        ASSERT_TRUE(caller.Valid());
        // Sent at once: none of it may reach the screen.
        SendAll(caller, "let me in\n");
        ASSERT_TRUE(term->WaitForStderr("caller 1 turned away", kTimeoutMs)) << rule << ": " << term->Stderr();
        const std::string& notices = term->Stderr();
        const size_t text = notices.find("caller 1: Connection from 127.0.0.1. (Forbidden)");
        ASSERT_NE(text, std::string::npos) << notices;
        EXPECT_LT(text, notices.find("caller 1 turned away")) << notices;
        EXPECT_TRUE(WaitForEndOfStream(caller, kPeerTimeout));
        term->CloseStdin();
        EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
        EXPECT_EQ(term->Stdout(), "") << rule;
    }
}

TEST(ToolNetTermUdp, EveryDatagramIsAnsweredAndShown)
{
    std::uint16_t port = 0;
    auto term = StartListening(
        [](std::uint16_t p) {
            return std::vector<std::string>{"term", "udp-reply:" + std::to_string(p) + ":pong: ok"};
        },
        UnusedUdpPort, "end of input quits", kTimeoutMs, port);
    ASSERT_TRUE(term && term->Started());
    ASSERT_NE(term->Stderr().find("end of input quits"), std::string::npos) << term->Stderr();
    std::uint16_t ownPort = 0;
    Fd peer = BindLoopbackUdp(ownPort);
    ASSERT_TRUE(peer.Valid());
    for (const std::string ping : {"ping 1\n", "ping 2\n"}) {
        ASSERT_TRUE(SendDatagram(peer, port, ping));
        std::string answer;
        std::uint16_t from = 0;
        ASSERT_TRUE(ReceiveDatagram(peer, answer, &from, kPeerTimeout)) << term->Stderr();
        EXPECT_EQ(answer, "pong: ok");
        EXPECT_EQ(from, port);
        ASSERT_TRUE(term->WaitForStdout(ping, kTimeoutMs)) << term->Stdout() << term->Stderr();
    }
    // There is no peer to write typed text to: it is dropped, with a word.
    ASSERT_TRUE(term->WriteStdin("typed\n"));
    ASSERT_TRUE(term->WaitForStderr("input is not sent", kTimeoutMs)) << term->Stderr();
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
    EXPECT_EQ(term->Stdout(), "ping 1\nping 2\n");
}

// A network namespace with only its loopback interface, up, and a default
// route through it so that 255.255.255.255 can be reached; removed at the
// end. Broadcasts from the tests are sent only in there.
class Namespace {
public:
    Namespace() : m_name("tavrin-tool-" + std::to_string(getpid()))
    {
        m_ok = Run({"ip", "netns", "add", m_name}, m_error);
        m_ok = m_ok && Run({"ip", "-n", m_name, "link", "set", "lo", "up"}, m_error) &&
               Run({"ip", "-n", m_name, "route", "add", "default", "dev", "lo"}, m_error);
    }
    ~Namespace()
    {
        std::string ignored;
        Run({"ip", "netns", "del", m_name}, ignored);
    }
    Namespace(const Namespace&) = delete;
    Namespace& operator=(const Namespace&) = delete;
    bool Ok() const { return m_ok; }
    const std::string& Error() const { return m_error; }
    std::unique_ptr<ChildProcess> StartTavrin(const std::vector<std::string>& args) const
    {
        ChildOptions options;
        options.argv = {"ip", "netns", "exec", m_name, TAVRIN_CLI_PATH};
        options.argv.insert(options.argv.end(), args.begin(), args.end());
        return std::make_unique<ChildProcess>(options);
    }

private:
    static bool Run(const std::vector<std::string>& argv, std::string& error)
    {
        ChildOptions options;
        options.argv = argv;
        ChildProcess child(options);
        child.CloseStdin();
        if (child.Started() && child.WaitForExit(kTimeoutMs) == 0)
            return true;
        error = argv[1] + " " + argv[2] + ": " + child.Error() + child.Stderr();
        return false;
    }

    std::string m_name;
    bool m_ok = false;
    std::string m_error;
};

TEST(ToolNetTermUdp, ABroadcastIsAnsweredInANamespaceOfItsOwn)
{
    Namespace ns;
    if (!ns.Ok())
        GTEST_SKIP() << "no network namespace for a broadcast: " << ns.Error();
    // Nothing else lives in the namespace: any port is free.
    auto replier = ns.StartTavrin({"term", "udp-reply:5000:here I am"});
    ASSERT_TRUE(replier->Started()) << replier->Error();
    ASSERT_TRUE(replier->WaitForStderr("end of input quits", kTimeoutMs)) << replier->Stderr();
    auto asker = ns.StartTavrin({"term", "broadcast:5000:who is there?"});
    ASSERT_TRUE(asker->Started()) << asker->Error();
    ASSERT_TRUE(asker->WaitForStdout("here I am", kTimeoutMs)) << asker->Stderr();
    ASSERT_TRUE(replier->WaitForStdout("who is there?", kTimeoutMs)) << replier->Stderr();
    EXPECT_NE(asker->Stderr().find("UDP broadcast of \"who is there?\" to port 5000"), std::string::npos)
        << asker->Stderr();
    asker->CloseStdin();
    replier->CloseStdin();
    EXPECT_EQ(asker->WaitForExit(kTimeoutMs), 0) << asker->Stderr();
    EXPECT_EQ(replier->WaitForExit(kTimeoutMs), 0) << replier->Stderr();
    EXPECT_EQ(asker->Stdout(), "here I am");
    EXPECT_EQ(replier->Stdout(), "who is there?");
}

TEST(ToolNetScript, AScriptRunsOnAServerAndOnTheFirstCallerAdmitted)
{
    std::uint16_t serverPort = 0;
    Fd server = ListenLoopback(serverPort);
    ASSERT_TRUE(server.Valid());
    auto client = StartTavrin({"script", "tcp:127.0.0.1:" + std::to_string(serverPort), "AT^13@10#OK#"});
    ASSERT_TRUE(client->Started()) << client->Error();
    Fd peer = AcceptWithin(server, kPeerTimeout);
    ASSERT_TRUE(peer.Valid()) << client->Stderr();
    EXPECT_EQ(ReceiveExactly(peer, 3, kPeerTimeout), "AT\r");
    ASSERT_TRUE(SendAll(peer, "OK\r\n"));
    EXPECT_EQ(client->WaitForExit(kTimeoutMs), 0) << client->Stderr();
    EXPECT_NE(client->Stdout().find("(answer received)"), std::string::npos) << client->Stdout();

    std::uint16_t port = 0;
    auto listener = StartListening(
        [](std::uint16_t p) {
            return std::vector<std::string>{"script", "listen:" + std::to_string(p), "welcome^13", "--allow",
                                            "127.0.0.0/8"};
        },
        UnusedTcpPort, "waiting for a caller", kTimeoutMs, port, true);
    ASSERT_TRUE(listener && listener->Started());
    ASSERT_NE(listener->Stdout().find("waiting for a caller"), std::string::npos) << listener->Stderr();
    Fd caller = ConnectLoopbackTcp(port);
    ASSERT_TRUE(caller.Valid());
    EXPECT_EQ(ReceiveExactly(caller, 8, kPeerTimeout), "welcome\r");
    EXPECT_EQ(listener->WaitForExit(kTimeoutMs), 0) << listener->Stderr();
    EXPECT_TRUE(WaitForEndOfStream(caller, kPeerTimeout));
    EXPECT_NE(listener->Stdout().find("caller 1: Connection from 127.0.0.1. (Accepted)"), std::string::npos)
        << listener->Stdout();
}


}  // namespace
