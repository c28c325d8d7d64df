// tavrin: a command-line host of the library.
#include <string>

#include <tavrin/Tavrin.h>

#include "Commands.h"
#include "TerminalIo.h"

int main(int argc, char** argv)
{
    using namespace tavrin::tool;
    UseBinaryStdio();
    CommandLine line("tavrin: a command-line host of the Tavrin communications library",
                     std::string("tavrin ") + TAVRIN_VERSION_STRING);
    int status = 0;
    AddDemoCommand(line, status);
    AddScriptCommand(line, status);
    AddPacketDemoCommand(line, status);
    AddTermCommand(line, status);
    AddBridgeCommand(line, status);
    AddPortsCommand(line, status);
    AddModemsCommand(line, status);
    AddDialCommand(line, status);
    AddSendCommand(line, status);
    AddReceiveCommand(line, status);
    line.Footer("'tavrin COMMAND --help' shows a command's options.");
    return line.Run(argc, argv, status);
}
