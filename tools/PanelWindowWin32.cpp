#include "PanelWindow.h"

#include <cstdio>
#include <cstring>

#include <tavrin/Tavrin.h>
#include <tavrin/modem/ModemManager.h>
#include <tavrin/modem/ModemSelectDlg.h>

namespace tavrin::tool {

namespace {

constexpr char kFrameClass[] = "TavrinModemsFrame";
constexpr DWORD kFrameStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

// The entry the panel's list shows now, or -1.
int ShownEntry(HWND frame)
{
    const HWND dialog = FindWindowExA(frame, nullptr, "#32770", nullptr);
    const HWND combo = dialog ? FindWindowExA(dialog, nullptr, "ComboBox", nullptr) : nullptr;
    return combo ? static_cast<int>(SendMessageA(combo, CB_GETCURSEL, 0, 0)) : -1;
}

// GWLP_USERDATA: where the accepted entry goes (an int).
LRESULT CALLBACK FrameProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE) {
        // Closing accepts what the list shows, as Enter does.
        if (auto* accepted = reinterpret_cast<int*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA)))
            *accepted = ShownEntry(hwnd);
        DestroyWindow(hwnd);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

HWND CreateFrame()
{
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = FrameProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kFrameClass;
    RegisterClassExA(&wc);
    return CreateWindowExA(0, kFrameClass, "tavrin modems", kFrameStyle, CW_USEDEFAULT, CW_USEDEFAULT, 320, 240,
                           nullptr, nullptr, wc.hInstance, nullptr);
}

bool IsSystemDialog(HWND window)
{
    char name[16] = "";
    return window && GetClassNameA(window, name, sizeof name) && std::strcmp(name, "#32770") == 0;
}

// The frame's client area takes the panel's size.
void FitFrame(HWND frame, HWND panel)
{
    RECT panelRect;
    GetWindowRect(panel, &panelRect);
    RECT frameRect{0, 0, panelRect.right - panelRect.left, panelRect.bottom - panelRect.top};
    AdjustWindowRect(&frameRect, kFrameStyle, FALSE);
    SetWindowPos(frame, nullptr, 0, 0, frameRect.right - frameRect.left, frameRect.bottom - frameRect.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

int ChooseModemInWindow(CModemManager& manager)
{
    HWND frame = CreateFrame();
    if (!frame)
        return kNoDesktop;
    CWnd parent;
    parent.Attach(frame);
    manager.CreateConfig(&parent);
    CModemSelectDlg* panel = manager.GetConfigDlg();
    const HWND dialog = panel ? panel->GetSafeHwnd() : nullptr;
    // Without a desktop the library carries the panel in its own message
    // windows, which nobody sees: the console presents it then.
    if (!IsSystemDialog(dialog)) {
        parent.Detach();
        DestroyWindow(frame);
        return kNoDesktop;
    }
    const HWND combo = panel->m_cbModems.GetSafeHwnd();
    FitFrame(frame, dialog);
    ShowWindow(frame, SW_SHOWNORMAL);
    SetFocus(combo);
    std::printf("Choose the modem in the window \"tavrin modems\" (Enter or closing it accepts, Escape cancels).\n");
    std::fflush(stdout);

    int accepted = -1;
    SetWindowLongPtrA(frame, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&accepted));
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        // Enter and Escape end the choice unless the open list takes them.
        if (msg.message == WM_KEYDOWN && (msg.wParam == VK_RETURN || msg.wParam == VK_ESCAPE) &&
            !SendMessageA(combo, CB_GETDROPPEDSTATE, 0, 0)) {
            if (msg.wParam == VK_RETURN)
                SendMessageA(frame, WM_CLOSE, 0, 0);
            else
                DestroyWindow(frame);
            continue;
        }
        if (!IsDialogMessageA(dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    // The panel's window went with the frame; the manager still deletes
    // the panel object.
    parent.Detach();
    if (IsWindow(frame))
        DestroyWindow(frame);
    return accepted;
}

}  // namespace tavrin::tool
