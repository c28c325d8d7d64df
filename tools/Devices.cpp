#include "Devices.h"

namespace tavrin::tool {

std::unique_ptr<CDevice> CreateDevice(const DeviceArgument& argument, std::string& error)
{
    if (argument.kind == DeviceArgument::Kind::Loopback)
        return std::make_unique<CDevice>();
#if TAVRIN_TOOL_HAS_SERIAL
    (void)error;
    const SerialArgument& serial = argument.serial;
    // The port number only names the device ("COM3:..."); the path decides
    // what is opened.
    const int number = ComPortNumber(serial.path);
    return std::make_unique<CCom>(static_cast<BYTE>(number != 0 ? number : 1),
                                  serial.hasBaudRate ? serial.baudRate : 9600);
#else
    error = "this build of the library has no serial ports yet";
    return nullptr;
#endif
}

bool ConnectDevice(CDevice& device, const DeviceArgument& argument, std::string& error)
{
    if (argument.kind == DeviceArgument::Kind::Loopback) {
        if (device.Connect() && device.IsConnected())
            return true;
        error = "the loopback device did not start";
        return false;
    }
#if TAVRIN_TOOL_HAS_SERIAL
    const SerialArgument& serial = argument.serial;
    auto& com = static_cast<CCom&>(device);
    SetLastError(0);
    BOOL connected = FALSE;
    if (serial.hasLineSettings) {
        DCB dcb;
        FillDcb(serial, dcb);
        connected = com.Connect(serial.path.c_str(), &dcb);
    } else {
        connected = com.Connect(serial.path.c_str(), NULL);
    }
    if (connected && com.IsConnected())
        return true;
    const DWORD code = GetLastError();
    error = "cannot open " + serial.path + " with " + DescribeSettings(serial);
    if (code != 0)
        error += " (error " + std::to_string(code) + ")";
    return false;
#else
    (void)device;
    error = "this build of the library has no serial ports yet";
    return false;
#endif
}

std::string DescribeDevice(const DeviceArgument& argument)
{
    if (argument.kind == DeviceArgument::Kind::Loopback)
        return "loopback";
    return argument.serial.path + " at " + DescribeSettings(argument.serial);
}

}  // namespace tavrin::tool
