#include "Host.h"

namespace tavrin::tool {

const char* NotificationName(int nIndex)
{
    static const char* const kNames[DEVMSG_COUNT] = {
        "DEVMSG_CONNECTED",      "DEVMSG_DISCONNECTED", "DEVMSG_DATA",           "DEVMSG_ERROR",
        "DEVMSG_PACKET",         "DEVMSG_PACKET_REQUEST", "DEVMSG_SCRIPT_WAIT", "DEVMSG_PACKET_CANCEL",
        "DEVMSG_SCRIPT_VALUE",   "DEVMSG_SCRIPT_PROGRESS", "DEVMSG_CALL"};
    return nIndex >= 0 && nIndex < DEVMSG_COUNT ? kNames[nIndex] : "?";
}

std::string Readable(const BYTE* pData, size_t nLength)
{
    std::string text;
    for (size_t i = 0; i < nLength; ++i) {
        const BYTE b = pData[i];
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

Host::Host(FILE* out) : m_out(out)
{
    m_hWnd = CreateMessageWindow(
        [this](HWND, UINT message, WPARAM wParam, LPARAM lParam) { return Handle(message, wParam, lParam); });
}

Host::~Host()
{
    DestroyWindow(m_hWnd);
}

void Host::Attach(CDevice& device, const char*)
{
    device.EnableNotify(m_hWnd);
    for (int i = 0; i < DEVMSG_COUNT; ++i)
        device.SetMessage(i, kFirstNotification + static_cast<UINT>(i));
}

void Host::RunUntilDone()
{
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) {
        if (msg.message == kHostDone)
            return;
        DispatchMessageA(&msg);
    }
}

LRESULT Host::Handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message < kFirstNotification || message >= kFirstNotification + DEVMSG_COUNT)
        return 0;
    const int index = static_cast<int>(message - kFirstNotification);
    ++m_nNotifications;
    std::fprintf(m_out, "%-22s wParam=%-5lu", NotificationName(index), static_cast<unsigned long>(wParam));
    switch (index) {
    case DEVMSG_DATA:
    case DEVMSG_PACKET:
        std::fprintf(m_out, " \"%s\"", Readable(reinterpret_cast<const BYTE*>(lParam), wParam).c_str());
        break;
    case DEVMSG_ERROR:
        std::fprintf(m_out, " \"%s\"", static_cast<LPCSTR>(*reinterpret_cast<const CString*>(lParam)));
        break;
    case DEVMSG_SCRIPT_VALUE: {
        auto* value = reinterpret_cast<CString*>(lParam);
        std::fprintf(m_out, " (%d) offered \"%s\"", static_cast<int>(static_cast<UINT>(wParam)),
                     static_cast<LPCSTR>(*value));
        auto answer = m_values.find(static_cast<int>(static_cast<UINT>(wParam)));
        if (answer != m_values.end()) {
            *value = answer->second.c_str();
            std::fprintf(m_out, ", answered \"%s\"", answer->second.c_str());
        }
        break;
    }
    case DEVMSG_SCRIPT_WAIT:
        std::fprintf(m_out, " %s", wParam == 0 ? "(wait set up)" : wParam == 1 ? "(timed out)" : "(answer received)");
        break;
    case DEVMSG_SCRIPT_PROGRESS:
        std::fprintf(m_out, " %s", wParam == 1 ? "(line split off)" : "(list ran empty)");
        break;
    default:
        break;
    }
    std::fputc('\n', m_out);
    std::fflush(m_out);
    return 0;
}

}  // namespace tavrin::tool
