// Two devices joined as a null-modem pair, both in packet mode: the typical
// exchange to its end, a host that cancels, and a bulk transfer.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <vector>

#include "support/NullModem.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

namespace {

std::string WireFrame(const std::string& payload)
{
    std::vector<BYTE> escaped(2 * payload.size() + 1);
    const DWORD length = EscapePacketPayload(reinterpret_cast<const BYTE*>(payload.data()),
                                             static_cast<DWORD>(payload.size()), escaped.data(),
                                             static_cast<DWORD>(escaped.size()));
    std::vector<BYTE> frame(PACKET_MAX_FRAME);
    const DWORD size = BuildPacketFrame(escaped.data(), length, frame.data(), PACKET_MAX_FRAME);
    return std::string(reinterpret_cast<char*>(frame.data()), size);
}

LRESULT FillRequest(const Notice& n, const std::string& payload)
{
    const DWORD length = EscapePacketPayload(reinterpret_cast<const BYTE*>(payload.data()),
                                             static_cast<DWORD>(payload.size()), reinterpret_cast<BYTE*>(n.lParam),
                                             static_cast<DWORD>(n.wParam));
    return static_cast<LRESULT>(length);
}

class PacketPair : public ::testing::Test {
protected:
    void SetUp() override
    {
        a.Join(b);
        windowA.Attach(a);
        windowB.Attach(b);
        ASSERT_TRUE(a.Connect());
        ASSERT_TRUE(b.Connect());
        a.ChangeMode(MODE_PACKET);
        b.ChangeMode(MODE_PACKET);
    }
    void TearDown() override
    {
        a.Disconnect();
        b.Disconnect();
    }
    // B's host opens the exchange, as the first frame is always the host's.
    void Open(const std::string& payload)
    {
        const std::string first = "\x05" + WireFrame(payload);
        b.Write(reinterpret_cast<BYTE*>(const_cast<char*>(first.data())), static_cast<DWORD>(first.size()));
    }

    WindowThread windowA, windowB;
    NullModemDevice a, b;
};

std::vector<std::string> PacketsOf(const WindowThread& window)
{
    std::vector<std::string> packets;
    for (const Notice& n : window.NoticesOf(DEVMSG_PACKET))
        packets.push_back(n.bytes);
    return packets;
}

}  // namespace

TEST_F(PacketPair, TypicalExchangeRunsToTheCancel)
{
    // A answers B's opening packet with ENQ and then sends its own; B
    // refuses A's first packet once with NAK, then acknowledges each.
    std::vector<std::string> outgoing = {"one", "two", "three"};
    windowA.SetHook([&](const Notice& n) -> LRESULT {
        if (n.index == DEVMSG_PACKET)
            return PACKET_ENQ;
        if (n.index == DEVMSG_PACKET_REQUEST) {
            if (outgoing.empty())
                return 0;
            const std::string next = outgoing.front();
            outgoing.erase(outgoing.begin());
            return FillRequest(n, next);
        }
        return 0;
    });
    std::atomic<int> refused{0};
    windowB.SetHook([&](const Notice& n) -> LRESULT {
        if (n.index == DEVMSG_PACKET)
            return refused.fetch_add(1) == 0 ? PACKET_NAK : PACKET_ACK;
        return 0;
    });
    Open("hello");
    ASSERT_TRUE(windowB.WaitForIndex(DEVMSG_PACKET_CANCEL, 1));
    // A writes its CAN before it leaves packet mode: wait for it to settle.
    ASSERT_TRUE(a.WaitToIdle(10000));

    EXPECT_EQ(PacketsOf(windowA), std::vector<std::string>{"hello"});
    EXPECT_EQ(PacketsOf(windowB), (std::vector<std::string>{"one", "one", "two", "three"}));
    EXPECT_EQ(windowA.NoticesOf(DEVMSG_PACKET_REQUEST).size(), 4u);
    EXPECT_TRUE(windowA.NoticesOf(DEVMSG_PACKET_CANCEL).empty());
    EXPECT_EQ(a.Mode(), 1u);
    EXPECT_EQ(b.Mode(), 1u);
    EXPECT_TRUE(windowA.NoticesOf(DEVMSG_DATA).empty());
    EXPECT_TRUE(windowB.NoticesOf(DEVMSG_DATA).empty());
    EXPECT_EQ(a.WrittenBytes().back(), '\x18');
}

TEST_F(PacketPair, AHostThatAnswersCancelEndsTheLinkSilently)
{
    windowA.SetHook([&](const Notice& n) -> LRESULT { return n.index == DEVMSG_PACKET ? PACKET_CAN : 0; });
    Open("bye");
    ASSERT_TRUE(windowA.WaitForIndex(DEVMSG_PACKET, 1));
    EXPECT_TRUE(a.WaitToIdle(10000));
    EXPECT_EQ(a.Mode(), 1u);
    EXPECT_TRUE(a.WrittenBytes().empty());  // the peer gets no answer
    EXPECT_EQ(b.Mode(), MODE_PACKET);
    EXPECT_TRUE(windowA.NoticesOf(DEVMSG_PACKET_CANCEL).empty());
}

TEST_F(PacketPair, HundredsOfKilobytesOfEveryByteValueArriveIntact)
{
    std::mt19937 random(42);
    std::string file(300 * 1024, '\0');
    for (char& c : file)
        c = static_cast<char>(random());
    for (int v = 0; v < 256; ++v)
        file[static_cast<size_t>(v)] = static_cast<char>(v);

    // Escaping may double a byte: 2048 raw bytes always fit in 4096.
    size_t sent = 0;
    windowA.SetHook([&](const Notice& n) -> LRESULT {
        if (n.index == DEVMSG_PACKET)
            return PACKET_ENQ;
        if (n.index == DEVMSG_PACKET_REQUEST) {
            const size_t chunk = std::min<size_t>(2048, file.size() - sent);
            if (chunk == 0)
                return 0;
            const LRESULT placed = FillRequest(n, file.substr(sent, chunk));
            sent += chunk;
            return placed;
        }
        return 0;
    });
    std::string received;
    windowB.SetHook([&](const Notice& n) -> LRESULT {
        if (n.index == DEVMSG_PACKET)
            received += n.bytes;
        return n.index == DEVMSG_PACKET ? PACKET_ACK : 0;
    });
    Open("send");
    ASSERT_TRUE(windowB.WaitForIndex(DEVMSG_PACKET_CANCEL, 1, 60s));
    ASSERT_EQ(received.size(), file.size());
    EXPECT_TRUE(received == file);
    EXPECT_TRUE(windowB.NoticesOf(DEVMSG_DATA).empty());
}
