// Internal: waiting on behalf of a thread that may own windows.
#pragma once

#include "../platform/Kernel.h"

namespace tavrin::detail {

// Waits for a handle without a time limit while handling the messages other
// threads send to the calling thread's windows, so that a host thread that
// stops a device never blocks a worker that is notifying that same thread.
bool WaitServingSentMessages(HANDLE handle);

// Waits until each of the handles has been signalled once since the call
// (consuming auto-reset signals), or the time-out passes; handles sent
// messages meanwhile. True when all were seen.
bool WaitForEachServingSentMessages(const HANDLE* handles, DWORD count, DWORD milliseconds);

}  // namespace tavrin::detail
