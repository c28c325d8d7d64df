// tavrin script --save and --load: a device's settings kept in a file and
// used again, run as a program.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "support/ChildProcess.h"
#include "support/SocketPeer.h"
#include "support/ToolRun.h"

using namespace tavrin::test;

namespace {

constexpr int kRunMs = 20000;

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary);
    file << bytes;
}

TEST(ToolSettings, SaveWritesTheRecordOfTheConnectedDevice)
{
    TempDir dir;
    std::uint16_t port = 0;
    Fd listener = ListenLoopback(port);
    ASSERT_TRUE(listener.Valid());
    const std::string path = dir.Path() + "/tcp.settings";
    auto child = StartTavrin({"script", "tcp:127.0.0.1:" + std::to_string(port), "", "--save", path});
    ASSERT_TRUE(child->Started());
    Fd server = AcceptWithin(listener);
    ASSERT_TRUE(server.Valid());
    const auto status = child->WaitForExit(kRunMs);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << child->Stderr();
    // The host, the port's low 16 bits, then the device core's five bytes.
    const std::string expected = std::string("\x09" "127.0.0.1", 10) +
                                 std::string{static_cast<char>(port & 0xFF), static_cast<char>(port >> 8)} +
                                 std::string(5, '\0');
    EXPECT_EQ(ReadFile(path), expected);
}

TEST(ToolSettings, LoadedConnectCommandRunsWhenTheDeviceConnects)
{
    TempDir dir;
    const std::string path = dir.Path() + "/tcp.settings";
    // No host, port 23 (the argument gives both), then the device core:
    // connect command "hello^13", no disconnect command, auto-online off,
    // send the disconnect command off, send the connect command on.
    WriteFile(path, std::string("\x00\x17\x00\x08hello^13\x00\x00\x00\x01", 16));
    std::uint16_t port = 0;
    Fd listener = ListenLoopback(port);
    ASSERT_TRUE(listener.Valid());
    auto child = StartTavrin({"script", "tcp:127.0.0.1:" + std::to_string(port), "", "--load", path});
    ASSERT_TRUE(child->Started());
    Fd server = AcceptWithin(listener);
    ASSERT_TRUE(server.Valid());
    // The connect command is written as soon as the link is up.
    EXPECT_EQ(ReceiveExactly(server, 6), "hello\r");
    const auto status = child->WaitForExit(kRunMs);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << child->Stderr();
}

TEST(ToolSettings, ASettingsFileThatEndsEarlyOrIsMissingIsRefused)
{
    TempDir dir;
    const std::string shortPath = dir.Path() + "/short.settings";
    WriteFile(shortPath, std::string("\x05hel", 4));
    for (const std::string& path : {shortPath, dir.Path() + "/missing.settings"}) {
        SCOPED_TRACE(path);
        auto child = StartTavrin({"script", "loopback", "AT", "--load", path});
        ASSERT_TRUE(child->Started());
        const auto status = child->WaitForExit(kRunMs);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(*status, 1);
        EXPECT_NE(child->Stderr().find(path), std::string::npos) << child->Stderr();
        EXPECT_EQ(child->Stdout().find("AT"), std::string::npos);
    }
}

}  // namespace
