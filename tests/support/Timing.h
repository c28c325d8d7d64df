// Elapsed-time measurement and a watchdog for tests. A test that would hang
// fails instead: the watchdog aborts the process with a message.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <utility>

namespace tavrin::test {

class Stopwatch {
public:
    Stopwatch() : m_start(std::chrono::steady_clock::now()) {}
    long long Ms() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_start)
            .count();
    }

private:
    std::chrono::steady_clock::time_point m_start;
};

// Runs fn on another thread and returns its result; aborts the test process
// if it does not finish within the limit (a deadlock is a failure, not a hang).
template <class Fn>
auto Within(std::chrono::milliseconds limit, Fn&& fn, const char* what = "operation")
{
    auto future = std::async(std::launch::async, std::forward<Fn>(fn));
    if (future.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "watchdog: %s did not finish within %lld ms\n", what,
                     static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::abort();
    }
    return future.get();
}

}  // namespace tavrin::test
