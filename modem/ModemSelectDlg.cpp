#include "ModemSelectDlg.h"

#include "ModemManager.h"

CModemSelectDlg::CModemSelectDlg(CModemManager* pManager, CWnd* pParent)
    : CDialog(CModemSelectDlg::IDD, pParent), m_pManager(pManager)
{
}

CModemSelectDlg::~CModemSelectDlg() = default;

void CModemSelectDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_MODEM_LIST, m_cbModems);
}

BEGIN_MESSAGE_MAP(CModemSelectDlg, CDialog)
    ON_CBN_SELCHANGE(IDC_MODEM_LIST, OnSelchangeModem)
END_MESSAGE_MAP()

BOOL CModemSelectDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    HWND list = m_cbModems.GetSafeHwnd();
    ::SendMessageA(list, CB_RESETCONTENT, 0, 0);
    for (int index = 0; index < 256; ++index) {
        CString name = m_pManager->GetModemName(index);
        if (!name.IsEmpty() && name.Find("Varnoquel") < 0)
            ::SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(static_cast<LPCSTR>(name)));
    }
    ::SendMessageA(list, CB_SETCURSEL, 0, 0);
    OnSelchangeModem();
    return TRUE;
}

void CModemSelectDlg::OnSelchangeModem()
{
    int position = static_cast<int>(::SendMessageA(m_cbModems.GetSafeHwnd(), CB_GETCURSEL, 0, 0));
    if (position >= 0)
        m_pManager->UpdateContent(position);
}
