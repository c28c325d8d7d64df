// The tavrin host's window: a message window on the main thread whose
// procedure prints every notification of the devices it serves.
#pragma once

#include <tavrin/Tavrin.h>

#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tavrin::tool {

inline constexpr UINT kFirstNotification = WM_APP;   // WM_APP + 0x20 * device + index
inline constexpr UINT kDeviceStride = 0x20;
inline constexpr UINT kHostDone = WM_APP + 0x1000;    // the work has finished

const char* NotificationName(int nIndex);
// Bytes in a form a person can read: printable ASCII as it is, the rest as
// \r, \n, \t, the packet link's control names (<SOH>, <ACK>, ...) or \xNN.
std::string Readable(const BYTE* pData, size_t nLength, bool controlNames = false);

// Serialises the tool's output lines, which come from several threads.
void PrintLine(FILE* out, const std::string& line);

class Host {
public:
    // Answers a notification: (device number, index, wParam, lParam) -> result.
    using Responder = std::function<LRESULT(int, int, WPARAM, LPARAM)>;

    // out receives a line per notification; nullptr leaves every
    // notification to the responder alone.
    explicit Host(FILE* out);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    HWND Window() const { return m_hWnd; }
    // Gives the device the window and a message number for every index;
    // returns the device's number. The label prefixes its lines when there
    // is more than one device.
    int Attach(CDevice& device, const char* label);
    void SetResponder(Responder responder) { m_responder = std::move(responder); }
    // Pumps messages until someone posts kHostDone; false when the time-out
    // (INFINITE by default) passed first.
    bool RunUntilDone(DWORD timeoutMs = INFINITE);
    int Notifications() const { return m_nNotifications; }
    // The text assigned to DEVMSG_SCRIPT_VALUE number n.
    void SetValue(int n, const std::string& text) { m_values[n] = text; }

private:
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

    FILE* m_out;
    HWND m_hWnd;
    int m_nNotifications = 0;
    std::vector<std::string> m_labels;
    Responder m_responder;
    std::map<int, std::string> m_values;
};

}  // namespace tavrin::tool
