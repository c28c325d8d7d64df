#include "Waits.h"

#include "../platform/Window.h"

#include <chrono>

namespace tavrin::detail {

bool WaitServingSentMessages(HANDLE handle)
{
    for (;;) {
        const DWORD result = MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE, QS_SENDMESSAGE);
        if (result == WAIT_OBJECT_0)
            return true;
        if (result != WAIT_OBJECT_0 + 1)
            return false;
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
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
        DWORD wait = INFINITE;
        if (milliseconds != INFINITE) {
            const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait = remaining.count() > 0 ? static_cast<DWORD>(remaining.count()) : 0;
        }
        const DWORD result = MsgWaitForMultipleObjects(count, left, FALSE, wait, QS_SENDMESSAGE);
        if (result < WAIT_OBJECT_0 + count) {
            left[result - WAIT_OBJECT_0] = left[count - 1];
            --count;
        } else if (result == WAIT_OBJECT_0 + count) {
            MSG msg;
            PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace tavrin::detail
