// tavrin: a command-line host of the library.
#include <cstdio>
#include <functional>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Bridge.h"
#ifdef _WIN32
#include "ComPorts.h"
#endif
#include "Callers.h"
#include "Devices.h"
#include "Host.h"
#include "Modems.h"
#include "NullModem.h"
#include "SerialPorts.h"
#include "Settings.h"
#include "Terminal.h"
#include "TerminalIo.h"

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
        "  script DEVICE TEXT [--value N=TEXT]... [--allow ADDRESS/MASK]... [--telnet-refuse]\n"
        "              [--load FILE] [--save FILE]\n"
        "              run one command text on DEVICE and print every notification\n"
        "              until the script has finished; --value answers the value\n"
        "              escape number N (%N...) with TEXT; --load reads the device's\n"
        "              settings from FILE before connecting (what DEVICE leaves open:\n"
        "              connect/disconnect commands, a port's line settings), --save\n"
        "              writes them once connected. On listen: the script runs\n"
        "              on the first caller admitted; callers' access texts are\n"
        "              printed, later callers are turned away\n"
        "  packet-demo two devices joined by an in-process null-modem cable exchange\n"
        "              packets; prints the bytes on the wire and every notification\n"
        "  term DEVICE [--allow ADDRESS/MASK]... [--telnet-refuse]\n"
        "              an interactive terminal: input is written to DEVICE (keys as\n"
        "              typed on a terminal, Ctrl-] quits; lines from a pipe), received\n"
        "              bytes go to stdout, notices to stderr. On listen: each caller's\n"
        "              access text is a notice, input goes to every admitted caller\n"
        "              and what they send goes to stdout\n"
        "  bridge DEVICE DEVICE [--allow ADDRESS/MASK]...\n"
        "              link two devices: what one receives the other sends, a zero\n"
        "              byte as a break (on a socket, a zero byte again); a listen:\n"
        "              side links one caller at a time and turns others away. Notices\n"
        "              to stderr. Ends on SIGINT/SIGTERM (status 0) or when a link\n"
        "              drops by itself (status 1); a caller leaving is not that\n"
#ifdef _WIN32
        "  ports       list the COM ports the system knows (HARDWARE\\DEVICEMAP\\SERIALCOMM)\n"
        "              with the device behind each\n"
#else
        "  ports [--all]\n"
        "              list the serial devices (/sys/class/tty) with their driver and,\n"
        "              for USB adapters, vendor, product and serial number; --all\n"
        "              includes UART slots with no chip found\n"
#endif
        "  modems [--registry PATH] [--choose N]\n"
        "              list the modems of the registry with their port, rate and\n"
        "              command strings, then select one (with several, on the\n"
        "              selection panel: arrow keys or a number, Enter) and print it\n"
        "  dial NUMBER [--registry PATH] [--choose N] [--pulse] [--step N] [--timeout MS]\n"
        "              open the selected modem (--step N: N rates below its own),\n"
        "              initialise it, dial NUMBER and show its answers; once it\n"
        "              says CONNECT, input goes to the line (Ctrl-] or the end of\n"
#ifdef _WIN32
        "              input hangs up). The registry is the system's; --registry\n"
        "              is refused there\n"
#else
        "              input hangs up). The registry is TAVRIN_REGISTRY, else\n"
        "              /etc/tavrin/registry, unless --registry names one\n"
#endif
        "\n"
        "DEVICE:\n"
        "  loopback    what is written comes straight back\n"
        "  serial:PATH[:BAUD[,DATA,PARITY,STOP[,FLOW]]]\n"
        "              a serial port, e.g. serial:/dev/ttyUSB0:115200,8,N,1,rtscts or\n"
        "              serial:COM3; PARITY N/O/E/M/S, STOP 1/1.5/2, FLOW none or\n"
        "              rtscts, dtrdsr, xonxoff joined with '+'\n"
        "  tcp:HOST:PORT\n"
        "              a TCP connection to HOST (a name or a dotted IPv4 address)\n"
        "  listen:PORT a TCP server on every local address; each caller is taken by a\n"
        "              device of its own\n"
        "  udp-reply:PORT:TEXT\n"
        "              a UDP socket on PORT that answers every datagram with TEXT\n"
        "              (nothing when TEXT is empty); the datagrams are its data\n"
        "  broadcast:PORT:TEXT\n"
        "              broadcasts TEXT to port PORT once; the answers are its data\n"
        "              PORT is 1 to 65535\n"
        "\n"
        "options:\n"
        "  --allow ADDRESS/MASK\n"
        "              listen: admits only callers whose address, masked, is ADDRESS\n"
        "              masked; MASK dotted (255.0.0.0) or a prefix length (8); repeat\n"
        "              for more; without it every caller is admitted. Callers outside\n"
        "              are disconnected once their access text is printed\n"
        "  --telnet-refuse\n"
        "              tcp:/listen: take Telnet commands out of what is received and\n"
        "              refuse every option the peer asks for\n"
        "  --help      show this text\n"
        "  --version   show the library version\n",
        out);
}

