// tavrin.exe run as a program under Windows: input through a pipe read
// with ReadFile, stdout in binary mode, the bridge's end when its server
// goes, and the ports and modems of the system registry, which each case
// fills from tests/fixtures/registry with regedit.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ToolRun.h"
#include "support/WineRegistry.h"

using namespace tavrin::test;

namespace {

constexpr int kRunMs = 30000;

std::string Exit(ChildProcess& child)
{
    return "stdout:\n" + child.Stdout() + "\nstderr:\n" + child.Stderr();
}

// The NT machine's modems and two test COM ports in the system registry;
// they go again when the next case imports or the program ends.
void ImportTheTestMachine()
{
    const std::string registry = std::string(TAVRIN_TEST_FIXTURES) + "/registry/";
    std::string error;
    ASSERT_TRUE(ImportRegistryFiles({registry + "modems/nt.reg", registry + "serialcomm.reg"}, error)) << error;
}

TEST(ToolWindowsTerm, PipedLinesComeBackAsTheyArriveWithEveryByteUnchanged)
{
    auto term = StartTavrin({"term", "loopback"});
    ASSERT_TRUE(term->Started()) << term->Error();
    // A line goes while the pipe is still open: the reader does not wait
    // for the end of the input.
    ASSERT_TRUE(term->WriteStdin("AT\r\n"));
    ASSERT_TRUE(term->WaitForStdout("AT\r\n", kRunMs)) << Exit(*term);
    // LF alone, Ctrl-Z and CR LF are what a text-mode runtime would change.
    const std::string bytes = "one\ntwo \x1a three\r\nfour\r";
    ASSERT_TRUE(term->WriteStdin(bytes));
    ASSERT_TRUE(term->WaitForStdout("four\r", kRunMs)) << Exit(*term);
    ASSERT_TRUE(term->WriteStdin("last"));
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kRunMs), 0) << Exit(*term);
    EXPECT_EQ(term->Stdout(), "AT\r\n" + bytes + "last");
    EXPECT_NE(term->Stderr().find("end of input quits"), std::string::npos) << term->Stderr();
}

TEST(ToolWindowsScript, NotificationsArePrintedWithPlainLineFeeds)
{
    auto script = StartTavrin({"script", "loopback", "AT^13"});
    ASSERT_TRUE(script->Started()) << script->Error();
    ASSERT_EQ(script->WaitForExit(kRunMs), 0) << Exit(*script);
    EXPECT_NE(script->Stdout().find("DEVMSG_DATA"), std::string::npos) << script->Stdout();
    EXPECT_NE(script->Stdout().find("script finished; "), std::string::npos) << script->Stdout();
    EXPECT_EQ(script->Stdout().find("\r\n"), std::string::npos) << "stdout is in text mode";
}

