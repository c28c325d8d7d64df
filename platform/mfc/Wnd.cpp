// CCmdTarget and CWnd: message maps, the objects attached to windows, and
// the window procedure of every window the library makes for its dialogs.
#include <algorithm>
#include <cstring>

#include "WindowState.h"

using tavrin::mfc::WindowAccess;
using tavrin::mfc::WindowState;

namespace tavrin::mfc {

std::mutex& StateLock()
{
    static auto* lock = new std::mutex();
    return *lock;
}

std::unordered_map<HWND, std::shared_ptr<WindowState>>& StatesLocked()
{
    static auto* states = new std::unordered_map<HWND, std::shared_ptr<WindowState>>();
    return *states;
}

std::shared_ptr<WindowState> FindStateLocked(HWND hwnd)
{
    auto found = StatesLocked().find(hwnd);
    return found == StatesLocked().end() ? nullptr : found->second;
}

namespace {

// The objects attached to windows (MFC's permanent map), and the temporary
// objects FromHandle made for windows that had none.
std::unordered_map<HWND, CWnd*>& PermanentLocked()
{
    static auto* map = new std::unordered_map<HWND, CWnd*>();
    return *map;
}

std::unordered_map<HWND, std::unique_ptr<CWnd>>& TemporaryLocked()
{
    static auto* map = new std::unordered_map<HWND, std::unique_ptr<CWnd>>();
    return *map;
}

// A temporary object never owns its window, so deleting it touches nothing
// but memory; it is still moved out first, as its destructor takes the lock.
std::unique_ptr<CWnd> TakeTemporaryLocked(HWND hwnd)
{
    auto found = TemporaryLocked().find(hwnd);
    if (found == TemporaryLocked().end())
        return nullptr;
    std::unique_ptr<CWnd> wnd = std::move(found->second);
    TemporaryLocked().erase(found);
    wnd->m_hWnd = nullptr;
    return wnd;
}

// The window is gone: the object attached to it hears so (its m_hWnd
// becomes NULL), and the library forgets it.
void ForgetWindow(HWND hwnd)
{
    std::unique_ptr<CWnd> temporary;
    std::lock_guard<std::mutex> lock(StateLock());
    auto permanent = PermanentLocked().find(hwnd);
    if (permanent != PermanentLocked().end()) {
        CWnd* wnd = permanent->second;
        if (wnd->m_hWnd == hwnd)
            wnd->m_hWnd = nullptr;
        WindowAccess::SetOwns(wnd, false);
        PermanentLocked().erase(permanent);
    }
    temporary = TakeTemporaryLocked(hwnd);
    auto state = FindStateLocked(hwnd);
    if (state) {
#if defined(_WIN32)
        // Its last messages (WM_NCDESTROY) go to the system's procedure.
        if (state->systemProc)
            SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(state->systemProc));
#endif
        if (auto parent = FindStateLocked(state->parent))
            std::erase(parent->children, hwnd);
        StatesLocked().erase(hwnd);
    }
}

LRESULT LibraryWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CWnd* target = nullptr;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        auto permanent = PermanentLocked().find(hwnd);
        if (permanent != PermanentLocked().end() && WindowAccess::Owns(permanent->second))
            target = permanent->second;
    }
    const LRESULT result =
        target ? WindowAccess::Call(target, message, wParam, lParam) : ClassWindowProc(hwnd, message, wParam, lParam);
    if (message == WM_DESTROY)
        ForgetWindow(hwnd);
    return result;
}

#if defined(_WIN32)
LRESULT CALLBACK SystemWindowHook(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return LibraryWindowProc(hwnd, message, wParam, lParam);
}
#endif

}  // namespace

#if defined(_WIN32)
void AdoptSystemWindow(std::shared_ptr<WindowState> state, HWND hwnd, HWND parent)
{
    state->hwnd = hwnd;
    state->parent = parent;
    state->systemProc = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(hwnd, GWLP_WNDPROC));
    {
        std::lock_guard<std::mutex> lock(StateLock());
        StatesLocked()[hwnd] = state;
        if (auto parentState = FindStateLocked(parent))
            parentState->children.push_back(hwnd);
    }
    SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SystemWindowHook));
}
#endif

