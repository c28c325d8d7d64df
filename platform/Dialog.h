// The MFC window classes the library's one dialog is written with: CWnd,
// CDialog (modeless, from the library's own templates), CComboBox, dialog
// data exchange and message maps.
//
// A dialog and each of its controls have their own HWND, owned by the
// thread that creates them; the controls are children of the dialog and the
// dialog a child of the window it was created in. Destroying a window
// destroys its children; the C++ objects attached to them are told (their
// m_hWnd becomes NULL) and stay safe to use and to delete.
//
// On Windows they are the system's: a #32770 dialog made from the DLL's
// template with the system's ComboBox and Static controls, which a user
// sees and uses. Elsewhere, and on Windows where the system shows no
// windows (no desktop), they are message windows of the library with no
// screen: what a dialog looks like is its template, which presentations
// read through tavrin::ui below. Both answer the same messages.
#pragma once

#include <vector>

#include "Mfc.h"
#include "Types.h"
#include "Window.h"

// Windows: the types, macros and constants below are <windows.h>'s.
#if !defined(_WIN32)
struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};
using LPRECT = RECT*;

constexpr WORD LOWORD(std::uintptr_t value)
{
    return static_cast<WORD>(value & 0xFFFFu);
}
constexpr WORD HIWORD(std::uintptr_t value)
{
    return static_cast<WORD>((value >> 16) & 0xFFFFu);
}
constexpr DWORD MAKELONG(DWORD low, DWORD high)
{
    return (low & 0xFFFFu) | ((high & 0xFFFFu) << 16);
}
constexpr WPARAM MAKEWPARAM(DWORD low, DWORD high)
{
    return static_cast<WPARAM>(MAKELONG(low, high));
}
constexpr LPARAM MAKELPARAM(DWORD low, DWORD high)
{
    return static_cast<LPARAM>(MAKELONG(low, high));
}

inline constexpr UINT WM_SETTEXT = 0x000C;
inline constexpr UINT WM_GETTEXT = 0x000D;
inline constexpr UINT WM_GETTEXTLENGTH = 0x000E;
inline constexpr UINT WM_INITDIALOG = 0x0110;
inline constexpr UINT WM_COMMAND = 0x0111;

// Window and dialog styles.
inline constexpr DWORD WS_POPUP = 0x80000000u;
inline constexpr DWORD WS_CHILD = 0x40000000u;
inline constexpr DWORD WS_VISIBLE = 0x10000000u;
inline constexpr DWORD WS_DISABLED = 0x08000000u;
inline constexpr DWORD WS_CAPTION = 0x00C00000u;
inline constexpr DWORD WS_BORDER = 0x00800000u;
inline constexpr DWORD WS_VSCROLL = 0x00200000u;
inline constexpr DWORD WS_HSCROLL = 0x00100000u;
inline constexpr DWORD WS_GROUP = 0x00020000u;
inline constexpr DWORD WS_TABSTOP = 0x00010000u;
inline constexpr DWORD DS_SETFONT = 0x0040u;
inline constexpr DWORD DS_MODALFRAME = 0x0080u;
inline constexpr DWORD DS_CONTROL = 0x0400u;

// Combo boxes: styles, messages, notifications and results.
inline constexpr DWORD CBS_SIMPLE = 0x0001u;
inline constexpr DWORD CBS_DROPDOWN = 0x0002u;
inline constexpr DWORD CBS_DROPDOWNLIST = 0x0003u;
inline constexpr DWORD CBS_AUTOHSCROLL = 0x0040u;
inline constexpr DWORD CBS_SORT = 0x0100u;
inline constexpr DWORD CBS_HASSTRINGS = 0x0200u;

inline constexpr UINT CB_ADDSTRING = 0x0143;
inline constexpr UINT CB_DELETESTRING = 0x0144;
inline constexpr UINT CB_GETCOUNT = 0x0146;
inline constexpr UINT CB_GETCURSEL = 0x0147;
inline constexpr UINT CB_GETLBTEXT = 0x0148;
inline constexpr UINT CB_GETLBTEXTLEN = 0x0149;
inline constexpr UINT CB_INSERTSTRING = 0x014A;
inline constexpr UINT CB_RESETCONTENT = 0x014B;
inline constexpr UINT CB_SETCURSEL = 0x014E;

inline constexpr UINT CBN_SELCHANGE = 1;

inline constexpr int CB_OKAY = 0;
inline constexpr int CB_ERR = -1;
inline constexpr int CB_ERRSPACE = -2;

