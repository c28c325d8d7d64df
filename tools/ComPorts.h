// The COM ports Windows knows: the values of the registry key
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, which each serial driver fills with
// its device's name and the COM name it was given, and empties when the
// device goes away.
#pragma once

#include <string>
#include <vector>

namespace tavrin::tool {

struct ComPortInfo {
    std::string name;     // COM3
    std::string device;   // \Device\Serial0, \Device\VCP0, ...
};

// In natural order (COM2 before COM10). No key is no ports; error is set
// only when the key is there and cannot be read.
std::vector<ComPortInfo> ListComPorts(std::string& error);
std::string FormatComPort(const ComPortInfo& port);

}  // namespace tavrin::tool
