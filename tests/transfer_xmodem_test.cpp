// XMODEM, XMODEM-1K, YMODEM and YMODEM-G through CFileTransfer on a real
// device (CCom on a pty, CLan on loopback TCP) against lrzsz in both
// directions, against another CFileTransfer, and against U-Boot's loadx and
// loady checked by its crc32.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "support/LrzszPeer.h"
#include "support/Ser2netPeer.h"
#include "support/TransferPeers.h"
#include "support/UbootGuest.h"

using namespace tavrin::test;
using Via = LrzszPeer::Via;

namespace {

constexpr DWORD kTransferMs = 120000;
const std::vector<std::size_t> kSizes = {0, 1, 127, 128, 129, 1023, 1024, 1025, 2u << 20};
// XMODEM takes one file per run, and lrzsz spends a second or two on each
// (its purges and its wait for a second EOT): the block edges, and a large
// file of a size that 128-byte blocks cross in seconds.
const std::vector<std::size_t> kXmodemSizes = {0, 1, 127, 128, 129, 1023, 1024, 1025, 256u << 10};

std::string SizeName(std::size_t size) { return "f" + std::to_string(size) + ".bin"; }

// The files of the size table in dir; their paths.
std::vector<std::string> MakeFiles(const std::string& dir, const std::vector<std::size_t>& sizes)
{
    std::vector<std::string> paths;
    for (std::size_t size : sizes) {
        paths.push_back(dir + "/" + SizeName(size));
        EXPECT_TRUE(WriteWholeFile(paths.back(), TransferTestBytes(size)));
    }
    return paths;
}

// padded: lrzsz's rx keeps XMODEM's padding, up to a block of 0x1A.
void ExpectSameFiles(const std::string& dir, const std::vector<std::size_t>& sizes, bool padded)
{
    for (std::size_t size : sizes) {
        const auto got = ReadWholeFile(dir + "/" + SizeName(size));
        ASSERT_TRUE(got) << SizeName(size) << " did not arrive";
        std::string expected = TransferTestBytes(size);
        if (padded && got->size() > size && got->size() - size < 1024)
            expected.append(got->size() - size, '\x1A');
        EXPECT_TRUE(*got == expected) << SizeName(size) << ": " << got->size() << " bytes arrived";
    }
}

bool Open(TransferEnd& end, Via via, const LrzszPeer& peer)
{
    return via == Via::Pty ? end.OpenSerial(peer.PtyPath()) : end.OpenTcp(peer.Port());
}

// One row: the library sends or receives with protocol; lrzsz runs peer
// (FILES stands for the files to send, one at a time for XMODEM).
struct LrzszCase {
    const char* name;
    XferProtocol protocol;
    bool librarySends;
    std::vector<std::string> peer;
};

const LrzszCase kLrzszCases[] = {
    {"XmodemCrcToRx", XFER_XMODEM, true, {"rx", "-c", "FILE"}},
    {"XmodemChecksumToRx", XFER_XMODEM, true, {"rx", "FILE"}},
    {"Xmodem1kToRx", XFER_XMODEM_1K, true, {"rx", "-c", "FILE"}},
    {"XmodemFromSx", XFER_XMODEM, false, {"sx", "FILE"}},
    {"Xmodem1kFromSx", XFER_XMODEM_1K, false, {"sx", "-k", "FILE"}},
    {"YmodemBatchToRb", XFER_YMODEM, true, {"rb", "-y"}},
    {"YmodemBatchFromSb", XFER_YMODEM, false, {"sb", "-k", "FILES"}},
    {"YmodemGBatchFromSb", XFER_YMODEM_G, false, {"sb", "-k", "FILES"}},
};

bool IsXmodem(XferProtocol protocol) { return protocol == XFER_XMODEM || protocol == XFER_XMODEM_1K; }

std::vector<std::string> PeerCommand(const LrzszCase& c, const std::vector<std::string>& files)
{
    std::vector<std::string> command;
    for (const std::string& word : c.peer) {
        if (word == "FILES")
            command.insert(command.end(), files.begin(), files.end());
        else if (word == "FILE")
            command.push_back(files.at(0));
        else
            command.push_back(word);
    }
    return command;
}

// The library's end of one transfer with the peer: what it sends from
// sendDir or receives into receiveDir; the peer runs in the other.
void RunWithPeer(const LrzszCase& c, Via via, const std::vector<std::size_t>& sizes, const std::string& sendDir,
                 const std::string& receiveDir)
{
    std::vector<std::string> files;
    for (std::size_t size : sizes)
        files.push_back(c.librarySends ? SizeName(size) : sendDir + "/" + SizeName(size));
    LrzszPeer peer(via, PeerCommand(c, files), c.librarySends ? receiveDir : sendDir);
    ASSERT_TRUE(peer.Ready()) << peer.Error();
    TransferEnd end;
    ASSERT_TRUE(Open(end, via, peer)) << end.Error();
    CFileTransfer& transfer = end.Transfer();
    if (c.librarySends) {
        std::vector<std::string> paths;
        for (std::size_t size : sizes)
            paths.push_back(sendDir + "/" + SizeName(size));
        ASSERT_TRUE(transfer.Send(c.protocol, paths)) << transfer.GetError();
    } else {
        ASSERT_TRUE(transfer.Receive(c.protocol, receiveDir, {}, IsXmodem(c.protocol) ? SizeName(sizes[0]) : ""))
            << transfer.GetError();
    }
    ASSERT_TRUE(end.Finish(kTransferMs)) << "the transfer did not end";
    EXPECT_TRUE(transfer.Succeeded()) << transfer.GetError() << "\npeer: " << peer.Log();
    EXPECT_EQ(peer.WaitForExit(10000), 0) << peer.Log();
    const auto results = transfer.GetResults();
    ASSERT_EQ(results.size(), sizes.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        EXPECT_TRUE(results[i].complete) << results[i].name << ": " << results[i].error;
        EXPECT_EQ(results[i].size, sizes[i]) << results[i].name;
    }
}

class XmodemWithLrzsz : public ::testing::TestWithParam<std::tuple<Via, LrzszCase>> {
protected:
    void SetUp() override
    {
        if (!LrzszPeer::Available())
            GTEST_SKIP() << "lrzsz or socat is not installed";
    }
};

}  // namespace

