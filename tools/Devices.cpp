#include "Devices.h"

#include "Host.h"
#include "PortLock.h"
#ifndef _WIN32
#include "SerialPorts.h"
#endif

namespace tavrin::tool {

namespace {

// The socket error of the failed call, when it left one.
std::string SocketErrorSuffix()
{
    const int code = WSAGetLastError();
    return code != 0 ? " (error " + std::to_string(code) + ")" : std::string();
}

bool ConnectLan(CLan& lan, const DeviceArgument& argument, std::string& error)
{
    const NetArgument& net = argument.net;
    WSASetLastError(0);
    switch (argument.kind) {
    case DeviceArgument::Kind::Tcp:
        if (lan.Connect(CString(net.host.c_str()), net.port) && lan.IsConnected())
            return true;
        error = "cannot connect to " + net.host + ":" + std::to_string(net.port) + SocketErrorSuffix();
        return false;
    case DeviceArgument::Kind::Listen:
        if (lan.DoListening(net.port))
            return true;
        error = "cannot listen on port " + std::to_string(net.port) + SocketErrorSuffix();
        return false;
    case DeviceArgument::Kind::UdpReply:
        if (lan.AutoReply(net.port, CString(net.text.c_str())) && lan.IsConnected())
            return true;
        error = "cannot answer datagrams on port " + std::to_string(net.port) + SocketErrorSuffix();
        return false;
    case DeviceArgument::Kind::Broadcast:
        lan.SendBroadcast(CString(net.text.c_str()), net.port);
        if (lan.IsConnected())
            return true;
        error = "cannot broadcast to port " + std::to_string(net.port) + SocketErrorSuffix();
        return false;
    default:
        error = "not a socket device";
        return false;
    }
}

}  // namespace

std::unique_ptr<CDevice> CreateDevice(const DeviceArgument& argument, std::string& error)
{
    if (argument.kind == DeviceArgument::Kind::Loopback)
        return std::make_unique<CDevice>();
    if (argument.kind == DeviceArgument::Kind::Rfc2217)
        return std::make_unique<CRemoteCom>();
    if (argument.IsSocket()) {
        return std::make_unique<CLan>();
    }
    (void)error;
    const SerialArgument& serial = argument.serial;
    // The port number only names the device ("COM3:..."); the path decides
    // what is opened.
    const int number = ComPortNumber(serial.path);
    return std::make_unique<CCom>(static_cast<BYTE>(number != 0 ? number : 1),
                                  serial.hasBaudRate ? serial.baudRate : 9600);
}

bool ResolveSerialPath(const SerialArgument& serial, std::string& path, std::string& error)
{
#ifndef _WIN32
    if (serial.byUsb)
        return FindUsbPort(SysfsRoot(), serial.usb, path, error);
#else
    (void)error;   // the parser refuses usb: here
#endif
    path = serial.path;
#ifdef _WIN32
    path = WindowsDevicePath(path);
#endif
    return true;
}

bool ConnectDevice(CDevice& device, const DeviceArgument& argument, std::string& error)
{
    if (argument.kind == DeviceArgument::Kind::Loopback) {
        if (device.Connect() && device.IsConnected())
            return true;
        error = "the loopback device did not start";
        return false;
    }
    if (argument.kind == DeviceArgument::Kind::Rfc2217) {
        DCB dcb;
        FillDcb(argument.serial, dcb);
        SetLastError(0);
        WSASetLastError(0);
        if (static_cast<CRemoteCom&>(device).Connect(CString(argument.net.host.c_str()), argument.net.port, &dcb))
            return true;
        const DWORD code = GetLastError();
        error = "cannot open the remote port " + argument.net.host + ":" + std::to_string(argument.net.port);
        if (code == ERROR_NOT_SUPPORTED)
            error += ": the server does not offer RFC 2217 (Com Port Control)";
        else if (code == ERROR_INVALID_PARAMETER)
            error += ": the server's port did not take " + DescribeSettings(argument.serial);
        else if (code == ERROR_TIMEOUT)
            error += ": the server did not answer";
        else
            error += SocketErrorSuffix();
        return false;
    }
    if (argument.IsSocket()) {
        return ConnectLan(static_cast<CLan&>(device), argument, error);
    }
    const SerialArgument& serial = argument.serial;
    auto& com = static_cast<CCom&>(device);
    std::string path;
    if (!ResolveSerialPath(serial, path, error) || !LockPort(&device, path, error))
        return false;
    SetLastError(0);
    BOOL connected = FALSE;
    if (serial.hasLineSettings) {
        DCB dcb;
        FillDcb(serial, dcb);
        connected = com.Connect(path.c_str(), &dcb);
    } else {
        connected = com.Connect(path.c_str(), NULL);
    }
    if (connected && com.IsConnected())
        return true;
    const DWORD code = GetLastError();
    UnlockPort(&device);
    error = "cannot open " + path + " with " + DescribeSettings(serial);
    if (code == ERROR_ACCESS_DENIED) {
        // Another program has it open for itself (flock, TIOCEXCL).
        const std::string holder = DescribePortHolder(path);
        error += ": in use by " + (holder.empty() ? std::string("another program") : holder);
    } else if (code != 0) {
        error += " (error " + std::to_string(code) + ")";
    }
    return false;
}

std::string DescribeDevice(const DeviceArgument& argument)
{
    const NetArgument& net = argument.net;
    switch (argument.kind) {
    case DeviceArgument::Kind::Loopback:
        return "loopback";
    case DeviceArgument::Kind::Serial:
        return (argument.serial.byUsb ? DescribeUsbIdentity(argument.serial.usb) : argument.serial.path) + " at " +
               DescribeSettings(argument.serial);
    case DeviceArgument::Kind::Tcp:
        return "TCP " + net.host + ":" + std::to_string(net.port);
    case DeviceArgument::Kind::Rfc2217:
        return "RFC 2217 port " + net.host + ":" + std::to_string(net.port) + " at " + DescribeSettings(argument.serial);
    case DeviceArgument::Kind::Listen:
        return "TCP port " + std::to_string(net.port) + ", listening";
    case DeviceArgument::Kind::UdpReply:
        return "UDP port " + std::to_string(net.port) + ", answering \"" +
               Readable(reinterpret_cast<const BYTE*>(net.text.data()), net.text.size()) + "\"";
    case DeviceArgument::Kind::Broadcast:
        return "UDP broadcast of \"" + Readable(reinterpret_cast<const BYTE*>(net.text.data()), net.text.size()) +
               "\" to port " + std::to_string(net.port);
    }
    return "?";
}

bool RefuseTelnetOptions(CDevice& device, const DeviceArgument& argument, std::string& error)
{
    if (!argument.IsStream()) {
        error = std::string("--telnet-refuse needs a tcp: or listen: device, not ") + KindName(argument.kind);
        return false;
    }
    static_cast<CLan&>(device).SetRefuseTelnetOptions(TRUE);
    return true;
}

bool CheckNetOptions(const DeviceArgument& argument, bool hasAllow, bool telnetRefuse, std::string& error)
{
    if (hasAllow && argument.kind != DeviceArgument::Kind::Listen) {
        error = std::string("--allow picks the callers of a listen: device; ") + KindName(argument.kind) +
                " has no callers";
        return false;
    }
    if (telnetRefuse && !argument.IsStream()) {
        error = std::string("--telnet-refuse needs a tcp: or listen: device, not ") + KindName(argument.kind);
        return false;
    }
    return true;
}

}  // namespace tavrin::tool
