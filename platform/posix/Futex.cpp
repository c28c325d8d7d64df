#include "Futex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace tavrin::posix {

void FutexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
               const std::chrono::steady_clock::time_point* deadline)
{
    timespec relative{};
    timespec* timeout = nullptr;
    if (deadline) {
        auto left = *deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return;
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        relative.tv_sec = static_cast<time_t>(ns / 1000000000);
        relative.tv_nsec = static_cast<long>(ns % 1000000000);
        timeout = &relative;
    }
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, timeout,
            nullptr, 0);
}

void FutexWakeAll(std::atomic<std::uint32_t>& word)
{
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 0x7fffffff, nullptr,
            nullptr, 0);
}

void FutexWakeOne(std::atomic<std::uint32_t>& word)
{
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace tavrin::posix
