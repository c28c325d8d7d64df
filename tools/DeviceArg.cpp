#include "DeviceArg.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

namespace tavrin::tool {

namespace {

constexpr char kSerialPrefix[] = "serial:";

struct NetPrefix {
    const char* text;
    DeviceArgument::Kind kind;
};
constexpr NetPrefix kNetPrefixes[] = {{"tcp:", DeviceArgument::Kind::Tcp},
                                      {"listen:", DeviceArgument::Kind::Listen},
                                      {"udp-reply:", DeviceArgument::Kind::UdpReply},
                                      {"broadcast:", DeviceArgument::Kind::Broadcast}};

constexpr char kKnownDevices[] =
    "loopback, serial:PATH[:BAUD[,DATA,PARITY,STOP[,FLOW]]], serial:usb:VID:PID[:SERIAL][:BAUD...], tcp:HOST:PORT, listen:PORT, udp-reply:PORT:TEXT, "
    "broadcast:PORT:TEXT, rfc2217:HOST:PORT[:BAUD[,DATA,PARITY,STOP[,FLOW]]]";
constexpr char kRfc2217Prefix[] = "rfc2217:";

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

// Names as a resolver takes them, and dotted addresses. Anything else
// (a space, a colon of an IPv6 address, a stray bracket) would only fail
// later with a vaguer word from the resolver.
bool ValidHost(const std::string& host)
{
    return std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isalnum(c) != 0 || c == '.' || c == '-' || c == '_';
    });
}

// Four decimal numbers 0..255 joined by dots, into the bytes of an address
// in the order they are written, which is network byte order.
bool ParseDotted(const std::string& text, std::uint32_t& address)
{
    const std::vector<std::string> parts = Split(text, '.');
    if (parts.size() != 4)
        return false;
    unsigned char bytes[4];
    for (size_t i = 0; i < 4; ++i) {
        if (!AllDigits(parts[i]) || parts[i].size() > 3)
            return false;
        const int value = std::stoi(parts[i]);
        if (value > 255)
            return false;
        bytes[i] = static_cast<unsigned char>(value);
    }
    std::memcpy(&address, bytes, sizeof address);
    return true;
}

std::uint32_t HostOrder(std::uint32_t networkOrder)
{
    unsigned char bytes[4];
    std::memcpy(bytes, &networkOrder, sizeof bytes);
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

std::uint32_t NetworkOrder(std::uint32_t hostOrder)
{
    const unsigned char bytes[4] = {static_cast<unsigned char>(hostOrder >> 24), static_cast<unsigned char>(hostOrder >> 16),
                                    static_cast<unsigned char>(hostOrder >> 8), static_cast<unsigned char>(hostOrder)};
    std::uint32_t result;
    std::memcpy(&result, bytes, sizeof result);
    return result;
}

std::string Dotted(std::uint32_t networkOrder)
{
    unsigned char bytes[4];
    std::memcpy(bytes, &networkOrder, sizeof bytes);
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
           std::to_string(bytes[3]);
}

int PrefixLength(std::uint32_t hostOrderMask)
{
    int length = 0;
    while (length < 32 && (hostOrderMask & (0x80000000u >> length)) != 0)
        ++length;
    return length;
}

bool ParseTcp(const std::string& text, NetArgument& result, std::string& error)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        error = "expected tcp:HOST:PORT, for example tcp:127.0.0.1:23";
        return false;
    }
    result.host = text.substr(0, colon);
    if (result.host.empty()) {
        error = "a host is needed, for example tcp:127.0.0.1:23 or tcp:localhost:23";
        return false;
    }
    if (result.host.find(':') != std::string::npos) {
        error = "the host must be a name or a dotted IPv4 address (IPv6 is not supported), got '" + result.host + "'";
        return false;
    }
    if (!ValidHost(result.host)) {
        error = "the host must be a name or a dotted IPv4 address, got '" + result.host + "'";
        return false;
    }
    return ParsePort(text.substr(colon + 1), result.port, error);
}

// PORT:TEXT, split at the first colon: the text may hold colons of its own.
bool ParsePortAndText(const std::string& text, const char* form, NetArgument& result, std::string& error)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        error = std::string("expected ") + form;
        return false;
    }
    if (!ParsePort(text.substr(0, colon), result.port, error))
        return false;
    result.text = text.substr(colon + 1);
    return true;
}

}  // namespace

