// Blocks per second from a loopback Write to the host's window procedure on
// another thread, beside the bare cost of the same thread hand-offs: built
// from the platform primitives, and built on raw futexes (the limit of the
// machine), and beside bare SendMessageA round trips. Prints the ratios at
// the end.
//
// The shape of one block: the writer wakes three workers and waits for
// their three answers (scan), wakes the owner of each claimed region and
// waits for its answer (one delivery), and that worker sends one message
// synchronously to a window on another thread. The context switches per
// block are counted for the whole process, and the blocks per second are
// also set against bare SendMessageA round trips, the one hand-off a block
// cannot avoid.
//
// Built for Windows, the raw baseline is WaitOnAddress, and the process's
// context switches are not counted (Windows keeps them per thread, behind
// an undocumented query); its CPU time per block is, on both systems.
#include <benchmark/benchmark.h>
#include <tavrin/Tavrin.h>

#if defined(_WIN32)
#  include <synchapi.h>
#else
#  include <linux/futex.h>
#  include <sys/resource.h>
#  include <sys/syscall.h>
#  include <unistd.h>
#endif

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr UINT kData = WM_APP + 1;
constexpr UINT kQuit = WM_APP + 2;

// A window on a thread of its own that counts what it receives.
class CountingWindow {
public:
    CountingWindow()
    {
        CEvent ready;
        m_thread = std::thread([this, &ready] {
            m_hWnd = CreateMessageWindow([this](HWND, UINT message, WPARAM wParam, LPARAM) -> LRESULT {
                if (message == kQuit)
                    PostQuitMessage(0);
                else
                    m_bytes += wParam;
                return 0;
            });
            ready.SetEvent();
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0))
                DispatchMessageA(&msg);
            DestroyWindow(m_hWnd);
        });
        WaitForSingleObject(ready, INFINITE);
    }
    ~CountingWindow()
    {
        PostMessageA(m_hWnd, kQuit, 0, 0);
        m_thread.join();
    }
    HWND Window() const { return m_hWnd; }
    std::uint64_t Bytes() const { return m_bytes; }

private:
    HWND m_hWnd = nullptr;
    std::atomic<std::uint64_t> m_bytes{0};
    std::thread m_thread;
};

#if defined(_WIN32)
constexpr bool kSwitchesCounted = false;
constexpr const char* kRawName = "WaitOnAddress";

long ContextSwitches() { return 0; }

// User and kernel time of the whole process so far.
double CpuMicroseconds()
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    auto ticks = [](const FILETIME& time) {
        return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 10.0;  // 100 ns units
}
#else
constexpr bool kSwitchesCounted = true;
constexpr const char* kRawName = "raw futexes";

// Voluntary and involuntary context switches of the whole process so far.
long ContextSwitches()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

double CpuMicroseconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto micro = [](const timeval& time) { return static_cast<double>(time.tv_sec) * 1e6 + time.tv_usec; };
    return micro(usage.ru_utime) + micro(usage.ru_stime);
}
#endif

void BM_LoopbackWrite(benchmark::State& state)
{
    CountingWindow window;
    CDevice device;
    device.EnableNotify(window.Window());
    device.SetMessage(DEVMSG_DATA, kData);
    device.Connect();
    std::vector<BYTE> block(static_cast<size_t>(state.range(0)), 'x');
    const long switchesBefore = ContextSwitches();
    const double cpuBefore = CpuMicroseconds();
    for (auto _ : state)
        device.Write(block.data(), static_cast<DWORD>(block.size()));
    // Every thread of the process: the writer, the workers, the window.
    const auto blocks = static_cast<double>(state.iterations());
    if (kSwitchesCounted)
        state.counters["switches_per_block"] = static_cast<double>(ContextSwitches() - switchesBefore) / blocks;
    state.counters["cpu_us_per_block"] = (CpuMicroseconds() - cpuBefore) / blocks;
    device.Disconnect();
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
    if (window.Bytes() != static_cast<std::uint64_t>(state.iterations() * state.range(0)))
        state.SkipWithError("bytes lost");
}
BENCHMARK(BM_LoopbackWrite)->Arg(1)->Arg(64)->Arg(1024)->UseRealTime();

// Three helpers waiting like workers: wait-any over stop and their own
// request event. The first round wakes all three (the scan); the second
// wakes only the last of them (the delivery), which sends one message.
void BM_PlatformHandoff(benchmark::State& state)
{
    CountingWindow window;
    CEvent stop(FALSE, TRUE);
    CEvent request[3], answer[3];
    std::atomic<int> round{0};
    std::vector<std::thread> helpers;
    for (int i = 0; i < 3; ++i)
        helpers.emplace_back([&, i] {
            HANDLE waits[2] = {stop, request[i]};
            while (WaitForMultipleObjects(2, waits, FALSE, 1000) != WAIT_OBJECT_0) {
                if (i == 2 && round.load(std::memory_order_acquire) == 1)
                    SendMessageA(window.Window(), kData, 1, 0);
                answer[i].SetEvent();
            }
        });
    auto cycle = [&](int r) {
        round.store(r, std::memory_order_release);
        const int first = r == 0 ? 0 : 2;
        for (int i = first; i < 3; ++i)
            request[i].SetEvent();
        HANDLE answers[3] = {answer[0], answer[1], answer[2]};
        WaitForMultipleObjects(3 - first, answers + first, TRUE, INFINITE);
    };
    for (auto _ : state) {
        cycle(0);
        cycle(1);
    }
    stop.SetEvent();
    for (auto& helper : helpers)
        helper.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlatformHandoff)->UseRealTime();

