#include "LineControl.h"

namespace tavrin::tool {

namespace {

struct StatusLine {
    DWORD bit;
    const char* name;
};

// DCD is the name terminals use for the receive-line-signal detect (RLSD).
constexpr StatusLine kStatusLines[] = {
    {MS_CTS_ON, "CTS"}, {MS_DSR_ON, "DSR"}, {MS_RLSD_ON, "DCD"}, {MS_RING_ON, "RI"}};

// The port's report texts, as the library documents them.
constexpr const char* kChangeStatus = "ChangeStatus";
constexpr const char* kBreakText = "The hardware detected a break condition";
constexpr const char* kLineComesOn[] = {"Ring", "CTS", "DSR", "RLSD"};

std::string ErrorName(DWORD code)
{
    switch (code) {
    case ERROR_NOT_SUPPORTED: return "the line has no such output (a pseudo-terminal has none)";
    case ERROR_INVALID_HANDLE: return "the port is not open";
    case ERROR_DEVICE_NOT_CONNECTED: return "the device has gone";
    default: return "system error " + std::to_string(code);
    }
}

}  // namespace

std::string DescribeModemStatus(DWORD status)
{
    std::string text;
    for (const StatusLine& line : kStatusLines) {
        text += text.empty() ? "" : ", ";
        text += std::string(line.name) + ((status & line.bit) ? " on" : " off");
    }
    return text;
}

std::optional<std::string> DescribeLineReport(const std::string& text, DWORD code)
{
    if (text == kBreakText)
        return std::string("break received");
    if (text == kChangeStatus) {
        const DWORD changed = code >> 16;
        std::string described;
        for (const StatusLine& line : kStatusLines) {
            if (!(changed & line.bit))
                continue;
            described += described.empty() ? "" : ", ";
            described += std::string(line.name) + ((code & line.bit) ? " on" : " off");
        }
        return described;
    }
    for (const char* name : kLineComesOn) {
        if (text == name)
            return std::string();
    }
    return std::nullopt;
}

LineControl::LineControl(CDevice& device, CCom* com, std::string description, Notify notify)
    : m_device(device), m_com(com), m_description(std::move(description)), m_notify(std::move(notify))
{
}

const char* LineControl::Help()
{
    return "Ctrl-] then: b send a break, d toggle DTR, r toggle RTS, s show the line settings and status lines, "
           "z send files with ZMODEM, h or ? this help, q quit, Ctrl-] send Ctrl-] itself";
}

bool LineControl::Command(char key)
{
    switch (key) {
    case 'q':
    case 'Q':
        return false;
    case 'b':
    case 'B':
        // SendBreak tells nothing back: a line that ignores breaks (a
        // pseudo-terminal) takes it as any other would.
        m_device.SendBreak();
        m_notify(m_com ? "break sent (300 ms)" : "break sent (as this device sends one)");
        break;
    case 'd':
    case 'D':
        ToggleLine("DTR", m_dtr, &CCom::SetDtr);
        break;
    case 'r':
    case 'R':
        ToggleLine("RTS", m_rts, &CCom::SetRts);
        break;
    case 's':
    case 'S':
        ShowSettings();
        break;
    case 'h':
    case 'H':
    case '?':
        m_notify(Help());
        break;
    default:
        m_notify(std::string("no command on that key; ") + "Ctrl-] h shows the keys");
        break;
    }
    return true;
}

void LineControl::ToggleLine(const char* name, bool& on, BOOL (CCom::*set)(BOOL))
{
    if (!m_com) {
        m_notify(std::string("cannot set ") + name + ": not a serial line");
        return;
    }
    const bool wanted = !on;
    if (!(m_com->*set)(wanted ? TRUE : FALSE)) {
        m_notify(std::string("cannot ") + (wanted ? "raise " : "lower ") + name + ": " + ErrorName(GetLastError()));
        return;
    }
    on = wanted;
    m_notify(std::string(name) + (on ? " raised" : " lowered"));
}

void LineControl::ShowSettings()
{
    CString name;
    m_device.GetName(name);
    std::string settings = name.str();
    if (m_com) {
        // "COM<n>:" names the stored port number, not the path opened.
        const size_t colon = settings.find(':');
        if (colon != std::string::npos)
            settings.erase(0, colon + 1);
    }
    std::string text = m_description + ": " + settings;
    if (m_com) {
        DWORD status = 0;
        text += std::string("; DTR ") + (m_dtr ? "on" : "off") + ", RTS " + (m_rts ? "on" : "off") + "; ";
        text += m_com->GetModemStatus(status) ? DescribeModemStatus(status)
                                              : "status lines unreadable: " + ErrorName(GetLastError());
    }
    m_notify(text);
}

}  // namespace tavrin::tool
