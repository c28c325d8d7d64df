// The modem selection panel: a modeless child dialog of the library's own
// template IDD_MODEM_SELECT (an icon, two lines of text and the list of the
// listed modems, in ordinal order). Every change of the chosen entry selects
// that modem in the manager that created the panel.
#pragma once

#include "../platform/Dialog.h"
#include "../res/Resource.h"

class CModemManager;

class TAVRIN_API CModemSelectDlg : public CDialog {
public:
    CModemSelectDlg(CModemManager* pManager, CWnd* pParent);
    ~CModemSelectDlg() override;

    enum { IDD = IDD_MODEM_SELECT };
    CComboBox m_cbModems;
    CModemManager* m_pManager;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    afx_msg void OnSelchangeModem();
    DECLARE_MESSAGE_MAP()
};
