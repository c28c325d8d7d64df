#include "Merge.h"

#include <new>

namespace {

void InsertRegion(CPtrArray& regions, int nAt, int nWorker, DWORD dwStart, DWORD dwEnd)
{
    auto* region = new (std::nothrow) DataRegion{dwStart, dwEnd, nWorker};
    if (region)
        regions.InsertAt(nAt, region);
}

}  // namespace

void MergeClaim(CPtrArray& regions, int nWorker, DWORD dwStart, DWORD dwEnd)
{
    int at = 0;
    for (; at < regions.GetSize(); ++at) {
        const auto* region = static_cast<const DataRegion*>(regions[at]);
        if (dwEnd <= region->dwStart)
            break;
        if (dwStart >= region->dwEnd)
            continue;
        if (dwStart < region->dwStart) {
            const DWORD regionStart = region->dwStart;
            const int before = regions.GetSize();
            InsertRegion(regions, at, nWorker, dwStart, regionStart);
            if (regions.GetSize() > before)
                ++at;
        }
        dwStart = static_cast<const DataRegion*>(regions[at])->dwEnd;
        if (dwStart >= dwEnd)
            return;
    }
    InsertRegion(regions, at, nWorker, dwStart, dwEnd);
}

void FreeRegions(CPtrArray& regions)
{
    for (int i = 0; i < regions.GetSize(); ++i)
        delete static_cast<DataRegion*>(regions[i]);
    regions.RemoveAll();
}
