// Window messages, the transport of every notification to the host.
//
// A window belongs to the thread that created it. SendMessageA on that
// thread calls the window procedure directly; from any other thread it
// blocks until the owner handles the message inside GetMessageA,
// PeekMessageA or a SendMessageA of its own (on this library's POSIX
// backend also inside MsgWaitForMultipleObjects; Windows only reports it
// there, so a host's wait loop peeks whenever the wait returns for input),
// and returns the procedure's result. A sender whose window is destroyed (or
// whose owner thread ends) is released with 0. PostMessageA queues.
//
// Windows here are message-only: there is no screen, no class registration
// and no default procedure; a window is its procedure.
//
// On Windows every call is the system's; the library adds only
// CreateMessageWindow (a message-only window, HWND_MESSAGE, of a class the
// library registers, calling the procedure given) and
// InSendMessageFromThread. There the procedure gets WM_NULL, WM_DESTROY,
// the messages from WM_USER up and those of the library's dialogs
// (Dialog.h); the system's own messages to the window (creation, sizing,
// parent notices) go to DefWindowProcA.
#pragma once

#include <functional>
#include <type_traits>
#include <utility>

#include "Kernel.h"
#include "Types.h"

using WindowProcedure = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

#if !defined(_WIN32)
using WNDPROC = LRESULT(CALLBACK*)(HWND, UINT, WPARAM, LPARAM);

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
using LPMSG = MSG*;

inline constexpr UINT PM_NOREMOVE = 0x0000;
inline constexpr UINT PM_REMOVE = 0x0001;
inline constexpr UINT PM_NOYIELD = 0x0002;
// Only handle messages sent from other threads; leave posted ones queued.
inline constexpr UINT PM_QS_SENDMESSAGE = 0x0040u << 16;

inline constexpr DWORD QS_POSTMESSAGE = 0x0008;
inline constexpr DWORD QS_SENDMESSAGE = 0x0040;
inline constexpr DWORD QS_ALLPOSTMESSAGE = 0x0100;
inline constexpr DWORD QS_ALLINPUT = 0x04FF;
#endif  // !_WIN32

// Creates a message window owned by the calling thread. The procedure gets
// WM_DESTROY from DestroyWindow before the window goes away.
TAVRIN_API HWND CreateMessageWindow(WNDPROC proc);
TAVRIN_API HWND CreateMessageWindow(WindowProcedure proc);

// Any other callable, lambdas included: those without captures become a
// plain procedure, the rest a WindowProcedure.
template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, WNDPROC> &&
                                            !std::is_same_v<std::decay_t<F>, WindowProcedure>>>
HWND CreateMessageWindow(F&& proc)
{
    if constexpr (std::is_convertible_v<F, WNDPROC>)
        return CreateMessageWindow(static_cast<WNDPROC>(proc));
    else
        return CreateMessageWindow(WindowProcedure(std::forward<F>(proc)));
}

#if !defined(_WIN32)
// Only the owner thread may destroy a window (ERROR_ACCESS_DENIED otherwise).
TAVRIN_API BOOL WINAPI DestroyWindow(HWND hWnd);
TAVRIN_API BOOL WINAPI IsWindow(HWND hWnd);

// Parent and children: a window with a parent is destroyed with it, after
// the parent has had its WM_DESTROY. Both windows must belong to the calling
// thread (ERROR_ACCESS_DENIED otherwise); a NULL parent makes the window
// top-level again. SetParent returns the previous parent, NULL when there
// was none (GetLastError is then ERROR_SUCCESS) or on failure.
TAVRIN_API HWND WINAPI SetParent(HWND hWndChild, HWND hWndNewParent);
TAVRIN_API HWND WINAPI GetParent(HWND hWnd);

TAVRIN_API LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
// A NULL window posts a thread message to the calling thread's own queue.
TAVRIN_API BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
TAVRIN_API BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);

// Returns FALSE when it takes WM_QUIT, TRUE for any other message.
TAVRIN_API BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
TAVRIN_API BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg);
TAVRIN_API LRESULT WINAPI DispatchMessageA(const MSG* lpMsg);
TAVRIN_API BOOL WINAPI TranslateMessage(const MSG* lpMsg);
TAVRIN_API void WINAPI PostQuitMessage(int nExitCode);
// The id of the thread that owns the window (0 for no window); the process
// id, when asked for, is the current process's.
TAVRIN_API DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId);

// TRUE while the calling thread runs a window procedure for a message that
// another thread sent it (a send within one thread does not count).
TAVRIN_API BOOL WINAPI InSendMessage();
#endif  // !_WIN32

// TRUE while the calling thread is, at any depth of nesting, inside a window
// procedure called for a message that thread idSender sent it, so that
// sender is blocked until the procedure returns. Code that must not wait
// for a thread which is waiting for it asks this.
//
// Windows cannot name the sender of a message, so there the answer covers
// the sends made with SendMessageNoted: TRUE while idSender is blocked in
// one of those to a window of the calling thread (a thread that waited for
// it would then wait for ever, whether or not the message is being handled
// yet).
TAVRIN_API BOOL WINAPI InSendMessageFromThread(DWORD idSender);

// SendMessageA, and on Windows noting the send for InSendMessageFromThread.
// The library's own notifications go through it.
TAVRIN_API LRESULT WINAPI SendMessageNoted(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);

#if !defined(_WIN32)

// Waits for any (or all) of the handles, or for input of the kinds in
// dwWakeMask on the calling thread's queue (result WAIT_OBJECT_0 + nCount).
// Messages sent from other threads are handled inside the wait.
TAVRIN_API DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                                  DWORD dwMilliseconds, DWORD dwWakeMask);
#endif  // !_WIN32
