// tavrin modems and tavrin dial, run as programs: the catalogue listed, a
// modem chosen on the panel, and a call through the tests' Hayes modem to a
// TCP server on 127.0.0.1.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/ChildProcess.h"
#include "support/HayesModem.h"
#include "support/SocketPeer.h"
#include "support/ToolRun.h"

using namespace tavrin::test;

namespace {

constexpr int kRunMs = 20000;
const std::string kFixtures = std::string(TAVRIN_TEST_FIXTURES) + "/registry/";

std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& args,
                                    const std::vector<std::pair<std::string, std::string>>& environment = {})
{
    ChildOptions options;
    options.argv = {TAVRIN_CLI_PATH};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.environment = environment;
    return std::make_unique<ChildProcess>(options);
}

TEST(ToolModems, ListsEveryModemAndTakesTheOneChosen)
{
    auto child = Start({"modems", "--registry", kFixtures + "modems/win98.reg", "--choose", "2"});
    ASSERT_TRUE(child->Started());
    const auto status = child->WaitForExit(kRunMs);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << child->Stderr();
    const std::string& out = child->Stdout();
    EXPECT_NE(out.find("2 modems in the registry"), std::string::npos) << out;
    const size_t first = out.find("1. Example 56K Modem  [0000]");
    const size_t second = out.find("2. Fast Modem  [0003]");
    ASSERT_NE(first, std::string::npos) << out;
    ASSERT_NE(second, std::string::npos) << out;
    EXPECT_LT(first, second);
    EXPECT_NE(out.find("init   ATS7=60S30=0M0\\N3%C1&K3B0X4V1<cr>"), std::string::npos) << out;
    EXPECT_NE(out.find("port   COM5"), std::string::npos) << out;
    EXPECT_EQ(out.find("Varnoquel"), std::string::npos) << "a hidden modem was listed";
    const size_t selected = out.find("selected: 2. Fast Modem");
    ASSERT_NE(selected, std::string::npos) << out;
    EXPECT_NE(out.find("tone   ATM1DT<#><cr>", selected), std::string::npos) << out;
    // Nothing to choose from needed no panel.
    EXPECT_EQ(out.find("More than one modem was detected."), std::string::npos);
}

TEST(ToolModems, SeveralModemsBringThePanelWhereANumberChooses)
{
    auto child = Start({"modems"}, {{"TAVRIN_REGISTRY", kFixtures + "modems/nt.reg"}});
    ASSERT_TRUE(child->Started());
    ASSERT_TRUE(child->WaitForStdout("Please select a modem for testing.", kRunMs)) << child->Stdout();
    ASSERT_TRUE(child->WriteStdin("2\n"));
    child->CloseStdin();
    const auto status = child->WaitForExit(kRunMs);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << child->Stderr();
    const std::string& out = child->Stdout();
    EXPECT_NE(out.find("3 modems in the registry"), std::string::npos) << out;
    EXPECT_NE(out.find("More than one modem was detected."), std::string::npos) << out;
    const size_t selected = out.find("selected: 2. USB Fax Modem");
    ASSERT_NE(selected, std::string::npos) << out;
    EXPECT_NE(out.find("port   COM11", selected), std::string::npos) << out;
    EXPECT_NE(out.find("rate   250000 baud", selected), std::string::npos) << out;
}

TEST(ToolModems, AMalformedRegistryIsNamedWithItsLine)
{
    auto child = Start({"modems", "--registry", kFixtures + "malformed_hex.reg"});
    ASSERT_TRUE(child->Started());
    const auto status = child->WaitForExit(kRunMs);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 1);
    EXPECT_NE(child->Stderr().find("malformed_hex.reg:"), std::string::npos) << child->Stderr();

    auto dial = Start({"dial", "42"}, {{"TAVRIN_REGISTRY", kFixtures + "malformed_hex.reg"}});
    ASSERT_TRUE(dial->Started());
    const auto dialStatus = dial->WaitForExit(kRunMs);
    ASSERT_TRUE(dialStatus.has_value());
    EXPECT_EQ(*dialStatus, 1);
    EXPECT_NE(dial->Stderr().find("malformed_hex.reg:"), std::string::npos) << dial->Stderr();
}