// The one switch pair a block cannot avoid: a synchronous SendMessageA to a
// window on another thread, round trip.
void BM_SendMessageRoundTrip(benchmark::State& state)
{
    CountingWindow window;
    for (auto _ : state)
        SendMessageA(window.Window(), kData, 1, 0);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SendMessageRoundTrip)->UseRealTime();

#if defined(_WIN32)
void FutexWaitWhile(std::atomic<std::uint32_t>& word, std::uint32_t value)
{
    WaitOnAddress(reinterpret_cast<volatile void*>(&word), &value, sizeof value, INFINITE);
}

void FutexWakeOne(std::atomic<std::uint32_t>& word) { WakeByAddressSingle(reinterpret_cast<void*>(&word)); }
#else
void FutexWaitWhile(std::atomic<std::uint32_t>& word, std::uint32_t value)
{
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
}

void FutexWakeOne(std::atomic<std::uint32_t>& word)
{
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}
#endif

void FutexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected)
{
    while (word.load(std::memory_order_acquire) == expected)
        FutexWaitWhile(word, expected);
}

void FutexBump(std::atomic<std::uint32_t>& word)
{
    word.fetch_add(1, std::memory_order_release);
    FutexWakeOne(word);
}

// The same shape on raw futexes (WaitOnAddress on Windows): a sequence word per helper, a counter of
// missing answers, and a fourth thread standing in for the window.
void BM_FutexHandoff(benchmark::State& state)
{
    std::atomic<std::uint32_t> request[3] = {}, pending{0}, message{0}, reply{0};
    std::atomic<bool> stopping{false};
    std::atomic<int> round{0};
    std::thread windowThread([&] {
        std::uint32_t seen = 0;
        for (;;) {
            FutexWait(message, seen);
            seen = message.load();
            if (stopping.load())
                return;
            FutexBump(reply);
        }
    });
    std::vector<std::thread> helpers;
    for (int i = 0; i < 3; ++i)
        helpers.emplace_back([&, i] {
            std::uint32_t seen = 0;
            for (;;) {
                FutexWait(request[i], seen);
                seen = request[i].load();
                if (stopping.load())
                    return;
                if (i == 2 && round.load(std::memory_order_acquire) == 1) {
                    const std::uint32_t before = reply.load();
                    FutexBump(message);
                    FutexWait(reply, before);
                }
                if (pending.fetch_sub(1, std::memory_order_acq_rel) == 1)
                    FutexWakeOne(pending);
            }
        });
    auto cycle = [&](int r) {
        round.store(r, std::memory_order_release);
        pending.store(3, std::memory_order_release);
        for (auto& word : request)
            FutexBump(word);
        for (std::uint32_t left; (left = pending.load(std::memory_order_acquire)) != 0;)
            FutexWaitWhile(pending, left);
    };
    for (auto _ : state) {
        cycle(0);
        cycle(1);
    }
    stopping = true;
    for (auto& word : request)
        FutexBump(word);
    FutexBump(message);
    for (auto& helper : helpers)
        helper.join();
    windowThread.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FutexHandoff)->UseRealTime();

class RateCollector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            auto rate = run.counters.find("items_per_second");
            if (rate != run.counters.end() && run.run_type == Run::RT_Iteration)
                rates[run.benchmark_name()] = rate->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RateCollector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto rate = [&](const std::string& prefix) {
        for (const auto& [name, value] : reporter.rates)
            if (name.rfind(prefix, 0) == 0)
                return value;
        return 0.0;
    };
    const double platform = rate("BM_PlatformHandoff");
    const double sendMessage = rate("BM_SendMessageRoundTrip");
    const double futex = rate("BM_FutexHandoff");
    std::printf("\nblocks per second through the loopback device, against the bare hand-offs:\n");
    for (const char* size : {"1", "64", "1024"}) {
        const double loopback = rate(std::string("BM_LoopbackWrite/") + size);
        if (loopback > 0 && platform > 0 && futex > 0)
            std::printf("  %5s-byte blocks: %9.0f/s  = %.2f of the platform hand-offs, %.2f of %s\n", size, loopback,
                        loopback / platform, loopback / futex, kRawName);
    }
    if (platform > 0 && futex > 0)
        std::printf("  platform hand-offs: %9.0f/s, %s: %9.0f/s, ratio %.2f\n", platform, kRawName, futex,
                    platform / futex);
    for (const char* size : {"1", "64", "1024"}) {
        const double loopback = rate(std::string("BM_LoopbackWrite/") + size);
        if (loopback > 0 && sendMessage > 0)
            std::printf("  %5s-byte blocks: %.2f of the SendMessageA round trips (%.0f/s)\n", size,
                        loopback / sendMessage, sendMessage);
    }
    if (!kSwitchesCounted)
        std::printf("  context switches per block: not counted on Windows\n");
    return 0;
}
