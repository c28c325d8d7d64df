// Many threads hammering the platform primitives at once: a lost wake-up,
// a signal given to two waiters or a torn mutex shows up as a time-out or a
// wrong count (and as a report under the sanitizers).
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/Timing.h"
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

namespace {

// Tokens circulate through auto-reset events: a token is put into a free
// event (SetEvent), and whoever the event is given to takes it out and
// puts it into another free event. So the waits themselves keep the run
// going, a lost wake-up stalls it, and a signal given twice takes out a
// token that is not there.
struct Tokens {
    static constexpr int kEvents = 6;
    static constexpr int kTokens = 4;  // fewer than events: a free one is always found
    CEvent events[kEvents];
    std::atomic<int> in[kEvents] = {};
    std::atomic<int> givenTwice{0};
    std::atomic<int> taken{0};

    void Put(unsigned& seed)
    {
        seed = seed * 1103515245u + 12345u;
        const int start = static_cast<int>((seed >> 16) % kEvents);
        // Other tokens may move into each slot just before this one looks
        // at it, so one pass can miss the free ones; there always are some.
        for (int k = 0;; ++k) {
            const int e = (start + k) % kEvents;
            int expected = 0;
            if (in[e].compare_exchange_strong(expected, 1)) {
                events[e].SetEvent();
                return;
            }
        }
    }
    void Take(int e, unsigned& seed)
    {
        if (in[e].exchange(0) != 1)
            ++givenTwice;
        ++taken;
        Put(seed);
    }
};

// One waiting thread's part: its objects are events by index, or the
// mutex (kMutex); wait-any sets begin with the stop event (a free mutex
// with a lower index would keep it from ever being seen).
constexpr int kMutex = -1;
struct WaitRole {
    bool all;
    std::vector<int> objects;
};

}  // namespace

// Waits on overlapping sets, wait-any and wait-all, over events and a mutex
// whose owners keep ending while holding it: each signal goes to exactly one
// waiter, none is lost, the mutex goes to one holder at a time, and every
// abandonment is reported to exactly one of the next owners.
TEST(PlatformStress, OverlappingWaitsTakeEachSignalOnceAndHearOfEachAbandonment)
{
    const std::vector<WaitRole> roles = {
        {false, {0, 1, kMutex}}, {false, {1, 2, 3}}, {false, {kMutex, 3, 4}},
        {false, {4, 5, 0}},      {true, {2, 5}},     {true, {kMutex, 1}},
    };
    Tokens tokens;
    CMutex mutex;
    constexpr int kTakes = 50000;
    CEvent stop(FALSE, TRUE);
    CEvent enough(FALSE, TRUE);
    CEvent stalling(FALSE, TRUE);
    std::atomic<bool> stopping{false};
    std::atomic<bool> held{false};
    std::atomic<int> heldTwice{0}, abandonedSeen{0}, abandonedLeft{0}, stalled{0};

    auto tookMutex = [&](bool abandoned) {
        if (held.exchange(true))
            ++heldTwice;
        if (abandoned)
            ++abandonedSeen;
        held = false;
    };
    std::vector<std::thread> waiters;
    for (const WaitRole& role : roles)
        waiters.emplace_back([&, role, seed = static_cast<unsigned>(waiters.size())]() mutable {
            std::vector<HANDLE> handles;
            if (!role.all)
                handles.push_back(stop);
            for (int object : role.objects)
                handles.push_back(object == kMutex ? mutex.m_hObject : tokens.events[object].m_hObject);
            const auto count = static_cast<DWORD>(handles.size());
            const DWORD first = role.all ? 0 : 1;  // the index of objects[0]
            for (;;) {
                // A wait-all may miss its pair for long (the wait-any take
                // the tokens first), so it looks at the stop between waits.
                const DWORD r =
                    WaitForMultipleObjects(count, handles.data(), role.all, role.all ? 100 : kStepTimeout);
                if (r == WAIT_FAILED) {
                    ++stalled;
                    stalling.SetEvent();
                    return;
                }
                if (r == WAIT_TIMEOUT) {
                    // A wait-any always has a token or the stop coming.
                    if (!role.all) {
                        ++stalled;
                        stalling.SetEvent();
                    }
                    if (!role.all || stopping)
                        return;
                    continue;
                }
                if (!role.all && r == WAIT_OBJECT_0)
                    return;
                const bool abandoned = r >= WAIT_ABANDONED_0 && r < WAIT_ABANDONED_0 + count;
                const DWORD base = abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
                for (size_t i = 0; i < role.objects.size(); ++i) {
                    if (!role.all && i + first != r - base)
                        continue;
                    if (role.objects[i] != kMutex) {
                        tokens.Take(role.objects[i], seed);
                        if (tokens.taken >= kTakes)
                            enough.SetEvent();
                        continue;
                    }
                    tookMutex(abandoned);
                    ReleaseMutex(mutex);
                }
                if (role.all && stopping)
                    return;
            }
        });
    unsigned seed = 99;
    for (int i = 0; i < Tokens::kTokens; ++i)
        tokens.Put(seed);
    // Owners that end holding the mutex, one after another.
    std::thread quitters([&] {
        for (int i = 0; i < 200; ++i)
            std::thread([&] {
                const DWORD r = WaitForSingleObject(mutex, kStepTimeout);
                if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED_0) {
                    tookMutex(r == WAIT_ABANDONED_0);
                    ++abandonedLeft;  // ends holding it
                }
            }).join();
    });
    quitters.join();
    // A lost token stalls the waits: then there is no use waiting longer.
    const HANDLE ends[] = {enough, stalling};
    EXPECT_EQ(WaitForMultipleObjects(2, ends, FALSE, 60000), WAIT_OBJECT_0);
    stopping = true;
    stop.SetEvent();
    for (auto& t : waiters)
        t.join();

    EXPECT_EQ(tokens.givenTwice.load(), 0);
    EXPECT_EQ(heldTwice.load(), 0);
    EXPECT_EQ(stalled.load(), 0);
    int left = 0;
    for (int e = 0; e < Tokens::kEvents; ++e) {
        EXPECT_EQ(WaitForSingleObject(tokens.events[e], 0) == WAIT_OBJECT_0, tokens.in[e] == 1) << "event " << e;
        left += tokens.in[e];
    }
    EXPECT_EQ(left, Tokens::kTokens);
    // The last quitter's abandonment is still to be heard of.
    const DWORD last = WaitForSingleObject(mutex, 0);
    if (last == WAIT_ABANDONED_0)
        ++abandonedSeen;
    EXPECT_TRUE(last == WAIT_OBJECT_0 || last == WAIT_ABANDONED_0);
    ReleaseMutex(mutex);
    EXPECT_EQ(abandonedSeen.load(), abandonedLeft.load());
    EXPECT_GT(abandonedLeft.load(), 0);
}

