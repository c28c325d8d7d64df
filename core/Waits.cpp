#include "Waits.h"

#include "../platform/Window.h"

#include <chrono>

namespace tavrin::detail {

namespace {

DWORD Remaining(std::chrono::steady_clock::time_point deadline, DWORD milliseconds)
{
    if (milliseconds == INFINITE)
        return INFINITE;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

}  // namespace

DWORD WaitAnyServingSentMessages(const HANDLE* handles, DWORD count, DWORD milliseconds)
{
    if (count >= MAXIMUM_WAIT_OBJECTS)
        return count;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        // Sent messages are handled inside a peek, on every platform, and
        // also before the wait: Windows' wait wakes only for input that is
        // new since the thread last looked at its queue, so a send that
        // was already queued would otherwise wait for the time-out.
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        const DWORD result =
            MsgWaitForMultipleObjects(count, handles, FALSE, Remaining(deadline, milliseconds), QS_SENDMESSAGE);
        if (result < WAIT_OBJECT_0 + count)
            return result - WAIT_OBJECT_0;
        if (result != WAIT_OBJECT_0 + count)
            return count;
    }
}

bool WaitServingSentMessages(HANDLE handle)
{
    return WaitAnyServingSentMessages(&handle, 1, INFINITE) == 0;
}

bool WaitForEachServingSentMessages(const HANDLE* handles, DWORD count, DWORD milliseconds)
{
    HANDLE left[MAXIMUM_WAIT_OBJECTS];
    if (count >= MAXIMUM_WAIT_OBJECTS)
        return false;
    for (DWORD i = 0; i < count; ++i)
        left[i] = handles[i];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (count > 0) {
        const DWORD index = WaitAnyServingSentMessages(left, count, Remaining(deadline, milliseconds));
        if (index >= count)
            return false;
        left[index] = left[count - 1];
        --count;
    }
    return true;
}

}  // namespace tavrin::detail
