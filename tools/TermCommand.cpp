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
    command->footer(std::string("Input is written to DEVICE (keys as typed on a terminal, Ctrl-] quits; lines from\n"
                                "a pipe); received bytes go to stdout, notices to stderr. On listen: each\n"
                                "caller's access text is a notice, input goes to every admitted caller and what\n"
                                "they send goes to stdout.\n\n") +
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