// --allow ADDRESS/MASK or --allow=ADDRESS/MASK at argv[i] (i is moved past
// its value): 1 taken, 0 not this option, -1 malformed (error says why).
int TakeAllowOption(int argc, char** argv, int& i, std::vector<tavrin::tool::AccessRule>& rules, std::string& error)
{
    const std::string option = argv[i];
    std::string value;
    if (option == "--allow") {
        if (i + 1 >= argc) {
            error = "--allow needs ADDRESS/MASK, for example --allow 127.0.0.0/8";
            return -1;
        }
        value = argv[++i];
    } else if (option.rfind("--allow=", 0) == 0) {
        value = option.substr(8);
    } else {
        return 0;
    }
    tavrin::tool::AccessRule rule;
    if (!tavrin::tool::ParseAccessRule(value, rule, error))
        return -1;
    rules.push_back(rule);
    return 1;
}

// Runs work on a second thread while this one pumps the host window; the
// workers notify that window synchronously, so the thread that owns it must
// not be the one that writes.
void RunWhilePumping(Host& host, const std::function<void()>& work)
{
    std::thread worker([&] {
        work();
        PostMessageA(host.Window(), kHostDone, 0, 0);
    });
    host.RunUntilDone();
    worker.join();
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

// The script runs on the first caller admitted; the listener turns away
// the others meanwhile. Access texts go to stdout with the notifications.
int RunScriptOnCaller(Host& host, CDevice& listener, const tavrin::tool::DeviceArgument& argument,
                      const std::vector<tavrin::tool::AccessRule>& allow, bool refuseTelnet, const std::string& text)
{
    using tavrin::tool::CallerDesk;
    std::shared_ptr<CDevice> chosen;
    int chosenId = 0;
    bool closing = false;
    bool listenerDropped = false;
    CallerDesk::Hooks hooks;
    hooks.vacancy = [&](const CallerDesk::Caller&) {
        return chosen ? "the script runs on caller " + std::to_string(chosenId) : std::string();
    };
    hooks.admitted = [&](CallerDesk::Caller& caller) {
        chosen = caller.device;
        chosenId = caller.id;
        PostMessageA(host.Window(), kHostDone, 0, 0);
    };
    // Its workers must run until the script is over, gone or not.
    hooks.holdAdmitted = true;
    CallerDesk callers(host, allow, refuseTelnet, [](const std::string& line) { tavrin::tool::PrintLine(stdout, line); },
                       std::move(hooks));
    const int listenerNumber = host.Attach(listener, "listen");
    host.SetResponder([&](int number, int index, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (number == listenerNumber) {
            if (index == DEVMSG_CALL)
                callers.TakeCall(listener);
            if (index == DEVMSG_DISCONNECTED && !closing) {
                listenerDropped = true;
                PostMessageA(host.Window(), kHostDone, 0, 0);
            }
            return 0;
        }
        callers.Handle(number, index, wParam, lParam);
        return 0;
    });
    std::string error;
    if (!tavrin::tool::ConnectDevice(listener, argument, error)) {
        std::fprintf(stderr, "tavrin script: %s\n", error.c_str());
        return 1;
    }
    tavrin::tool::PrintLine(stdout, "waiting for a caller on port " + std::to_string(argument.net.port));
    while (!chosen && !listenerDropped)
        host.RunUntilDone();
    int status = 1;
    if (chosen) {
        RunWhilePumping(host, [&] {
            chosen->WriteEx(text.c_str());
            chosen->WaitToIdle(-1);
        });
        status = 0;
    } else {
        std::fprintf(stderr, "tavrin script: the listener went down before a caller came\n");
    }
    closing = true;
    callers.StopTaking();
    listener.Disconnect();
    callers.CloseAll();
    std::printf("script finished; %d notifications\n", host.Notifications());
    return status;
}

int RunScript(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "tavrin script: needs DEVICE and TEXT\n");
        return 2;
    }
    tavrin::tool::DeviceArgument argument;
    std::string error;
    if (!tavrin::tool::ParseDeviceArgument(argv[2], argument, error)) {
        std::fprintf(stderr, "tavrin script: %s\n", error.c_str());
        return 2;
    }
    Host host(stdout);
    std::vector<tavrin::tool::AccessRule> allow;
    bool refuseTelnet = false;
    std::string loadPath, savePath;
    for (int i = 4; i < argc; ++i) {
        const std::string option = argv[i];
        const int taken = TakeAllowOption(argc, argv, i, allow, error);
        if (taken < 0) {
            std::fprintf(stderr, "tavrin script: %s\n", error.c_str());
            return 2;
        }
        if (taken > 0)
            continue;
        if (option == "--telnet-refuse") {
            refuseTelnet = true;
            continue;
        }
        if ((option == "--load" || option == "--save") && i + 1 < argc) {
            (option == "--load" ? loadPath : savePath) = argv[++i];
            continue;
        }
        std::string value;
        if (option == "--value" && i + 1 < argc)
            value = argv[++i];
        else if (option.rfind("--value=", 0) == 0)
            value = option.substr(8);
        const size_t equals = value.find('=');
        if (value.empty() || equals == std::string::npos || equals == 0) {
            std::fprintf(stderr, "tavrin script: expected --value N=TEXT, got '%s'\n", option.c_str());
            return 2;
        }
        host.SetValue(std::atoi(value.substr(0, equals).c_str()), value.substr(equals + 1));
    }
    if (!tavrin::tool::CheckNetOptions(argument, !allow.empty(), refuseTelnet, error)) {
        std::fprintf(stderr, "tavrin script: %s\n", error.c_str());
        return 2;
    }
    std::unique_ptr<CDevice> device = tavrin::tool::CreateDevice(argument, error);
    if (!device) {
        std::fprintf(stderr, "tavrin script: %s\n", error.c_str());
        return 1;
    }
    // Loaded settings give what the DEVICE argument leaves open: the
    // connect and disconnect commands with their switches, and a serial
    // port's line settings when the argument names none.
    if (!loadPath.empty() && !tavrin::tool::LoadSettings(*device, loadPath, error)) {
        std::fprintf(stderr, "tavrin script: %s\n", error.c_str());
        return 1;
    }
    const std::string text = argv[3];
    if (argument.kind == tavrin::tool::DeviceArgument::Kind::Listen)
        return RunScriptOnCaller(host, *device, argument, allow, refuseTelnet, text);
    host.Attach(*device, tavrin::tool::KindName(argument.kind));
    if (refuseTelnet && !tavrin::tool::RefuseTelnetOptions(*device, argument, error)) {
        std::fprintf(stderr, "tavrin script: %s\n", error.c_str());
        return 2;
    }
    if (!tavrin::tool::ConnectDevice(*device, argument, error)) {
        std::fprintf(stderr, "tavrin script: %s\n", error.c_str());
        return 1;
    }
    // Saved once connected: the record then holds the settings in use.
    if (!savePath.empty() && !tavrin::tool::SaveSettings(*device, savePath, error)) {
        std::fprintf(stderr, "tavrin script: %s\n", error.c_str());
        device->Disconnect();
        return 1;
    }
    RunWhilePumping(host, [&] {
        device->WriteEx(text.c_str());
        // Idle once the whole script has run and a second has passed quietly.
        device->WaitToIdle(-1);
    });
    device->Disconnect();
    std::printf("script finished; %d notifications\n", host.Notifications());
    return 0;
}

