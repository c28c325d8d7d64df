// A host window on a thread of its own that records every notification it
// receives, so a test can write from its own thread and wait, with a bound,
// for what the window saw.
#pragma once

#include <tavrin/Tavrin.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavrin::test {

inline constexpr UINT kNotifyBase = WM_APP + 0x40;  // message number of index i: kNotifyBase + i
inline constexpr std::chrono::milliseconds kWait{5000};

struct Notice {
    int index;          // notification index, or -1 for another message
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::string bytes;  // copy of the data (DEVMSG_DATA, DEVMSG_PACKET) or text (DEVMSG_ERROR)
    DWORD thread;       // thread the procedure ran on
};

class WindowThread {
public:
    using Hook = std::function<LRESULT(const Notice&)>;

    WindowThread();
    ~WindowThread();
    WindowThread(const WindowThread&) = delete;
    WindowThread& operator=(const WindowThread&) = delete;

    HWND Window() const { return m_hWnd; }
    DWORD ThreadId() const { return m_dwThread; }

    // Gives the device this window and message number kNotifyBase + i for
    // every index i.
    void Attach(CDevice& device) const;
    // Runs on the window thread for every message; its result is returned.
    void SetHook(Hook hook);

    std::vector<Notice> Notices() const;
    std::vector<Notice> NoticesOf(int index) const;
    // All DEVMSG_DATA bytes received so far, in order.
    std::string DataBytes() const;
    bool WaitForCount(size_t count, std::chrono::milliseconds timeout = kWait) const;
    bool WaitForData(size_t bytes, std::chrono::milliseconds timeout = kWait) const;
    // Waits until `count` notices of notification index `index` have come.
    bool WaitForIndex(int index, size_t count, std::chrono::milliseconds timeout = kWait) const;
    // Runs fn on the window thread, inside a sent message, and waits for it.
    void RunOnWindowThread(const std::function<void()>& fn) const;
    // Runs fn on the window thread from its message loop (a posted message,
    // as a host's own code runs) and waits for it.
    void PostToWindowThread(const std::function<void()>& fn) const;
    // Queues fn for the window thread's message loop and returns at once;
    // from a handler, fn runs as soon as the handler has returned.
    void PostLater(std::function<void()> fn) const;

private:
    LRESULT Handle(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<Notice> m_notices;
    Hook m_hook;
    HWND m_hWnd = nullptr;
    DWORD m_dwThread = 0;
    bool m_ready = false;
    std::thread m_thread;
};

// The threads and the open descriptors of this process, from /proc.
#if !defined(_WIN32)
int CountProcessThreads();
int CountOpenDescriptors();
// Kernel ids of this process's threads, and how often a thread has given
// up the CPU by itself (each wake-up from a wait ends in one).
std::vector<int> ProcessThreadIds();
long VoluntarySwitches(int tid);
// The threads started since `before` was taken.
std::vector<int> ThreadsSince(const std::vector<int>& before);
// Those of `threads` that woke during a wait of `ms` milliseconds of this
// thread (on an event nobody sets, so the wait itself wakes no other).
// A thread that ended meanwhile is not counted.
std::vector<int> ThreadsThatWake(const std::vector<int>& threads, DWORD ms);
// Waits, up to the time-out, for an instant at which every other thread of
// this process is asleep in a system call; false if none came. From then on
// only a timer, a signal, outside input or the calling thread can wake any
// of them, so whatever wakes afterwards does so by itself.
bool WaitUntilOthersSleep(std::chrono::milliseconds timeout = kWait);
#endif

}  // namespace tavrin::test
