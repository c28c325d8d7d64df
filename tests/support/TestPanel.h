// A host's dialog over the library's template IDD_MODEM_SELECT, as a host
// would write one: its own message map and data exchange, a list filled in
// OnInitDialog, and a record of every CBN_SELCHANGE it hears. Include it
// from one source file per program (it defines the message map).
#pragma once

#include <tavrin/Tavrin.h>

#include <string>
#include <vector>

namespace tavrin::test {

class TestPanel : public CDialog {
public:
    explicit TestPanel(CWnd* parent, std::vector<std::string> names = {})
        : CDialog(IDD_MODEM_SELECT, parent), m_names(std::move(names))
    {
    }

    CComboBox m_list;
    int m_initCalls = 0;
    bool m_listAttachedAtInit = false;
    std::vector<int> m_changes;  // the selection each CBN_SELCHANGE found

protected:
    void DoDataExchange(CDataExchange* pDX) override
    {
        CDialog::DoDataExchange(pDX);
        DDX_Control(pDX, IDC_MODEM_LIST, m_list);
    }
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        ++m_initCalls;
        m_listAttachedAtInit = m_list.GetSafeHwnd() != nullptr;
        for (const auto& name : m_names)
            m_list.AddString(name.c_str());
        if (!m_names.empty())
            m_list.SetCurSel(0);
        return TRUE;
    }
    afx_msg void OnSelchangeList() { m_changes.push_back(m_list.GetCurSel()); }
    DECLARE_MESSAGE_MAP()

private:
    std::vector<std::string> m_names;
};

BEGIN_MESSAGE_MAP(TestPanel, CDialog)
    ON_CBN_SELCHANGE(IDC_MODEM_LIST, OnSelchangeList)
END_MESSAGE_MAP()

// A host's window on the calling thread, attached to a CWnd to be a parent.
class HostWindow {
public:
    HostWindow()
    {
        m_hWnd = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
        m_wnd.Attach(m_hWnd);
    }
    ~HostWindow()
    {
        m_wnd.Detach();
        if (IsWindow(m_hWnd))
            DestroyWindow(m_hWnd);
    }
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    HWND Handle() const { return m_hWnd; }
    CWnd* Wnd() { return &m_wnd; }

private:
    HWND m_hWnd;
    CWnd m_wnd;
};

}  // namespace tavrin::test