// Every size of the table through every row, over a pty and over TCP.
TEST_P(XmodemWithLrzsz, TheSizeTableArrivesWhole)
{
    const auto& [via, c] = GetParam();
    const bool xmodem = IsXmodem(c.protocol);
    const auto& sizes = xmodem ? kXmodemSizes : kSizes;
    TempDir sendDir, receiveDir;
    MakeFiles(sendDir.Path(), sizes);
    if (xmodem) {
        for (std::size_t size : sizes) {
            SCOPED_TRACE(SizeName(size));
            RunWithPeer(c, via, {size}, sendDir.Path(), receiveDir.Path());
        }
    } else {
        RunWithPeer(c, via, sizes, sendDir.Path(), receiveDir.Path());
    }
    ExpectSameFiles(receiveDir.Path(), sizes, xmodem && c.librarySends);
}

INSTANTIATE_TEST_SUITE_P(Rows, XmodemWithLrzsz,
                         ::testing::Combine(::testing::Values(Via::Pty, Via::Tcp), ::testing::ValuesIn(kLrzszCases)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == Via::Pty ? "Pty_" : "Tcp_") +
                                    std::get<1>(info.param).name;
                         });

// YMODEM-G both ends ours (lrzsz's rb never asks for 'G'), over a pty pair.
TEST(XmodemLibraryToLibrary, YmodemGBatchStreamsTheSizeTable)
{
    TempDir sendDir, receiveDir;
    const auto files = MakeFiles(sendDir.Path(), kSizes);
    SocatPtyPair pair(sendDir.Path());
    ASSERT_TRUE(pair.Ready()) << pair.Error();
    TransferEnd sender, receiver;
    ASSERT_TRUE(sender.OpenSerial(pair.PathA())) << sender.Error();
    ASSERT_TRUE(receiver.OpenSerial(pair.PathB())) << receiver.Error();
    ASSERT_TRUE(receiver.Transfer().Receive(XFER_YMODEM_G, receiveDir.Path()));
    ASSERT_TRUE(sender.Transfer().Send(XFER_YMODEM_G, files));
    ASSERT_TRUE(sender.Finish(kTransferMs));
    ASSERT_TRUE(receiver.Finish(kTransferMs));
    EXPECT_TRUE(sender.Transfer().Succeeded()) << sender.Transfer().GetError();
    EXPECT_TRUE(receiver.Transfer().Succeeded()) << receiver.Transfer().GetError();
    ExpectSameFiles(receiveDir.Path(), kSizes, false);
}