// Static controls.
inline constexpr DWORD SS_LEFT = 0x0000u;
inline constexpr DWORD SS_CENTER = 0x0001u;
inline constexpr DWORD SS_RIGHT = 0x0002u;
inline constexpr DWORD SS_ICON = 0x0003u;
inline constexpr DWORD SS_TYPEMASK = 0x001Fu;
#endif  // !_WIN32

inline constexpr int IDC_STATIC = -1;

// GetLastError after a CDialog::Create that found no template
// (ERROR_RESOURCE_NAME_NOT_FOUND) or that was asked for a child dialog
// without a parent window (ERROR_TLW_WITH_WSCHILD).
#if !defined(_WIN32)
inline constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
inline constexpr DWORD ERROR_TLW_WITH_WSCHILD = 1406;
#endif

// ---------------------------------------------------------------------------
// Message maps.

class CCmdTarget;
class CWnd;
namespace tavrin::mfc {
struct WindowAccess;
}

using AFX_PMSG = void (CCmdTarget::*)();

enum AfxSig : UINT {
    AfxSig_end = 0,
    AfxSigCmd_v = 1,  // void handler(), for commands and control notifications
};

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nCode;
    UINT nID;
    UINT nLastID;
    UINT_PTR nSig;
    AFX_PMSG pfn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

#define afx_msg

#define DECLARE_MESSAGE_MAP()                         \
protected:                                            \
    static const AFX_MSGMAP* GetThisMessageMap();     \
    const AFX_MSGMAP* GetMessageMap() const override;

// The handlers are named without their class, as in MFC; ThisClass supplies
// it, which standard C++ needs to form the pointer to member.
#define BEGIN_MESSAGE_MAP(theClass, baseClass)                  \
    const AFX_MSGMAP* theClass::GetMessageMap() const           \
    {                                                           \
        return GetThisMessageMap();                             \
    }                                                           \
    const AFX_MSGMAP* theClass::GetThisMessageMap()             \
    {                                                           \
        using ThisClass = theClass;                             \
        using TheBaseClass = baseClass;                         \
        static_assert(sizeof(ThisClass) >= sizeof(TheBaseClass)); \
        static const AFX_MSGMAP_ENTRY messageEntries[] = {

#define ON_CONTROL(wNotifyCode, id, memberFxn)                                                     \
    {WM_COMMAND, static_cast<UINT>(wNotifyCode), static_cast<WORD>(id), static_cast<WORD>(id), \
     AfxSigCmd_v, static_cast<AFX_PMSG>(&ThisClass::memberFxn)},

#define ON_COMMAND(id, memberFxn) ON_CONTROL(0, id, memberFxn)
#define ON_CBN_SELCHANGE(id, memberFxn) ON_CONTROL(CBN_SELCHANGE, id, memberFxn)

#define END_MESSAGE_MAP()                                                             \
    {0, 0, 0, 0, AfxSig_end, nullptr}};                                               \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &messageEntries[0]}; \
    return &messageMap;                                                               \
    }

class TAVRIN_API CCmdTarget : public CObject {
public:
    CCmdTarget() = default;
    ~CCmdTarget() override;

    // Calls the handler the message maps have for this command or control
    // notification (nCode 0 for a command), the most derived map first.
    // FALSE when none has one.
    virtual BOOL OnCmdMsg(UINT nID, int nCode, void* pExtra, void* pHandlerInfo);

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
};

// ---------------------------------------------------------------------------
// Windows.

class TAVRIN_API CWnd : public CCmdTarget {
public:
    CWnd() = default;
    // A window this object created or subclassed is destroyed with it (as
    // in MFC); one it was only attached to is left to whoever made it.
    ~CWnd() override;

    HWND m_hWnd = nullptr;
    operator HWND() const { return m_hWnd; }  // NOLINT: as in MFC
    HWND GetSafeHwnd() const { return m_hWnd; }

    BOOL Attach(HWND hWndNew);
    HWND Detach();
    // Attaches and routes the window's messages through WindowProc. Only the
    // library's own windows (dialogs and their controls) can be subclassed.
    BOOL SubclassWindow(HWND hWnd);
    BOOL SubclassDlgItem(UINT nID, CWnd* pParent);

    // The object attached to the window, or a temporary one the library
    // keeps until the window is destroyed.
    static CWnd* FromHandle(HWND hWnd);
    static CWnd* FromHandlePermanent(HWND hWnd);

    CWnd* GetParent() const;
    CWnd* GetDlgItem(int nID) const;
    int GetDlgCtrlID() const;
    DWORD GetStyle() const;

    virtual BOOL DestroyWindow();

    int GetWindowTextA(LPSTR lpszStringBuf, int nMaxCount) const;
#if !defined(GetWindowText)  // <windows.h> makes it GetWindowTextA already
    int GetWindowText(LPSTR lpszStringBuf, int nMaxCount) const { return GetWindowTextA(lpszStringBuf, nMaxCount); }
#endif
    void GetWindowText(CString& rString) const;
    int GetWindowTextLength() const;
    void SetWindowText(LPCSTR lpszString);

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;

protected:
    // Every message of a subclassed window comes here first; the default
    // sends WM_COMMAND to OnCommand and everything to DefWindowProc.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Routes a command or control notification through the message maps.
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    // What the window's class does with the message.
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);

    DECLARE_MESSAGE_MAP()

private:
    friend struct tavrin::mfc::WindowAccess;
    bool m_bOwnsWindow = false;
};

class TAVRIN_API CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate);

    // The control's window; a missing one fails the exchange.
    HWND PrepareCtrl(int nIDC);
    void Fail() { m_bFailed = TRUE; }

    BOOL m_bSaveAndValidate;
    CWnd* m_pDlgWnd;
    BOOL m_bFailed = FALSE;
};

// Subclasses the dialog's control nIDC with rControl, the first time only.
TAVRIN_API void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);

class TAVRIN_API CDialog : public CWnd {
public:
    CDialog() = default;
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    // Destroys the dialog's window if it is still there.
    ~CDialog() override;

    // Modeless: builds the dialog and its controls from the library's
    // template nIDTemplate inside pParentWnd, then runs OnInitDialog. FALSE
    // (the object stays usable) when the library has no such template, a
    // child dialog has no parent window, the parent belongs to another
    // thread, or the dialog already has its window.
    virtual BOOL Create(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    BOOL Create() { return Create(m_nIDTemplate, m_pParentWnd); }

    // Runs UpdateData(FALSE), as MFC does; returns TRUE.
    virtual BOOL OnInitDialog();
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    UINT GetTemplateID() const { return m_nIDTemplate; }

protected:
    virtual void DoDataExchange(CDataExchange* pDX);
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    UINT m_nIDTemplate = 0;
    CWnd* m_pParentWnd = nullptr;

    DECLARE_MESSAGE_MAP()
};

class TAVRIN_API CComboBox : public CWnd {
public:
    CComboBox() = default;
    ~CComboBox() override;

    int GetCount() const;
    int GetCurSel() const;
    int SetCurSel(int nSelect);
    int AddString(LPCSTR lpszString);
    int InsertString(int nIndex, LPCSTR lpszString);
    int DeleteString(UINT nIndex);
    void ResetContent();
    int GetLBText(int nIndex, LPSTR lpszText) const;
    void GetLBText(int nIndex, CString& rString) const;
    int GetLBTextLen(int nIndex) const;
};

// ---------------------------------------------------------------------------
// For presentations: what a dialog shows, and the user's part.

namespace tavrin::ui {

struct ControlView {
    HWND hwnd = nullptr;
    CString className;  // "COMBOBOX", "STATIC"
    int id = 0;
    RECT rect{};  // dialog units, inside the dialog
    DWORD style = 0;
    CString text;     // the window's text now (a drop-down list: the selected entry)
    UINT iconId = 0;  // SS_ICON only
};

struct DialogView {
    HWND hwnd = nullptr;
    UINT templateId = 0;
    RECT rect{};  // dialog units
    DWORD style = 0;
    CString caption;
    WORD pointSize = 0;
    CString faceName;
    std::vector<ControlView> controls;  // in the template's (and tab) order
};

// FALSE unless hwnd is a dialog's window.
TAVRIN_API BOOL GetDialogView(HWND dialog, DialogView& view);

struct IconColour {
    BYTE red;
    BYTE green;
    BYTE blue;
};

struct IconImage {
    int width = 0;
    int height = 0;
    std::vector<IconColour> palette;
    std::vector<BYTE> pixels;  // palette indices, top row first
    std::vector<BYTE> mask;    // 1 where the icon is transparent
};

// Decodes the library's icon resource id (a palette image); FALSE for an
// unknown id.
TAVRIN_API BOOL LoadIconImage(UINT id, IconImage& image);

// What a user's choice in a combo box does: selects the entry and sends
// WM_COMMAND (CBN_SELCHANGE) to the combo box's parent. FALSE when combo is
// not a combo box or position is not one of its entries.
TAVRIN_API BOOL ChooseComboEntry(HWND combo, int position);

}  // namespace tavrin::ui