// A TCP server on 127.0.0.1 for the bridge to call.
class LoopbackServer {
public:
    LoopbackServer()
    {
        WSADATA data;
        m_started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        m_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        if (m_listener == INVALID_SOCKET || bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(m_listener, 1) != 0 || getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        m_port = ntohs(address.sin_port);
    }
    ~LoopbackServer()
    {
        for (SOCKET s : {m_peer, m_listener}) {
            if (s != INVALID_SOCKET)
                closesocket(s);
        }
        if (m_started)
            WSACleanup();
    }
    unsigned short Port() const { return m_port; }
    bool Accept(int timeoutMs)
    {
        if (!Readable(m_listener, timeoutMs))
            return false;
        m_peer = accept(m_listener, nullptr, nullptr);
        return m_peer != INVALID_SOCKET;
    }
    bool Send(const std::string& bytes)
    {
        return send(m_peer, bytes.data(), static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
    }
    std::string Receive(size_t count, int timeoutMs)
    {
        std::string received;
        while (received.size() < count && Readable(m_peer, timeoutMs)) {
            char buffer[256];
            const int n = recv(m_peer, buffer, static_cast<int>(std::min(sizeof buffer, count - received.size())), 0);
            if (n <= 0)
                break;
            received.append(buffer, static_cast<size_t>(n));
        }
        return received;
    }
    void ClosePeer()
    {
        closesocket(m_peer);
        m_peer = INVALID_SOCKET;
    }

private:
    static bool Readable(SOCKET s, int timeoutMs)
    {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        return select(0, &set, nullptr, nullptr, &limit) == 1;
    }

    bool m_started = false;
    SOCKET m_listener = INVALID_SOCKET, m_peer = INVALID_SOCKET;
    unsigned short m_port = 0;
};

TEST(ToolWindowsBridge, BytesCrossTheLinkAndTheServerLeavingEndsWithStatusOne)
{
    LoopbackServer server;
    ASSERT_NE(server.Port(), 0);
    auto bridge = StartTavrin({"bridge", "tcp:127.0.0.1:" + std::to_string(server.Port()), "loopback"});
    ASSERT_TRUE(bridge->Started()) << bridge->Error();
    ASSERT_TRUE(server.Accept(kRunMs)) << Exit(*bridge);
    ASSERT_TRUE(bridge->WaitForStderr("Ctrl-C or Ctrl-Break stops", kRunMs)) << Exit(*bridge);
    ASSERT_TRUE(bridge->WaitForStderr("linked A with B", kRunMs)) << Exit(*bridge);
    // The loopback side sends back what the server's side hands it.
    ASSERT_TRUE(server.Send("ping"));
    EXPECT_EQ(server.Receive(4, kRunMs), "ping");
    server.ClosePeer();
    EXPECT_EQ(bridge->WaitForExit(kRunMs), 1) << Exit(*bridge);
    EXPECT_NE(bridge->Stderr().find("the link dropped"), std::string::npos) << bridge->Stderr();
    EXPECT_TRUE(bridge->Stdout().empty()) << bridge->Stdout();
}

TEST(ToolWindowsPorts, TheComPortsOfTheRegistryAreListedInNaturalOrder)
{
    ImportTheTestMachine();
    auto ports = StartTavrin({"ports"});
    ASSERT_TRUE(ports->Started()) << ports->Error();
    ASSERT_EQ(ports->WaitForExit(kRunMs), 0) << Exit(*ports);
    const std::string& out = ports->Stdout();
    const size_t seven = out.find("COM7            \\Device\\TavrinTest7\n");
    const size_t fortyTwo = out.find("COM42           \\Device\\TavrinTest42\n");
    ASSERT_NE(seven, std::string::npos) << out;
    ASSERT_NE(fortyTwo, std::string::npos) << out;
    EXPECT_LT(seven, fortyTwo);

    auto all = StartTavrin({"ports", "--all"});
    ASSERT_TRUE(all->Started()) << all->Error();
    EXPECT_EQ(all->WaitForExit(kRunMs), 2) << Exit(*all);
    EXPECT_NE(all->Stderr().find("sysfs"), std::string::npos) << all->Stderr();
}

TEST(ToolWindowsModems, TheSystemRegistryIsListedAndTheChosenOneSelected)
{
    ImportTheTestMachine();
    auto modems = StartTavrin({"modems", "--choose", "2"});
    ASSERT_TRUE(modems->Started()) << modems->Error();
    ASSERT_EQ(modems->WaitForExit(kRunMs), 0) << Exit(*modems);
    const std::string& out = modems->Stdout();
    EXPECT_NE(out.find("3 modems in the registry\n"), std::string::npos) << out;
    EXPECT_NE(out.find("1. Zweites Modem f"), std::string::npos) << out;
    EXPECT_EQ(out.find("Varnoquel (x)"), std::string::npos) << "a modem without a port or strings was listed";
    const size_t selected = out.find("selected: 2. USB Fax Modem");
    ASSERT_NE(selected, std::string::npos) << out;
    EXPECT_NE(out.find("port   COM11", selected), std::string::npos) << out;
    EXPECT_NE(out.find("rate   250000 baud", selected), std::string::npos) << out;
}

TEST(ToolWindowsModems, SeveralModemsBringThePanelWhereAPipedNumberChooses)
{
    ImportTheTestMachine();
    auto modems = StartTavrin({"modems"});
    ASSERT_TRUE(modems->Started()) << modems->Error();
    ASSERT_TRUE(modems->WaitForStdout("Please select a modem for testing.", kRunMs)) << Exit(*modems);
    ASSERT_TRUE(modems->WriteStdin("3\r\n"));
    modems->CloseStdin();
    ASSERT_EQ(modems->WaitForExit(kRunMs), 0) << Exit(*modems);
    EXPECT_NE(modems->Stdout().find("selected: 3. varnoquel"), std::string::npos) << modems->Stdout();
}

TEST(ToolWindowsModems, ExportFilesAreRefusedForTheSystemRegistry)
{
    for (const char* command : {"modems", "dial"}) {
        SCOPED_TRACE(command);
        std::vector<std::string> args = {command, "--registry", "modems.reg"};
        if (std::string(command) == "dial")
            args.push_back("123");
        auto child = StartTavrin(args);
        ASSERT_TRUE(child->Started()) << child->Error();
        EXPECT_EQ(child->WaitForExit(kRunMs), 1) << Exit(*child);
        EXPECT_NE(child->Stderr().find("export files are not loaded"), std::string::npos) << child->Stderr();
    }
}

TEST(ToolWindowsDial, AModemWhosePortIsMissingIsNamed)
{
    ImportTheTestMachine();
    // Modem 1 sits on COM4, which no device of the prefix answers; the call
    // itself needs the tests' Hayes modem on a pseudo-terminal (Linux).
    auto dial = StartTavrin({"dial", "5551234", "--choose", "1"});
    ASSERT_TRUE(dial->Started()) << dial->Error();
    EXPECT_EQ(dial->WaitForExit(kRunMs), 1) << Exit(*dial);
    EXPECT_NE(dial->Stderr().find("cannot open COM4"), std::string::npos) << dial->Stderr();
}

}  // namespace
