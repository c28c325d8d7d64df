// Many threads hammering the platform primitives at once: a lost wake-up,
// a signal given to two waiters or a torn mutex shows up as a time-out or a
// wrong count (and as a report under the sanitizers).
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/WindowThread.h"

namespace {
constexpr DWORD kStepTimeout = 5000;
}

TEST(PlatformStress, ARingOfThreadsPassesOneSignalWithoutLosingIt)
{
    constexpr int kThreads = 4;
    constexpr int kHops = 20000;
    CEvent turn[kThreads];
    CEvent finished(FALSE, TRUE);
    std::atomic<int> hops{0};
    std::atomic<bool> lost{false};
    std::vector<std::thread> ring;
    for (int i = 0; i < kThreads; ++i)
        ring.emplace_back([&, i] {
            for (;;) {
                if (WaitForSingleObject(turn[i], kStepTimeout) != WAIT_OBJECT_0) {
                    lost = true;
                    finished.SetEvent();
                    return;
                }
                if (hops.fetch_add(1) >= kHops) {
                    finished.SetEvent();
                    // Pass the end on so that every thread leaves.
                    turn[(i + 1) % kThreads].SetEvent();
                    return;
                }
                turn[(i + 1) % kThreads].SetEvent();
            }
        });
    turn[0].SetEvent();
    ASSERT_EQ(WaitForSingleObject(finished, 60000), WAIT_OBJECT_0);
    for (auto& t : ring)
        t.join();
    EXPECT_FALSE(lost.load());
    EXPECT_GE(hops.load(), kHops);
}

TEST(PlatformStress, ThreeWorkersAnswerEveryCycleOfADispatcher)
{
    constexpr int kCycles = 5000;
    CEvent stop(FALSE, TRUE);
    CEvent request[3], answer[3];
    std::atomic<int> handled[3] = {};
    std::vector<std::thread> workers;
    for (int i = 0; i < 3; ++i)
        workers.emplace_back([&, i] {
            HANDLE waits[2] = {stop, request[i]};
            while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
                ++handled[i];
                answer[i].SetEvent();
            }
        });
    HANDLE answers[3] = {answer[0], answer[1], answer[2]};
    int completed = 0;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        for (CEvent& e : request)
            e.SetEvent();
        if (WaitForMultipleObjects(3, answers, TRUE, kStepTimeout) != WAIT_OBJECT_0)
            break;
        ++completed;
    }
    stop.SetEvent();
    for (auto& t : workers)
        t.join();
    EXPECT_EQ(completed, kCycles);
    for (auto& count : handled)
        EXPECT_EQ(count.load(), kCycles);
}

TEST(PlatformStress, ARecursiveMutexKeepsItsCountUnderContention)
{
    CMutex mutex;
    long counter = 0;  // guarded by the mutex alone
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                ASSERT_TRUE(mutex.Lock(kStepTimeout));
                ASSERT_TRUE(mutex.Lock(0));  // recursive
                ++counter;
                mutex.Unlock();
                mutex.Unlock();
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 20000);
}

TEST(PlatformStress, SendsFromManyThreadsAreAllAnswered)
{
    tavrin::test::WindowThread window;
    window.SetHook([](const tavrin::test::Notice& n) { return static_cast<LRESULT>(n.wParam + 1); });
    std::atomic<int> wrong{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 3; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                const WPARAM value = static_cast<WPARAM>(t * 100000 + i);
                if (SendMessageA(window.Window(), WM_USER, value, 0) != static_cast<LRESULT>(value + 1))
                    ++wrong;
                if (i % 10 == 0)
                    PostMessageA(window.Window(), WM_USER + 1, value, 0);
            }
        });
    for (auto& t : senders)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    ASSERT_TRUE(window.WaitForCount(6000 + 600));
}
