// Two network devices linked in one process form a bridge: what one's peer
// sends reaches the other's peer unchanged, zero bytes included, in both
// directions at once. A zero byte crosses as the partner's break, which a
// network device sends as one zero byte, so the streams here are full of
// them, alone, in runs, at the ends and around the 1024-byte read blocks.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <algorithm>
#include <future>
#include <random>
#include <string>

#include "support/SocketPeer.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

namespace {

// Each zero byte is a write of its own on the far side: a stream like
// these costs thousands of sends, which the sanitizers slow down.
constexpr std::chrono::milliseconds kStreamWait{30000};

std::string ZeroRichStream(unsigned seed, size_t size)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> nonZero(1, 255);
    std::uniform_int_distribution<int> pick(0, 99);
    std::string bytes;
    bytes += '\0';
    while (bytes.size() < size) {
        const int roll = pick(random);
        if (roll < 25) {
            bytes += '\0';
        } else if (roll < 28) {
            bytes.append(static_cast<size_t>(2 + roll % 7), '\0');   // a run of zeros
        } else {
            bytes += static_cast<char>(nonZero(random));
        }
    }
    bytes.resize(size);
    // Zeros where a read block ends and the next begins.
    for (size_t at = 1023; at + 1 < bytes.size(); at += 1024) {
        bytes[at] = '\0';
        bytes[at + 1] = '\0';
    }
    bytes.back() = '\0';
    return bytes;
}

// Where two streams first differ, for a readable failure.
std::string FirstDifference(const std::string& expected, const std::string& actual)
{
    const auto mismatch = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
    const size_t at = static_cast<size_t>(mismatch.first - expected.begin());
    return "sizes " + std::to_string(expected.size()) + " / " + std::to_string(actual.size()) +
           ", first difference at byte " + std::to_string(at);
}

struct Side {
    bool Open(CLan& lan)
    {
        listener = ListenLoopback(port);
        window.Attach(lan);
        if (!listener.Valid() || !lan.Connect("127.0.0.1", port))
            return false;
        peer = AcceptWithin(listener);
        return peer.Valid() && window.WaitForIndex(DEVMSG_CONNECTED, 1);
    }
    std::uint16_t port = 0;
    Fd listener;
    Fd peer;   // the test's end of the device's connection
    WindowThread window;
};

TEST(LanBridge, LinkedDevicesCarryZeroBytesBothWaysAtOnce)
{
    CLan a, b;
    Side first, second;
    ASSERT_TRUE(first.Open(a));
    ASSERT_TRUE(second.Open(b));
    a.LinkDevice(&b);

    const std::string forth = ZeroRichStream(1, 64 * 1024 + 7);
    const std::string back = ZeroRichStream(2, 48 * 1024 + 3);
    ASSERT_GT(std::count(forth.begin(), forth.end(), '\0'), 10000);
    ASSERT_GT(std::count(back.begin(), back.end(), '\0'), 8000);

    auto sendForth = std::async(std::launch::async, [&] { return SendAll(first.peer, forth); });
    auto sendBack = std::async(std::launch::async, [&] { return SendAll(second.peer, back); });
    auto atSecond = std::async(std::launch::async, [&] { return ReceiveExactly(second.peer, forth.size(), kStreamWait); });
    const std::string atFirst = ReceiveExactly(first.peer, back.size(), kStreamWait);
    EXPECT_TRUE(sendForth.get());
    EXPECT_TRUE(sendBack.get());
    const std::string arrived = atSecond.get();
    EXPECT_TRUE(arrived == forth) << FirstDifference(forth, arrived);
    EXPECT_TRUE(atFirst == back) << FirstDifference(back, atFirst);

    // Nothing more follows: a stray or repeated byte would come before the
    // marker.
    ASSERT_TRUE(SendAll(first.peer, "end-forth"));
    EXPECT_EQ(ReceiveExactly(second.peer, 9), "end-forth");
    ASSERT_TRUE(SendAll(second.peer, "end-back"));
    EXPECT_EQ(ReceiveExactly(first.peer, 8), "end-back");

    Within(10s, [&] { b.Disconnect(); }, "Disconnect b");
    Within(10s, [&] { a.Disconnect(); }, "Disconnect a");
}

}  // namespace
