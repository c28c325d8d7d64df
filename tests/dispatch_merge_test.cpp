// The merge of the workers' claims: priority order, no overlap, exact cover;
// and the same merge as DataDone runs it on a device's real workers.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "support/LineDevice.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

namespace {

using Region = std::tuple<DWORD, DWORD, int>;

struct Claim {
    int worker;
    DWORD start;
    DWORD end;
};

std::vector<Region> Merge(const std::vector<Claim>& claims)
{
    CPtrArray regions;
    for (const Claim& claim : claims)
        MergeClaim(regions, claim.worker, claim.start, claim.end);
    std::vector<Region> result;
    for (int i = 0; i < regions.GetSize(); ++i) {
        const auto* region = static_cast<const DataRegion*>(regions[i]);
        result.emplace_back(region->dwStart, region->dwEnd, region->nWorker);
    }
    FreeRegions(regions);
    EXPECT_EQ(regions.GetSize(), 0);
    return result;
}

}  // namespace

TEST(DispatchMerge, WholeBlockOfThePlainDataWorkerIsOneRegion)
{
    EXPECT_EQ(Merge({{WORKER_DATA, 0, 10}}), (std::vector<Region>{{0, 10, WORKER_DATA}}));
}

TEST(DispatchMerge, PacketClaimSplitsThePlainDataAroundIt)
{
    EXPECT_EQ(Merge({{WORKER_PACKET, 3, 7}, {WORKER_DATA, 0, 10}}),
              (std::vector<Region>{{0, 3, WORKER_DATA}, {3, 7, WORKER_PACKET}, {7, 10, WORKER_DATA}}));
}

TEST(DispatchMerge, LowerSlotIsNeverCut)
{
    // The packet worker (slot 0) is merged first even though the script
    // worker's claim starts earlier.
    EXPECT_EQ(Merge({{WORKER_PACKET, 3, 8}, {WORKER_SCRIPT, 0, 5}, {WORKER_DATA, 0, 10}}),
              (std::vector<Region>{{0, 3, WORKER_SCRIPT}, {3, 8, WORKER_PACKET}, {8, 10, WORKER_DATA}}));
}

TEST(DispatchMerge, EmptyClaimGivesAnEmptyRegionAhead)
{
    EXPECT_EQ(Merge({{WORKER_SCRIPT, 0, 0}, {WORKER_DATA, 0, 10}}),
              (std::vector<Region>{{0, 0, WORKER_SCRIPT}, {0, 10, WORKER_DATA}}));
}

TEST(DispatchMerge, RandomClaimsNeverOverlapKeepPriorityAndCoverTheUnion)
{
    std::mt19937 random(20261208);
    for (int round = 0; round < 20000; ++round) {
        const DWORD length = 1 + random() % 40;
        std::vector<Claim> claims;
        std::vector<int> ownerByPriority(length, -1);  // expected owner of each byte
        for (int worker = 0; worker < WORKER_COUNT; ++worker) {
            if (random() % 4 == 0)
                continue;
            DWORD s = random() % (length + 1);
            DWORD e = random() % (length + 1);
            if (s > e)
                std::swap(s, e);
            claims.push_back({worker, s, e});
            for (DWORD i = s; i < e; ++i)
                if (ownerByPriority[i] < 0)
                    ownerByPriority[i] = worker;
        }
        const auto regions = Merge(claims);
        std::vector<int> owner(length, -1);
        DWORD previousEnd = 0;
        for (const auto& [start, end, worker] : regions) {
            ASSERT_LE(start, end);
            ASSERT_GE(start, previousEnd) << "regions overlap or are out of order";
            previousEnd = end;
            for (DWORD i = start; i < end; ++i)
                owner[i] = worker;
        }
        ASSERT_EQ(owner, ownerByPriority) << "round " << round;
    }
}

namespace {

std::string WireFrame(const std::string& payload)
{
    BYTE frame[PACKET_MAX_FRAME];
    const DWORD size = BuildPacketFrame(reinterpret_cast<const BYTE*>(payload.data()),
                                        static_cast<DWORD>(payload.size()), frame, sizeof frame);
    return std::string(reinterpret_cast<char*>(frame), size);
}

std::vector<WPARAM> WaitNotices(const WindowThread& window)
{
    std::vector<WPARAM> values;
    for (const Notice& n : window.NoticesOf(DEVMSG_SCRIPT_WAIT))
        values.push_back(n.wParam);
    return values;
}

}  // namespace

// DataDone merges the packet-link worker's claim before the command-script
// worker's. A frame whose payload holds the text a script waits for is
// claimed by both from its first byte: it must reach the host as a packet,
// and the script gets no region of it, so its wait goes on (and, as nothing
// else answers it, runs out).
TEST(DispatchMergeOnADevice, APacketCarryingTheAwaitedTextIsThePacketWorkersAndTheWaitGoesOn)
{
    WindowThread window;
    LineDevice device;
    window.SetHook([](const Notice& n) { return n.index == DEVMSG_PACKET ? LRESULT{PACKET_ACK} : LRESULT{0}; });
    window.Attach(device);
    ASSERT_TRUE(device.Connect());
    // The wait is set up before the link goes on: in packet mode command
    // texts are discarded.
    ASSERT_TRUE(device.WriteEx("@2#OK#"));
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_SCRIPT_WAIT, 1));
    device.ChangeMode(MODE_PACKET);

    const std::string frame = WireFrame("xOKy");
    ASSERT_NE(frame.find("OK"), std::string::npos);
    device.Receive(frame);
    const auto packets = window.NoticesOf(DEVMSG_PACKET);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].bytes, "xOKy");
    EXPECT_EQ(WaitNotices(window), std::vector<WPARAM>{0}) << "the frame ended the script's wait";
    EXPECT_TRUE(window.NoticesOf(DEVMSG_DATA).empty());
    EXPECT_EQ(device.Writes(), std::vector<std::string>{"\x06"});  // the host's ACK

    // Nothing else answers the script: its wait runs out.
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_SCRIPT_WAIT, 2, 10s));
    EXPECT_EQ(WaitNotices(window), (std::vector<WPARAM>{0, 1}));
    EXPECT_EQ(window.NoticesOf(DEVMSG_PACKET).size(), 1u);
    device.Disconnect();
}
