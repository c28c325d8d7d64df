// tavrin bridge DEVICE DEVICE: the options of the bridge.
#include <memory>
#include <string>

#include "Bridge.h"
#include "Commands.h"

namespace tavrin::tool {

void AddBridgeCommand(CommandLine& line, int& status)
{
    struct Texts {
        BridgeOptions options;
        std::vector<std::string> devices;
        std::vector<std::string> allow;
        bool refuseTelnet = false;
    };
    auto texts = std::make_shared<Texts>();
    Command command = line.Add(
        "bridge", "link two devices: what one receives the other sends");
    command.Add("DEVICE", texts->devices, "the two devices (below)").Required().Expected(2);
    AddAllowOption(command, texts->allow);
    command.Flag("--breaks", texts->options.breaks,
                      "a zero byte goes as a break, as the library links devices (default: every byte is data)");
    command.Add("--clients", texts->options.clients, "a listen: side serves up to N callers at once")
        .TypeName("N")
        .Range(1, 64);
    command.Flag("--one-writer", texts->options.oneWriter,
                      "on a shared listen: side only the first caller's bytes are written");
    // Kept as an option so that it is refused with the reason.
    command.Flag("--telnet-refuse", texts->refuseTelnet, "not on a bridge: linked devices pass Telnet "
                                                              "commands on unchanged");
    command.Flag("--reconnect", texts->options.reconnect,
                      "wait for a serial:/tcp: side that goes away and open it again");
    command.Flag("--rfc2217", texts->options.rfc2217,
                 "serve the serial: side to the listen: side's callers as a Telnet com port (RFC 2217)");
    command.Footer(std::string(
                        "Every byte value crosses unchanged. With --breaks a zero byte goes as a break\n"
                        "(on a socket, a zero byte again). A break that arrives on a serial port goes\n"
                        "to the other side as a break; a socket has none: with --breaks it gets a zero\n"
                        "byte, without it nothing (a zero byte would pass for data), and a notice says\n"
                        "so. A serial: side that names no FLOW is opened without flow control; ask\n"
                        "for it with e.g. serial:/dev/ttyUSB0:115200,8,N,1,xonxoff (or rtscts).\n"
                        "A listen: side links one caller at a time and turns others away; with\n"
                        "--clients N it serves N at once: each receives all the other side sends, and\n"
                        "what they send is written in the order it arrives. A caller that falls more\n"
                        "than 1 MiB behind is let go rather than holding the others up. With\n"
                        "--one-writer only the first caller writes; the others are told in one line\n"
                        "that they are read-only, and what they send is dropped. When the writer\n"
                        "leaves, the longest-connected caller becomes the writer and is told so.\n"
                        "Notices go to stderr. Ends on SIGINT/SIGTERM (status 0) or when a link drops\n"
                        "by itself (status 1); a caller leaving is not that.\n"
                          "With --reconnect a serial:/tcp: side that goes away is waited for as in term\n"
                          "--reconnect while the other side stays up; a listen: side's callers get a line\n"
                          "\"tavrin: serial side gone, waiting\" and \"... back\".\n"
                          "With --rfc2217 (serial: and listen: only) each caller speaks Telnet with the\n"
                          "Com Port Control option: it sets the port's rate, format, flow control, DTR,\n"
                          "RTS and break, purges it, and hears of its status lines and line errors.\n"
                          "Every caller's settings go to the one port.\n\n") +
                    kDeviceHelp);
    command.OnRun([&status, texts] {
        std::string error;
        if (texts->refuseTelnet) {
            CommandError("bridge", "--telnet-refuse does nothing on a bridge: linked devices pass Telnet commands "
                                   "on unchanged");
            status = 2;
            return;
        }
        if (!ParseAllowRules(texts->allow, texts->options.allow, error)) {
            CommandError("bridge", error);
            status = 2;
            return;
        }
        texts->options.first = texts->devices[0];
        texts->options.second = texts->devices[1];
        status = RunBridge(texts->options);
    });
}

}  // namespace tavrin::tool
