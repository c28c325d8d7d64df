// tavrin script DEVICE TEXT: one command text run on a device, every
// notification printed until the script has finished.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Callers.h"
#include "Commands.h"
#include "Devices.h"
#include "Host.h"
#include "Settings.h"

namespace tavrin::tool {

namespace {

struct ScriptOptions {
    std::string device;
    std::string text;
    std::vector<std::string> values;   // N=TEXT
    std::vector<std::string> allow;
    bool refuseTelnet = false;
    std::string loadPath, savePath;
};

// The script runs on the first caller admitted; the listener turns away
// the others meanwhile. Access texts go to stdout with the notifications.
int RunScriptOnCaller(Host& host, CDevice& listener, const DeviceArgument& argument,
                      const std::vector<AccessRule>& allow, bool refuseTelnet, const std::string& text)
{
    std::shared_ptr<CDevice> chosen;
    int chosenId = 0;
    bool closing = false;
    bool listenerDropped = false;
    CallerDesk::Hooks hooks;
    hooks.vacancy = [&](const CallerDesk::Caller&) {
        return chosen ? "the script runs on caller " + std::to_string(chosenId) : std::string();
    };
    hooks.admitted = [&](CallerDesk::Caller& caller) {
        chosen = caller.device;
        chosenId = caller.id;
        PostMessageA(host.Window(), kHostDone, 0, 0);
    };
    // Its workers must run until the script is over, gone or not.
    hooks.holdAdmitted = true;
    CallerDesk callers(host, allow, refuseTelnet, [](const std::string& line) { PrintLine(stdout, line); },
                       std::move(hooks));
    const int listenerNumber = host.Attach(listener, "listen");
    host.SetResponder([&](int number, int index, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (number == listenerNumber) {
            if (index == DEVMSG_CALL)
                callers.TakeCall(listener);
            if (index == DEVMSG_DISCONNECTED && !closing) {
                listenerDropped = true;
                PostMessageA(host.Window(), kHostDone, 0, 0);
            }
            return 0;
        }
        callers.Handle(number, index, wParam, lParam);
        return 0;
    });
    std::string error;
    if (!ConnectDevice(listener, argument, error)) {
        std::fprintf(stderr, "tavrin script: %s\n", error.c_str());
        return 1;
    }
    PrintLine(stdout, "waiting for a caller on port " + std::to_string(argument.net.port));
    while (!chosen && !listenerDropped)
        host.RunUntilDone();
    int status = 1;
    if (chosen) {
        RunWhilePumping(host, [&] {
            chosen->WriteEx(text.c_str());
            chosen->WaitToIdle(-1);
        });
        status = 0;
    } else {
        std::fprintf(stderr, "tavrin script: the listener went down before a caller came\n");
    }
    closing = true;
    callers.StopTaking();
    listener.Disconnect();
    callers.CloseAll();
    std::printf("script finished; %d notifications\n", host.Notifications());
    return status;
}

int RunScript(const ScriptOptions& options)
{
    DeviceArgument argument;
    std::string error;
    if (!ParseDeviceArgument(options.device, argument, error)) {
        CommandError("script", error);
        return 2;
    }
    Host host(stdout);
    for (const std::string& value : options.values) {
        const size_t equals = value.find('=');
        char* end = nullptr;
        const long n = equals == std::string::npos ? 0 : std::strtol(value.c_str(), &end, 10);
        if (equals == std::string::npos || equals == 0 || end != value.c_str() + equals) {
            CommandError("script", "expected --value N=TEXT, got '" + value + "'");
            return 2;
        }
        host.SetValue(static_cast<int>(n), value.substr(equals + 1));
    }
    std::vector<AccessRule> allow;
    if (!ParseAllowRules(options.allow, allow, error) ||
        !CheckNetOptions(argument, !allow.empty(), options.refuseTelnet, error)) {
        CommandError("script", error);
        return 2;
    }
    std::unique_ptr<CDevice> device = CreateDevice(argument, error);
    if (!device) {
        CommandError("script", error);
        return 1;
    }
    // Loaded settings give what the DEVICE argument leaves open: the
    // connect and disconnect commands with their switches, and a serial
    // port's line settings when the argument names none.
    if (!options.loadPath.empty() && !LoadSettings(*device, options.loadPath, error)) {
        CommandError("script", error);
        return 1;
    }
    if (argument.kind == DeviceArgument::Kind::Listen)
        return RunScriptOnCaller(host, *device, argument, allow, options.refuseTelnet, options.text);
    host.Attach(*device, KindName(argument.kind));
    if (options.refuseTelnet && !RefuseTelnetOptions(*device, argument, error)) {
        CommandError("script", error);
        return 2;
    }
    if (!ConnectDevice(*device, argument, error)) {
        CommandError("script", error);
        return 1;
    }
    // Saved once connected: the record then holds the settings in use.
    if (!options.savePath.empty() && !SaveSettings(*device, options.savePath, error)) {
        CommandError("script", error);
        device->Disconnect();
        return 1;
    }
    RunWhilePumping(host, [&] {
        device->WriteEx(options.text.c_str());
        // Idle once the whole script has run and a second has passed quietly.
        device->WaitToIdle(-1);
    });
    device->Disconnect();
    std::printf("script finished; %d notifications\n", host.Notifications());
    return 0;
}

}  // namespace

void AddScriptCommand(CommandLine& line, int& status)
{
    auto options = std::make_shared<ScriptOptions>();
    Command command = line.Add(
        "script", "run one command text on DEVICE, printing every notification");
    command.Add("DEVICE", options->device, "the device (below)").Required();
    command.Add("TEXT", options->text, "the command text").Required();
    command.Add("--value", options->values, "answer the value escape number N (%N...) with TEXT")
        .TypeName("N=TEXT")
        ;
    AddAllowOption(command, options->allow);
    command.Flag("--telnet-refuse", options->refuseTelnet,
                      "tcp:/listen: take Telnet commands out of what is received and refuse every option the peer "
                      "asks for");
    command.Add("--load", options->loadPath,
                        "read the device's settings from FILE before connecting (what DEVICE leaves open: "
                        "connect/disconnect commands, a port's line settings)")
        .TypeName("FILE");
    command.Add("--save", options->savePath, "write the device's settings to FILE once connected")
        .TypeName("FILE");
    command.Footer(std::string("Runs until the script has finished. On listen: the script runs on the first\n"
                                "caller admitted; callers' access texts are printed, later callers are turned\n"
                                "away.\n\n") +
                    kDeviceHelp);
    command.OnRun([&status, options] { status = RunScript(*options); });
}

}  // namespace tavrin::tool
