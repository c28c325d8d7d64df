// tavrin demo: a loopback device written from a second thread, every
// notification printed.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "Host.h"

namespace tavrin::tool {

namespace {

int RunDemo()
{
    Host host(stdout);
    CDevice device;
    CString name;
    device.GetName(name);
    host.Attach(device, name);
    if (!device.Connect() || !device.IsConnected()) {
        std::fprintf(stderr, "tavrin: the loopback device did not start\n");
        return 1;
    }
    std::printf("connected %s device; writing 3 blocks from a second thread\n", static_cast<LPCSTR>(name));
    RunWhilePumping(host, [&] {
        const std::vector<std::string> blocks = {"Hello, loopback!", std::string("AT\r\n", 4),
                                                 std::string("bytes \x00\x7f\xff", 9)};
        for (const std::string& block : blocks) {
            std::vector<BYTE> bytes(block.begin(), block.end());
            device.Write(bytes.data(), static_cast<DWORD>(bytes.size()));
        }
    });
    device.Disconnect();
    std::printf("disconnected; %d notifications\n", host.Notifications());
    return host.Notifications() == 3 ? 0 : 1;
}

}  // namespace

void AddDemoCommand(CommandLine& line, int& status)
{
    Command command = line.Add(
        "demo", "a loopback device written from a second thread; every notification printed");
    command.OnRun([&status] { status = RunDemo(); });
}

}  // namespace tavrin::tool
