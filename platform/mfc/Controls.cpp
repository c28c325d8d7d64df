// What the library's window classes do with their messages: every window
// keeps a text; a combo box keeps its list and its selection, with the
// results Windows gives.
#include <algorithm>
#include <cstring>

#include "WindowState.h"

namespace tavrin::mfc {

namespace {

LRESULT CopyText(const CString& text, WPARAM capacity, LPARAM buffer)
{
    if (!buffer || capacity == 0)
        return 0;
    const size_t length = std::min(static_cast<size_t>(text.GetLength()), static_cast<size_t>(capacity - 1));
    std::memcpy(reinterpret_cast<char*>(buffer), static_cast<LPCSTR>(text), length);
    reinterpret_cast<char*>(buffer)[length] = '\0';
    return static_cast<LRESULT>(length);
}

// A drop-down list shows its selected entry as its text.
const CString& ShownTextLocked(const WindowState& state)
{
    static const CString none;
    if (state.kind == WindowKind::ComboBox && (state.style & 0x3u) == CBS_DROPDOWNLIST)
        return state.selection >= 0 ? state.items[static_cast<size_t>(state.selection)] : none;
    return state.text;
}

// Where CBS_SORT puts a new entry: after the entries that compare lower or
// equal, case ignored.
size_t SortedPosition(const std::vector<CString>& items, LPCSTR text)
{
    size_t position = 0;
    while (position < items.size() && items[position].CompareNoCase(text) <= 0)
        ++position;
    return position;
}

LRESULT ComboMessageLocked(WindowState& state, UINT message, WPARAM wParam, LPARAM lParam)
{
    const int count = static_cast<int>(state.items.size());
    const int index = static_cast<int>(wParam);
    switch (message) {
    case CB_RESETCONTENT:
        state.items.clear();
        state.selection = -1;
        return CB_OKAY;
    case CB_ADDSTRING:
    case CB_INSERTSTRING: {
        if (!lParam)
            return CB_ERR;
        LPCSTR text = reinterpret_cast<LPCSTR>(lParam);
        int position;
        if (message == CB_ADDSTRING)
            position = (state.style & CBS_SORT) ? static_cast<int>(SortedPosition(state.items, text)) : count;
        else if (index == -1)
            position = count;
        else if (index < 0 || index > count)
            return CB_ERR;
        else
            position = index;
        state.items.insert(state.items.begin() + position, CString(text));
        if (state.selection >= position)
            ++state.selection;
        return position;
    }
    case CB_DELETESTRING:
        if (index < 0 || index >= count)
            return CB_ERR;
        state.items.erase(state.items.begin() + index);
        if (state.selection == index)
            state.selection = -1;
        else if (state.selection > index)
            --state.selection;
        return count - 1;
    case CB_GETCOUNT:
        return count;
    case CB_SETCURSEL:
        // No CBN_SELCHANGE: only the user's choices are notified.
        if (index < 0 || index >= count) {
            state.selection = -1;
            return CB_ERR;
        }
        state.selection = index;
        return index;
    case CB_GETCURSEL:
        return state.selection >= 0 ? state.selection : CB_ERR;
    case CB_GETLBTEXT:
        if (index < 0 || index >= count || !lParam)
            return CB_ERR;
        {
            const CString& item = state.items[static_cast<size_t>(index)];
            std::memcpy(reinterpret_cast<char*>(lParam), static_cast<LPCSTR>(item),
                        static_cast<size_t>(item.GetLength()) + 1);
            return item.GetLength();
        }
    case CB_GETLBTEXTLEN:
        if (index < 0 || index >= count)
            return CB_ERR;
        return state.items[static_cast<size_t>(index)].GetLength();
    default:
        return 0;
    }
}

}  // namespace

LRESULT ClassWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
#if defined(_WIN32)
    // The system's own window: its class does the work.
    WNDPROC systemProc = nullptr;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        if (auto state = FindStateLocked(hwnd))
            systemProc = state->systemProc;
    }
    if (systemProc)
        return CallWindowProcA(systemProc, hwnd, message, wParam, lParam);
#endif
    std::lock_guard<std::mutex> lock(StateLock());
    auto state = FindStateLocked(hwnd);
    if (!state)
        return 0;
    switch (message) {
    case WM_GETTEXT:
        return CopyText(ShownTextLocked(*state), wParam, lParam);
    case WM_GETTEXTLENGTH:
        return ShownTextLocked(*state).GetLength();
    case WM_SETTEXT:
        state->text = lParam ? reinterpret_cast<LPCSTR>(lParam) : "";
        return TRUE;
    default:
        break;
    }
    if (state->kind == WindowKind::ComboBox)
        return ComboMessageLocked(*state, message, wParam, lParam);
    return 0;
}

}  // namespace tavrin::mfc
