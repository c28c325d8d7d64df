#include "ComPorts.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace tavrin::tool {

namespace {

constexpr char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// COM2 before COM10: the number decides between names of one stem.
bool NaturalLess(const std::string& a, const std::string& b)
{
    const auto split = [](const std::string& text) {
        size_t digits = text.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(text[digits - 1])))
            --digits;
        const std::string number = text.substr(digits, 9);
        return std::make_pair(text.substr(0, digits), number.empty() ? -1L : std::stol(number));
    };
    return split(a) < split(b);
}

}  // namespace

std::vector<ComPortInfo> ListComPorts(std::string& error)
{
    std::vector<ComPortInfo> ports;
    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_READ, &key);
    if (opened == ERROR_FILE_NOT_FOUND)
        return ports;
    if (opened != ERROR_SUCCESS) {
        error = std::string("cannot open HKLM\\") + kSerialComm + ": error " + std::to_string(opened);
        return ports;
    }
    for (DWORD index = 0;; ++index) {
        char valueName[256];
        BYTE data[256];
        DWORD nameLength = sizeof valueName, dataLength = sizeof data - 1, type = 0;
        const LONG read = RegEnumValueA(key, index, valueName, &nameLength, nullptr, &type, data, &dataLength);
        if (read == ERROR_NO_MORE_ITEMS)
            break;
        if (read == ERROR_MORE_DATA)
            continue;   // not a COM name a driver wrote
        if (read != ERROR_SUCCESS) {
            error = std::string("cannot read HKLM\\") + kSerialComm + ": error " + std::to_string(read);
            break;
        }
        if (type != REG_SZ)
            continue;
        std::string name(reinterpret_cast<const char*>(data), dataLength);
        name.resize(std::strlen(name.c_str()));   // the stored terminator, if any
        if (name.empty())
            continue;
        ports.push_back({name, std::string(valueName, nameLength)});
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end(),
              [](const ComPortInfo& a, const ComPortInfo& b) { return NaturalLess(a.name, b.name); });
    return ports;
}

std::string FormatComPort(const ComPortInfo& port)
{
    std::string line = port.name;
    line.resize(std::max<size_t>(line.size() + 2, 16), ' ');
    return line + port.device;
}

}  // namespace tavrin::tool
