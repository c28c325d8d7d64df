// What the library keeps about the windows it makes for dialogs and their
// controls, and about the C++ objects attached to windows. One lock guards
// all of it; it is never held while a window procedure or a virtual
// function of a CWnd runs.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "../Dialog.h"
#include "../Resources.h"

namespace tavrin::mfc {

enum class WindowKind { Dialog, ComboBox, Static };

struct WindowState {
    WindowKind kind = WindowKind::Static;
    HWND hwnd = nullptr;
    HWND parent = nullptr;
    CString className;
    int id = 0;
    RECT rect{};
    DWORD style = 0;
    CString text;
    UINT iconId = 0;
    const DialogResource* dialog = nullptr;  // dialogs
    std::vector<HWND> children;               // dialogs, in template order
    std::vector<CString> items;               // combo boxes
    int selection = -1;                       // combo boxes (POSIX; Windows' own keep theirs)
#if defined(_WIN32)
    // The system's procedure of a real window the library hooked; its
    // class behaviour (a real combo box, static, dialog) lives there.
    WNDPROC systemProc = nullptr;
#endif
};

std::mutex& StateLock();
// The library's windows that still exist.
std::unordered_map<HWND, std::shared_ptr<WindowState>>& StatesLocked();
std::shared_ptr<WindowState> FindStateLocked(HWND hwnd);

// Makes a window of the library on the calling thread, a child of parent
// when there is one. nullptr when the platform refuses.
HWND CreateLibraryWindow(std::shared_ptr<WindowState> state, HWND parent);

// What the library keeps for a dialog made from resource, and for one of
// its controls.
std::shared_ptr<WindowState> DialogState(const DialogResource& resource);
std::shared_ptr<WindowState> ControlState(const DialogItemResource& item);

#if defined(_WIN32)
// Windows: the dialog and its controls are the system's own windows. The
// library hooks their procedure so that attached objects hear their
// messages, and forgets them when they are destroyed.
void AdoptSystemWindow(std::shared_ptr<WindowState> state, HWND hwnd, HWND parent);

// The DLL's own RT_DIALOG resource id and the module it is in (whose icon
// the template's SS_ICON control loads); nullptr when there is none.
const void* FindLibraryDialogTemplate(UINT id, HINSTANCE& module);

// Makes dialog's window from the DLL's template inside parent, a real
// #32770 dialog with system controls, attached to dialog, and runs its
// WM_INITDIALOG. nullptr when the system refuses (refused stays true when
// it made no window at all) or OnInitDialog destroyed the dialog.
HWND CreateSystemDialog(CDialog& dialog, UINT id, const DialogResource& resource, HWND parent, bool& refused);
#endif

// The built-in behaviour of the window's class.
LRESULT ClassWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// The child of parent with control id nID (first in creation order).
HWND FindChildLocked(HWND parent, int nID);

// Reaches the parts of CWnd the window procedure needs.
struct WindowAccess {
    static LRESULT Call(CWnd* wnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        return wnd->WindowProc(message, wParam, lParam);
    }
    static bool Owns(const CWnd* wnd) { return wnd->m_bOwnsWindow; }
    static void SetOwns(CWnd* wnd, bool owns) { wnd->m_bOwnsWindow = owns; }
};

}  // namespace tavrin::mfc
