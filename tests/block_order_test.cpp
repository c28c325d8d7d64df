// The order of received blocks per writer: every block carries its writer
// and its sequence number, so a block that overtakes an earlier one of the
// same writer is seen, whichever path (the writer's own cycle or the
// courier thread) each block took.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/TestDevices.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

namespace {

// "<writer>#<sequence>:" then the body. Neither the tag nor the bodies used
// here hold an SOH, which would start a packet frame.
std::string Tagged(const std::string& writer, int sequence, const std::string& body)
{
    return writer + "#" + std::to_string(sequence) + ":" + body;
}

struct Tag {
    std::string writer;
    int sequence = -1;
    std::string body;
};

bool ParseTag(const std::string& block, Tag& tag)
{
    const size_t hash = block.find('#');
    const size_t colon = block.find(':', hash == std::string::npos ? 0 : hash);
    if (hash == std::string::npos || colon == std::string::npos || colon == hash + 1)
        return false;
    tag.writer = block.substr(0, hash);
    tag.sequence = std::stoi(block.substr(hash + 1, colon - hash - 1));
    tag.body = block.substr(colon + 1);
    return true;
}

// Every block arrived whole, once, and in its writer's order.
void ExpectInOrderPerWriter(const std::vector<Notice>& data, const std::map<std::string, int>& counts,
                            const std::map<std::string, std::string>& bodies)
{
    std::map<std::string, int> next;
    for (const Notice& notice : data) {
        Tag tag;
        ASSERT_TRUE(ParseTag(notice.bytes, tag)) << "a block arrived cut or joined: " << notice.bytes.size()
                                                 << " bytes";
        ASSERT_TRUE(counts.count(tag.writer)) << "unknown writer " << tag.writer;
        EXPECT_EQ(tag.body, bodies.at(tag.writer)) << tag.writer << " block " << tag.sequence;
        EXPECT_EQ(tag.sequence, next[tag.writer]) << "writer " << tag.writer << ": block " << tag.sequence
                                                  << " arrived where " << next[tag.writer] << " was due";
        next[tag.writer] = tag.sequence + 1;
    }
    for (const auto& [writer, count] : counts)
        EXPECT_EQ(next[writer], count) << "writer " << writer;
}

}  // namespace

TEST(BlockOrder, EveryByteValueArrivesWholeAndInEachWritersOrderFromConcurrentWriters)
{
    WindowThread window;
    ProbeDevice device;
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    // Every byte value but SOH, which starts a frame of the packet link and
    // is taken out of plain data with what follows it.
    std::string all;
    for (int i = 0; i < 256; ++i)
        if (i != 0x01)
            all += static_cast<char>(i);
    constexpr int kWriters = 3;
    constexpr int kBlocks = 40;
    std::map<std::string, int> counts;
    std::map<std::string, std::string> bodies;
    for (int w = 0; w < kWriters; ++w) {
        counts["w" + std::to_string(w)] = kBlocks;
        bodies["w" + std::to_string(w)] = all;
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            for (int sequence = 0; sequence < kBlocks; ++sequence) {
                std::string block = Tagged("w" + std::to_string(w), sequence, all);
                device.Write(reinterpret_cast<BYTE*>(block.data()), static_cast<DWORD>(block.size()));
            }
        });
    for (auto& writer : writers)
        writer.join();
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_DATA, kWriters * kBlocks));
    ExpectInOrderPerWriter(window.NoticesOf(DEVMSG_DATA), counts, bodies);
    device.Disconnect();
}

// A worker that writes to the plain device hands its blocks to the courier
// thread; threads that write meanwhile run their own cycles. Each writer's blocks
// still arrive in its order.
TEST(BlockOrder, ScriptLinesThroughTheCourierAndDirectWritesKeepTheirOrders)
{
    WindowThread window;
    ProbeDevice device;
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    constexpr int kLines = 30;
    constexpr int kBlocks = 60;
    std::string script;
    for (int line = 0; line < kLines; ++line)
        script += Tagged("script", line, "line") + "\r\n";
    std::map<std::string, int> counts = {{"script", kLines}, {"direct", kBlocks}};
    std::map<std::string, std::string> bodies = {{"script", "line"}, {"direct", "block"}};
    Within(
        20s,
        [&] {
            ASSERT_TRUE(device.WriteEx(script.c_str()));
            for (int sequence = 0; sequence < kBlocks; ++sequence) {
                std::string block = Tagged("direct", sequence, "block");
                device.Write(reinterpret_cast<BYTE*>(block.data()), static_cast<DWORD>(block.size()));
            }
        },
        "script and direct writes");
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_DATA, kLines + kBlocks, 10s));
    ExpectInOrderPerWriter(window.NoticesOf(DEVMSG_DATA), counts, bodies);
    device.Disconnect();
}