// B opens with ENQ and a frame; A answers ENQ and sends its packets, which B
// acknowledges; when A has nothing more it cancels, and B hears of it.
int RunPacketDemo()
{
    using tavrin::tool::NullModemDevice;
    Host host(stdout);
    const auto tap = [](const NullModemDevice& from, const NullModemDevice& to, const BYTE* pData, DWORD dwLength) {
        tavrin::tool::PrintLine(stdout, "  " + from.Name() + " -> " + to.Name() + ": " +
                                            tavrin::tool::Readable(pData, dwLength, true));
    };
    NullModemDevice a("A", tap), b("B", tap);
    a.Join(b);
    const int numberA = host.Attach(a, "A");
    host.Attach(b, "B");
    const std::vector<std::string> outgoing = {"packet 1", "packet 2 with \x03 and \x18 escaped", "packet 3"};
    size_t next = 0;
    bool finished = false;
    host.SetResponder([&](int device, int index, WPARAM wParam, LPARAM lParam) -> LRESULT {
        const bool isA = device == numberA;
        switch (index) {
        case DEVMSG_PACKET:
            return isA ? PACKET_ENQ : PACKET_ACK;
        case DEVMSG_PACKET_REQUEST: {
            if (!isA || next == outgoing.size())
                return 0;
            const std::string& payload = outgoing[next++];
            return static_cast<LRESULT>(EscapePacketPayload(reinterpret_cast<const BYTE*>(payload.data()),
                                                            static_cast<DWORD>(payload.size()),
                                                            reinterpret_cast<BYTE*>(lParam),
                                                            static_cast<DWORD>(wParam)));
        }
        case DEVMSG_PACKET_CANCEL:
            if (!isA) {
                finished = true;
                PostMessageA(host.Window(), kHostDone, 0, 0);
            }
            return 0;
        default:
            return 0;
        }
    });
    if (!a.Connect() || !b.Connect() || !a.IsConnected() || !b.IsConnected()) {
        std::fprintf(stderr, "tavrin: the devices did not start\n");
        return 1;
    }
    a.ChangeMode(MODE_PACKET);
    b.ChangeMode(MODE_PACKET);

    BYTE frame[PACKET_MAX_FRAME + 1];
    frame[0] = PACKET_ENQ;
    const char hello[] = "hello from B";
    const DWORD length = BuildPacketFrame(reinterpret_cast<const BYTE*>(hello), sizeof hello - 1, frame + 1,
                                          PACKET_MAX_FRAME);
    std::printf("B's host opens the exchange with ENQ and a frame\n");
    b.Write(frame, length + 1);
    // A stuck exchange ends the demo instead of hanging it.
    host.RunUntilDone(10000);
    // A writes its CAN before it leaves packet mode; once its workers have
    // stopped, the mode is settled.
    a.Disconnect();
    b.Disconnect();
    const DWORD modeA = a.Mode(), modeB = b.Mode();
    std::printf("%s; %d notifications; receive modes afterwards A=%lu B=%lu\n",
                finished ? "link cancelled by A" : "timed out", host.Notifications(),
                static_cast<unsigned long>(modeA), static_cast<unsigned long>(modeB));
    return finished ? 0 : 1;
}

