// The library's dialogs on Windows: real dialogs (#32770) built by the
// system's dialog manager from the DLL's own templates, with the system's
// COMBOBOX and STATIC controls, so that a host's user sees and uses them.
#include "../mfc/WindowState.h"

namespace tavrin::mfc {

namespace {

struct DialogStart {
    CDialog* dialog;
    const DialogResource* resource;
    HWND parent;
    bool reached = false;
};

// The dialog manager's default handling does the rest: the messages of
// the dialog reach its object through the hook AdoptSystemWindow puts on
// the window, and its default procedure lands here afterwards.
INT_PTR CALLBACK LibraryDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    // The WM_INITDIALOG sent on below carries no start: a WindowProc that
    // passes it to the default procedure ends here with nothing to do.
    if (message != WM_INITDIALOG || lParam == 0)
        return FALSE;
    auto* start = reinterpret_cast<DialogStart*>(lParam);
    start->reached = true;
    AdoptSystemWindow(DialogState(*start->resource), hwnd, start->parent);
    // The controls are the dialog's children in the template's order, as
    // the dialog manager creates them.
    HWND child = GetWindow(hwnd, GW_CHILD);
    for (SIZE_T i = 0; i < start->resource->itemCount && child; ++i, child = GetWindow(child, GW_HWNDNEXT))
        AdoptSystemWindow(ControlState(start->resource->items[i]), child, hwnd);
    if (!start->dialog->SubclassWindow(hwnd))
        return FALSE;
    // Through the hook, as on POSIX: the object's WindowProc runs OnInitDialog.
    return static_cast<INT_PTR>(SendMessageA(hwnd, WM_INITDIALOG, wParam, 0));
}

}  // namespace

HWND CreateSystemDialog(CDialog& dialog, UINT id, const DialogResource& resource, HWND parent, bool& refused)
{
    refused = true;
    HINSTANCE module = nullptr;
    const void* bytes = FindLibraryDialogTemplate(id, module);
    if (!bytes) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    DialogStart start{&dialog, &resource, parent};
    HWND hwnd = CreateDialogIndirectParamA(module, static_cast<LPCDLGTEMPLATEA>(bytes), parent, &LibraryDialogProc,
                                           reinterpret_cast<LPARAM>(&start));
    refused = !start.reached;
    if (hwnd && dialog.m_hWnd != hwnd) {
        // The object could not take the window (it has another already).
        DestroyWindow(hwnd);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return hwnd;
}

}  // namespace tavrin::mfc
