// Kernel objects and waits: the Win32 semantics the device relies on.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <atomic>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "support/Timing.h"

using tavrin::test::Stopwatch;

namespace {

struct WaitResult {
    std::atomic<int> woken{0};
};

DWORD WINAPI SetFlagAndReturn(LPVOID param)
{
    static_cast<std::atomic<int>*>(param)->store(1);
    return 42;
}

}  // namespace

TEST(PlatformEvents, AutoResetReleasesExactlyOneWaiterAndClearsItself)
{
    CEvent event;
    CEvent anyoneWoke(FALSE, TRUE);
    std::atomic<int> woken{0};
    auto waiter = [&] {
        if (WaitForSingleObject(event, 5000) == WAIT_OBJECT_0) {
            ++woken;
            anyoneWoke.SetEvent();
        }
    };
    std::thread a(waiter), b(waiter);
    event.SetEvent();
    ASSERT_EQ(WaitForSingleObject(anyoneWoke, 5000), WAIT_OBJECT_0);
    // The second waiter must still be blocked: the signal was consumed.
    EXPECT_EQ(WaitForSingleObject(event, 200), WAIT_TIMEOUT);
    EXPECT_EQ(woken.load(), 1);
    event.SetEvent();
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 2);
}

TEST(PlatformEvents, ManualResetStaysSetForEveryWaiterUntilReset)
{
    CEvent event(FALSE, TRUE);
    event.SetEvent();
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    std::thread other([&] { EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0); });
    other.join();
    event.ResetEvent();
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CEvent initiallySet(TRUE, TRUE);
    EXPECT_EQ(WaitForSingleObject(initiallySet, 0), WAIT_OBJECT_0);
}

TEST(PlatformEvents, WaitAnyReturnsLowestSignalledIndexAndConsumesOnlyThatOne)
{
    CEvent events[5];
    CSyncObject* objects[5] = {&events[0], &events[1], &events[2], &events[3], &events[4]};
    CMultiLock lock(objects, 5);
    events[3].SetEvent();
    events[1].SetEvent();
    EXPECT_EQ(lock.Lock(0, FALSE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(lock.Lock(0, FALSE), WAIT_OBJECT_0 + 3);
    EXPECT_EQ(lock.Lock(0, FALSE), WAIT_TIMEOUT);
    // A signal that comes while the thread waits ends the wait with its index.
    std::thread setter([&] { events[4].SetEvent(); });
    EXPECT_EQ(lock.Lock(5000, FALSE), WAIT_OBJECT_0 + 4);
    setter.join();
}

// 64 objects for a plain wait, one fewer when the thread's queue is waited
// on too, on both systems; a CMultiLock asked for more holds none.
TEST(PlatformEvents, AWaitTakesSixtyFourObjectsAndAMessageWaitSixtyThree)
{
    std::vector<CEvent> events(MAXIMUM_WAIT_OBJECTS + 1);
    std::vector<CSyncObject*> objects;
    for (CEvent& event : events)
        objects.push_back(&event);
    events[MAXIMUM_WAIT_OBJECTS - 1].SetEvent();

    CMultiLock all(objects.data(), MAXIMUM_WAIT_OBJECTS);
    EXPECT_EQ(all.Lock(0, FALSE), WAIT_OBJECT_0 + MAXIMUM_WAIT_OBJECTS - 1);
    events[MAXIMUM_WAIT_OBJECTS - 1].SetEvent();
    EXPECT_EQ(all.Lock(0, FALSE, QS_ALLINPUT), WAIT_FAILED);
    // Still set: the refused wait consumed nothing.
    CMultiLock fewer(objects.data(), MAXIMUM_WAIT_OBJECTS - 1);
    events[MAXIMUM_WAIT_OBJECTS - 2].SetEvent();
    EXPECT_EQ(fewer.Lock(0, FALSE, QS_ALLINPUT), WAIT_OBJECT_0 + MAXIMUM_WAIT_OBJECTS - 2);
    EXPECT_EQ(WaitForSingleObject(events[MAXIMUM_WAIT_OBJECTS - 1], 0), WAIT_OBJECT_0);

    CMultiLock tooMany(objects.data(), MAXIMUM_WAIT_OBJECTS + 1);
    EXPECT_EQ(tooMany.Lock(0, FALSE), WAIT_FAILED);
}

TEST(PlatformEvents, WaitAllTakesEveryObjectAtOnceOrNone)
{
    CEvent a, b;
    HANDLE both[2] = {a, b};
    a.SetEvent();
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 50), WAIT_TIMEOUT);
    // The partial wait must not have consumed a.
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
    a.SetEvent();
    std::thread setter([&] { b.SetEvent(); });
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 5000), WAIT_OBJECT_0);
    setter.join();
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);
}