HWND CreateLibraryWindow(std::shared_ptr<WindowState> state, HWND parent)
{
    HWND hwnd = CreateMessageWindow(&LibraryWindowProc);
    if (!hwnd)
        return nullptr;
    if (parent) {
#if defined(_WIN32)
        // Windows lets a window adopt a child of another thread (the two
        // threads then share input); the library's windows keep to their
        // thread, as the POSIX SetParent requires.
        if (GetWindowThreadProcessId(parent, nullptr) != GetCurrentThreadId()) {
            DestroyWindow(hwnd);
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        // Windows makes a window the child of another only with WS_CHILD:
        // then GetParent names the parent and its destruction takes the
        // child along.
        SetWindowLongPtrA(hwnd, GWL_STYLE, GetWindowLongPtrA(hwnd, GWL_STYLE) | WS_CHILD);
#endif
        SetLastError(ERROR_SUCCESS);
        if (!SetParent(hwnd, parent) && GetLastError() != ERROR_SUCCESS) {
            const DWORD error = GetLastError();
            DestroyWindow(hwnd);
            SetLastError(error);
            return nullptr;
        }
    }
    state->hwnd = hwnd;
    state->parent = parent;
    std::lock_guard<std::mutex> lock(StateLock());
    StatesLocked()[hwnd] = state;
    if (auto parentState = FindStateLocked(parent))
        parentState->children.push_back(hwnd);
    return hwnd;
}

HWND FindChildLocked(HWND parent, int nID)
{
    if (auto state = FindStateLocked(parent)) {
        for (HWND child : state->children) {
            auto childState = FindStateLocked(child);
            if (childState && childState->id == nID)
                return child;
        }
        return nullptr;
    }
    // A window of the host: the library's windows inside it, oldest first
    // (handles only grow).
    HWND best = nullptr;
    for (const auto& [hwnd, state] : StatesLocked())
        if (state->parent == parent && state->id == nID && (!best || hwnd < best))
            best = hwnd;
    return best;
}

}  // namespace tavrin::mfc

using namespace tavrin::mfc;

// ---------------------------------------------------------------------------

CCmdTarget::~CCmdTarget() = default;

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap()
{
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, 0, AfxSig_end, nullptr}};
    static const AFX_MSGMAP map = {nullptr, &entries[0]};
    return &map;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const
{
    return GetThisMessageMap();
}

BOOL CCmdTarget::OnCmdMsg(UINT nID, int nCode, void*, void*)
{
    for (const AFX_MSGMAP* map = GetMessageMap(); map; map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* entry = map->lpEntries; entry->nSig != AfxSig_end; ++entry) {
            if (entry->nMessage == WM_COMMAND && entry->nCode == static_cast<UINT>(nCode) && nID >= entry->nID &&
                nID <= entry->nLastID) {
                (this->*entry->pfn)();
                return TRUE;
            }
        }
    }
    return FALSE;
}

// ---------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
END_MESSAGE_MAP()

CWnd::~CWnd()
{
    if (!m_hWnd)
        return;
    bool owns;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        owns = m_bOwnsWindow;
        // Its messages must not reach this object any more: the parts of
        // it that handled them are already gone.
        m_bOwnsWindow = false;
    }
    HWND hwnd = m_hWnd;
    if (owns)
        ::DestroyWindow(hwnd);  // only from the window's thread; elsewhere it stays, ownerless
    if (m_hWnd)
        Detach();
}

BOOL CWnd::Attach(HWND hWndNew)
{
    if (m_hWnd || !hWndNew || !::IsWindow(hWndNew))
        return FALSE;
    std::lock_guard<std::mutex> lock(StateLock());
    if (PermanentLocked().count(hWndNew))
        return FALSE;
    PermanentLocked()[hWndNew] = this;
    m_hWnd = hWndNew;
    return TRUE;
}

HWND CWnd::Detach()
{
    std::lock_guard<std::mutex> lock(StateLock());
    HWND hwnd = m_hWnd;
    auto permanent = PermanentLocked().find(hwnd);
    if (permanent != PermanentLocked().end() && permanent->second == this)
        PermanentLocked().erase(permanent);
    m_hWnd = nullptr;
    m_bOwnsWindow = false;
    return hwnd;
}

