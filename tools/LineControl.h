// The terminal's line control: the keys after the escape key (a break,
// DTR and RTS, the line's settings and status lines, help, quit) and the
// serial line's reports turned into notices.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <tavrin/Tavrin.h>

namespace tavrin::tool {

// "CTS on, DSR on, DCD on, RI off" for a status word (MS_*_ON bits).
std::string DescribeModemStatus(DWORD status);

// What a serial port's DEVMSG_ERROR report (its text and code) means to a
// person: "CTS off, DCD on" for a change of status lines, "break received"
// for a break; "" for the reports that repeat a change the status word
// already tells ("Ring", "CTS", ...); nothing for any other report, which
// is shown as it is.
std::optional<std::string> DescribeLineReport(const std::string& text, DWORD code);

class LineControl {
public:
    using Notify = std::function<void(const std::string&)>;
    // com: the device as a serial port, nullptr when it is none. Connect
    // raises DTR and (without handshaking) RTS: the toggles start from on.
    LineControl(CDevice& device, CCom* com, std::string description, Notify notify);

    // Carries out the key typed after the escape key; false for quit.
    bool Command(char key);

    static const char* Help();

private:
    void ToggleLine(const char* name, bool& on, BOOL (CCom::*set)(BOOL));
    void ShowSettings();

    CDevice& m_device;
    CCom* m_com;
    std::string m_description;
    Notify m_notify;
    bool m_dtr = true;
    bool m_rts = true;
};

}  // namespace tavrin::tool
