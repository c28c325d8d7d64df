// The merge of the workers' claims on one received block into regions that
// do not overlap, sorted by position. Exposed so that hosts and tests can
// check the priority rules without threads.
#pragma once

#include "../platform/Mfc.h"
#include "../platform/Types.h"

struct DataRegion {
    DWORD dwStart;  // offset of the region's first byte in the block
    DWORD dwEnd;    // offset after its last byte
    int nWorker;    // slot index of the owner
};

// Adds the claim [dwStart, dwEnd) of worker nWorker to the sorted array of
// DataRegion pointers. Claims merged earlier are never cut; this one keeps
// only the parts that are still free, each inserted at its place. A region
// that cannot be allocated is left out.
TAVRIN_API void MergeClaim(CPtrArray& regions, int nWorker, DWORD dwStart, DWORD dwEnd);

// Deletes every region of the array and empties it.
TAVRIN_API void FreeRegions(CPtrArray& regions);
