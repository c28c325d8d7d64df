#include "WindowThread.h"

#if !defined(_WIN32)
#include <dirent.h>
#include <sched.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace tavrin::test {

namespace {
constexpr UINT kRunFunction = WM_APP + 0x3F0;
constexpr UINT kQuit = WM_APP + 0x3F1;
constexpr UINT kRunOwnedFunction = WM_APP + 0x3F2;
}  // namespace

WindowThread::WindowThread()
{
    m_thread = std::thread([this] {
        HWND hWnd = CreateMessageWindow(
            [this](HWND h, UINT message, WPARAM wParam, LPARAM lParam) { return Handle(h, message, wParam, lParam); });
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_hWnd = hWnd;
            m_dwThread = GetCurrentThreadId();
            m_ready = true;
        }
        m_changed.notify_all();
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0))
            DispatchMessageA(&msg);
        DestroyWindow(hWnd);
    });
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [this] { return m_ready; });
}

WindowThread::~WindowThread()
{
    PostMessageA(m_hWnd, kQuit, 0, 0);
    m_thread.join();
}

void WindowThread::Attach(CDevice& device) const
{
    device.EnableNotify(m_hWnd);
    for (int i = 0; i < DEVMSG_COUNT; ++i)
        device.SetMessage(i, kNotifyBase + static_cast<UINT>(i));
}

void WindowThread::SetHook(Hook hook)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_hook = std::move(hook);
}

LRESULT WindowThread::Handle(HWND, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kQuit) {
        PostQuitMessage(0);
        return 0;
    }
    if (message == kRunFunction) {
        (*reinterpret_cast<const std::function<void()>*>(lParam))();
        return 0;
    }
    if (message == kRunOwnedFunction) {
        std::unique_ptr<std::function<void()>> fn(reinterpret_cast<std::function<void()>*>(lParam));
        (*fn)();
        return 0;
    }
    if (message == WM_DESTROY)
        return 0;
    Notice notice{-1, message, wParam, lParam, {}, GetCurrentThreadId()};
    if (message >= kNotifyBase && message < kNotifyBase + DEVMSG_COUNT)
        notice.index = static_cast<int>(message - kNotifyBase);
    if ((notice.index == DEVMSG_DATA || notice.index == DEVMSG_PACKET) && lParam)
        notice.bytes.assign(reinterpret_cast<const char*>(lParam), wParam);
    if (notice.index == DEVMSG_ERROR && lParam)
        notice.bytes = reinterpret_cast<const CString*>(lParam)->str();
    Hook hook;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        hook = m_hook;
    }
    const LRESULT result = hook ? hook(notice) : 0;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_notices.push_back(notice);
    }
    m_changed.notify_all();
    return result;
}

std::vector<Notice> WindowThread::Notices() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_notices;
}

std::vector<Notice> WindowThread::NoticesOf(int index) const
{
    std::vector<Notice> found;
    for (const Notice& notice : Notices())
        if (notice.index == index)
            found.push_back(notice);
    return found;
}

std::string WindowThread::DataBytes() const
{
    std::string bytes;
    for (const Notice& notice : NoticesOf(DEVMSG_DATA))
        bytes += notice.bytes;
    return bytes;
}

bool WindowThread::WaitForCount(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, timeout, [&] { return m_notices.size() >= count; });
}

bool WindowThread::WaitForData(size_t bytes, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, timeout, [&] {
        size_t total = 0;
        for (const Notice& notice : m_notices)
            if (notice.index == DEVMSG_DATA)
                total += notice.bytes.size();
        return total >= bytes;
    });
}

bool WindowThread::WaitForIndex(int index, size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, timeout, [&] {
        size_t seen = 0;
        for (const Notice& notice : m_notices)
            seen += notice.index == index ? 1 : 0;
        return seen >= count;
    });
}

void WindowThread::RunOnWindowThread(const std::function<void()>& fn) const
{
    SendMessageA(m_hWnd, kRunFunction, 0, reinterpret_cast<LPARAM>(&fn));
}

void WindowThread::PostToWindowThread(const std::function<void()>& fn) const
{
    CEvent done;
    const std::function<void()> run = [&] {
        fn();
        done.SetEvent();
    };
    PostMessageA(m_hWnd, kRunFunction, 0, reinterpret_cast<LPARAM>(&run));
    WaitForSingleObject(done, INFINITE);
}

