// POSIX backend of the threads: CreateThread and its controls, thread ids and
// what ends with a thread, the per-thread last error, Sleep and the tick count.
#include "../Kernel.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <chrono>
#include <new>
#include <thread>
#include <type_traits>

#include "Futex.h"
#include "WaitCore.h"

namespace tavrin::posix {
namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAVRIN_SANITIZED_STACKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TAVRIN_SANITIZED_STACKS 1
#endif
#endif

// The stack of a thread created without a size. The system's default (the
// stack limit, 8 MiB as a rule) reserved 33 MB of address space for each
// accepted connection's four threads. The library's threads need about
// 13 KiB at their deepest (the packet link keeps its two 4 KiB frame
// buffers on its worker's stack; the serial event thread reads 1024-byte
// blocks), so 256 KiB leaves a wide margin for hosts' deeper paths and
// unoptimised builds. Sanitizers enlarge every frame and run on stack of
// their own: their builds keep the system's default.
SIZE_T DefaultStackSize()
{
#if defined(TAVRIN_SANITIZED_STACKS)
    size_t size = 0;
    pthread_attr_t attr;
    if (pthread_getattr_default_np(&attr) == 0) {
        pthread_attr_getstacksize(&attr, &size);
        pthread_attr_destroy(&attr);
    }
    return size;
#else
    return 256 * 1024;
#endif
}

// As on Windows, a size given without STACK_SIZE_PARAM_IS_A_RESERVATION is
// a minimum beside the default, and one given with it is the size itself.
// 0: the system's default, unchanged.
SIZE_T StackSizeFor(SIZE_T dwStackSize, DWORD dwCreationFlags)
{
    SIZE_T size = (dwCreationFlags & STACK_SIZE_PARAM_IS_A_RESERVATION) && dwStackSize != 0
                      ? dwStackSize
                      : std::max(DefaultStackSize(), dwStackSize);
    if (size != 0)
        size = std::max(size, static_cast<SIZE_T>(PTHREAD_STACK_MIN));
    return size;
}

// Trivially destructible, so that it stays readable by thread-exit
// destructors that run after the exit hook below.
constinit thread_local ThreadRecord t_record;
static_assert(std::is_trivially_destructible_v<ThreadRecord>);
std::atomic<DWORD> g_nextThreadId{1};

class ThreadObject final : public SyncObject {
public:
    ThreadObject() : SyncObject(Kind::Thread) {}
    bool IsSignalledFor(DWORD) const override { return ended; }
    // A suspended thread whose last handle goes can never be resumed: it
    // ends without running.
    void OnLastHandleClosed() override
    {
        if (gate.load() == 0) {
            gate.store(2, std::memory_order_release);
            FutexWakeAll(gate);
        }
    }

    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;
    DWORD id = 0;
    pid_t tid = 0;  // kernel id, known once the thread runs
    int priority = THREAD_PRIORITY_NORMAL;
    bool ended = false;
    DWORD exitCode = STILL_ACTIVE;
    // 0: suspended, 1: run, 2: discard without running.
    std::atomic<std::uint32_t> gate{0};
    DWORD discardCode = 0xFFFFFFFFu;  // the exit code of a discarded thread
};

// Maps the Win32 priority steps onto nice values. Raising priority needs a
// privilege; without it the thread keeps the normal priority.
void ApplyPriority(pid_t tid, int priority)
{
    if (tid != 0)
        setpriority(PRIO_PROCESS, static_cast<id_t>(tid), -priority);
}

// Threads not made by CreateThread (std::thread, the main thread) abandon
// their mutexes too when they end, once they have used a thread id.
struct ThreadExit {
    ~ThreadExit()
    {
        if (t_record.id != 0)
            AbandonOwnedMutexes(t_record);
    }
};
thread_local ThreadExit t_exit;

void WaitForStartGate(ThreadObject& thread)
{
    while (thread.gate.load(std::memory_order_acquire) == 0)
        FutexWait(thread.gate, 0, nullptr);
}

DWORD RunStartRoutine(ThreadObject& thread)
{
    {
        StripeLock lock(static_cast<SyncObject*>(&thread));
        thread.tid = static_cast<pid_t>(syscall(SYS_gettid));
        ApplyPriority(thread.tid, thread.priority);
    }
    return thread.start(thread.parameter);
}

// The thread's handle is signalled only after its mutexes are abandoned and
// its windows are gone, so a thread that waited for it finds them released.
void SignalThreadEnded(ThreadObject* thread, DWORD code)
{
    StripeLock lock(static_cast<SyncObject*>(thread));
    thread->ended = true;
    thread->exitCode = code;
    thread->tid = 0;
    thread->OfferToWaiters();
    --thread->internalRefs;
    DeleteIfUnreferencedLocked(thread);
}

void* ThreadMain(void* arg)
{
    auto* thread = static_cast<ThreadObject*>(arg);
    t_record.id = thread->id;
    WaitForStartGate(*thread);

    DWORD code = thread->discardCode;
    if (thread->gate.load(std::memory_order_acquire) == 1)
        code = RunStartRoutine(*thread);
    ReleaseCurrentThreadQueue();
    AbandonOwnedMutexes(t_record);
    SignalThreadEnded(thread, code);
    return nullptr;
}

}  // namespace