namespace {

// A transfer one side refuses: the refusing side's error, the other side's
// failure, and no new file under the final name.
struct RefusalCase {
    const char* name;
    bool librarySends;
    bool fileExists;  // the receiver already has the file
    std::vector<std::string> peer;
    const char* error;  // in the library's GetError
};

const RefusalCase kRefusals[] = {
    // sb -f sends the absolute path as the name.
    {"AbsoluteNameFromSb", false, false, {"sb", "-f", "ABSOLUTE"}, "refused"},
    {"ExistingFileFromSb", false, true, {"sb", "FILE"}, "exists"},
    {"RbRefusesAnExistingFile", true, true, {"rb"}, "receiver"},
};

class XmodemRefusal : public ::testing::TestWithParam<RefusalCase> {
protected:
    void SetUp() override
    {
        if (!LrzszPeer::Available())
            GTEST_SKIP() << "lrzsz or socat is not installed";
    }
};

}  // namespace

TEST_P(XmodemRefusal, FailsClearlyAndLeavesNoFile)
{
    const RefusalCase& c = GetParam();
    TempDir sendDir, receiveDir;
    const std::string sent = TransferTestBytes(5000), old = "the receiver's own file\n";
    const std::string source = sendDir.Path() + "/refused.bin", target = receiveDir.Path() + "/refused.bin";
    ASSERT_TRUE(WriteWholeFile(source, sent));
    if (c.fileExists)
        ASSERT_TRUE(WriteWholeFile(target, old));
    std::vector<std::string> command;
    for (const std::string& word : c.peer)
        command.push_back(word == "ABSOLUTE" ? source : word == "FILE" ? "refused.bin" : word);
    LrzszPeer peer(Via::Pty, command, c.librarySends ? receiveDir.Path() : sendDir.Path());
    ASSERT_TRUE(peer.Ready()) << peer.Error();
    TransferEnd end;
    ASSERT_TRUE(end.OpenSerial(peer.PtyPath())) << end.Error();
    if (c.librarySends)
        ASSERT_TRUE(end.Transfer().Send(XFER_YMODEM, {source}));
    else
        ASSERT_TRUE(end.Transfer().Receive(XFER_YMODEM, receiveDir.Path()));
    ASSERT_TRUE(end.Finish(kTransferMs));
    EXPECT_FALSE(end.Transfer().Succeeded());
    EXPECT_NE(end.Transfer().GetError().find(c.error), std::string::npos) << end.Transfer().GetError();
    const auto status = peer.WaitForExit(30000);
    ASSERT_TRUE(status) << "the peer did not end: " << peer.Log();
    if (!c.librarySends)
        EXPECT_NE(*status, 0) << "the peer was not told: " << peer.Log();
    const auto left = ReadWholeFile(target);
    if (c.fileExists)
        EXPECT_EQ(left, old);
    else
        EXPECT_FALSE(left);
    EXPECT_FALSE(FileExists(receiveDir.Path() + "/.refused.bin.part"));
}

INSTANTIATE_TEST_SUITE_P(Cases, XmodemRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });
