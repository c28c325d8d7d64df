// Files between two devices of this library over the packet frames: two
// serial ports on a socat pty pair, each passing what it receives to its
// CFileTransfer; and a hand-played sender on a pty for what a well-behaved
// one never sends.
#include <gtest/gtest.h>

#include <tavrin/Tavrin.h>

#include <filesystem>
#include <poll.h>
#include <unistd.h>

#include "support/PtyPair.h"
#include "support/Ser2netPeer.h"
#include "support/TransferEnd.h"

namespace tavrin::test {
namespace {

// A pty pair with a transfer end on each side, files in DIR/out, received
// into DIR/in.
struct PacketLink {
    TempDir dir;
    SocatPtyPair pty{dir.Path()};
    std::string in = dir.Path() + "/in", out = dir.Path() + "/out";
    std::unique_ptr<TransferEnd> sender, receiver;

    PacketLink()
    {
        std::filesystem::create_directory(in);
        std::filesystem::create_directory(out);
        if (!pty.Ready())
            return;
        sender = std::make_unique<TransferEnd>(pty.PathA());
        receiver = std::make_unique<TransferEnd>(pty.PathB());
    }
    bool Ready() const { return pty.Ready() && sender->Ready() && receiver->Ready(); }

    // Runs one transfer of files; both ends finished within the bound.
    bool Run(const std::vector<std::string>& files, bool overwrite = false)
    {
        XferReceiveOptions options;
        options.overwrite = overwrite;
        if (!receiver->Transfer().Receive(XFER_PACKET, in, options) || !sender->Transfer().Send(XFER_PACKET, files))
            return false;
        return sender->Finish() && receiver->Finish();
    }
    std::string Received(const std::string& path) const
    {
        return in + "/" + std::filesystem::path(path).filename().string();
    }
};

std::string Describe(CFileTransfer& transfer)
{
    std::string text = transfer.GetError();
    for (const XferFileResult& r : transfer.GetResults())
        text += "; " + r.name + (r.complete ? " whole" : " failed: " + r.error);
    return text;
}

TEST(TransferPacket, EverySizeArrivesWholeInOneBatch)
{
    PacketLink link;
    ASSERT_TRUE(link.Ready()) << link.pty.Error();
    const std::vector<std::string> files = MakeTransferFiles(link.out, kTransferSizes);
    ASSERT_TRUE(link.Run(files));
    EXPECT_TRUE(link.sender->Transfer().Succeeded()) << Describe(link.sender->Transfer());
    ASSERT_TRUE(link.receiver->Transfer().Succeeded()) << Describe(link.receiver->Transfer());
    EXPECT_EQ(link.receiver->Transfer().GetResults().size(), files.size());
    for (const std::string& file : files) {
        EXPECT_EQ(ReadWholeFile(link.Received(file)), ReadWholeFile(file)) << file;
        EXPECT_FALSE(FileExists(link.in + "/." + std::filesystem::path(file).filename().string() + ".part"));
    }
}

// A transfer cut in the middle leaves its partial file; the next one goes
// on from it when its bytes are the file's, and starts over when they are
// not (a stale partial file of other content).
TEST(TransferPacket, ResumesAfterACutOnlyFromAMatchingPrefix)
{
    for (const bool spoilPartial : {false, true}) {
        SCOPED_TRACE(spoilPartial ? "spoiled partial file" : "partial file as left");
        PacketLink link;
        ASSERT_TRUE(link.Ready()) << link.pty.Error();
        const std::string file = MakeTransferFiles(link.out, {2u << 20})[0];
        const std::string size = std::to_string(2u << 20);
        const std::string part = link.in + "/.file-" + size + ".bin.part";
        ASSERT_TRUE(link.receiver->Transfer().Receive(XFER_PACKET, link.in));
        ASSERT_TRUE(link.sender->Transfer().Send(XFER_PACKET, {file}));
        ASSERT_TRUE(link.receiver->WaitForProgress(256 << 10));
        link.sender->Transfer().Cancel();
        ASSERT_TRUE(link.sender->Finish() && link.receiver->Finish());
        EXPECT_FALSE(link.receiver->Transfer().Succeeded());
        EXPECT_NE(link.receiver->Transfer().GetError().find("cancelled"), std::string::npos)
            << link.receiver->Transfer().GetError();
        ASSERT_FALSE(FileExists(link.Received(file)));
        std::string partial = ReadWholeFile(part).value_or("");
        ASSERT_GE(partial.size(), 256u << 10);
        ASSERT_LT(partial.size(), 2u << 20);
        if (spoilPartial) {
            partial[partial.size() / 2] = static_cast<char>(partial[partial.size() / 2] ^ 0x55);
            WriteWholeFile(part, partial);
        }

        const unsigned long long before = link.sender->Com().Written();
        ASSERT_TRUE(link.Run({file}));
        ASSERT_TRUE(link.receiver->Transfer().Succeeded()) << Describe(link.receiver->Transfer());
        EXPECT_EQ(ReadWholeFile(link.Received(file)), ReadWholeFile(file));
        const unsigned long long sent = link.sender->Com().Written() - before;
        if (spoilPartial)
            EXPECT_GT(sent, 2u << 20);
        else
            EXPECT_LT(sent, (2u << 20) - partial.size() / 2);
    }
}

// Two bytes of a data frame swapped on the line keep the frame's sum: only
// the file's hash can tell, and then nothing is kept.
TEST(TransferPacket, ADamagedByteThatPassesTheFrameSumIsCaughtByTheHash)
{
    PacketLink link;
    ASSERT_TRUE(link.Ready()) << link.pty.Error();
    const std::string file = MakeTransferFiles(link.out, {100000})[0];
    bool damaged = false;
    link.sender->Com().SetTamper([&damaged](std::string& frame) {
        const std::size_t stx = frame.find('\x02');
        if (damaged || stx == std::string::npos || frame.size() < stx + 600 || frame[stx + 1] != 'D')
            return;
        for (std::size_t i = stx + 300; i + 1 < frame.size(); ++i) {
            if (frame[i] != frame[i + 1] && frame[i - 1] != PACKET_BEL && frame[i] != PACKET_BEL &&
                frame[i + 1] != PACKET_BEL) {
                std::swap(frame[i], frame[i + 1]);
                damaged = true;
                return;
            }
        }
    });
    ASSERT_TRUE(link.Run({file}));
    ASSERT_TRUE(damaged);
    EXPECT_FALSE(link.receiver->Transfer().Succeeded());
    EXPECT_NE(link.receiver->Transfer().GetError().find("SHA-256"), std::string::npos)
        << link.receiver->Transfer().GetError();
    EXPECT_FALSE(link.sender->Transfer().Succeeded());
    EXPECT_NE(link.sender->Transfer().GetError().find("did not keep"), std::string::npos)
        << link.sender->Transfer().GetError();
    EXPECT_FALSE(FileExists(link.Received(file)));
    EXPECT_TRUE(std::filesystem::is_empty(link.in));
}

// The far end plays a sender by hand: one header per name, each answered
// with a refusal ('X'), and nothing written anywhere.
std::string Frame(const std::string& payload)
{
    BYTE escaped[PACKET_MAX_PAYLOAD], frame[PACKET_MAX_FRAME];
    const DWORD length = EscapePacketPayload(reinterpret_cast<const BYTE*>(payload.data()),
                                             static_cast<DWORD>(payload.size()), escaped, sizeof escaped);
    const DWORD size = BuildPacketFrame(escaped, length, frame, sizeof frame);
    return std::string(reinterpret_cast<char*>(frame), size);
}

std::string Header(const std::string& name)
{
    std::string header("H\0", 2);
    header += std::string(8, '\0') + std::string(8, '\0') + std::string(32, '\0') + name;
    return header;
}

// The payload of the next frame from fd ("" on time-out); answers are
// short and never escaped.
std::string ReadAnswer(int fd, int timeoutMs = 5000)
{
    std::string received;
    if (!ReadUntil(fd, received, "\x04", timeoutMs))
        return {};
    const std::size_t stx = received.find('\x02'), etx = received.rfind('\x03');
    return stx == std::string::npos || etx == std::string::npos ? std::string() : received.substr(stx + 1, etx - stx - 1);
}

TEST(TransferPacket, HostileAndExistingNamesAreRefused)
{
    TempDir dir;
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const std::string in = dir.Path() + "/in";
    std::filesystem::create_directory(in);
    WriteWholeFile(in + "/exists", "keep me");
    TransferEnd receiver(pty.SlavePath());
    ASSERT_TRUE(receiver.Ready());
    ASSERT_TRUE(receiver.Transfer().Receive(XFER_PACKET, in));
    const std::string names[] = {"../evil", "/tmp/evil", "sub/evil", "a\\evil", "C:evil", "..", "",
                                 "CON",     "com1.txt",  "nul",      std::string("bad\x01name"), "exists"};
    for (const std::string& name : names) {
        SCOPED_TRACE("name '" + name + "'");
        ASSERT_TRUE(pty.WriteFar(Frame(Header(name))));
        const std::string answer = ReadAnswer(pty.MasterFd());
        ASSERT_FALSE(answer.empty());
        EXPECT_EQ(answer[0], 'X') << answer;
    }
    ASSERT_TRUE(pty.WriteFar(Frame("F")));
    EXPECT_EQ(ReadAnswer(pty.MasterFd()), "K");
    ASSERT_TRUE(receiver.Finish());
    EXPECT_FALSE(receiver.Transfer().Succeeded());
    EXPECT_EQ(receiver.Transfer().GetResults().size(), std::size(names));
    EXPECT_EQ(ReadWholeFile(in + "/exists"), "keep me");
    std::size_t entries = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.Path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 2u);   // in/ and in/exists
}

// The SHA-256 each header carries, against FIPS 180-4's known answers: the
// far end plays the receiver, takes each header apart and refuses the file.
TEST(TransferPacket, TheHeadersHashIsTheFilesSha256)
{
    TempDir dir;
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const struct {
        std::string bytes;
        const char* sha256;
    } known[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    std::vector<std::string> files;
    for (const auto& k : known) {
        files.push_back(dir.Path() + "/k" + std::to_string(files.size()));
        WriteWholeFile(files.back(), k.bytes);
    }
    TransferEnd sender(pty.SlavePath());
    ASSERT_TRUE(sender.Ready());
    ASSERT_TRUE(sender.Transfer().Send(XFER_PACKET, files));
    for (const auto& k : known) {
        std::string header = ReadAnswer(pty.MasterFd());
        // BEL x is x XOR 0x80 on the wire.
        for (std::size_t at = header.find('\a'); at != std::string::npos; at = header.find('\a', at + 1))
            header.replace(at, 2, 1, static_cast<char>(header[at + 1] ^ 0x80));
        ASSERT_GE(header.size(), 2u + 8 + 8 + 32);
        ASSERT_EQ(header[0], 'H');
        char hex[65] = {};
        for (int i = 0; i < 32; ++i)
            std::snprintf(hex + 2 * i, 3, "%02x", static_cast<unsigned char>(header[18 + i]));
        EXPECT_STREQ(hex, k.sha256) << k.bytes.size() << " bytes";
        ASSERT_TRUE(pty.WriteFar(Frame("Xrefused by the test")));
    }
    ASSERT_EQ(ReadAnswer(pty.MasterFd()), "F");
    ASSERT_TRUE(pty.WriteFar(Frame("K")));
    ASSERT_TRUE(sender.Finish(10000));
    EXPECT_FALSE(sender.Transfer().Succeeded());
}

}  // namespace
}  // namespace tavrin::test
