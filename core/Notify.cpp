// Notifications to the host window and the link-level Done virtuals.
#include "Device.h"

namespace {

constexpr DWORD kNotifyLockTimeout = 100;

bool IsValidIndex(int nIndex)
{
    return nIndex >= 0 && nIndex < DEVMSG_COUNT;
}

}  // namespace

void CDevice::EnableNotify(HWND hWnd)
{
    m_hNotifyWnd = hWnd;
}

BOOL CDevice::IsEnableNotify()
{
    HWND hWnd = m_hNotifyWnd;
    return hWnd && IsWindow(hWnd) ? TRUE : FALSE;
}

void CDevice::SetMessage(int nIndex, UINT nMsg)
{
    if (IsValidIndex(nIndex))
        m_uMessages[nIndex] = nMsg;
}

UINT CDevice::GetMessageA(int nIndex)
{
    return IsValidIndex(nIndex) ? m_uMessages[nIndex].load() : 0;
}

LRESULT CDevice::SendNotify(UINT nMsg, UINT wParam, LPARAM lParam)
{
    if (nMsg == 0)
        return 0;
    // A handler that takes long makes other notifications of this device
    // drop rather than pile up behind it.
    if (!m_mtxNotify.Lock(kNotifyLockTimeout))
        return 0;
    LRESULT result = 0;
    HWND hWnd = m_hNotifyWnd;
    if (hWnd && IsWindow(hWnd))
        result = SendMessageNoted(hWnd, nMsg, wParam, lParam);
    m_mtxNotify.Unlock();
    return result;
}

LRESULT CDevice::PostNotify(UINT nMsg, UINT wParam, LPARAM lParam)
{
    if (!m_mtxNotify.Lock(kNotifyLockTimeout))
        return 0;
    LRESULT result = 0;
    HWND hWnd = m_hNotifyWnd;
    if (hWnd && IsWindow(hWnd))
        result = PostMessageA(hWnd, nMsg, wParam, lParam);
    m_mtxNotify.Unlock();
    return result;
}

void CDevice::ConnectDone()
{
    if (m_bSendConnectCommand)
        WriteEx(m_strConnectCommand);
    SendNotify(m_uMessages[DEVMSG_CONNECTED], 0, 0);
}

void CDevice::DisconnectDone()
{
    SendNotify(m_uMessages[DEVMSG_DISCONNECTED], 0, reinterpret_cast<LPARAM>(this));
    m_hNotifyWnd = nullptr;
    m_bConnected = FALSE;
}

void CDevice::ErrorDone(CString& strText, DWORD dwCode)
{
    if (strText.IsEmpty())
        return;
    SendNotify(m_uMessages[DEVMSG_ERROR], dwCode, reinterpret_cast<LPARAM>(&strText));
}

void CDevice::CallDone()
{
    SendNotify(m_uMessages[DEVMSG_CALL], 0, reinterpret_cast<LPARAM>(this));
}