#ifdef _WIN32
int RunPorts(int argc, char** argv)
{
    if (argc > 2) {
        std::fprintf(stderr, "tavrin ports: unknown option '%s'%s\n", argv[2],
                     std::strcmp(argv[2], "--all") == 0 ? " (the UART slots it adds are the Linux sysfs's)" : "");
        return 2;
    }
    std::string error;
    const auto ports = tavrin::tool::ListComPorts(error);
    if (!error.empty()) {
        std::fprintf(stderr, "tavrin ports: %s\n", error.c_str());
        return 1;
    }
    if (ports.empty())
        std::fprintf(stderr, "tavrin ports: no COM ports under HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM\n");
    for (const auto& port : ports)
        std::printf("%s\n", tavrin::tool::FormatComPort(port).c_str());
    return 0;
}
#else
int RunPorts(int argc, char** argv)
{
    bool includeUnknown = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--all") == 0) {
            includeUnknown = true;
        } else {
            std::fprintf(stderr, "tavrin ports: unknown option '%s'\n", argv[i]);
            return 2;
        }
    }
    const auto root = tavrin::tool::SysfsRoot();
    std::string error;
    const auto ports = tavrin::tool::ListSerialPorts(root, includeUnknown, error);
    if (!error.empty()) {
        std::fprintf(stderr, "tavrin ports: %s\n", error.c_str());
        return 1;
    }
    if (ports.empty())
        std::fprintf(stderr, "tavrin ports: no serial devices under %s/class/tty\n", root.c_str());
    for (const auto& port : ports)
        std::printf("%s\n", tavrin::tool::FormatSerialPort(port).c_str());
    return 0;
}
#endif

// The DEVICE arguments and the options of term and bridge: --allow (any
// number) and --telnet-refuse. 0 when they read well, else the exit status
// after a message.
int ParseDeviceCommand(const char* command, int argc, char** argv, size_t deviceCount,
                       std::vector<std::string>& devices, std::vector<tavrin::tool::AccessRule>& allow,
                       bool& refuseTelnet)
{
    std::string error;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const int taken = TakeAllowOption(argc, argv, i, allow, error);
        if (taken < 0) {
            std::fprintf(stderr, "tavrin %s: %s\n", command, error.c_str());
            return 2;
        }
        if (taken > 0)
            continue;
        if (arg == "--telnet-refuse") {
            refuseTelnet = true;
        } else if (arg.rfind("--", 0) == 0) {
            std::fprintf(stderr, "tavrin %s: unknown option '%s'\n", command, arg.c_str());
            return 2;
        } else {
            devices.push_back(arg);
        }
    }
    if (devices.size() != deviceCount) {
        std::fprintf(stderr, deviceCount == 1 ? "tavrin %s: needs exactly one DEVICE\n" : "tavrin %s: needs two DEVICEs\n",
                     command);
        return 2;
    }
    return 0;
}

