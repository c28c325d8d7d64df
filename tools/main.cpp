// tavrin: a command-line host of the library.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Host.h"

namespace {

using tavrin::tool::Host;
using tavrin::tool::kHostDone;

void PrintUsage(FILE* out)
{
    std::fputs(
        "usage: tavrin <command> [options]\n"
        "\n"
        "commands:\n"
        "  demo        connect a loopback device, write a few blocks from a second\n"
        "              thread and print every notification the window receives\n"
        "\n"
        "options:\n"
        "  --help      show this text\n"
        "  --version   show the library version\n",
        out);
}

struct DemoWork {
    CDevice* device;
    HWND window;
};

DWORD WINAPI DemoWriter(LPVOID pParam)
{
    auto* work = static_cast<DemoWork*>(pParam);
    const std::vector<std::string> blocks = {"Hello, loopback!", std::string("AT\r\n", 4),
                                             std::string("\x01" "binary\x00\xff", 9)};
    for (const std::string& block : blocks) {
        std::vector<BYTE> bytes(block.begin(), block.end());
        work->device->Write(bytes.data(), static_cast<DWORD>(bytes.size()));
    }
    PostMessageA(work->window, kHostDone, 0, 0);
    return 0;
}

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

    // The loopback Write runs the data cycle on the writing thread and the
    // workers notify this thread's window, so the writes come from another
    // thread while this one pumps messages.
    DemoWork work{&device, host.Window()};
    HANDLE writer = CreateThread(nullptr, 0, DemoWriter, &work, 0, nullptr);
    if (!writer) {
        std::fprintf(stderr, "tavrin: cannot start the writer thread\n");
        return 1;
    }
    host.RunUntilDone();
    WaitForSingleObject(writer, INFINITE);
    CloseHandle(writer);
    device.Disconnect();
    std::printf("disconnected; %d notifications\n", host.Notifications());
    return host.Notifications() == 3 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        PrintUsage(stderr);
        return 2;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        PrintUsage(stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("tavrin %s\n", TAVRIN_VERSION_STRING);
        return 0;
    }
    if (command == "demo")
        return RunDemo();
    std::fprintf(stderr, "tavrin: unknown command '%s'\n\n", command.c_str());
    PrintUsage(stderr);
    return 2;
}
