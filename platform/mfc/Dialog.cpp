// CDialog (modeless, from the library's templates), dialog data exchange
// and CComboBox.
#include "WindowState.h"

using namespace tavrin::mfc;

namespace tavrin::mfc {

std::shared_ptr<WindowState> DialogState(const DialogResource& resource)
{
    auto state = std::make_shared<WindowState>();
    state->kind = WindowKind::Dialog;
    state->className = "#32770";
    state->rect = RECT{resource.x, resource.y, resource.x + resource.cx, resource.y + resource.cy};
    state->style = resource.style;
    state->text = resource.caption ? resource.caption : "";
    state->dialog = &resource;
    return state;
}

std::shared_ptr<WindowState> ControlState(const DialogItemResource& item)
{
    auto state = std::make_shared<WindowState>();
    state->className = item.className;
    state->kind = state->className.CompareNoCase("COMBOBOX") == 0 ? WindowKind::ComboBox : WindowKind::Static;
    state->id = item.id;
    state->rect = RECT{item.x, item.y, item.x + item.cx, item.y + item.cy};
    state->style = item.style;
    state->text = item.text ? item.text : "";
    state->iconId = item.iconId;
    return state;
}

}  // namespace tavrin::mfc

// ---------------------------------------------------------------------------

CDataExchange::CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate)
    : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd)
{
}

HWND CDataExchange::PrepareCtrl(int nIDC)
{
    HWND control = nullptr;
    if (m_pDlgWnd && m_pDlgWnd->m_hWnd) {
        std::lock_guard<std::mutex> lock(StateLock());
        control = FindChildLocked(m_pDlgWnd->m_hWnd, nIDC);
    }
    if (!control)
        Fail();
    return control;
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl)
{
    if (rControl.m_hWnd)
        return;
    HWND control = pDX->PrepareCtrl(nIDC);
    if (control && !rControl.SubclassWindow(control))
        pDX->Fail();
}

// ---------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CDialog, CWnd)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

CDialog::~CDialog()
{
    if (m_hWnd)
        DestroyWindow();
}

BOOL CDialog::Create(UINT nIDTemplate, CWnd* pParentWnd)
{
    if (m_hWnd) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DialogResource* resource = FindLibraryDialog(nIDTemplate);
    if (!resource) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return FALSE;
    }
    HWND parent = pParentWnd ? pParentWnd->m_hWnd : nullptr;
    if ((pParentWnd || parent) && !::IsWindow(parent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if ((resource->style & WS_CHILD) && !parent) {
        SetLastError(ERROR_TLW_WITH_WSCHILD);
        return FALSE;
    }
    m_nIDTemplate = nIDTemplate;
    m_pParentWnd = pParentWnd;

#if defined(_WIN32)
    // Windows lets a window adopt a child of another thread (the two
    // threads then share input); the library's dialogs keep to their
    // thread, as on POSIX.
    if (parent && GetWindowThreadProcessId(parent, nullptr) != GetCurrentThreadId()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    bool refused = false;
    if (CreateSystemDialog(*this, nIDTemplate, *resource, parent, refused) || !refused)
        return m_hWnd ? TRUE : FALSE;  // OnInitDialog may have destroyed it
    // No desktop to draw on (a service, Wine without a display): the
    // system makes no such window, but the library's own message windows
    // still carry the panel for presentations that read it (a console).
#endif
    HWND dialog = CreateLibraryWindow(DialogState(*resource), parent);
    if (!dialog)
        return FALSE;  // the parent belongs to another thread
    if (!SubclassWindow(dialog)) {
        ::DestroyWindow(dialog);
        return FALSE;
    }
    HWND firstTabStop = nullptr;
    for (SIZE_T i = 0; i < resource->itemCount; ++i) {
        HWND control = CreateLibraryWindow(ControlState(resource->items[i]), dialog);
        if (!control) {
            DestroyWindow();
            return FALSE;
        }
        if (!firstTabStop && (resource->items[i].style & WS_TABSTOP))
            firstTabStop = control;
    }
    ::SendMessageA(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTabStop), 0);
    // OnInitDialog may have destroyed it.
    return m_hWnd ? TRUE : FALSE;
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate)
{
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return dx.m_bFailed ? FALSE : TRUE;
}

void CDialog::DoDataExchange(CDataExchange*) {}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        return OnInitDialog();
    return CWnd::WindowProc(message, wParam, lParam);
}

// ---------------------------------------------------------------------------

CComboBox::~CComboBox() = default;

int CComboBox::GetCount() const
{
    return static_cast<int>(SendMessage(CB_GETCOUNT));
}

int CComboBox::GetCurSel() const
{
    return static_cast<int>(SendMessage(CB_GETCURSEL));
}

int CComboBox::SetCurSel(int nSelect)
{
    return static_cast<int>(SendMessage(CB_SETCURSEL, static_cast<WPARAM>(nSelect)));
}

int CComboBox::AddString(LPCSTR lpszString)
{
    return static_cast<int>(SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(lpszString)));
}

int CComboBox::InsertString(int nIndex, LPCSTR lpszString)
{
    return static_cast<int>(
        SendMessage(CB_INSERTSTRING, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(lpszString)));
}

int CComboBox::DeleteString(UINT nIndex)
{
    return static_cast<int>(SendMessage(CB_DELETESTRING, nIndex));
}

void CComboBox::ResetContent()
{
    SendMessage(CB_RESETCONTENT);
}

int CComboBox::GetLBText(int nIndex, LPSTR lpszText) const
{
    return static_cast<int>(SendMessage(CB_GETLBTEXT, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(lpszText)));
}

void CComboBox::GetLBText(int nIndex, CString& rString) const
{
    const int length = GetLBTextLen(nIndex);
    if (length == CB_ERR) {
        rString.Empty();
        return;
    }
    LPSTR buffer = rString.GetBuffer(length + 1);
    const int copied = GetLBText(nIndex, buffer);
    rString.ReleaseBuffer(copied == CB_ERR ? 0 : copied);
}

int CComboBox::GetLBTextLen(int nIndex) const
{
    return static_cast<int>(SendMessage(CB_GETLBTEXTLEN, static_cast<WPARAM>(nIndex)));
}