int RunTerm(int argc, char** argv)
{
    tavrin::tool::TerminalOptions options;
    std::vector<std::string> devices;
    if (const int status = ParseDeviceCommand("term", argc, argv, 1, devices, options.allow, options.refuseTelnet))
        return status;
    options.device = devices[0];
    return tavrin::tool::RunTerminal(options);
}

int RunBridgeCommand(int argc, char** argv)
{
    tavrin::tool::BridgeOptions options;
    std::vector<std::string> devices;
    bool refuseTelnet = false;
    if (const int status = ParseDeviceCommand("bridge", argc, argv, 2, devices, options.allow, refuseTelnet))
        return status;
    if (refuseTelnet) {
        std::fprintf(stderr, "tavrin bridge: --telnet-refuse does nothing on a bridge: linked devices pass "
                             "Telnet commands on unchanged\n");
        return 2;
    }
    options.first = devices[0];
    options.second = devices[1];
    return tavrin::tool::RunBridge(options);
}

// The options of modems and dial. 0 when they read well, else the exit
// status after a message.
int ParseModemOptions(const char* command, int argc, char** argv, std::vector<std::string>& words,
                      std::string& registry, int& choose, bool* pulse, int* step, int* timeoutMs)
{
    const auto number = [&](int& i, int low, int high, int& value) {
        if (i + 1 >= argc) {
            std::fprintf(stderr, "tavrin %s: %s needs a value\n", command, argv[i]);
            return false;
        }
        char* end = nullptr;
        const long parsed = std::strtol(argv[i + 1], &end, 10);
        if (*argv[i + 1] == '\0' || *end != '\0' || parsed < low || parsed > high) {
            std::fprintf(stderr, "tavrin %s: %s takes a number from %d to %d\n", command, argv[i], low, high);
            return false;
        }
        value = static_cast<int>(parsed);
        ++i;
        return true;
    };
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--registry" && i + 1 < argc) {
            registry = argv[++i];
        } else if (arg == "--choose") {
            if (!number(i, 1, 256, choose))
                return 2;
        } else if (arg == "--pulse" && pulse) {
            *pulse = true;
        } else if (arg == "--step" && step) {
            if (!number(i, -14, 14, *step))
                return 2;
        } else if (arg == "--timeout" && timeoutMs) {
            if (!number(i, 1, 3600000, *timeoutMs))
                return 2;
        } else if (arg.rfind("--", 0) == 0) {
            std::fprintf(stderr, "tavrin %s: unknown option '%s'\n", command, arg.c_str());
            return 2;
        } else {
            words.push_back(arg);
        }
    }
    return 0;
}

int RunModemsCommand(int argc, char** argv)
{
    tavrin::tool::ModemsOptions options;
    std::vector<std::string> words;
    if (const int status = ParseModemOptions("modems", argc, argv, words, options.registry, options.choose, nullptr,
                                             nullptr, nullptr))
        return status;
    if (!words.empty()) {
        std::fprintf(stderr, "tavrin modems: unexpected '%s'\n", words[0].c_str());
        return 2;
    }
    return tavrin::tool::RunModems(options);
}

int RunDialCommand(int argc, char** argv)
{
    tavrin::tool::DialOptions options;
    std::vector<std::string> words;
    if (const int status = ParseModemOptions("dial", argc, argv, words, options.registry, options.choose,
                                             &options.pulse, &options.step, &options.answerTimeoutMs))
        return status;
    if (words.size() != 1) {
        std::fprintf(stderr, "tavrin dial: needs exactly one NUMBER\n");
        return 2;
    }
    options.number = words[0];
    return tavrin::tool::RunDial(options);
}

}  // namespace

int main(int argc, char** argv)
{
    tavrin::tool::UseBinaryStdio();
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
    if (command == "script")
        return RunScript(argc, argv);
    if (command == "packet-demo")
        return RunPacketDemo();
    if (command == "term")
        return RunTerm(argc, argv);
    if (command == "bridge")
        return RunBridgeCommand(argc, argv);
    if (command == "ports")
        return RunPorts(argc, argv);
    if (command == "modems")
        return RunModemsCommand(argc, argv);
    if (command == "dial")
        return RunDialCommand(argc, argv);
    std::fprintf(stderr, "tavrin: unknown command '%s'\n\n", command.c_str());
    PrintUsage(stderr);
    return 2;
}
