// The machine's serial devices as sysfs describes them: every tty of
// /sys/class/tty that has a device behind it (ttyS*, ttyUSB*, ttyACM*, ...),
// never the virtual consoles, ptmx or console, with the driver and, for USB
// adapters, what identifies the adapter a person just plugged in.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "DeviceArg.h"

namespace tavrin::tool {

struct SerialPortInfo {
    std::string name;        // ttyUSB0
    std::string devicePath;  // /dev/ttyUSB0
    std::string driver;      // ftdi_sio, cdc_acm, serial8250, ...
    bool usb = false;
    std::string vendorId, productId, manufacturer, product, serialNumber;
    std::string interfaceNumber;  // set for adapters with more than one interface
};

// sysfsRoot is "/sys" on a real machine. With includeUnknown, UART ports the
// serial core found no chip behind (type 0) are listed too.
std::vector<SerialPortInfo> ListSerialPorts(const std::filesystem::path& sysfsRoot, bool includeUnknown,
                                            std::string& error);
std::string FormatSerialPort(const SerialPortInfo& port);
// The device of the one USB adapter that usb names; false with the reason
// when none does, or when several do (they are listed: a serial number or a
// by-id path tells them apart).
bool FindUsbPort(const std::filesystem::path& sysfsRoot, const UsbIdentity& usb, std::string& devicePath,
                 std::string& error);
// "/sys", or TAVRIN_SYSFS_ROOT when set (the tests build a sysfs of their own).
std::filesystem::path SysfsRoot();

}  // namespace tavrin::tool