TEST(PlatformEvents, TimedWaitsLastAboutTheirTimeOut)
{
    CEvent never;
    Stopwatch watch;
    EXPECT_EQ(WaitForSingleObject(never, 150), WAIT_TIMEOUT);
    EXPECT_GE(watch.Ms(), 140);
    EXPECT_LT(watch.Ms(), 2000);
}

TEST(PlatformEvents, ClosingAnObjectEndsAWaitWithoutLimit)
{
#if defined(_WIN32)
    GTEST_SKIP() << "the POSIX backend's promise: on Windows closing a handle does not end a wait on it";
#endif
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    std::atomic<DWORD> result{0};
    std::atomic<DWORD> error{0};
    std::thread waiter([&] {
        result = WaitForSingleObject(event, INFINITE);
        error = GetLastError();
    });
    // Closing one of two handles leaves the object alive; the last close
    // ends the wait, whether it has begun yet or not.
    CloseHandle(copy);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
    tavrin::test::Within(std::chrono::seconds(5), [&] { waiter.join(); }, "wait on a closed event");
    EXPECT_EQ(result.load(), WAIT_FAILED);
    EXPECT_EQ(error.load(), ERROR_INVALID_HANDLE);
}

TEST(PlatformEvents, WaitsRejectBadArguments)
{
#if defined(_WIN32)
    GTEST_SKIP() << "the POSIX backend's limits: Windows names events, and Wine accepts a handle twice in one wait";
#endif
    CEvent event;
    HANDLE twice[2] = {event, event};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(0, twice, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, "named"), nullptr);
    EXPECT_FALSE(SetEvent(nullptr));
}

TEST(PlatformMutex, RecursiveForItsOwnerAndTimedForOthers)
{
    CMutex mutex;
    ASSERT_TRUE(mutex.Lock(0));
    ASSERT_TRUE(mutex.Lock(0));
    std::atomic<long long> failedAfter{-1};
    std::thread other([&] {
        Stopwatch watch;
        if (!mutex.Lock(100))
            failedAfter = watch.Ms();
        EXPECT_FALSE(mutex.Unlock());  // not the owner
        EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    });
    other.join();
    EXPECT_GE(failedAfter.load(), 90);
    EXPECT_LT(failedAfter.load(), 2000);

    mutex.Unlock();  // one level still held
    std::thread stillHeld([&] { EXPECT_FALSE(mutex.Lock(20)); });
    stillHeld.join();
    mutex.Unlock();
    std::thread nowFree([&] {
        EXPECT_TRUE(mutex.Lock(1000));
        mutex.Unlock();
    });
    nowFree.join();
}

TEST(PlatformMutex, ReleaseHandsTheMutexToAWaitingThread)
{
    CMutex mutex(TRUE);
    CEvent acquired;
    std::thread waiter([&] {
        if (mutex.Lock(5000)) {
            acquired.SetEvent();
            mutex.Unlock();
        }
    });
    EXPECT_EQ(WaitForSingleObject(acquired, 100), WAIT_TIMEOUT);
    mutex.Unlock();
    EXPECT_EQ(WaitForSingleObject(acquired, 5000), WAIT_OBJECT_0);
    waiter.join();
}

TEST(PlatformThreads, SuspendedThreadRunsOnlyAfterResume)
{
    std::atomic<int> ran{0};
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, SetFlagAndReturn, &ran, CREATE_SUSPENDED, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL));
    EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT);
    EXPECT_EQ(ran.load(), 0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    ResumeThread(thread);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ran.load(), 1);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    CloseHandle(thread);
}

