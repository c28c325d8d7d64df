#include "Host.h"

#include <thread>

namespace tavrin::tool {

const char* NotificationName(int nIndex)
{
    static const char* const kNames[DEVMSG_COUNT] = {
        "DEVMSG_CONNECTED",     "DEVMSG_DISCONNECTED",   "DEVMSG_DATA",        "DEVMSG_ERROR",
        "DEVMSG_PACKET",        "DEVMSG_PACKET_REQUEST", "DEVMSG_SCRIPT_WAIT", "DEVMSG_PACKET_CANCEL",
        "DEVMSG_SCRIPT_VALUE",  "DEVMSG_SCRIPT_PROGRESS", "DEVMSG_CALL"};
    return nIndex >= 0 && nIndex < DEVMSG_COUNT ? kNames[nIndex] : "?";
}

std::string Readable(const BYTE* pData, size_t nLength, bool controlNames)
{
    static const std::map<BYTE, const char*> kControls = {
        {0x01, "<SOH>"}, {0x02, "<STX>"}, {0x03, "<ETX>"}, {0x04, "<EOT>"}, {0x05, "<ENQ>"},
        {0x06, "<ACK>"}, {0x07, "<BEL>"}, {0x15, "<NAK>"}, {0x18, "<CAN>"}, {0x19, "<EM>"}};
    std::string text;
    for (size_t i = 0; i < nLength; ++i) {
        const BYTE b = pData[i];
        if (controlNames) {
            auto name = kControls.find(b);
            if (name != kControls.end()) {
                text += name->second;
                continue;
            }
        }
        switch (b) {
        case '\r': text += "\\r"; break;
        case '\n': text += "\\n"; break;
        case '\t': text += "\\t"; break;
        case '\\': text += "\\\\"; break;
        default:
            if (b >= 0x20 && b < 0x7F) {
                text += static_cast<char>(b);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", b);
                text += hex;
            }
        }
    }
    return text;
}

void PrintLine(FILE* out, const std::string& line)
{
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
}

Host::Host(FILE* out) : m_out(out)
{
    m_hWnd = CreateMessageWindow(
        [this](HWND, UINT message, WPARAM wParam, LPARAM lParam) { return Handle(message, wParam, lParam); });
}

Host::~Host()
{
    DestroyWindow(m_hWnd);
}

int Host::Attach(CDevice& device, const char* label)
{
    int number = 0;
    while (number < static_cast<int>(m_attached.size()) && m_attached[static_cast<size_t>(number)])
        ++number;
    if (number == kMaxDevices)
        return -1;
    if (number == static_cast<int>(m_attached.size())) {
        m_attached.push_back(true);
        m_labels.emplace_back();
    }
    m_attached[static_cast<size_t>(number)] = true;
    m_labels[static_cast<size_t>(number)] = label ? label : "";
    ++m_nAttached;
    device.EnableNotify(m_hWnd);
    for (int i = 0; i < DEVMSG_COUNT; ++i)
        device.SetMessage(i, kFirstNotification + kDeviceStride * static_cast<UINT>(number) + static_cast<UINT>(i));
    return number;
}

void Host::Detach(int number)
{
    if (number < 0 || number >= static_cast<int>(m_attached.size()) || !m_attached[static_cast<size_t>(number)])
        return;
    m_attached[static_cast<size_t>(number)] = false;
    --m_nAttached;
}

void Host::Post(std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> guard(m_tasksLock);
        m_tasks.push_back(std::move(task));
    }
    PostMessageA(m_hWnd, kHostTask, 0, 0);
}

bool Host::RunUntilDone(DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == kHostDone || msg.message == WM_QUIT)
                return true;
            DispatchMessageA(&msg);
        }
        DWORD wait = INFINITE;
        if (timeoutMs != INFINITE) {
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= timeoutMs)
                return false;
            wait = timeoutMs - elapsed;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
    }
}

LRESULT Host::Handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kHostTask) {
        // One task per message: a task that pumps (a disconnect serving sent
        // messages) may run the next ones itself.
        std::function<void()> task;
        {
            std::lock_guard<std::mutex> guard(m_tasksLock);
            if (m_tasks.empty())
                return 0;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
        return 0;
    }
    if (message < kFirstNotification || message >= kFirstNotification + kDeviceStride * m_labels.size())
        return 0;
    const int device = static_cast<int>((message - kFirstNotification) / kDeviceStride);
    const int index = static_cast<int>((message - kFirstNotification) % kDeviceStride);
    if (index >= DEVMSG_COUNT || !m_attached[static_cast<size_t>(device)])
        return 0;
    ++m_nNotifications;

    // Without an output no line is made: a bridge hears every block of its
    // devices here, and spelling each byte out cost more than carrying it.
    std::string line = m_out != nullptr ? Describe(device, index, wParam, lParam) : std::string();
    if (index == DEVMSG_SCRIPT_VALUE) {
        auto answer = m_values.find(static_cast<int>(static_cast<UINT>(wParam)));
        if (answer != m_values.end()) {
            *reinterpret_cast<CString*>(lParam) = answer->second.c_str();
            if (m_out != nullptr)
                line += ", answered \"" + answer->second + "\"";
        }
    }
    const LRESULT result = m_responder ? m_responder(device, index, wParam, lParam) : 0;
    if (m_out == nullptr)
        return result;
    if (index == DEVMSG_PACKET) {
        const BYTE answer = static_cast<BYTE>(result & 0xFF);
        line += " -> answer " + Readable(&answer, 1, true);
    } else if (index == DEVMSG_PACKET_REQUEST) {
        line += result ? " -> " + std::to_string(result) + " bytes: \"" +
                             Readable(reinterpret_cast<const BYTE*>(lParam), static_cast<size_t>(result), true) + "\""
                       : std::string(" -> nothing more to send");
    }
    PrintLine(m_out, line);
    return result;
}

std::string Host::Describe(int device, int index, WPARAM wParam, LPARAM lParam) const
{
    std::string line;
    if (m_nAttached > 1)
        line += m_labels[static_cast<size_t>(device)] + ": ";
    char head[64];
    std::snprintf(head, sizeof head, "%-22s wParam=%-5lu", NotificationName(index), static_cast<unsigned long>(wParam));
    line += head;
    switch (index) {
    case DEVMSG_DATA:
    case DEVMSG_PACKET:
        line += " \"" + Readable(reinterpret_cast<const BYTE*>(lParam), wParam) + "\"";
        break;
    case DEVMSG_ERROR:
        line += " \"" + reinterpret_cast<const CString*>(lParam)->str() + "\"";
        break;
    case DEVMSG_SCRIPT_VALUE:
        line += " (" + std::to_string(static_cast<int>(static_cast<UINT>(wParam))) + ") offered \"" +
                reinterpret_cast<const CString*>(lParam)->str() + "\"";
        break;
    case DEVMSG_SCRIPT_WAIT:
        line += wParam == 0 ? " (wait set up)" : wParam == 1 ? " (timed out)" : " (answer received)";
        break;
    case DEVMSG_SCRIPT_PROGRESS:
        line += wParam == 1 ? " (line split off)" : " (list ran empty)";
        break;
    default:
        break;
    }
    return line;
}

void RunWhilePumping(Host& host, const std::function<void()>& work)
{
    std::thread worker([&] {
        work();
        PostMessageA(host.Window(), kHostDone, 0, 0);
    });
    host.RunUntilDone();
    worker.join();
}

}  // namespace tavrin::tool