void WindowThread::PostLater(std::function<void()> fn) const
{
    auto owned = std::make_unique<std::function<void()>>(std::move(fn));
    if (PostMessageA(m_hWnd, kRunOwnedFunction, 0, reinterpret_cast<LPARAM>(owned.get())))
        owned.release();
}

#if !defined(_WIN32)
namespace {
std::vector<std::string> Entries(const char* path)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(path)) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                names.emplace_back(entry->d_name);
        closedir(dir);
    }
    return names;
}

int CountEntries(const char* path)
{
    return static_cast<int>(Entries(path).size());
}
}  // namespace

int CountProcessThreads()
{
    return CountEntries("/proc/self/task");
}

std::vector<int> ProcessThreadIds()
{
    std::vector<int> ids;
    for (const std::string& name : Entries("/proc/self/task"))
        ids.push_back(std::atoi(name.c_str()));
    return ids;
}

long VoluntarySwitches(int tid)
{
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    const std::string field = "voluntary_ctxt_switches:";
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + field.size());
    return -1;
}

std::vector<int> ThreadsSince(const std::vector<int>& before)
{
    std::vector<int> started;
    for (int tid : ProcessThreadIds())
        if (std::find(before.begin(), before.end(), tid) == before.end())
            started.push_back(tid);
    return started;
}

std::vector<int> ThreadsThatWake(const std::vector<int>& threads, DWORD ms)
{
    std::vector<long> before;
    for (int tid : threads)
        before.push_back(VoluntarySwitches(tid));
    CEvent never;
    never.Lock(ms);
    std::vector<int> woke;
    for (size_t i = 0; i < threads.size(); ++i) {
        const long now = VoluntarySwitches(threads[i]);
        if (now >= 0 && now != before[i])
            woke.push_back(threads[i]);
    }
    return woke;
}

namespace {

// Whether the thread is off the CPU and off the run queue, blocked in a
// system call: the kernel answers "running" in /proc/.../syscall for a
// thread that runs or is runnable (it checks that the thread is inactive,
// not just the state it declared before calling the scheduler, which
// /proc/.../stat shows). A thread that has ended counts as asleep.
bool AsleepInSystemCall(int tid, bool& ended)
{
    const std::string task = "/proc/self/task/" + std::to_string(tid);
    std::ifstream file(task + "/syscall");
    std::string first;
    if (file >> first)
        return first != "running" && first != "-1";   // -1: stopped outside a system call
    // Unreadable while the thread is there (a kernel without the file)
    // must not pass for asleep.
    ended = access(task.c_str(), F_OK) != 0;
    return ended;
}

}  // namespace

// Two passes over the threads. The first reads each one's voluntary switch
// count and then sees it asleep; the second sees it asleep again and then
// reads the same count. Waking and going back to sleep counts a switch, and
// woken without sleeping again it is seen running, so each thread slept
// through the whole span between its two looks, and every span holds the
// instant between the passes: then no other thread of the process was
// running or about to run, and none was in the middle of waking another.
// No pause is needed between the passes; a failed attempt yields the CPU to
// the threads still busy and tries again.
bool WaitUntilOthersSleep(std::chrono::milliseconds timeout)
{
    const int self = static_cast<int>(gettid());
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        const std::vector<int> all = ProcessThreadIds();
        std::vector<int> threads = all;
        threads.erase(std::remove(threads.begin(), threads.end(), self), threads.end());
        std::vector<long> counts;
        bool asleep = true;
        for (int tid : threads) {
            bool ended = false;
            counts.push_back(VoluntarySwitches(tid));
            asleep = asleep && AsleepInSystemCall(tid, ended);
        }
        for (size_t i = 0; asleep && i < threads.size(); ++i) {
            bool ended = false;
            asleep = AsleepInSystemCall(threads[i], ended) && (ended || VoluntarySwitches(threads[i]) == counts[i]);
        }
        // A thread started after the list was taken was not looked at.
        if (asleep && ThreadsSince(all).empty())
            return true;
        sched_yield();
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

// The directory's own descriptor, open while it is read, is not counted.
int CountOpenDescriptors()
{
    return CountEntries("/proc/self/fd") - 1;
}
#endif

}  // namespace tavrin::test
