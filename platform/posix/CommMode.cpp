// BuildCommDCBA: the mode texts of the MODE command, read into a DCB.
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "../Comm.h"

namespace {

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool ParseNumber(const std::string& text, unsigned long& value)
{
    if (text.empty() || text.size() > 9)
        return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    value = std::strtoul(text.c_str(), nullptr, 10);
    return true;
}

bool ParseBaud(const std::string& text, DWORD& baud)
{
    unsigned long value = 0;
    if (!ParseNumber(text, value) || value == 0)
        return false;
    // The two-digit abbreviations of the MODE command.
    static const struct {
        unsigned long shortForm;
        DWORD rate;
    } abbreviations[] = {{11, 110}, {15, 150}, {30, 300}, {60, 600}, {12, 1200},
                         {24, 2400}, {48, 4800}, {96, 9600}, {19, 19200}};
    for (const auto& a : abbreviations) {
        if (value == a.shortForm) {
            baud = a.rate;
            return true;
        }
    }
    baud = static_cast<DWORD>(value);
    return true;
}

bool ParseParity(const std::string& text, BYTE& parity)
{
    if (text.size() != 1)
        return false;
    switch (text[0]) {
    case 'n': parity = NOPARITY; return true;
    case 'o': parity = ODDPARITY; return true;
    case 'e': parity = EVENPARITY; return true;
    case 'm': parity = MARKPARITY; return true;
    case 's': parity = SPACEPARITY; return true;
    default: return false;
    }
}

bool ParseData(const std::string& text, BYTE& bits)
{
    unsigned long value = 0;
    if (!ParseNumber(text, value) || value < 5 || value > 8)
        return false;
    bits = static_cast<BYTE>(value);
    return true;
}

bool ParseStop(const std::string& text, BYTE& stop)
{
    if (text == "1")
        stop = ONESTOPBIT;
    else if (text == "1.5")
        stop = ONE5STOPBITS;
    else if (text == "2")
        stop = TWOSTOPBITS;
    else
        return false;
    return true;
}

bool ParseOnOff(const std::string& text, DWORD& flag)
{
    if (text == "on")
        flag = 1;
    else if (text == "off")
        flag = 0;
    else
        return false;
    return true;
}

std::vector<std::string> Split(const std::string& text, const char* separators)
{
    std::vector<std::string> parts;
    std::string current;
    bool any = false;
    for (char c : text) {
        if (std::string(separators).find(c) != std::string::npos) {
            parts.push_back(current);
            current.clear();
            any = true;
        } else {
            current += c;
        }
    }
    if (any || !current.empty())
        parts.push_back(current);
    return parts;
}

std::string Trim(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// "rate,parity,data,stop[,x|p]"; every field but the rate may be empty.
bool ParseShortForm(const std::string& text, DCB& dcb)
{
    std::vector<std::string> fields = Split(text, ",");
    if (fields.empty() || fields.size() > 5)
        return false;
    for (std::string& f : fields)
        f = Trim(f);
    if (!ParseBaud(fields[0], dcb.BaudRate))
        return false;
    if (fields.size() > 1 && !fields[1].empty() && !ParseParity(fields[1], dcb.Parity))
        return false;
    if (fields.size() > 2 && !fields[2].empty() && !ParseData(fields[2], dcb.ByteSize))
        return false;
    if (fields.size() > 3 && !fields[3].empty() && !ParseStop(fields[3], dcb.StopBits))
        return false;
    const std::string flow = fields.size() > 4 ? fields[4] : std::string();
    if (!flow.empty() && flow != "x" && flow != "p")
        return false;
    // The short form always says what the flow control is: none, unless the
    // last field asks for some.
    dcb.fOutX = flow == "x" ? 1 : 0;
    dcb.fInX = flow == "x" ? 1 : 0;
    dcb.fOutxCtsFlow = flow == "p" ? 1 : 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = flow == "p" ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    return true;
}

bool ParseKeywordForm(const std::string& text, DCB& dcb)
{
    bool any = false;
    for (const std::string& word : Split(text, " \t")) {
        if (word.empty())
            continue;
        size_t equals = word.find('=');
        if (equals == std::string::npos || equals == 0)
            return false;
        const std::string key = word.substr(0, equals);
        const std::string value = word.substr(equals + 1);
        DWORD flag = 0;
        if (key == "baud") {
            if (!ParseBaud(value, dcb.BaudRate))
                return false;
        } else if (key == "parity") {
            if (!ParseParity(value, dcb.Parity))
                return false;
        } else if (key == "data") {
            if (!ParseData(value, dcb.ByteSize))
                return false;
        } else if (key == "stop") {
            if (!ParseStop(value, dcb.StopBits))
                return false;
        } else if (key == "to") {
            // Time-outs are the port's own business here, not the DCB's.
            if (!ParseOnOff(value, flag))
                return false;
        } else if (key == "xon") {
            if (!ParseOnOff(value, flag))
                return false;
            dcb.fOutX = flag;
            dcb.fInX = flag;
        } else if (key == "odsr") {
            if (!ParseOnOff(value, flag))
                return false;
            dcb.fOutxDsrFlow = flag;
        } else if (key == "octs") {
            if (!ParseOnOff(value, flag))
                return false;
            dcb.fOutxCtsFlow = flag;
        } else if (key == "idsr") {
            if (!ParseOnOff(value, flag))
                return false;
            dcb.fDsrSensitivity = flag;
        } else if (key == "dtr") {
            if (value == "hs")
                dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
            else if (ParseOnOff(value, flag))
                dcb.fDtrControl = flag ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
            else
                return false;
        } else if (key == "rts") {
            if (value == "hs")
                dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            else if (value == "tg")
                dcb.fRtsControl = RTS_CONTROL_TOGGLE;
            else if (ParseOnOff(value, flag))
                dcb.fRtsControl = flag ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
            else
                return false;
        } else {
            return false;
        }
        any = true;
    }
    return any;
}

}  // namespace

BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB)
{
    if (!lpDef || !lpDCB) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string text = Trim(Lower(lpDef));
    // An optional device name in front: "COM1:" or "COM1 ".
    if (text.size() > 3 && text.compare(0, 3, "com") == 0 && std::isdigit(static_cast<unsigned char>(text[3]))) {
        size_t end = 3;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
            ++end;
        if (end < text.size() && text[end] == ':')
            ++end;
        text = Trim(text.substr(end));
    }
    DCB result = *lpDCB;
    const bool ok = text.find('=') != std::string::npos ? ParseKeywordForm(text, result) : ParseShortForm(text, result);
    if (!ok) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    result.fBinary = 1;
    *lpDCB = result;
    return TRUE;
}
