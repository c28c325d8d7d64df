// tavrin ports: the serial ports the system knows.
#include <cstdio>
#include <string>

#include "Commands.h"
#ifdef _WIN32
#include "ComPorts.h"
#else
#include "SerialPorts.h"
#endif

namespace tavrin::tool {

namespace {

#ifdef _WIN32
int RunPorts(bool)
{
    std::string error;
    const auto ports = ListComPorts(error);
    if (!error.empty()) {
        CommandError("ports", error);
        return 1;
    }
    if (ports.empty())
        CommandError("ports", "no COM ports under HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
    for (const auto& port : ports)
        std::printf("%s\n", FormatComPort(port).c_str());
    return 0;
}
#else
int RunPorts(bool includeUnknown)
{
    const auto root = SysfsRoot();
    std::string error;
    const auto ports = ListSerialPorts(root, includeUnknown, error);
    if (!error.empty()) {
        CommandError("ports", error);
        return 1;
    }
    if (ports.empty())
        CommandError("ports", "no serial devices under " + root.string() + "/class/tty");
    for (const auto& port : ports)
        std::printf("%s\n", FormatSerialPort(port).c_str());
    return 0;
}
#endif

}  // namespace

void AddPortsCommand(CommandLine& line, int& status)
{
#ifdef _WIN32
    Command command = line.Add(
        "ports", "list the COM ports (HARDWARE\\DEVICEMAP\\SERIALCOMM) and their devices");
    auto all = std::make_shared<bool>(false);
    command.Flag("--all", *all, "Linux only: the UART slots it adds are the sysfs's");
    command.OnRun([&status, all] {
        if (*all) {
            CommandError("ports", "--all lists the UART slots of the Linux sysfs; every COM port is listed here");
            status = 2;
            return;
        }
        status = RunPorts(false);
    });
#else
    Command command = line.Add(
        "ports", "list the serial devices (/sys/class/tty): driver, USB vendor, product, serial");
    auto all = std::make_shared<bool>(false);
    command.Flag("--all", *all, "include UART slots with no chip found");
    command.OnRun([&status, all] { status = RunPorts(*all); });
#endif
}

}  // namespace tavrin::tool
