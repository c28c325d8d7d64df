// tavrin: a command-line host of the library.
#include <cstdio>
#include <cstring>
#include <string>

#include <tavrin/Tavrin.h>

#include "Commands.h"
#include "TerminalIo.h"

int main(int argc, char** argv)
{
    tavrin::tool::UseBinaryStdio();
    CLI::App app("tavrin: a command-line host of the Tavrin communications library", "tavrin");
    app.set_version_flag("--version", std::string("tavrin ") + TAVRIN_VERSION_STRING);
    app.require_subcommand(1);
    app.fallthrough(false);
    int status = 0;
    using namespace tavrin::tool;
    AddDemoCommand(app, status);
    AddScriptCommand(app, status);
    AddPacketDemoCommand(app, status);
    AddTermCommand(app, status);
    AddBridgeCommand(app, status);
    AddPortsCommand(app, status);
    AddModemsCommand(app, status);
    AddDialCommand(app, status);
    app.footer("'tavrin COMMAND --help' shows a command's options.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // Usage errors end with status 2, as the hand-written parsing did
        // and as scripts that call the host expect.
        const char* command = argc > 1 && argv[1][0] != '-' ? argv[1] : nullptr;
        if (command != nullptr && app.get_subcommands([command](const CLI::App* sub) { return sub->get_name() == command; }).empty()) {
            std::fprintf(stderr, "tavrin: unknown command '%s'; 'tavrin --help' lists them\n", command);
            return 2;
        }
        std::fprintf(stderr, "tavrin%s%s: %s\n", command ? " " : "", command ? command : "", e.what());
        std::fprintf(stderr, "run 'tavrin%s%s --help' for the options\n", command ? " " : "", command ? command : "");
        return 2;
    }
    return status;
}
