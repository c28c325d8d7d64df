// The tavrin host's commands. Each Add*Command puts its subcommand, with
// its options and help, on the command line; its callback runs the command
// once the whole line has parsed and leaves the exit status in status.
#pragma once

#include "CommandLine.h"

#include <string>
#include <vector>

#include "DeviceArg.h"

namespace tavrin::tool {

void AddDemoCommand(CommandLine& line, int& status);
void AddPacketDemoCommand(CommandLine& line, int& status);
void AddScriptCommand(CommandLine& line, int& status);
void AddTermCommand(CommandLine& line, int& status);
void AddBridgeCommand(CommandLine& line, int& status);
void AddPortsCommand(CommandLine& line, int& status);
void AddModemsCommand(CommandLine& line, int& status);
void AddDialCommand(CommandLine& line, int& status);
void AddSendCommand(CommandLine& line, int& status);
void AddReceiveCommand(CommandLine& line, int& status);

// The protocols and the progress display, for send and receive's help.
extern const char* const kTransferHelp;

// --registry PATH and --choose N, for modems and dial.
void AddRegistryOptions(Command& command, std::string& registry, int& choose);

// What every command that takes a DEVICE shows after its options.
extern const char* const kDeviceHelp;

// --allow ADDRESS/MASK, any number of times, as texts.
void AddAllowOption(Command& command, std::vector<std::string>& texts);
// The texts as rules; false with the reason for the first malformed one.
bool ParseAllowRules(const std::vector<std::string>& texts, std::vector<AccessRule>& rules, std::string& error);

// "tavrin COMMAND: text" on stderr.
void CommandError(const char* command, const std::string& text);

}  // namespace tavrin::tool