#if !defined(_WIN32)
size_t StackOfThreadCreatedWith(SIZE_T size, DWORD flags)
{
    size_t stack = 0;
    auto record = [](LPVOID out) -> DWORD {
        pthread_attr_t attr;
        void* base = nullptr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstack(&attr, &base, static_cast<size_t*>(out));
            pthread_attr_destroy(&attr);
        }
        return 0;
    };
    HANDLE thread = CreateThread(nullptr, size, record, &stack, flags, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    return stack;
}

TEST(PlatformThreads, StacksAreSmallUnlessTheCreatorAsksForMore)
{
    const size_t standard = StackOfThreadCreatedWith(0, 0);
    EXPECT_GE(standard, 128 * 1024u);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LE(standard, 1024 * 1024u);
#endif
    // A size is a minimum beside the default; with the flag it is the size
    // (one small enough that the system hands out no larger cached stack).
    EXPECT_GE(StackOfThreadCreatedWith(16u << 20, 0), 16u << 20);
    EXPECT_GE(StackOfThreadCreatedWith(64 * 1024, 0), standard);
    const size_t reserved = StackOfThreadCreatedWith(32 * 1024, STACK_SIZE_PARAM_IS_A_RESERVATION);
    EXPECT_GE(reserved, 32 * 1024u);
    EXPECT_LT(reserved, standard);
}
#endif

TEST(PlatformThreads, SuspendedThreadClosedWithoutResumeNeverRuns)
{
    std::atomic<int> ran{0};
    HANDLE thread = CreateThread(nullptr, 0, SetFlagAndReturn, &ran, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    std::atomic<int> later{0};
    HANDLE next = CreateThread(nullptr, 0, SetFlagAndReturn, &later, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(next, 5000), WAIT_OBJECT_0);
    CloseHandle(next);
    EXPECT_EQ(later.load(), 1);
    EXPECT_EQ(ran.load(), 0);
}

// How a set of threads that failed to start completely is given up on both
// systems: a suspended thread ended from outside never runs its function
// and its handle reports the end with the code given.
TEST(PlatformThreads, ASuspendedThreadCanBeEndedWithoutRunning)
{
    std::atomic<int> ran{0};
    HANDLE thread = CreateThread(nullptr, 0, SetFlagAndReturn, &ran, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(TerminateThread(thread, 7));
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    // Resuming it now starts nothing.
    ResumeThread(thread);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_EQ(ran.load(), 0);
}

#if !defined(_WIN32)
TEST(PlatformThreads, ARunningThreadIsNeverEndedFromOutside)
{
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID event) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(event), 5000); },
        go, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(TerminateThread(thread, 7));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    DWORD code = 7;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(go);
}
#endif

TEST(PlatformThreads, LastErrorIsPerThread)
{
#if defined(_WIN32)
    GTEST_SKIP() << "under Wine std::thread::join sets the caller's last error to 0";
#endif
    SetLastError(1234);
    std::thread other([] {
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
        SetLastError(7);
    });
    other.join();
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(PlatformMutex, AMutexLeftHeldByAnEndedThreadGoesToTheNextWaiterAsAbandoned)
{
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    std::thread owner([&] { EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0); });
    owner.join();  // ends while it holds the mutex
    EXPECT_EQ(WaitForSingleObject(mutex, 1000), WAIT_ABANDONED_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // an ordinary owner now
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);

    // A waiter already blocked is released when the owner, a CreateThread
    // thread, ends; CMutex::Lock counts that as acquired.
    struct Shared {
        CMutex mutex;
        CEvent held;
        CEvent finish;
    } shared;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID param) -> DWORD {
            auto* s = static_cast<Shared*>(param);
            s->mutex.Lock();
            s->held.SetEvent();
            WaitForSingleObject(s->finish, 5000);
            return 0;
        },
        &shared, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(shared.held, 5000), WAIT_OBJECT_0);
    std::atomic<BOOL> locked{FALSE};
    std::thread waiter([&] {
        locked = shared.mutex.Lock(5000);
        if (locked)
            shared.mutex.Unlock();
    });
    shared.finish.SetEvent();
    waiter.join();
    EXPECT_TRUE(locked.load());
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
}