ThreadRecord& CurrentThreadRecord()
{
    return t_record;
}

}  // namespace tavrin::posix

using namespace tavrin::posix;

DWORD WINAPI GetLastError()
{
    return t_lastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    t_lastError = dwErrCode;
}

DWORD WINAPI GetCurrentThreadId()
{
    if (t_record.id == 0) {
        t_record.id = g_nextThreadId.fetch_add(1);
        (void)&t_exit;  // constructs the exit hook of this thread
    }
    return t_record.id;
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

DWORD WINAPI GetTickCount()
{
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

HANDLE WINAPI CreateThread(void*, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    if (!lpStartAddress) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* thread = new (std::nothrow) ThreadObject();
    if (!thread) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    thread->start = lpStartAddress;
    thread->parameter = lpParameter;
    thread->id = g_nextThreadId.fetch_add(1);
    thread->internalRefs = 1;
    if (!(dwCreationFlags & CREATE_SUSPENDED))
        thread->gate.store(1);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (const SIZE_T stackSize = StackSizeFor(dwStackSize, dwCreationFlags))
        pthread_attr_setstacksize(&attr, stackSize);
    HANDLE handle = RegisterObject(thread);
    pthread_t native;
    const int rc = pthread_create(&native, &attr, ThreadMain, thread);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        StripeLock lock(static_cast<SyncObject*>(thread));
        thread->internalRefs = 0;
        thread->handles = 0;
        DeleteIfUnreferencedLocked(thread);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId)
        *lpThreadId = thread->id;
    return handle;
}

DWORD WINAPI ResumeThread(HANDLE hThread)
{
    StripeLock lock(hThread);
    auto* thread = LookupKindLocked<ThreadObject>(hThread, SyncObject::Kind::Thread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0xFFFFFFFFu;
    }
    if (thread->gate.load() != 0)
        return 0;
    thread->gate.store(1, std::memory_order_release);
    FutexWakeAll(thread->gate);
    return 1;
}

BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode)
{
    StripeLock lock(hThread);
    auto* thread = LookupKindLocked<ThreadObject>(hThread, SyncObject::Kind::Thread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A thread that has run holds locks and state nobody could clean up:
    // only one that never ran can be ended from outside.
    if (thread->gate.load() == 1) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (thread->gate.load() == 0) {
        thread->discardCode = dwExitCode;
        thread->gate.store(2, std::memory_order_release);
        FutexWakeAll(thread->gate);
    }
    return TRUE;
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority)
{
    StripeLock lock(hThread);
    auto* thread = LookupKindLocked<ThreadObject>(hThread, SyncObject::Kind::Thread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    thread->priority = nPriority;
    ApplyPriority(thread->tid, nPriority);
    return TRUE;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    StripeLock lock(hThread);
    auto* thread = LookupKindLocked<ThreadObject>(hThread, SyncObject::Kind::Thread);
    if (!thread || !lpExitCode) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpExitCode = thread->exitCode;
    return TRUE;
}
