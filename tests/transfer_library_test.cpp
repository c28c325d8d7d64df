// Both ends ours: each protocol between two CFileTransfers on the two ports
// of a socat pty pair, whole, and cancelled from either side in mid-file.
#include <gtest/gtest.h>

#include <tavrin/Tavrin.h>

#include <filesystem>

#include "support/Ser2netPeer.h"
#include "support/TransferEnd.h"

namespace tavrin::test {
namespace {

struct Ends {
    TempDir dir;
    SocatPtyPair pty{dir.Path()};
    std::string in = dir.Path() + "/in";
    TransferEnd sender, receiver;

    Ends()
    {
        std::filesystem::create_directory(in);
        if (pty.Ready()) {
            sender.OpenSerial(pty.PathA());
            receiver.OpenSerial(pty.PathB());
        }
    }
    std::string Ready() const
    {
        return !pty.Ready() ? pty.Error() : !sender.Ready() ? sender.Error() : receiver.Error();
    }
    void Start(XferProtocol protocol, const std::vector<std::string>& files)
    {
        const std::string name = std::filesystem::path(files[0]).filename().string();
        ASSERT_TRUE(receiver.Transfer().Receive(protocol, in, {}, protocol <= XFER_XMODEM_1K ? name : ""));
        ASSERT_TRUE(sender.Transfer().Send(protocol, files)) << sender.Transfer().GetError();
    }
};

const char* Name(XferProtocol protocol)
{
    switch (protocol) {
    case XFER_XMODEM: return "Xmodem";
    case XFER_XMODEM_1K: return "Xmodem1k";
    case XFER_YMODEM: return "Ymodem";
    case XFER_YMODEM_G: return "YmodemG";
    case XFER_ZMODEM: return "Zmodem";
    case XFER_PACKET: return "Packet";
    }
    return "?";
}

class BothEndsOurs : public ::testing::TestWithParam<XferProtocol> {};

TEST_P(BothEndsOurs, TheFilesArriveWhole)
{
    Ends ends;
    ASSERT_TRUE(ends.sender.Ready() && ends.receiver.Ready()) << ends.Ready();
    const bool batch = GetParam() > XFER_XMODEM_1K;
    const auto files = MakeTransferFiles(ends.dir.Path(), batch ? std::vector<std::size_t>{0, 1025, 300000}
                                                                : std::vector<std::size_t>{300000});
    ends.Start(GetParam(), files);
    ASSERT_TRUE(ends.sender.Finish(60000));
    ASSERT_TRUE(ends.receiver.Finish(10000));
    EXPECT_TRUE(ends.sender.Transfer().Succeeded()) << ends.sender.Transfer().GetError();
    EXPECT_TRUE(ends.receiver.Transfer().Succeeded()) << ends.receiver.Transfer().GetError();
    for (const std::string& file : files)
        EXPECT_EQ(ReadWholeFile(ends.in + "/" + std::filesystem::path(file).filename().string()), ReadWholeFile(file))
            << file;
}

// The side that cancels stops at once and says so; the other side is told,
// or finds the line silent, and fails; no file appears under its name.
TEST_P(BothEndsOurs, ACancelInMidFileEndsBothSidesWithoutAFile)
{
    for (const bool senderCancels : {true, false}) {
        SCOPED_TRACE(senderCancels ? "the sender cancels" : "the receiver cancels");
        Ends ends;
        ASSERT_TRUE(ends.sender.Ready() && ends.receiver.Ready()) << ends.Ready();
        const std::size_t size = LargeRow(16u << 20, 4u << 20);
        const auto files = MakeTransferFiles(ends.dir.Path(), {size});
        ends.Start(GetParam(), files);
        TransferEnd& quitter = senderCancels ? ends.sender : ends.receiver;
        TransferEnd& other = senderCancels ? ends.receiver : ends.sender;
        ASSERT_TRUE(ends.receiver.WaitForProgress(32u << 10)) << ends.receiver.Transfer().GetError();
        quitter.Transfer().Cancel();
        ASSERT_TRUE(quitter.Finish(5000));
        EXPECT_FALSE(quitter.Transfer().Succeeded());
        EXPECT_NE(quitter.Transfer().GetError().find("cancel"), std::string::npos) << quitter.Transfer().GetError();
        ASSERT_TRUE(other.Finish(30000)) << "the other side did not end";
        EXPECT_FALSE(other.Transfer().Succeeded());
        EXPECT_FALSE(other.Transfer().GetError().empty());
        EXPECT_FALSE(FileExists(ends.in + "/" + std::filesystem::path(files[0]).filename().string()));
    }
}

INSTANTIATE_TEST_SUITE_P(Protocols, BothEndsOurs,
                         ::testing::Values(XFER_XMODEM, XFER_XMODEM_1K, XFER_YMODEM, XFER_ZMODEM, XFER_PACKET),
                         [](const auto& info) { return std::string(Name(info.param)); });

}  // namespace
}  // namespace tavrin::test