// A registry with one modem on COM<port>, written into dir.
std::string OneModemRegistry(const TempDir& dir, int port)
{
    const std::string path = dir.Path() + "/modem.reg";
    std::ofstream file(path, std::ios::binary);
    const std::string section = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem\\0000";
    file << "REGEDIT4\r\n\r\n" << section << "]\r\n\"Model\"=\"Line Modem\"\r\n\"AttachedTo\"=\"COM" << port
         << "\"\r\n\r\n" << section << "\\Settings]\r\n\"Prefix\"=\"AT\"\r\n\"SpeakerMode_Dial\"=\"M1\"\r\n"
         << "\"SpeakerMode_OFF\"=\"M0\"\r\n\"ErrorControl_On\"=\"\\\\N3\"\r\n\"DialPrefix\"=\"D\"\r\n"
         << "\"Tone\"=\"T\"\r\n\"Pulse\"=\"P\"\r\n";
    return path;
}

TEST(ToolDial, CallsAServerThroughTheModemAndHangsUpAtTheEndOfInput)
{
    HayesModem line(150);
    ASSERT_TRUE(line.Ok()) << line.Error();
    TempDir dir;
    const std::string registry = OneModemRegistry(dir, 31);
    std::uint16_t port = 0;
    Fd listener = ListenLoopback(port);
    ASSERT_TRUE(listener.Valid());

    auto child = Start({"dial", std::to_string(port), "--registry", registry},
                       {{"TAVRIN_COM31", line.SlavePath()}});
    ASSERT_TRUE(child->Started());
    ASSERT_TRUE(line.WaitForCommand("ATM0\\N3V1", 10000)) << child->Stderr();
    ASSERT_TRUE(line.WaitForCommand("ATM1DT" + std::to_string(port), 10000)) << child->Stderr();
    Fd server = AcceptWithin(listener);
    ASSERT_TRUE(server.Valid());
    ASSERT_TRUE(child->WaitForStderr("online", kRunMs)) << child->Stderr();
    EXPECT_NE(child->Stdout().find("CONNECT"), std::string::npos) << child->Stdout();

    ASSERT_TRUE(child->WriteStdin("hello over the line\n"));
    EXPECT_EQ(ReceiveExactly(server, 20), "hello over the line\n");
    ASSERT_TRUE(SendAll(server, "and back again\r\n"));
    ASSERT_TRUE(child->WaitForStdout("and back again", kRunMs)) << child->Stdout();

    child->CloseStdin();
    const auto status = child->WaitForExit(kRunMs);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << child->Stderr();
    EXPECT_NE(child->Stderr().find("hung up"), std::string::npos) << child->Stderr();
    EXPECT_TRUE(line.WaitForHangUps(1, 5000));
    EXPECT_TRUE(WaitForEndOfStream(server));
}

TEST(ToolDial, ACallThatFailsEndsWithTheModemsAnswer)
{
    HayesModem line(150);
    ASSERT_TRUE(line.Ok()) << line.Error();
    TempDir dir;
    const std::string registry = OneModemRegistry(dir, 32);
    auto child = Start({"dial", std::to_string(UnusedTcpPort()), "--pulse", "--registry", registry},
                       {{"TAVRIN_COM32", line.SlavePath()}});
    ASSERT_TRUE(child->Started());
    const auto status = child->WaitForExit(kRunMs);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 1);
    EXPECT_NE(child->Stderr().find("the call failed: NO CARRIER"), std::string::npos) << child->Stderr();
    EXPECT_NE(child->Stdout().find("NO CARRIER"), std::string::npos);
    EXPECT_EQ(line.Calls(), 0);

    // A port that does not exist is named.
    auto missing = Start({"dial", "7", "--registry", registry}, {{"TAVRIN_COM32", dir.Path() + "/no-such-port"}});
    ASSERT_TRUE(missing->Started());
    const auto missingStatus = missing->WaitForExit(kRunMs);
    ASSERT_TRUE(missingStatus.has_value());
    EXPECT_EQ(*missingStatus, 1);
    EXPECT_NE(missing->Stderr().find("cannot open COM32"), std::string::npos) << missing->Stderr();
}

}  // namespace
