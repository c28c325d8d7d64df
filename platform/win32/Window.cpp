// The message windows of the Windows backend: message-only windows
// (HWND_MESSAGE) of one class the library registers, each calling the
// procedure it was created with.
#include "../Window.h"

#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace {

constexpr char kClassName[] = "TavrinMessageWindow";

// The procedure of a window lives in GWLP_USERDATA from WM_NCCREATE on and
// is freed at WM_NCDESTROY, the window's last message.
struct Procedure {
    WNDPROC plain = nullptr;
    WindowProcedure function;
};

// What the library's procedures are written for: WM_NULL, WM_DESTROY, the
// messages of the library's dialogs and controls (text, WM_INITDIALOG,
// WM_COMMAND, the combo box's CB_ messages) and the application's own. The
// rest (creation, sizing, activation, parent notices) are the system's.
bool IsForTheProcedure(UINT message)
{
    switch (message) {
    case WM_NULL:
    case WM_DESTROY:
    case WM_SETTEXT:
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH:
    case WM_INITDIALOG:
    case WM_COMMAND:
        return true;
    default:
        return (message >= CB_GETEDITSEL && message <= CB_MSGMAX) || message >= WM_USER;
    }
}

LRESULT CALLBACK MessageWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* procedure = reinterpret_cast<Procedure*>(GetWindowLongPtrA(hWnd, GWLP_USERDATA));
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(hWnd, GWLP_USERDATA, 0);
        delete procedure;
        return DefWindowProcA(hWnd, message, wParam, lParam);
    }
    if (procedure == nullptr || !IsForTheProcedure(message))
        return DefWindowProcA(hWnd, message, wParam, lParam);
    if (procedure->plain != nullptr)
        return procedure->plain(hWnd, message, wParam, lParam);
    // A copy: the procedure may destroy its own window (and so this record)
    // while it runs.
    WindowProcedure function = procedure->function;
    return function ? function(hWnd, message, wParam, lParam) : 0;
}

HINSTANCE LibraryInstance()
{
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&MessageWindowProc), &module);
    return module;
}

bool RegisterClassOnce()
{
    static const bool registered = [] {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = MessageWindowProc;
        wc.hInstance = LibraryInstance();
        wc.lpszClassName = kClassName;
        return RegisterClassExA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
}

HWND CreateWithProcedure(std::unique_ptr<Procedure> procedure)
{
    if (!RegisterClassOnce())
        return nullptr;
    HWND hWnd = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, LibraryInstance(),
                                procedure.get());
    if (hWnd != nullptr)
        procedure.release();  // the window owns it now
    return hWnd;
}

// Sends in progress through SendMessageNoted: sender thread -> the thread
// that owns the window it sends to. A thread sends one message at a time.
std::mutex g_sendsLock;
std::unordered_map<DWORD, DWORD> g_sends;

}  // namespace

HWND CreateMessageWindow(WNDPROC proc)
{
    auto procedure = std::make_unique<Procedure>();
    procedure->plain = proc;
    return CreateWithProcedure(std::move(procedure));
}

HWND CreateMessageWindow(WindowProcedure proc)
{
    auto procedure = std::make_unique<Procedure>();
    procedure->function = std::move(proc);
    return CreateWithProcedure(std::move(procedure));
}

LRESULT WINAPI SendMessageNoted(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    const DWORD self = GetCurrentThreadId();
    const DWORD owner = GetWindowThreadProcessId(hWnd, nullptr);
    // A send within one thread is a plain call and blocks nobody.
    if (owner == 0 || owner == self)
        return SendMessageA(hWnd, Msg, wParam, lParam);
    {
        std::lock_guard<std::mutex> lock(g_sendsLock);
        g_sends[self] = owner;
    }
    const LRESULT result = SendMessageA(hWnd, Msg, wParam, lParam);
    const DWORD error = GetLastError();
    {
        std::lock_guard<std::mutex> lock(g_sendsLock);
        g_sends.erase(self);
    }
    SetLastError(error);
    return result;
}

BOOL WINAPI InSendMessageFromThread(DWORD idSender)
{
    const DWORD self = GetCurrentThreadId();
    std::lock_guard<std::mutex> lock(g_sendsLock);
    const auto send = g_sends.find(idSender);
    return send != g_sends.end() && send->second == self ? TRUE : FALSE;
}
