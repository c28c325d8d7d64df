// tavrin dial NUMBER: the options of a call through the selected modem.
#include <memory>

#include "Commands.h"
#include "Modems.h"

namespace tavrin::tool {

void AddDialCommand(CLI::App& app, int& status)
{
    auto options = std::make_shared<DialOptions>();
    CLI::App* command = app.add_subcommand(
        "dial", "call NUMBER through the selected modem");
    command->footer("Opens the selected modem, initialises it, dials NUMBER and shows its answers;\n"
                    "once it says CONNECT, input goes to the line (Ctrl-] or the end of input hangs up).");
    command->add_option("NUMBER", options->number, "the number to dial")->required();
    AddRegistryOptions(*command, options->registry, options->choose);
    command->add_flag("--pulse", options->pulse, "pulse dialling instead of tone");
    command->add_option("--step", options->step, "open the modem N rates below its own")
        ->type_name("N")
        ->check(CLI::Range(-14, 14));
    command->add_option("--timeout", options->answerTimeoutMs, "how long to wait for the answer to the dial command")
        ->type_name("MS")
        ->check(CLI::Range(1, 3600000));
    command->callback([&status, options] { status = RunDial(*options); });
}

}  // namespace tavrin::tool