// Latches (manual-reset events) set from two threads while a thread waits
// for any of them: the index it is given is never above one whose SetEvent
// had returned before the given one's began.
TEST(PlatformStress, AWaitAnyIsGivenTheLowestIndexSignalledBeforeIt)
{
    constexpr int kLatches = 6;
    for (int round = 0; round < 300; ++round) {
        HANDLE latches[kLatches];
        for (HANDLE& latch : latches)
            latch = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::atomic<int> clock{0};
        std::atomic<int> started[kLatches], done[kLatches];
        for (int i = 0; i < kLatches; ++i)
            started[i] = done[i] = -1;
        DWORD given = WAIT_FAILED;
        CEvent waiting;
        std::thread waiter([&] {
            waiting.SetEvent();
            given = WaitForMultipleObjects(kLatches, latches, FALSE, kStepTimeout);
        });
        ASSERT_EQ(WaitForSingleObject(waiting, kStepTimeout), WAIT_OBJECT_0);
        std::vector<std::thread> setters;
        for (int part = 0; part < 2; ++part)
            setters.emplace_back([&, part] {
                // Each sets half of the latches, in an order that varies by round.
                for (int k = 0; k < kLatches / 2; ++k) {
                    const int i = (part + 2 * ((k + round) % (kLatches / 2))) % kLatches;
                    started[i] = clock++;
                    SetEvent(latches[i]);
                    done[i] = clock++;
                }
            });
        for (auto& t : setters)
            t.join();
        waiter.join();
        for (HANDLE latch : latches)
            CloseHandle(latch);
        ASSERT_LT(given, WAIT_OBJECT_0 + kLatches) << "round " << round;
        const int index = static_cast<int>(given - WAIT_OBJECT_0);
        for (int lower = 0; lower < index; ++lower)
            EXPECT_FALSE(done[lower] >= 0 && done[lower] < started[index]) << "round " << round << ": given " << index
                                                       << " though " << lower << " was set before it";
    }
}

// Closing the objects of overlapping waits while they are being signalled:
// every wait, on one object or several, any or all, ends, and no waiter is
// left linked to an object that is gone (the sanitizers see that).
TEST(PlatformStress, ClosingObjectsEndsEveryOverlappingWaitOnThem)
{
#if defined(_WIN32)
    GTEST_SKIP() << "the POSIX backend's promise: on Windows closing a handle does not end a wait on it";
#endif
    const std::vector<WaitRole> roles = {
        {false, {0}}, {false, {0, 1, 2}}, {false, {2, 3}}, {true, {1, 3}}, {true, {0, 4}}, {false, {4, 3, 1}},
    };
    for (int round = 0; round < 20; ++round) {
        HANDLE events[5];
        for (HANDLE& e : events)
            e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        std::atomic<int> wrongEnd{0};
        std::vector<std::thread> waiters;
        for (const WaitRole& role : roles)
            waiters.emplace_back([&, role] {
                std::vector<HANDLE> handles;
                for (int object : role.objects)
                    handles.push_back(events[object]);
                DWORD r;
                while ((r = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), role.all,
                                                   INFINITE)) < WAIT_OBJECT_0 + handles.size()) {
                }
                if (r != WAIT_FAILED || GetLastError() != ERROR_INVALID_HANDLE)
                    ++wrongEnd;
            });
        std::thread signaller([&] {
            for (int i = 0; i < 2000; ++i)
                SetEvent(events[i % 5]);  // fails once closed
        });
        for (int i = 0; i < 5; ++i)
            CloseHandle(events[(i + round) % 5]);
        tavrin::test::Within(
            std::chrono::seconds(10),
            [&] {
                signaller.join();
                for (auto& t : waiters)
                    t.join();
            },
            "waits on closed objects");
        EXPECT_EQ(wrongEnd.load(), 0) << "round " << round;
    }
}
