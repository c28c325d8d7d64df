// Devices named by a DEVICE argument: the loopback device or a serial port.
#pragma once

#include <tavrin/Tavrin.h>

#include <memory>
#include <string>

#include "DeviceArg.h"

namespace tavrin::tool {

// The device, not yet connected, so that the host can attach its window
// first and hear the connect; nullptr with a reason when this build of the
// library cannot make it.
std::unique_ptr<CDevice> CreateDevice(const DeviceArgument& argument, std::string& error);
// Loopback: Connect(). Serial: Connect(path, &dcb) with the settings given,
// or Connect(path, NULL) with the stored ones (the baud rate given, if any).
bool ConnectDevice(CDevice& device, const DeviceArgument& argument, std::string& error);
// "loopback", "/dev/ttyUSB0 at 115200,8,N,1,none".
std::string DescribeDevice(const DeviceArgument& argument);

}  // namespace tavrin::tool
