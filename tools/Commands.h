// The tavrin host's commands. Each Add*Command puts its subcommand, with
// its options and help, on the application; its callback runs the command
// once the whole line has parsed and leaves the exit status in status.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "DeviceArg.h"

namespace tavrin::tool {

void AddDemoCommand(CLI::App& app, int& status);
void AddPacketDemoCommand(CLI::App& app, int& status);
void AddScriptCommand(CLI::App& app, int& status);
void AddTermCommand(CLI::App& app, int& status);
void AddBridgeCommand(CLI::App& app, int& status);
void AddPortsCommand(CLI::App& app, int& status);
void AddModemsCommand(CLI::App& app, int& status);
void AddDialCommand(CLI::App& app, int& status);

// --registry PATH and --choose N, for modems and dial.
void AddRegistryOptions(CLI::App& command, std::string& registry, int& choose);

// What every command that takes a DEVICE shows after its options.
extern const char* const kDeviceHelp;

// --allow ADDRESS/MASK, any number of times, as texts.
void AddAllowOption(CLI::App& command, std::vector<std::string>& texts);
// The texts as rules; false with the reason for the first malformed one.
bool ParseAllowRules(const std::vector<std::string>& texts, std::vector<AccessRule>& rules, std::string& error);

// "tavrin COMMAND: text" on stderr.
void CommandError(const char* command, const std::string& text);

}  // namespace tavrin::tool
