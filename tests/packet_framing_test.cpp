// The packet link on one device: frames fed as received blocks, the host's
// answers, and what the worker writes back.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <atomic>
#include <string>
#include <vector>

#include "support/LineDevice.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

namespace {

const std::string SOH = "\x01", STX = "\x02", ETX = "\x03", EOT = "\x04", ENQ = "\x05", ACK = "\x06",
                  BEL = "\x07", NAK = "\x15", CAN = "\x18", EM = "\x19";

std::string Frame(const std::string& wire, long declared = -1, long sum = -1)
{
    unsigned long total = 0;
    for (unsigned char c : wire)
        total += c;
    return SOH + std::to_string(declared < 0 ? wire.size() : static_cast<unsigned long>(declared)) + STX + wire +
           ETX + std::to_string(sum < 0 ? total : static_cast<unsigned long>(sum)) + EOT;
}

class PacketFraming : public ::testing::Test {
protected:
    void SetUp() override
    {
        window.SetHook([this](const Notice& n) -> LRESULT {
            if (n.index == DEVMSG_PACKET)
                return answer.load();
            if (n.index == DEVMSG_PACKET_REQUEST) {
                if (toSend.empty())
                    return 0;
                const std::string next = toSend.front();
                toSend.erase(toSend.begin());
                std::copy(next.begin(), next.end(), reinterpret_cast<char*>(n.lParam));
                return static_cast<LRESULT>(next.size());
            }
            return 0;
        });
        window.Attach(device);
        ASSERT_TRUE(device.Connect());
        device.ChangeMode(MODE_PACKET);
    }
    void TearDown() override { device.Disconnect(); }

    std::vector<std::string> Packets() const
    {
        std::vector<std::string> packets;
        for (const Notice& n : window.NoticesOf(DEVMSG_PACKET))
            packets.push_back(n.bytes);
        return packets;
    }
    std::string Written() const
    {
        std::string all;
        for (const LineOp& op : device.Ops())
            all += op.bytes;
        return all;
    }
    // True when the worker is awaiting a frame (state 1): only there does a
    // CAN from the peer end the link with a notice.
    bool AwaitsFrame()
    {
        const size_t before = window.NoticesOf(DEVMSG_PACKET_CANCEL).size();
        device.Receive(CAN);
        const bool cancelled = window.NoticesOf(DEVMSG_PACKET_CANCEL).size() > before;
        if (cancelled)
            device.ChangeMode(MODE_PACKET);
        return cancelled;
    }

    WindowThread window;
    LineDevice device;
    std::atomic<LRESULT> answer{PACKET_ACK};
    std::vector<std::string> toSend;  // touched on the window thread only while the link runs
};

}  // namespace

TEST_F(PacketFraming, AGoodFrameReachesTheHostAndItsAckIsWritten)
{
    device.Receive(SOH + "2" + STX + "AB" + ETX + "131" + EOT);
    EXPECT_EQ(Packets(), std::vector<std::string>{"AB"});
    EXPECT_EQ(window.NoticesOf(DEVMSG_PACKET)[0].wParam, 2u);
    EXPECT_EQ(Written(), ACK);
    EXPECT_TRUE(window.NoticesOf(DEVMSG_DATA).empty());
    EXPECT_TRUE(AwaitsFrame());
    EXPECT_EQ(device.Mode(), MODE_PACKET);
}

TEST_F(PacketFraming, AWrongChecksumGivesOneNakAndNoNotice)
{
    device.Receive(SOH + "2" + STX + "AB" + ETX + "130" + EOT);
    EXPECT_TRUE(Packets().empty());
    EXPECT_EQ(Written(), NAK);
    EXPECT_TRUE(AwaitsFrame());
}

TEST_F(PacketFraming, BelEscapesDecodeInPlace)
{
    device.Receive(SOH + "2" + STX + BEL + "\xc1" + ETX + "200" + EOT);
    EXPECT_EQ(Packets(), std::vector<std::string>{"A"});
    // A BEL in the last place stays as it is.
    device.Receive(Frame("x" + BEL));
    EXPECT_EQ(Packets().back(), "x" + BEL);
}

