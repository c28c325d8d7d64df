// tavrin modems: the options of the modem list and its selection.
#include <memory>

#include "Commands.h"
#include "Modems.h"

namespace tavrin::tool {

void AddModemsCommand(CLI::App& app, int& status)
{
    auto options = std::make_shared<ModemsOptions>();
    CLI::App* command = app.add_subcommand(
        "modems", "list the registry's modems, then select one");
    command->footer("Each modem is shown with its port, rate and command strings; with several, the\n"
                    "selection panel asks (arrow keys or a number, Enter); the chosen one is printed.");
    AddRegistryOptions(*command, options->registry, options->choose);
    command->callback([&status, options] { status = RunModems(*options); });
}

void AddRegistryOptions(CLI::App& command, std::string& registry, int& choose)
{
#ifdef _WIN32
    const char* registryHelp = "refused here: the registry is the system's";
#else
    const char* registryHelp = "the registry file or folder to load; else TAVRIN_REGISTRY, else /etc/tavrin/registry";
#endif
    command.add_option("--registry", registry, registryHelp)->type_name("PATH");
    command.add_option("--choose", choose, "choose the Nth modem instead of asking")
        ->type_name("N")
        ->check(CLI::Range(1, 256));
}

}  // namespace tavrin::tool
