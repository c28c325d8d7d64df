// tavrin modems: the options of the modem list and its selection.
#include <memory>

#include "Commands.h"
#include "Modems.h"

namespace tavrin::tool {

void AddModemsCommand(CommandLine& line, int& status)
{
    auto options = std::make_shared<ModemsOptions>();
    Command command = line.Add(
        "modems", "list the registry's modems, then select one");
    command.Footer("Each modem is shown with its port, rate and command strings; with several, the\n"
                    "selection panel asks (arrow keys or a number, Enter); the chosen one is printed.");
    AddRegistryOptions(command, options->registry, options->choose);
    command.OnRun([&status, options] { status = RunModems(*options); });
}

void AddRegistryOptions(Command& command, std::string& registry, int& choose)
{
#ifdef _WIN32
    const char* registryHelp = "refused here: the registry is the system's";
#else
    const char* registryHelp = "the registry file or folder to load; else TAVRIN_REGISTRY, else /etc/tavrin/registry";
#endif
    command.Add("--registry", registry, registryHelp).TypeName("PATH");
    command.Add("--choose", choose, "choose the Nth modem instead of asking")
        .TypeName("N")
        .Range(1, 256);
}

}  // namespace tavrin::tool
