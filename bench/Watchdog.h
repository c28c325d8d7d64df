// A bound on one phase of a benchmark: a peer that stops reading, or a
// Disconnect that never returns, must not keep a run going for ever.
#pragma once

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace tavrin::bench {

class Watchdog {
public:
    Watchdog(std::string phase, std::chrono::seconds bound, const char* program = kProgram)
        : m_phase(std::move(phase))
    {
        m_thread = std::thread([this, bound, program] {
            std::unique_lock<std::mutex> lock(m_lock);
            if (!m_changed.wait_for(lock, bound, [this] { return m_done; })) {
                std::fprintf(stderr, "\n%s: %s did not end within %lld s; giving up\n", program, m_phase.c_str(),
                             static_cast<long long>(bound.count()));
                std::fflush(stdout);
                _exit(3);
            }
        });
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_done = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Each benchmark program names itself before including this header.
    static constexpr const char* kProgram = TAVRIN_BENCH_PROGRAM;

private:
    std::string m_phase;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_done = false;
    std::thread m_thread;
};

}  // namespace tavrin::bench
