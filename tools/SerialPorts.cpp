#include "SerialPorts.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <system_error>

namespace tavrin::tool {

namespace fs = std::filesystem;

namespace {

std::string ReadAttribute(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line))
        return {};
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : line.substr(first);
}

// tty, tty0..tty63 (virtual consoles), console and ptmx are terminals of the
// machine itself, never a port.
bool IsConsoleName(const std::string& name)
{
    if (name == "console" || name == "ptmx" || name == "tty")
        return true;
    return name.size() > 3 && name.compare(0, 3, "tty") == 0 &&
           std::all_of(name.begin() + 3, name.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

std::string DeviceNode(const fs::path& ttyDir, const std::string& name)
{
    std::ifstream uevent(ttyDir / "uevent");
    std::string line;
    while (std::getline(uevent, line)) {
        if (line.rfind("DEVNAME=", 0) == 0)
            return "/dev/" + line.substr(8);
    }
    return "/dev/" + name;
}

std::string LinkName(const fs::path& link)
{
    std::error_code ec;
    const fs::path target = fs::canonical(link, ec);
    return ec ? std::string() : target.filename().string();
}

// Newer kernels put the serial core's own controller and port devices
// (bus serial-base, drivers "ctrl" and "port") between a UART's tty and the
// device of its chip; the driver a person knows is that chip's.
std::string DriverOf(const fs::path& device)
{
    std::error_code ec;
    fs::path at = fs::canonical(device, ec);
    if (ec)
        return LinkName(device / "driver");
    for (int depth = 0; depth < 4 && LinkName(at / "subsystem") == "serial-base"; ++depth)
        at = at.parent_path();
    return LinkName(at / "driver");
}

// A USB serial port's device is the port (ttyUSB) or the interface
// (ttyACM); the identifying attributes are on the USB device above them.
void DescribeUsb(const fs::path& device, const fs::path& sysfsRoot, SerialPortInfo& port)
{
    std::error_code ec;
    fs::path at = fs::canonical(device, ec);
    if (ec)
        return;
    const fs::path top = fs::canonical(sysfsRoot, ec);
    std::string interfaceNumber;
    for (int depth = 0; depth < 16 && !at.empty() && at != top && at != at.root_path(); ++depth, at = at.parent_path()) {
        if (interfaceNumber.empty() && fs::exists(at / "bInterfaceNumber", ec))
            interfaceNumber = ReadAttribute(at / "bInterfaceNumber");
        if (!fs::exists(at / "idVendor", ec))
            continue;
        port.usb = true;
        port.vendorId = ReadAttribute(at / "idVendor");
        port.productId = ReadAttribute(at / "idProduct");
        port.manufacturer = ReadAttribute(at / "manufacturer");
        port.product = ReadAttribute(at / "product");
        port.serialNumber = ReadAttribute(at / "serial");
        const std::string interfaces = ReadAttribute(at / "bNumInterfaces");
        if (!interfaces.empty() && std::atoi(interfaces.c_str()) > 1)
            port.interfaceNumber = interfaceNumber;
        return;
    }
}

// ttyS2 before ttyS10.
bool NaturalLess(const std::string& a, const std::string& b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei])))
                ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej])))
                ++ej;
            const std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            const unsigned long long va = std::stoull(na.substr(0, 18)), vb = std::stoull(nb.substr(0, 18));
            if (va != vb)
                return va < vb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

}  // namespace

fs::path SysfsRoot()
{
    const char* root = std::getenv("TAVRIN_SYSFS_ROOT");
    return root != nullptr && *root != '\0' ? fs::path(root) : fs::path("/sys");
}

std::vector<SerialPortInfo> ListSerialPorts(const fs::path& sysfsRoot, bool includeUnknown, std::string& error)
{
    std::vector<SerialPortInfo> ports;
    const fs::path classDir = sysfsRoot / "class" / "tty";
    std::error_code ec;
    fs::directory_iterator it(classDir, ec);
    if (ec) {
        error = "cannot read " + classDir.string() + ": " + ec.message();
        return ports;
    }
    for (const fs::directory_entry& entry : it) {
        const std::string name = entry.path().filename().string();
        const fs::path device = entry.path() / "device";
        if (IsConsoleName(name) || !fs::exists(device, ec))
            continue;
        // The serial core keeps a tty for every UART slot it reserved; type 0
        // means it found no chip there.
        const std::string type = ReadAttribute(entry.path() / "type");
        if (!includeUnknown && type == "0")
            continue;
        SerialPortInfo port;
        port.name = name;
        port.devicePath = DeviceNode(entry.path(), name);
        port.driver = DriverOf(device);
        DescribeUsb(device, sysfsRoot, port);
        ports.push_back(std::move(port));
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return NaturalLess(a.name, b.name); });
    return ports;
}

std::string FormatSerialPort(const SerialPortInfo& port)
{
    std::string line = port.devicePath;
    line.resize(std::max<size_t>(line.size() + 2, 16), ' ');
    std::string driver = port.driver.empty() ? "-" : port.driver;
    if (!port.usb)
        return line + driver;
    driver.resize(std::max<size_t>(driver.size() + 2, 14), ' ');
    line += driver + "usb " + (port.vendorId.empty() ? "?" : port.vendorId) + ":" +
            (port.productId.empty() ? "?" : port.productId);
    if (!port.manufacturer.empty())
        line += " \"" + port.manufacturer + "\"";
    if (!port.product.empty())
        line += " \"" + port.product + "\"";
    if (!port.serialNumber.empty())
        line += " serial " + port.serialNumber;
    if (!port.interfaceNumber.empty())
        line += " interface " + port.interfaceNumber;
    return line;
}

bool FindUsbPort(const fs::path& sysfsRoot, const UsbIdentity& usb, std::string& devicePath, std::string& error)
{
    const auto ports = ListSerialPorts(sysfsRoot, false, error);
    if (!error.empty())
        return false;
    const auto lower = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return text;
    };
    std::vector<const SerialPortInfo*> matches;
    for (const SerialPortInfo& port : ports) {
        if (port.usb && lower(port.vendorId) == usb.vendorId && lower(port.productId) == usb.productId &&
            (usb.serialNumber.empty() || port.serialNumber == usb.serialNumber))
            matches.push_back(&port);
    }
    if (matches.size() == 1) {
        devicePath = matches[0]->devicePath;
        return true;
    }
    if (matches.empty()) {
        error = "no serial device is " + DescribeUsbIdentity(usb) + " (`tavrin ports` lists those plugged in)";
        return false;
    }
    error = DescribeUsbIdentity(usb) + " is ambiguous: " + std::to_string(matches.size()) + " devices match:";
    for (const SerialPortInfo* port : matches)
        error += "\n  " + FormatSerialPort(*port);
    error += "\nname one by its serial number (serial:usb:VID:PID:SERIAL) or its path";
    return false;
}

}  // namespace tavrin::tool
