// tavrin dial NUMBER: the options of a call through the selected modem.
#include <memory>

#include "Commands.h"
#include "Modems.h"

namespace tavrin::tool {

void AddDialCommand(CommandLine& line, int& status)
{
    auto options = std::make_shared<DialOptions>();
    Command command = line.Add(
        "dial", "call NUMBER through the selected modem");
    command.Footer("Opens the selected modem, initialises it, dials NUMBER and shows its answers;\n"
                    "once it says CONNECT, input goes to the line (Ctrl-] or the end of input hangs up).");
    command.Add("NUMBER", options->number, "the number to dial").Required();
    AddRegistryOptions(command, options->registry, options->choose);
    command.Flag("--pulse", options->pulse, "pulse dialling instead of tone");
    command.Add("--step", options->step, "open the modem N rates below its own")
        .TypeName("N")
        .Range(-14, 14);
    command.Add("--timeout", options->answerTimeoutMs, "how long to wait for the answer to the dial command")
        .TypeName("MS")
        .Range(1, 3600000);
    command.OnRun([&status, options] { status = RunDial(*options); });
}

}  // namespace tavrin::tool
