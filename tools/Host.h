// The tavrin host's window: a message window on the main thread whose
// procedure prints every notification of the devices it serves.
#pragma once

#include <tavrin/Tavrin.h>

#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tavrin::tool {

inline constexpr UINT kFirstNotification = WM_APP;   // WM_APP + 0x20 * device + index
inline constexpr UINT kDeviceStride = 0x20;
inline constexpr UINT kHostDone = WM_APP + 0x1000;    // the work has finished
inline constexpr UINT kHostTask = WM_APP + 0x1001;    // run the posted tasks
// The device numbers whose messages stay below kHostDone.
inline constexpr int kMaxDevices = static_cast<int>((kHostDone - kFirstNotification) / kDeviceStride);

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
    // returns the device's number, or -1 when kMaxDevices are attached. The
    // label prefixes its lines when more than one device is attached. A
    // number given up with Detach is given again.
    int Attach(CDevice& device, const char* label);
    // Gives the number up. The device must be disconnected: nothing of it
    // may be on its way to the window any more, since the next device
    // attached gets the same message numbers.
    void Detach(int number);
    // Runs task on the window's thread once the current message has been
    // handled: a handler's way to do what must not happen inside it (such
    // as disconnecting the device that is notifying). Any thread.
    void Post(std::function<void()> task);
    void SetResponder(Responder responder) { m_responder = std::move(responder); }
    // Pumps messages until someone posts kHostDone; false when the time-out
    // (INFINITE by default) passed first.
    bool RunUntilDone(DWORD timeoutMs = INFINITE);
    int Notifications() const { return m_nNotifications; }
    // The text assigned to DEVMSG_SCRIPT_VALUE number n.
    void SetValue(int n, const std::string& text) { m_values[n] = text; }

private:
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    // The line printed for a notification, up to the host's answer.
    std::string Describe(int device, int index, WPARAM wParam, LPARAM lParam) const;

    FILE* m_out;
    HWND m_hWnd;
    int m_nNotifications = 0;
    std::vector<std::string> m_labels;
    std::vector<bool> m_attached;
    int m_nAttached = 0;
    std::mutex m_tasksLock;
    std::deque<std::function<void()>> m_tasks;
    Responder m_responder;
    std::map<int, std::string> m_values;
};

// Runs work on a second thread while this one pumps the host window; the
// workers notify that window synchronously, so the thread that owns it must
// not be the one that writes.
void RunWhilePumping(Host& host, const std::function<void()>& work);

}  // namespace tavrin::tool
