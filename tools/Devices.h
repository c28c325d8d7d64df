// Devices named by a DEVICE argument: the loopback device, a serial port or
// a socket (CLan).
#pragma once

#include <tavrin/Tavrin.h>

#include <memory>
#include <string>

#include "DeviceArg.h"
#include <tavrin/net/Lan.h>

namespace tavrin::tool {

// The device, not yet connected, so that the host can attach its window
// first and hear the connect; nullptr with a reason when this build of the
// library cannot make it.
std::unique_ptr<CDevice> CreateDevice(const DeviceArgument& argument, std::string& error);
// Loopback: Connect(). Serial: Connect(path, &dcb) with the settings given,
// or Connect(path, NULL) with the stored ones (the baud rate given, if any),
// the path resolved and its UUCP lock taken first (PortLock.h; UnlockPort
// with the device gives it up).
// tcp: Connect(host, port); listen: DoListening(port); udp-reply:
// AutoReply(port, text); broadcast: SendBroadcast(text, port).
bool ConnectDevice(CDevice& device, const DeviceArgument& argument, std::string& error);
// The path to open: the one given, or the device an adapter named by its
// USB ids is at now.
bool ResolveSerialPath(const SerialArgument& serial, std::string& path, std::string& error);
// "loopback", "/dev/ttyUSB0 at 115200,8,N,1,none", "TCP 127.0.0.1:23".
std::string DescribeDevice(const DeviceArgument& argument);
// The --telnet-refuse option, before the device is connected. Only the
// stream devices know Telnet: false with a reason for any other.
bool RefuseTelnetOptions(CDevice& device, const DeviceArgument& argument, std::string& error);
// The texts of the command-line options the socket devices need, checked
// against the device: --allow only for listen:, --telnet-refuse only for
// tcp: and listen:.
bool CheckNetOptions(const DeviceArgument& argument, bool hasAllow, bool telnetRefuse, std::string& error);

}  // namespace tavrin::tool