const char* KindName(DeviceArgument::Kind kind)
{
    switch (kind) {
    case DeviceArgument::Kind::Loopback: return "loopback";
    case DeviceArgument::Kind::Serial: return "serial:";
    case DeviceArgument::Kind::Tcp: return "tcp:";
    case DeviceArgument::Kind::Listen: return "listen:";
    case DeviceArgument::Kind::UdpReply: return "udp-reply:";
    case DeviceArgument::Kind::Broadcast: return "broadcast:";
    case DeviceArgument::Kind::Rfc2217: return "rfc2217:";
    }
    return "?";
}

bool ParsePort(const std::string& text, std::uint16_t& port, std::string& error)
{
    if (text.empty()) {
        error = "a port is needed (1 to 65535)";
        return false;
    }
    if (!AllDigits(text)) {
        error = "the port must be a number from 1 to 65535, got '" + text + "'";
        return false;
    }
    const unsigned long value = text.size() > 5 ? 0 : std::stoul(text);
    if (value == 0 || value > 65535) {
        error = "the port must be from 1 to 65535, got '" + text + "'";
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool ParseNetArgument(DeviceArgument::Kind kind, const std::string& text, NetArgument& result, std::string& error)
{
    result = NetArgument{};
    switch (kind) {
    case DeviceArgument::Kind::Tcp:
        return ParseTcp(text, result, error);
    case DeviceArgument::Kind::Listen:
        return ParsePort(text, result.port, error);
    case DeviceArgument::Kind::UdpReply:
        // An empty text answers nothing: the datagrams are only shown.
        return ParsePortAndText(text, "udp-reply:PORT:TEXT, for example udp-reply:5000:pong", result, error);
    case DeviceArgument::Kind::Broadcast:
        if (!ParsePortAndText(text, "broadcast:PORT:TEXT, for example broadcast:5000:ping", result, error))
            return false;
        if (result.text.empty()) {
            error = "a text to broadcast is needed after the port, for example broadcast:5000:ping";
            return false;
        }
        return true;
    default:
        error = "not a socket device";
        return false;
    }
}

bool ParseAccessRule(const std::string& text, AccessRule& rule, std::string& error)
{
    const size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    if (!ParseDotted(address, rule.address)) {
        error = "--allow needs ADDRESS/MASK with a dotted IPv4 address, for example 127.0.0.0/255.0.0.0 or "
                "127.0.0.0/8, got '" + text + "'";
        return false;
    }
    if (slash == std::string::npos) {
        // A bare address admits that one host.
        rule.mask = 0xFFFFFFFFu;
        return true;
    }
    const std::string mask = text.substr(slash + 1);
    if (AllDigits(mask) && mask.size() <= 2) {
        const int length = std::stoi(mask);
        if (length > 32) {
            error = "the prefix length must be from 0 to 32, got '" + text + "'";
            return false;
        }
        rule.mask = NetworkOrder(length == 0 ? 0 : 0xFFFFFFFFu << (32 - length));
        return true;
    }
    if (!ParseDotted(mask, rule.mask)) {
        error = "the mask must be dotted (255.0.0.0) or a prefix length from 0 to 32 (8), got '" + text + "'";
        return false;
    }
    // Ones from the top and zeros below: a mask with holes is far more
    // likely a typing error than a wish.
    const std::uint32_t inverted = ~HostOrder(rule.mask);
    if ((inverted & (inverted + 1)) != 0) {
        error = "the mask must be ones followed by zeros (like 255.255.0.0), got '" + text + "'";
        return false;
    }
    return true;
}

std::string DescribeAccessRule(const AccessRule& rule)
{
    return Dotted(rule.address) + "/" + std::to_string(PrefixLength(HostOrder(rule.mask)));
}

namespace {

bool ParseUsbId(const std::string& text, const char* what, std::string& id, std::string& error)
{
    const bool hex = !text.empty() && text.size() <= 4 &&
                     std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
    if (!hex) {
        error = std::string("the ") + what + " must be 1 to 4 hex digits as `tavrin ports` shows it (0403), got '" +
                text + "'";
        return false;
    }
    id = std::string(4 - text.size(), '0') + Lower(text);
    return true;
}

}  // namespace

bool ParseUsbArgument(const std::string& text, SerialArgument& result, std::string& error)
{
    result = SerialArgument{};
    result.byUsb = true;
    const std::vector<std::string> fields = Split(text, ':');
    if (fields.size() < 2 || fields.size() > 4) {
        error = "expected serial:usb:VID:PID[:SERIAL][:BAUD[,DATA,PARITY,STOP[,FLOW]]], for example "
                "serial:usb:0403:6001:A50285BI:115200";
        return false;
    }
    if (!ParseUsbId(fields[0], "vendor id", result.usb.vendorId, error) ||
        !ParseUsbId(fields[1], "product id", result.usb.productId, error))
        return false;
    std::string settings;
    if (fields.size() == 4) {
        result.usb.serialNumber = fields[2];
        settings = fields[3];
    } else if (fields.size() == 3) {
        if (fields[2].empty()) {
            error = "nothing follows the last ':'; expected serial:usb:VID:PID[:SERIAL][:BAUD...]";
            return false;
        }
        (LooksLikeSettings(fields[2]) ? settings : result.usb.serialNumber) = fields[2];
    }
    return settings.empty() || ParseSettings(settings, result, error);
}

std::string DescribeUsbIdentity(const UsbIdentity& usb)
{
    return "usb " + usb.vendorId + ":" + usb.productId +
           (usb.serialNumber.empty() ? std::string() : " serial " + usb.serialNumber);
}

bool ParseSerialArgument(const std::string& text, SerialArgument& result, std::string& error)
{
    result = SerialArgument{};
    if (text.rfind("usb:", 0) == 0) {
#ifdef _WIN32
        error = "serial:usb: finds an adapter in the Linux sysfs; on Windows name its COM port (`tavrin ports` "
                "lists them)";
        return false;
#else
        return ParseUsbArgument(text.substr(4), result, error);
#endif
    }
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
    if (text.rfind(kRfc2217Prefix, 0) == 0) {
        // HOST:PORT, then the settings as serial: takes them.
        result.kind = DeviceArgument::Kind::Rfc2217;
        const std::string rest = text.substr(sizeof kRfc2217Prefix - 1);
        const size_t hostEnd = rest.find(':');
        const size_t portEnd = hostEnd == std::string::npos ? hostEnd : rest.find(':', hostEnd + 1);
        const std::string server = rest.substr(0, portEnd);
        bool ok = hostEnd != std::string::npos && ParseTcp(server, result.net, error);
        if (hostEnd == std::string::npos)
            error = "expected rfc2217:HOST:PORT[:BAUD[,DATA,PARITY,STOP[,FLOW]]], for example rfc2217:127.0.0.1:2217";
        if (ok && portEnd != std::string::npos) {
            const std::string settings = rest.substr(portEnd + 1);
            ok = ParseSerialArgument("-:" + settings, result.serial, error);
            // What does not read as settings would have become part of a path.
            if (ok && result.serial.path != "-") {
                error = "'" + settings + "' is not BAUD[,DATA,PARITY,STOP[,FLOW]]";
                ok = false;
            }
        }
        result.serial.path.clear();
        if (ok)
            return true;
        error = "bad device '" + text + "': " + error;
        return false;
    }
    for (const NetPrefix& prefix : kNetPrefixes) {
        const size_t length = std::strlen(prefix.text);
        if (text.compare(0, length, prefix.text) != 0)
            continue;
        result.kind = prefix.kind;
        if (ParseNetArgument(prefix.kind, text.substr(length), result.net, error))
            return true;
        error = "bad device '" + text + "': " + error;
        return false;
    }
    error = "unknown device '" + text + "' (known: " + kKnownDevices + ")";
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

std::string WindowsDevicePath(const std::string& path)
{
    if (ComPortNumber(path) != 0 && path.rfind("\\\\.\\", 0) != 0)
        return "\\\\.\\" + path;
    return path;
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

void NoFlowControlUnlessNamed(DeviceArgument& argument)
{
    SerialArgument& serial = argument.serial;
    if (argument.kind != DeviceArgument::Kind::Serial || serial.hasLineSettings)
        return;
    serial.hasBaudRate = true;
    serial.hasLineSettings = true;
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
