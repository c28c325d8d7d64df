// Both ends ours: each protocol between two CFileTransfers, on the two
// ports of a socat pty pair and on a loopback TCP connection (also under
// Wine), whole, and cancelled from either side in mid-file.
#include <gtest/gtest.h>

#include <tavrin/Tavrin.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <tuple>

#include "support/TransferEnd.h"
#ifndef _WIN32
#include "support/Ser2netPeer.h"
#endif

namespace tavrin::test {
namespace {

enum class Line { Pty, Tcp };
void PrintTo(Line line, std::ostream* os) { *os << (line == Line::Pty ? "pty" : "tcp"); }

// A scratch folder of the system's (std::filesystem, so that it also runs
// under Wine), removed with its files.
struct Scratch {
    std::filesystem::path path;
    Scratch()
    {
        static std::atomic<unsigned> count{0};
        path = std::filesystem::temp_directory_path() /
               ("tavrin-xfer-" + std::to_string(std::chrono::system_clock::now().time_since_epoch().count()) + "-" + std::to_string(count++));
        std::filesystem::create_directories(path / "in");
    }
    ~Scratch()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string Path() const { return path.generic_string(); }
};

struct Ends {
    Scratch dir;
    std::string in = dir.Path() + "/in";
#ifndef _WIN32
    std::unique_ptr<SocatPtyPair> pty;
#endif
    TransferEnd sender, receiver;

    explicit Ends(Line line)
    {
#ifndef _WIN32
        if (line == Line::Pty) {
            pty = std::make_unique<SocatPtyPair>(dir.Path());
            if (pty->Ready() && sender.OpenSerial(pty->PathA()))
                receiver.OpenSerial(pty->PathB());
            return;
        }
#endif
        const int port = receiver.Listen();
        if (port && sender.OpenTcp(port))
            receiver.AwaitCaller();
    }
    bool Ready() const { return sender.Ready() && receiver.Ready(); }
    std::string Error() const
    {
#ifndef _WIN32
        if (pty && !pty->Ready())
            return pty->Error();
#endif
        return !sender.Ready() ? sender.Error() : receiver.Error();
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

class BothEndsOurs : public ::testing::TestWithParam<std::tuple<Line, XferProtocol>> {
protected:
    XferProtocol Protocol() const { return std::get<1>(GetParam()); }
    Line Via() const { return std::get<0>(GetParam()); }
};

TEST_P(BothEndsOurs, TheFilesArriveWhole)
{
    Ends ends(Via());
    ASSERT_TRUE(ends.Ready()) << ends.Error();
    const bool batch = Protocol() > XFER_XMODEM_1K;
    const auto files = MakeTransferFiles(ends.dir.Path(), batch ? std::vector<std::size_t>{0, 1025, 300000}
                                                                : std::vector<std::size_t>{300000});
    ends.Start(Protocol(), files);
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
        Ends ends(Via());
        ASSERT_TRUE(ends.Ready()) << ends.Error();
        const std::size_t size = LargeRow(16u << 20, 4u << 20);
        const auto files = MakeTransferFiles(ends.dir.Path(), {size});
        ends.Start(Protocol(), files);
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

#ifdef _WIN32
const Line kLines[] = {Line::Tcp};
#else
const Line kLines[] = {Line::Pty, Line::Tcp};
#endif

INSTANTIATE_TEST_SUITE_P(Protocols, BothEndsOurs,
                         ::testing::Combine(::testing::ValuesIn(kLines),
                                            ::testing::Values(XFER_XMODEM, XFER_XMODEM_1K, XFER_YMODEM, XFER_ZMODEM,
                                                              XFER_PACKET)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == Line::Pty ? "Pty_" : "Tcp_") +
                                    Name(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace tavrin::test