TEST_F(PacketFraming, FramingErrorsGiveOneNakAndDropTheRestOfTheBlock)
{
    const std::vector<std::string> bad = {
        SOH + "4097" + STX,                                   // too long, NAK at the STX
        SOH + "2x",                                           // not a digit in the length
        SOH + "2" + STX + "ABC" + ETX + "198" + EOT,          // no ETX after the count
        SOH + "5" + STX + "AB" + ETX + "131" + EOT,           // ETX before the count
        SOH + "2" + STX + "AB" + ETX + "131" + ACK,           // no EOT
    };
    for (const std::string& frame : bad) {
        const std::string before = Written();
        // What follows in the same block is dropped with the error.
        device.Receive(frame + Frame("ignored"));
        EXPECT_EQ(Written(), before + NAK) << "frame of " << frame.size() << " bytes";
        EXPECT_TRUE(AwaitsFrame());
    }
    EXPECT_TRUE(Packets().empty());
    // The sender's next try gets through.
    device.Receive(Frame("AB"));
    EXPECT_EQ(Packets(), std::vector<std::string>{"AB"});
}

TEST_F(PacketFraming, AFrameSplitAtAnyPointGivesOneNotice)
{
    const std::string frame = Frame("hello" + BEL + "\xc1" + "!");
    for (size_t cut = 1; cut < frame.size(); ++cut) {
        device.Receive(frame.substr(0, cut));
        device.Receive(frame.substr(cut));
    }
    for (size_t a = 1; a + 1 < frame.size(); a += 3)
        for (size_t b = a + 1; b < frame.size(); b += 2) {
            device.Receive(frame.substr(0, a));
            device.Receive(frame.substr(a, b - a));
            device.Receive(frame.substr(b));
        }
    const auto packets = Packets();
    size_t expected = frame.size() - 1;
    for (size_t a = 1; a + 1 < frame.size(); a += 3)
        for (size_t b = a + 1; b < frame.size(); b += 2)
            ++expected;
    ASSERT_EQ(packets.size(), expected);
    for (const std::string& packet : packets)
        EXPECT_EQ(packet, "helloA!");
    EXPECT_EQ(Written(), std::string(expected, '\x06'));
}

TEST_F(PacketFraming, WithPacketModeOffAFrameStartIsDroppedUpToTheCancel)
{
    device.ChangeMode(0);
    device.Receive("xy" + SOH + "5" + CAN + "z");
    EXPECT_EQ(window.DataBytes(), "xyz");
    ASSERT_EQ(window.NoticesOf(DEVMSG_DATA).size(), 2u);
    EXPECT_EQ(window.NoticesOf(DEVMSG_DATA)[0].bytes, "xy");
    EXPECT_EQ(window.NoticesOf(DEVMSG_DATA)[1].bytes, "z");
    // Without a cancel byte the block is dropped from the SOH to its end.
    device.Receive("ab" + SOH + "cd");
    EXPECT_EQ(window.DataBytes(), "xyzab");
    EXPECT_TRUE(Written().empty());
}

TEST_F(PacketFraming, WithPacketModeOnTheClaimEndsAtTheFirstCancel)
{
    device.Receive("ab" + CAN + "cd" + EM + "ef");
    EXPECT_EQ(window.DataBytes(), "cd" + EM + "ef");
    // In idle state a cancel byte is skipped: the link stays on.
    EXPECT_EQ(device.Mode(), MODE_PACKET);
    EXPECT_TRUE(window.NoticesOf(DEVMSG_PACKET_CANCEL).empty());
}

