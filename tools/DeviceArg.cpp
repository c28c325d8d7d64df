#include "DeviceArg.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

namespace tavrin::tool {

namespace {

constexpr char kSerialPrefix[] = "serial:";

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        fields.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return fields;
        start = end + 1;
    }
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool AllDigits(const std::string& text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

// Paths may hold colons themselves (/dev/serial/by-path/...-usb-0:1.2:1.0-port0),
// so only a last part that reads as settings is taken as settings: one
// that starts with a number, or one that has commas.
bool LooksLikeSettings(const std::string& tail)
{
    if (tail.find(',') != std::string::npos)
        return true;
    return AllDigits(tail.substr(0, tail.find(',')));
}

bool ParseBaudRate(const std::string& text, SerialArgument& result, std::string& error)
{
    if (!AllDigits(text) || text.size() > 10) {
        error = "the baud rate must be a whole number, got '" + text + "'";
        return false;
    }
    const unsigned long long value = std::stoull(text);
    if (value == 0 || value > 0xFFFFFFFFull) {
        error = "the baud rate must be between 1 and 4294967295, got '" + text + "'";
        return false;
    }
    result.hasBaudRate = true;
    result.baudRate = static_cast<std::uint32_t>(value);
    return true;
}

bool ParseByteSize(const std::string& text, SerialArgument& result, std::string& error)
{
    if (text.size() != 1 || text[0] < '5' || text[0] > '8') {
        error = "the data bits must be 5, 6, 7 or 8, got '" + text + "'";
        return false;
    }
    result.byteSize = static_cast<BYTE>(text[0] - '0');
    return true;
}

bool ParseParity(const std::string& text, SerialArgument& result, std::string& error)
{
    static const char kLetters[] = "NOEMS";   // in the order of the DCB's values
    const char* letter = text.size() == 1 ? std::strchr(kLetters, std::toupper(static_cast<unsigned char>(text[0])))
                                          : nullptr;
    if (letter == nullptr || *letter == '\0') {
        error = "the parity must be N, O, E, M or S (none, odd, even, mark, space), got '" + text + "'";
        return false;
    }
    result.parity = static_cast<BYTE>(letter - kLetters);
    return true;
}

bool ParseStopBits(const std::string& text, SerialArgument& result, std::string& error)
{
    if (text == "1")
        result.stopBits = ONESTOPBIT;
    else if (text == "1.5")
        result.stopBits = ONE5STOPBITS;
    else if (text == "2")
        result.stopBits = TWOSTOPBITS;
    else {
        error = "the stop bits must be 1, 1.5 or 2, got '" + text + "'";
        return false;
    }
    return true;
}

bool ParseFlow(const std::string& text, SerialArgument& result, std::string& error)
{
    const std::vector<std::string> parts = Split(Lower(text), '+');
    for (const std::string& part : parts) {
        if (part == "none" && parts.size() == 1)
            continue;
        if (part == "rtscts")
            result.rtsCts = true;
        else if (part == "dtrdsr")
            result.dtrDsr = true;
        else if (part == "xonxoff")
            result.xonXoff = true;
        else {
            error = part == "none" ? "the flow control 'none' cannot be combined with others, got '" + text + "'"
                                   : "the flow control must be none or rtscts, dtrdsr, xonxoff joined with '+', got '" +
                                         text + "'";
            return false;
        }
    }
    return true;
}

bool ParseSettings(const std::string& text, SerialArgument& result, std::string& error)
{
    const std::vector<std::string> fields = Split(text, ',');
    if (fields.size() != 1 && fields.size() != 4 && fields.size() != 5) {
        error = "the settings must be BAUD or BAUD,DATA,PARITY,STOP[,FLOW] (for example 115200,8,N,1,rtscts), got '" +
                text + "'";
        return false;
    }
    if (!ParseBaudRate(fields[0], result, error))
        return false;
    if (fields.size() == 1)
        return true;
    result.hasLineSettings = true;
    return ParseByteSize(fields[1], result, error) && ParseParity(fields[2], result, error) &&
           ParseStopBits(fields[3], result, error) && (fields.size() == 4 || ParseFlow(fields[4], result, error));
}

}  // namespace

bool ParseSerialArgument(const std::string& text, SerialArgument& result, std::string& error)
{
    result = SerialArgument{};
    const size_t colon = text.rfind(':');
    std::string path = text;
    if (colon != std::string::npos) {
        const std::string tail = text.substr(colon + 1);
        if (tail.empty()) {
            error = "nothing follows the last ':'; expected serial:PATH[:BAUD[,DATA,PARITY,STOP[,FLOW]]]";
            return false;
        }
        if (LooksLikeSettings(tail)) {
            path = text.substr(0, colon);
            if (!ParseSettings(tail, result, error))
                return false;
        }
    }
    if (path.empty()) {
        error = "a port is needed, for example serial:/dev/ttyUSB0 or serial:COM3";
        return false;
    }
    result.path = path;
    return true;
}

bool ParseDeviceArgument(const std::string& text, DeviceArgument& result, std::string& error)
{
    result = DeviceArgument{};
    if (text == "loopback") {
        result.kind = DeviceArgument::Kind::Loopback;
        return true;
    }
    if (text.rfind(kSerialPrefix, 0) == 0) {
        result.kind = DeviceArgument::Kind::Serial;
        if (ParseSerialArgument(text.substr(sizeof kSerialPrefix - 1), result.serial, error))
            return true;
        error = "bad device '" + text + "': " + error;
        return false;
    }
    error = "unknown device '" + text + "' (known: loopback, serial:PATH[:BAUD[,DATA,PARITY,STOP[,FLOW]]])";
    return false;
}

int ComPortNumber(const std::string& path)
{
    std::string name = path;
    if (name.rfind("\\\\.\\", 0) == 0)
        name = name.substr(4);
    if (name.size() < 4 || Lower(name.substr(0, 3)) != "com" || !AllDigits(name.substr(3)) || name.size() > 6)
        return 0;
    const int number = std::stoi(name.substr(3));
    return number >= 1 && number <= 255 ? number : 0;
}

void FillDcb(const SerialArgument& serial, DCB& dcb)
{
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = serial.baudRate;
    dcb.ByteSize = serial.byteSize;
    dcb.Parity = serial.parity;
    dcb.StopBits = serial.stopBits;
    dcb.fBinary = 1;
    dcb.fParity = serial.parity != NOPARITY ? 1 : 0;
    // Without hardware handshake the lines are simply raised, so a peer
    // that waits for DTR or RTS sees a terminal that is present.
    dcb.fOutxCtsFlow = serial.rtsCts ? 1 : 0;
    dcb.fRtsControl = serial.rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutxDsrFlow = serial.dtrDsr ? 1 : 0;
    dcb.fDtrControl = serial.dtrDsr ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb.fOutX = serial.xonXoff ? 1 : 0;
    dcb.fInX = serial.xonXoff ? 1 : 0;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 10;
    dcb.XoffLim = 256;
}

std::string DescribeSettings(const SerialArgument& serial)
{
    if (!serial.hasBaudRate)
        return "stored settings";
    std::string text = std::to_string(serial.baudRate);
    if (!serial.hasLineSettings)
        return text;
    static const char* const kStop[] = {"1", "1.5", "2"};
    text += "," + std::to_string(serial.byteSize) + "," + "NOEMS"[serial.parity % 5] + "," + kStop[serial.stopBits % 3];
    std::string flow;
    if (serial.rtsCts)
        flow += "+rtscts";
    if (serial.dtrDsr)
        flow += "+dtrdsr";
    if (serial.xonXoff)
        flow += "+xonxoff";
    return text + "," + (flow.empty() ? "none" : flow.substr(1));
}

}  // namespace tavrin::tool
