// Internal: waiting on behalf of a thread that may own windows. Every wait
// of the library that can stand between a worker and the host's window
// thread goes through here, so that a worker notifying the waiting thread
// is answered instead of blocked for ever.
#pragma once

#include "../platform/Kernel.h"

namespace tavrin::detail {

// Waits for any of the handles while handling the messages other threads
// send to the calling thread. Returns the index of the signalled handle
// (the lowest when several are), or count on a time-out or failure.
DWORD WaitAnyServingSentMessages(const HANDLE* handles, DWORD count, DWORD milliseconds);

// One handle, no time limit; false when the wait failed (the handle went).
bool WaitServingSentMessages(HANDLE handle);

// Waits until each of the handles has been signalled once since the call
// (consuming auto-reset signals), or the time-out passes. True when all
// were seen.
bool WaitForEachServingSentMessages(const HANDLE* handles, DWORD count, DWORD milliseconds);

}  // namespace tavrin::detail
