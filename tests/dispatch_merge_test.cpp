// The merge of the workers' claims: priority order, no overlap, exact cover.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <random>
#include <tuple>
#include <vector>

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