TEST_F(PacketFraming, HostAnswersDecideWhatIsWritten)
{
    answer = PACKET_NAK;
    device.Receive(Frame("one"));
    EXPECT_EQ(Written(), NAK);
    EXPECT_FALSE(AwaitsFrame());  // state 0 after an answer other than ACK or ENQ
    answer = 0x1234;              // only the low byte counts
    device.Receive(Frame("two"));
    EXPECT_EQ(Written(), NAK + "\x34");
    answer = PACKET_CAN;
    device.Receive(Frame("three") + Frame("dropped"));
    EXPECT_EQ(Written(), NAK + "\x34");
    EXPECT_EQ(device.Mode(), 1u);
    EXPECT_EQ(Packets(), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_TRUE(window.NoticesOf(DEVMSG_PACKET_CANCEL).empty());
}

TEST_F(PacketFraming, EnqAnswerSendsAPacketAndAckAckSendsOnlyOneMore)
{
    toSend = {"first", "second", "third"};
    answer = PACKET_ENQ;
    device.Receive(Frame("hi"));
    EXPECT_EQ(Written(), ACK + Frame("first"));
    // State 5: ACK sends the next packet; the second ACK is swallowed.
    device.Receive(ACK + ACK);
    EXPECT_EQ(Written(), ACK + Frame("first") + Frame("second"));
    EXPECT_EQ(window.NoticesOf(DEVMSG_PACKET_REQUEST).size(), 2u);
    EXPECT_EQ(window.NoticesOf(DEVMSG_PACKET_REQUEST)[0].wParam, 4096u);
    // NAK: the same packet again, and the rest of the block is dropped.
    device.Receive(NAK + ACK);
    EXPECT_EQ(Written(), ACK + Frame("first") + Frame("second") + Frame("second"));
    // Nothing left to send: one CAN, and the link ends.
    device.Receive(ACK);
    device.Receive(ACK);
    EXPECT_EQ(Written(), ACK + Frame("first") + Frame("second") + Frame("second") + Frame("third") + CAN);
    EXPECT_EQ(device.Mode(), 1u);
}

TEST_F(PacketFraming, InStateFiveTheByteAfterAnEnqIsSwallowed)
{
    toSend = {"first", "second"};
    answer = PACKET_ENQ;
    device.Receive(Frame("hi"));
    ASSERT_EQ(Written(), ACK + Frame("first"));  // state 5
    // ENQ: a frame is awaited, and the CAN right after it is consumed
    // unexamined: the link stays on.
    device.Receive(ENQ + CAN);
    EXPECT_EQ(device.Mode(), MODE_PACKET);
    EXPECT_TRUE(window.NoticesOf(DEVMSG_PACKET_CANCEL).empty());
    EXPECT_TRUE(AwaitsFrame());  // state 1; the CAN it sends ends the link, and the test restores it

    // Back in state 5: the SOH right after the ENQ is swallowed, so the frame
    // that follows is read from its own SOH, not from a second one.
    device.Receive(Frame("again"));
    ASSERT_EQ(Written(), ACK + Frame("first") + ACK + Frame("second"));
    answer = PACKET_ACK;
    device.Receive(ENQ + SOH + Frame("AB"));
    EXPECT_EQ(Packets(), (std::vector<std::string>{"hi", "again", "AB"}));
    EXPECT_EQ(Written(), ACK + Frame("first") + ACK + Frame("second") + ACK);
}

TEST_F(PacketFraming, InStateFiveTheByteAfterAnEnqInTheNextBlockIsExamined)
{
    toSend = {"first"};
    answer = PACKET_ENQ;
    device.Receive(Frame("hi"));
    ASSERT_EQ(Written(), ACK + Frame("first"));  // state 5
    // Only a byte in the same block is swallowed: a CAN that comes later is
    // read in state 1 and ends the link.
    device.Receive(ENQ);
    device.Receive(CAN);
    EXPECT_EQ(device.Mode(), 1u);
    EXPECT_EQ(window.NoticesOf(DEVMSG_PACKET_CANCEL).size(), 1u);
}

TEST_F(PacketFraming, EveryByteTheHelperEscapesIsDecodedByTheWorker)
{
    // The bytes the helper escapes, found by asking it about each value.
    std::string escaped;
    for (int v = 0; v < 256; ++v) {
        const BYTE raw = static_cast<BYTE>(v);
        BYTE wire[2] = {};
        const DWORD length = EscapePacketPayload(&raw, 1, wire, sizeof wire);
        ASSERT_TRUE(length == 1 || length == 2) << "byte " << v;
        if (length == 2) {
            EXPECT_EQ(wire[0], 0x07) << "byte " << v;
            EXPECT_EQ(wire[1], v ^ 0x80) << "byte " << v;
            escaped += static_cast<char>(v);
        } else {
            EXPECT_EQ(wire[0], v);
        }
    }
    EXPECT_EQ(escaped, std::string("\x00\x03\x07\x18\x19", 5));

    // Each of them alone, first, in the middle and last in a payload, and
    // all of them in one, framed by the helpers and received by the device.
    std::vector<std::string> payloads;
    for (char v : escaped)
        for (const std::string& payload : {std::string(1, v), v + std::string("ab"), "a" + std::string(1, v) + "b",
                                           "ab" + std::string(1, v)})
            payloads.push_back(payload);
    payloads.push_back(escaped + escaped);
    for (const std::string& payload : payloads) {
        BYTE wire[64];
        const DWORD length = EscapePacketPayload(reinterpret_cast<const BYTE*>(payload.data()),
                                                 static_cast<DWORD>(payload.size()), wire, sizeof wire);
        ASSERT_NE(length, 0u);
        size_t expected = 0;
        for (char c : payload)
            expected += escaped.find(c) == std::string::npos ? 1 : 2;
        ASSERT_EQ(length, expected);
        BYTE frame[PACKET_MAX_FRAME];
        const DWORD size = BuildPacketFrame(wire, length, frame, sizeof frame);
        ASSERT_NE(size, 0u);
        device.Receive(std::string(reinterpret_cast<char*>(frame), size));
    }
    EXPECT_EQ(Packets(), payloads);
    EXPECT_EQ(Written(), std::string(payloads.size(), '\x06'));
    EXPECT_TRUE(window.NoticesOf(DEVMSG_DATA).empty());
}

TEST_F(PacketFraming, TheReceiverDecodesAnyEscapedByte)
{
    // BEL x for every x that can travel inside a payload (not ETX, which
    // ends it, nor CAN or EM, which end the packet worker's claim).
    std::string wire, decoded;
    for (int v = 0; v < 256; ++v) {
        const char x = static_cast<char>(v ^ 0x80);
        if (x == ETX[0] || x == CAN[0] || x == EM[0])
            continue;
        wire += BEL + x;
        decoded += static_cast<char>(v);
    }
    device.Receive(Frame(wire));
    EXPECT_EQ(Packets(), std::vector<std::string>{decoded});
}

TEST_F(PacketFraming, PeerCancelWhileAwaitingAnAnswerEndsTheLink)
{
    toSend = {"payload"};
    answer = PACKET_ENQ;
    device.Receive(Frame("hi"));
    device.Receive("junk" + CAN + "more");
    EXPECT_EQ(device.Mode(), 1u);
    ASSERT_EQ(window.NoticesOf(DEVMSG_PACKET_CANCEL).size(), 1u);
    EXPECT_EQ(window.DataBytes(), "more");
}

TEST_F(PacketFraming, CommandsAreSwallowedInPacketMode)
{
    EXPECT_TRUE(device.WriteEx("AT^13"));
    EXPECT_TRUE(device.WaitToIdle(10000));
    EXPECT_TRUE(Written().empty());
    device.ChangeMode(0);
    EXPECT_TRUE(device.WriteEx("AT"));
    ASSERT_TRUE(device.WaitForOps(1));
    EXPECT_EQ(Written(), "AT");
}

TEST(PacketPoll, AcksOnceASecondWhileIdleOrAwaitingAFrame)
{
    LineDevice device;
    ASSERT_TRUE(device.Connect());
    device.ChangeMode(MODE_PACKET | MODE_PACKET_POLL);
    ASSERT_TRUE(device.WaitForOps(2, 10s));
    device.Receive(ENQ);  // state 1
    ASSERT_TRUE(device.WaitForOps(3, 10s));
    auto ops = device.Ops();
    for (const LineOp& op : ops)
        EXPECT_EQ(op.bytes, ACK);
    for (size_t i = 1; i < ops.size(); ++i) {
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(ops[i].at - ops[i - 1].at).count();
        EXPECT_GE(gap, 700) << "ACK " << i;
        EXPECT_LT(gap, 3000) << "ACK " << i;
    }
    device.ChangeMode(MODE_PACKET);
    const size_t count = device.Ops().size();
    EXPECT_FALSE(device.WaitForOps(count + 1, 1500ms));
    device.Disconnect();
}

TEST(PacketHelpers, EscapeAndFrameForTheWire)
{
    const BYTE raw[] = {'A', 0x07, 0x03, 0x18, 0x19, 0x00, 0xFF};
    BYTE wire[32];
    const DWORD length = EscapePacketPayload(raw, sizeof raw, wire, sizeof wire);
    const std::string expected = std::string("A") + BEL + "\x87" + BEL + "\x83" + BEL + "\x98" + BEL + "\x99" + BEL +
                                 "\x80" + "\xff";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(wire), length), expected);
    EXPECT_EQ(EscapePacketPayload(raw, sizeof raw, nullptr, 0xFFFFFFFFu), length);
    EXPECT_EQ(EscapePacketPayload(raw, sizeof raw, wire, length - 1), 0u);

    BYTE frame[PACKET_MAX_FRAME];
    const DWORD size = BuildPacketFrame(reinterpret_cast<const BYTE*>("AB"), 2, frame, sizeof frame);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(frame), size), SOH + "2" + STX + "AB" + ETX + "131" + EOT);
    std::vector<BYTE> tooLong(PACKET_MAX_PAYLOAD + 1, 'x');
    EXPECT_EQ(BuildPacketFrame(tooLong.data(), PACKET_MAX_PAYLOAD + 1, frame, sizeof frame), 0u);
    EXPECT_EQ(BuildPacketFrame(tooLong.data(), 10, frame, 5), 0u);
}
