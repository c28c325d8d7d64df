// tavrin bridge DEVICE DEVICE: the options of the bridge.
#include <memory>
#include <string>

#include "Bridge.h"
#include "Commands.h"

namespace tavrin::tool {

void AddBridgeCommand(CLI::App& app, int& status)
{
    struct Texts {
        BridgeOptions options;
        std::vector<std::string> devices;
        std::vector<std::string> allow;
        bool refuseTelnet = false;
    };
    auto texts = std::make_shared<Texts>();
    CLI::App* command = app.add_subcommand(
        "bridge", "link two devices: what one receives the other sends");
    command->add_option("DEVICE", texts->devices, "the two devices (below)")->required()->expected(2);
    AddAllowOption(*command, texts->allow);
    // Kept as an option so that it is refused with the reason.
    command->add_flag("--telnet-refuse", texts->refuseTelnet, "not on a bridge: linked devices pass Telnet "
                                                              "commands on unchanged");
    command->add_flag("--reconnect", texts->options.reconnect,
                      "wait for a serial:/tcp: side that goes away and open it again");
    command->footer(std::string("A zero byte goes as a break (on a socket, a zero byte again); a listen: side\n"
                                "links one caller at a time and turns others away. Notices go to stderr. Ends\n"
                                "on SIGINT/SIGTERM (status 0) or when a link drops by itself (status 1); a\n"
                                "caller leaving is not that. With --reconnect a serial:/tcp: side that goes\n"
                                "away is waited for as in term --reconnect while the other side stays up; a\n"
                                "listen: side's callers get a line \"tavrin: serial side gone, waiting\" and\n"
                                "\"... back\".\n\n") +
                    kDeviceHelp);
    command->callback([&status, texts] {
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
