// The tavrin host's window: a message window on the main thread whose
// procedure prints every notification of the devices it serves.
#pragma once

#include <tavrin/Tavrin.h>

#include <cstdio>
#include <map>
#include <string>

namespace tavrin::tool {

inline constexpr UINT kFirstNotification = WM_APP;   // WM_APP + index
inline constexpr UINT kHostDone = WM_APP + 0x100;     // the work thread has finished

const char* NotificationName(int nIndex);
// Bytes in a form a person can read: printable ASCII as it is, the rest as
// \r, \n, \t or \xNN.
std::string Readable(const BYTE* pData, size_t nLength);

class Host {
public:
    explicit Host(FILE* out);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    HWND Window() const { return m_hWnd; }
    // Gives the device the window and a message number for every index.
    void Attach(CDevice& device, const char* label);
    // Pumps messages until the work thread posts kHostDone.
    void RunUntilDone();
    int Notifications() const { return m_nNotifications; }
    // The text assigned to DEVMSG_SCRIPT_VALUE number n.
    void SetValue(int n, const std::string& text) { m_values[n] = text; }

private:
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

    FILE* m_out;
    HWND m_hWnd;
    int m_nNotifications = 0;
    std::map<int, std::string> m_values;
};

}  // namespace tavrin::tool
