// Kernel objects with Win32 semantics: threads, events, mutexes and the
// waits over them. Handles are pointer-sized and closed with CloseHandle.
//
// Waiting threads block in the kernel; nothing here polls. A wait with no
// time limit still ends when the object it waits on is closed: it then
// returns WAIT_FAILED with ERROR_INVALID_HANDLE.
#pragma once

#include "Types.h"

// Windows: every call here is the system's (<windows.h>, through Types.h).
#if !defined(_WIN32)

using LPTHREAD_START_ROUTINE = DWORD(WINAPI*)(LPVOID);
// Security attributes are not supported here; the name lets code pass them
// on the same way on both systems.
using LPSECURITY_ATTRIBUTES = void*;

inline constexpr DWORD CREATE_SUSPENDED = 0x00000004u;
inline constexpr DWORD STACK_SIZE_PARAM_IS_A_RESERVATION = 0x00010000u;

inline constexpr int THREAD_PRIORITY_LOWEST = -2;
inline constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
inline constexpr int THREAD_PRIORITY_NORMAL = 0;
inline constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
inline constexpr int THREAD_PRIORITY_HIGHEST = 2;

inline constexpr DWORD STILL_ACTIVE = 259;

// Threads. A thread created with CREATE_SUSPENDED does not run until
// ResumeThread; if its last handle is closed first, it ends without ever
// entering its function. dwStackSize 0 gives the library's small default
// stack; another size makes the stack at least that large, or exactly that
// large with STACK_SIZE_PARAM_IS_A_RESERVATION.
TAVRIN_API HANDLE WINAPI CreateThread(void* lpThreadAttributes, SIZE_T dwStackSize,
                                      LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                      DWORD dwCreationFlags, LPDWORD lpThreadId);
TAVRIN_API DWORD WINAPI ResumeThread(HANDLE hThread);
// Ends a thread that was created suspended and never resumed, with that
// exit code. A thread that has run cannot be ended from outside here:
// FALSE with ERROR_NOT_SUPPORTED.
TAVRIN_API BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode);
// Best effort: where the system refuses a higher priority the thread runs
// at normal priority and the call still succeeds.
TAVRIN_API BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority);
TAVRIN_API BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
TAVRIN_API DWORD WINAPI GetCurrentThreadId();

// Events and mutexes. Names are not supported: a non-NULL name fails with
// ERROR_INVALID_PARAMETER.
TAVRIN_API HANDLE WINAPI CreateEventA(void* lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                      LPCSTR lpName);
TAVRIN_API BOOL WINAPI SetEvent(HANDLE hEvent);
TAVRIN_API BOOL WINAPI ResetEvent(HANDLE hEvent);
TAVRIN_API HANDLE WINAPI CreateMutexA(void* lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
TAVRIN_API BOOL WINAPI ReleaseMutex(HANDLE hMutex);

// Waits. Wait-any returns WAIT_OBJECT_0 plus the lowest index among the
// signalled objects; wait-all takes all objects at once or none.
TAVRIN_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
TAVRIN_API DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                               DWORD dwMilliseconds);

TAVRIN_API BOOL WINAPI CloseHandle(HANDLE hObject);

inline constexpr DWORD DUPLICATE_SAME_ACCESS = 0x00000002u;
// Only the current process exists here: GetCurrentProcess() is the only
// process handle DuplicateHandle accepts.
TAVRIN_API HANDLE WINAPI GetCurrentProcess();
TAVRIN_API BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle,
                                       HANDLE hTargetProcessHandle, HANDLE* lpTargetHandle, DWORD dwDesiredAccess,
                                       BOOL bInheritHandle, DWORD dwOptions);
TAVRIN_API void WINAPI Sleep(DWORD dwMilliseconds);
TAVRIN_API DWORD WINAPI GetTickCount();
TAVRIN_API DWORD WINAPI GetLastError();
TAVRIN_API void WINAPI SetLastError(DWORD dwErrCode);

#endif  // !_WIN32
