// What unrelated objects cost each other in the platform's waits: thread
// pairs that each ping-pong on their own two auto-reset events share
// nothing, so their hand-offs per second should grow with the pairs until
// the CPUs are busy, not fall because every SetEvent and every wait meets
// the others on one lock. A second case keeps many threads blocked in waits
// of their own (as a device's workers are while it is idle) beside one pair.
#include <benchmark/benchmark.h>
#include <tavrin/Tavrin.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

constexpr DWORD kStepTimeout = 5000;

// Two threads handing a turn to each other through two auto-reset events:
// a server thread of its own answers each ping with a pong, and whoever
// calls Hop() drives it.
class Pair {
public:
    Pair() { m_server = CreateThread(nullptr, 0, Serve, this, 0, nullptr); }
    ~Pair()
    {
        m_stop = true;
        m_ping.SetEvent();
        WaitForSingleObject(m_server, INFINITE);
        CloseHandle(m_server);
    }
    bool Hop()
    {
        m_ping.SetEvent();
        if (WaitForSingleObject(m_pong, kStepTimeout) != WAIT_OBJECT_0)
            return false;
        m_hops.fetch_add(2, std::memory_order_relaxed);
        return true;
    }
    std::uint64_t Hops() const { return m_hops.load(std::memory_order_relaxed); }

private:
    static DWORD WINAPI Serve(LPVOID param)
    {
        auto* self = static_cast<Pair*>(param);
        while (WaitForSingleObject(self->m_ping, kStepTimeout) == WAIT_OBJECT_0 && !self->m_stop.load())
            self->m_pong.SetEvent();
        return 0;
    }

    CEvent m_ping;
    CEvent m_pong;
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint64_t> m_hops{0};
    HANDLE m_server = nullptr;
};

// A pair driven by a thread of its own until it is stopped.
class BackgroundPair {
public:
    BackgroundPair() { m_driver = CreateThread(nullptr, 0, Drive, this, 0, nullptr); }
    ~BackgroundPair()
    {
        m_stop = true;
        WaitForSingleObject(m_driver, INFINITE);
        CloseHandle(m_driver);
    }
    std::uint64_t Hops() const { return m_pair.Hops(); }

private:
    static DWORD WINAPI Drive(LPVOID param)
    {
        auto* self = static_cast<BackgroundPair*>(param);
        while (!self->m_stop.load() && self->m_pair.Hop()) {
        }
        return 0;
    }

    Pair m_pair;
    std::atomic<bool> m_stop{false};
    HANDLE m_driver = nullptr;
};

// range(0) pairs: the benchmark's own thread drives one of them, the rest
// run beside it; the rate counted is that of all pairs together.
void BM_PairsPingPong(benchmark::State& state)
{
    std::vector<std::unique_ptr<BackgroundPair>> others;
    for (int64_t i = 1; i < state.range(0); ++i)
        others.push_back(std::make_unique<BackgroundPair>());
    Pair own;
    auto total = [&] {
        std::uint64_t sum = own.Hops();
        for (auto& pair : others)
            sum += pair->Hops();
        return sum;
    };
    const std::uint64_t before = total();
    bool lost = false;
    for (auto _ : state)
        if (!own.Hop()) {
            lost = true;
            break;
        }
    const std::uint64_t after = total();
    others.clear();
    state.counters["handoffs"] = benchmark::Counter(static_cast<double>(after - before), benchmark::Counter::kIsRate);
    if (lost)
        state.SkipWithError("a hand-off was lost");
}
BENCHMARK(BM_PairsPingPong)->Arg(1)->Arg(2)->Arg(8)->Arg(64)->UseRealTime();

// range(0) threads blocked, each in a wait on six events of its own, while
// one pair hands off.
void BM_PairBesideIdleWaiters(benchmark::State& state)
{
    struct Idle {
        CEvent events[6];
        HANDLE thread = nullptr;
    };
    std::vector<std::unique_ptr<Idle>> idle;
    for (int64_t i = 0; i < state.range(0); ++i) {
        auto record = std::make_unique<Idle>();
        record->thread = CreateThread(
            nullptr, 64 * 1024,
            [](LPVOID param) -> DWORD {
                auto* self = static_cast<Idle*>(param);
                HANDLE waits[6];
                for (int e = 0; e < 6; ++e)
                    waits[e] = self->events[e];
                return WaitForMultipleObjects(6, waits, FALSE, INFINITE);
            },
            record.get(), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        idle.push_back(std::move(record));
    }
    bool lost = false;
    std::uint64_t hops = 0;
    {
        Pair own;
        for (auto _ : state)
            if (!own.Hop()) {
                lost = true;
                break;
            }
        hops = own.Hops();
    }
    state.counters["handoffs"] = benchmark::Counter(static_cast<double>(hops), benchmark::Counter::kIsRate);
    for (auto& record : idle) {
        record->events[5].SetEvent();
        WaitForSingleObject(record->thread, INFINITE);
        CloseHandle(record->thread);
    }
    if (lost)
        state.SkipWithError("a hand-off was lost");
}
BENCHMARK(BM_PairBesideIdleWaiters)->Arg(0)->Arg(1000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
