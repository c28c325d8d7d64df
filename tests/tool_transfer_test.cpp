// tavrin send, tavrin receive and term's own ZMODEM start, run as programs
// on the two ends of a socat pty pair; and the progress line's text.
#include <gtest/gtest.h>

#include <tavrin/Tavrin.h>
#include <tavrin/transfer/ZmodemStart.h>

#include <filesystem>
#include <memory>

#include "TransferProgress.h"
#include "support/Ser2netPeer.h"
#include "support/ToolRun.h"
#include "support/TransferEnd.h"

namespace tavrin::test {
namespace {

constexpr int kTimeoutMs = 30000;

struct ToolPair {
    TempDir dir;
    SocatPtyPair pty{dir.Path()};
    std::string in = dir.Path() + "/in";

    ToolPair() { std::filesystem::create_directory(in); }
    std::string A() const { return "serial:" + pty.PathA(); }
    std::string B() const { return "serial:" + pty.PathB(); }
};

TEST(ToolTransfer, PacketFilesFromSendToReceiveWithProgressOnlyWhenAsked)
{
    ToolPair pair;
    ASSERT_TRUE(pair.pty.Ready()) << pair.pty.Error();
    const std::vector<std::string> files = MakeTransferFiles(pair.dir.Path(), {1025, 1u << 20});
    auto receiver = StartTavrin({"receive", "--protocol", "packet", "--dir", pair.in, pair.B()});
    auto sender = StartTavrin({"send", "--protocol", "packet", "--progress", files[0], files[1], pair.A()});
    ASSERT_TRUE(receiver->Started() && sender->Started());
    EXPECT_EQ(sender->WaitForExit(kTimeoutMs), 0) << sender->Stderr();
    EXPECT_EQ(receiver->WaitForExit(kTimeoutMs), 0) << receiver->Stderr();
    for (const std::string& file : files)
        EXPECT_EQ(ReadWholeFile(pair.in + "/" + std::filesystem::path(file).filename().string()),
                  ReadWholeFile(file));
    // Progress lines name the percent; a summary names where the file went.
    EXPECT_NE(sender->Stdout().find("%  "), std::string::npos) << sender->Stdout();
    EXPECT_EQ(receiver->Stdout().find('%'), std::string::npos) << receiver->Stdout();
    EXPECT_NE(receiver->Stdout().find("file-1048576.bin: 1.0 MiB in "), std::string::npos) << receiver->Stdout();
}

TEST(ToolTransfer, ARefusedFileFailsBothEndsWithTheReason)
{
    ToolPair pair;
    ASSERT_TRUE(pair.pty.Ready()) << pair.pty.Error();
    const std::string file = MakeTransferFiles(pair.dir.Path(), {100})[0];
    WriteWholeFile(pair.in + "/file-100.bin", "older");
    auto receiver = StartTavrin({"receive", "--protocol", "packet", "--dir", pair.in, pair.B()});
    auto sender = StartTavrin({"send", "--protocol", "packet", file, pair.A()});
    EXPECT_EQ(sender->WaitForExit(kTimeoutMs), 1);
    EXPECT_EQ(receiver->WaitForExit(kTimeoutMs), 1);
    EXPECT_NE(sender->Stderr().find("tavrin send: the receiver refused file-100.bin"), std::string::npos)
        << sender->Stderr();
    EXPECT_NE(receiver->Stderr().find("overwrite is off"), std::string::npos) << receiver->Stderr();
    EXPECT_EQ(ReadWholeFile(pair.in + "/file-100.bin"), "older");
}

TEST(ToolTransfer, UsageErrorsExitWithTwo)
{
    TempDir dir;
    const std::string file = MakeTransferFiles(dir.Path(), {10})[0];
    const std::vector<std::vector<std::string>> cases = {
        {"send", "--protocol", "kermit", file, "loopback"},
        {"send", "loopback"},
        {"send", "--protocol", "xmodem", file, file, "loopback"},
        {"send", file, "listen:0"},
        {"receive", "--protocol", "xmodem", "loopback"},
        {"receive", "--name", "x.bin", "loopback"},
        {"receive", "bogus:device"},
    };
    for (const auto& args : cases) {
        auto tool = StartTavrin(args);
        EXPECT_EQ(tool->WaitForExit(kTimeoutMs), 2) << args[1] << " " << args[2] << ": " << tool->Stderr();
        EXPECT_FALSE(tool->Stderr().empty());
    }
}

TEST(ToolTransfer, ProgressLineShowsFilePercentBytesRateAndTimeLeft)
{
    struct Case {
        XferProgress progress;
        double rate;
        const char* line;
    };
    const Case cases[] = {
        {{"a.bin", 4u << 20, 1u << 20, 1, 0, 0}, 1u << 20, "a.bin   25%  1.0 MiB of 4.0 MiB  1.0 MiB/s  0:03 left"},
        {{"a.bin", 1000, 1000, 1, 0, 0}, 0, "a.bin  100%  1000 B of 1000 B"},
        {{"stream", 0, 5000, 1, 0, 0}, 2500, "stream  4.9 KiB  2.4 KiB/s"},
        {{"big", 8000ull << 20, 0, 1, 0, 0}, 1000, "big    0%  0 B of 7.8 GiB  1000 B/s  2330:10:08 left"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(tool::FormatProgressLine(c.progress, c.rate), c.line);
    EXPECT_EQ(tool::FormatDuration(3725), "1:02:05");
}

TEST(ToolTransfer, ZmodemRequestIsFoundAcrossBlocks)
{
    const std::string request = "rz\r**\x18" "B00000000000000\r\n";
    struct Case {
        std::vector<std::string> blocks;
        int block;  // the block in which it is found, -1 for none
        int end;
    };
    const Case cases[] = {
        {{request}, 0, 9},
        {{"rz\r*", "*\x18", "B00"}, 2, 3},
        {{"***\x18" "B00"}, 0, 7},
        {{"**\x18" "B01"}, -1, 0},  // another header than ZRQINIT
        {{"** B00"}, -1, 0},
    };
    for (const Case& c : cases) {
        CZmodemStartDetector detector;
        int found = -1, end = 0;
        for (std::size_t i = 0; i < c.blocks.size() && found < 0; ++i) {
            end = detector.Feed(reinterpret_cast<const BYTE*>(c.blocks[i].data()),
                                static_cast<DWORD>(c.blocks[i].size()));
            if (end >= 0)
                found = static_cast<int>(i);
        }
        EXPECT_EQ(found, c.block);
        if (found >= 0)
            EXPECT_EQ(end, c.end);
    }
}

// sz on the far end, its bytes pumped by socat between a socket and the
// pty (an lrzsz program on a pty of its own discards its last bytes).
std::unique_ptr<ChildProcess> StartSz(const std::string& pty, const std::string& file)
{
    ChildOptions options;
    options.argv = {"socat", "FILE:" + pty + ",raw,echo=0", "EXEC:sz -q " + file};
    return std::make_unique<ChildProcess>(options);
}

TEST(ToolTransfer, TermStartsAReceiveWhenTheFarSideRunsSz)
{
    ToolPair pair;
    ASSERT_TRUE(pair.pty.Ready()) << pair.pty.Error();
    const std::string file = MakeTransferFiles(pair.dir.Path(), {5000})[0];
    auto term = StartTavrin({"term", "--dir", pair.in, pair.A()});
    ASSERT_TRUE(term->WaitForStderr("on " + pair.pty.PathA(), kTimeoutMs)) << term->Stderr();
    auto sz = StartSz(pair.pty.PathB(), file);
    ASSERT_TRUE(term->WaitForStderr("the far side sends files (ZMODEM): receiving into " + pair.in, kTimeoutMs))
        << term->Stderr();
    ASSERT_TRUE(term->WaitForStderr("back to the terminal", kTimeoutMs)) << term->Stderr();
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
    // The request went to the receiver, not to the screen.
    EXPECT_EQ(term->Stdout().find("**\x18" "B00"), std::string::npos);
}

TEST(ToolTransfer, TermReceivesTheFileSzSends)
{
    ToolPair pair;
    ASSERT_TRUE(pair.pty.Ready()) << pair.pty.Error();
    const std::string file = MakeTransferFiles(pair.dir.Path(), {1u << 20})[0];
    auto term = StartTavrin({"term", "--dir", pair.in, pair.A()});
    ASSERT_TRUE(term->WaitForStderr("on " + pair.pty.PathA(), kTimeoutMs)) << term->Stderr();
    auto sz = StartSz(pair.pty.PathB(), file);
    ASSERT_TRUE(term->WaitForStderr("transfer done; back to the terminal", kTimeoutMs)) << term->Stderr();
    EXPECT_EQ(sz->WaitForExit(kTimeoutMs), 0) << sz->Stderr();
    EXPECT_EQ(ReadWholeFile(pair.in + "/file-1048576.bin"), ReadWholeFile(file));
    term->CloseStdin();
    EXPECT_EQ(term->WaitForExit(kTimeoutMs), 0) << term->Stderr();
}

}  // namespace
}  // namespace tavrin::test
