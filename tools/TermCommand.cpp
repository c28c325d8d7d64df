// tavrin term DEVICE: the options of the interactive terminal.
#include <memory>
#include <string>

#include "Commands.h"
#include "Terminal.h"

namespace tavrin::tool {

void AddTermCommand(CLI::App& app, int& status)
{
    struct Texts {
        TerminalOptions options;
        std::vector<std::string> allow;
    };
    auto texts = std::make_shared<Texts>();
    CLI::App* command = app.add_subcommand(
        "term", "an interactive terminal on DEVICE");
    command->add_option("DEVICE", texts->options.device, "the device (below)")->required();
    AddAllowOption(*command, texts->allow);
    command->add_flag("--telnet-refuse", texts->options.refuseTelnet,
                      "tcp:/listen: take Telnet commands out of what is received and refuse every option the peer "
                      "asks for");
    command->add_flag("--reconnect", texts->options.reconnect,
                      "serial:/tcp: wait for a device that goes away and open it again");
    command->footer(std::string("Input is written to DEVICE (keys as typed on a terminal, Ctrl-] quits; lines from\n"
                                "a pipe); received bytes go to stdout, notices to stderr. On listen: each\n"
                                "caller's access text is a notice, input goes to every admitted caller and what\n"
                                "they send goes to stdout.\n"
                                "With --reconnect a serial port that goes away (unplugged, a pty's far end\n"
                                "closed) is waited for through its folder (inotify; each second on Windows)\n"
                                "and a tcp: peer is tried again after 1, 2, 4 ... 30 s; input typed meanwhile\n"
                                "is dropped. A serial port is locked with a UUCP lock file while it is open.\n\n") +
                    kDeviceHelp);
    command->callback([&status, texts] {
        std::string error;
        if (!ParseAllowRules(texts->allow, texts->options.allow, error)) {
            CommandError("term", error);
            status = 2;
            return;
        }
        status = RunTerminal(texts->options);
    });
}

}  // namespace tavrin::tool
