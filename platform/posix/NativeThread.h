// Internal to the POSIX backend: a joinable thread of the backend's own
// with a stack of a chosen size, for the threads that run only library code
// (a serial port's I/O thread and its status-line watcher). std::thread
// takes the system's default, the stack limit (8 MiB as a rule), which each
// open port reserved twice over.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>

namespace tavrin::posix {

// Sanitizers enlarge every frame and keep stacks of their own beside the
// thread's: their builds give these threads the system's default.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAVRIN_NATIVE_THREAD_DEFAULT_STACKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TAVRIN_NATIVE_THREAD_DEFAULT_STACKS 1
#endif
#endif

class NativeThread {
public:
    NativeThread() = default;
    // Its owner ends and joins the thread first; one still joinable here
    // ends the process, as std::thread does.
    ~NativeThread();
    NativeThread(const NativeThread&) = delete;
    NativeThread& operator=(const NativeThread&) = delete;

    // Runs body on a new thread with at least stackSize bytes of stack
    // (PTHREAD_STACK_MIN at the least, and the system's default in a
    // sanitized build); false, with nothing started, when the system refuses.
    bool Start(std::function<void()> body, std::size_t stackSize);
    bool Joinable() const { return m_started; }
    void Join();

private:
    // noexcept: an exception that escapes the body ends the process, as it
    // does from a std::thread.
    static void* Run(void* self) noexcept;

    std::function<void()> m_body;
    pthread_t m_thread {};
    bool m_started = false;
};

}  // namespace tavrin::posix