BOOL CWnd::SubclassWindow(HWND hWnd)
{
    {
        std::lock_guard<std::mutex> lock(StateLock());
        if (!FindStateLocked(hWnd))
            return FALSE;
    }
    if (!Attach(hWnd))
        return FALSE;
    std::lock_guard<std::mutex> lock(StateLock());
    m_bOwnsWindow = true;
    return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT nID, CWnd* pParent)
{
    if (!pParent || !pParent->m_hWnd)
        return FALSE;
    HWND child;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        child = FindChildLocked(pParent->m_hWnd, static_cast<int>(nID));
    }
    return child ? SubclassWindow(child) : FALSE;
}

CWnd* CWnd::FromHandlePermanent(HWND hWnd)
{
    std::lock_guard<std::mutex> lock(StateLock());
    auto permanent = PermanentLocked().find(hWnd);
    return permanent == PermanentLocked().end() ? nullptr : permanent->second;
}

CWnd* CWnd::FromHandle(HWND hWnd)
{
    if (!hWnd)
        return nullptr;
    std::vector<std::unique_ptr<CWnd>> stale;
    std::lock_guard<std::mutex> lock(StateLock());
    auto permanent = PermanentLocked().find(hWnd);
    if (permanent != PermanentLocked().end())
        return permanent->second;
    // The library's windows drop their temporaries when destroyed; the
    // host's are dropped here once gone.
    for (auto it = TemporaryLocked().begin(); it != TemporaryLocked().end();) {
        if (it->first != hWnd && !::IsWindow(it->first)) {
            it->second->m_hWnd = nullptr;
            stale.push_back(std::move(it->second));
            it = TemporaryLocked().erase(it);
        } else {
            ++it;
        }
    }
    auto& temporary = TemporaryLocked()[hWnd];
    if (!temporary) {
        temporary = std::make_unique<CWnd>();
        temporary->m_hWnd = hWnd;
    }
    return temporary.get();
}

CWnd* CWnd::GetParent() const
{
    HWND parent = m_hWnd ? ::GetParent(m_hWnd) : nullptr;
    return parent ? FromHandle(parent) : nullptr;
}

CWnd* CWnd::GetDlgItem(int nID) const
{
    if (!m_hWnd)
        return nullptr;
    HWND child;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        child = FindChildLocked(m_hWnd, nID);
    }
    return child ? FromHandle(child) : nullptr;
}

int CWnd::GetDlgCtrlID() const
{
    std::lock_guard<std::mutex> lock(StateLock());
    auto state = FindStateLocked(m_hWnd);
    return state ? state->id : 0;
}

DWORD CWnd::GetStyle() const
{
    std::lock_guard<std::mutex> lock(StateLock());
    auto state = FindStateLocked(m_hWnd);
    return state ? state->style : 0;
}

BOOL CWnd::DestroyWindow()
{
    if (!m_hWnd)
        return FALSE;
    HWND hwnd = m_hWnd;
    if (!::DestroyWindow(hwnd))
        return FALSE;
    // The library's windows detach their object as they go; a host's
    // window is detached here.
    if (m_hWnd == hwnd)
        Detach();
    return TRUE;
}

int CWnd::GetWindowTextA(LPSTR lpszStringBuf, int nMaxCount) const
{
    if (!m_hWnd || !lpszStringBuf || nMaxCount <= 0)
        return 0;
    return static_cast<int>(::SendMessageA(m_hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount),
                                           reinterpret_cast<LPARAM>(lpszStringBuf)));
}

int CWnd::GetWindowTextLength() const
{
    return m_hWnd ? static_cast<int>(::SendMessageA(m_hWnd, WM_GETTEXTLENGTH, 0, 0)) : 0;
}

void CWnd::GetWindowText(CString& rString) const
{
    const int length = GetWindowTextLength();
    LPSTR buffer = rString.GetBuffer(length + 1);
    const int copied = GetWindowTextA(buffer, length + 1);
    rString.ReleaseBuffer(copied);
}

void CWnd::SetWindowText(LPCSTR lpszString)
{
    if (m_hWnd)
        ::SendMessageA(m_hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpszString));
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::SendMessageA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::PostMessageA(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND && OnCommand(wParam, lParam))
        return 0;
    return DefWindowProc(message, wParam, lParam);
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM)
{
    return OnCmdMsg(LOWORD(wParam), HIWORD(wParam), nullptr, nullptr);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    return ClassWindowProc(m_hWnd, message, wParam, lParam);
}
