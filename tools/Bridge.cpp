#include "Bridge.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include "Callers.h"
#include "Devices.h"
#include "Host.h"
#include "Reconnect.h"
#include "SignalWatch.h"

namespace tavrin::tool {

namespace {

void Notice(const std::string& text)
{
    PrintLine(stderr, "tavrin bridge: " + text);
}

// One end of the bridge: a device of its own, or a listener whose admitted
// caller is the end.
struct Side {
    std::string name;   // "A" or "B"
    DeviceArgument argument;
    std::unique_ptr<CDevice> device;
    int number = -1;
    std::unique_ptr<CallerDesk> callers;
    CDevice* end = nullptr;         // what is linked: the device, or the caller
    int callerId = 0;               // the linked caller's, for notices
    std::unique_ptr<Reconnector> reconnector;

    bool Listening() const { return argument.kind == DeviceArgument::Kind::Listen; }
    std::string EndName() const
    {
        return callerId != 0 ? name + "'s caller " + std::to_string(callerId) : name;
    }
};

}  // namespace

int RunBridge(const BridgeOptions& options)
{
    Side sides[2];
    sides[0].name = "A";
    sides[1].name = "B";
    const std::string texts[2] = {options.first, options.second};
    std::string error;
    for (int i = 0; i < 2; ++i) {
        if (!ParseDeviceArgument(texts[i], sides[i].argument, error)) {
            std::fprintf(stderr, "tavrin bridge: %s\n", error.c_str());
            return 2;
        }
    }
    if (!options.allow.empty() && !sides[0].Listening() && !sides[1].Listening()) {
        std::fprintf(stderr, "tavrin bridge: --allow picks the callers of a listen: device, and neither side is one\n");
        return 2;
    }

    if (options.reconnect && !Reconnector::Refusal(sides[0].argument).empty() &&
        !Reconnector::Refusal(sides[1].argument).empty()) {
        std::fprintf(stderr, "tavrin bridge: %s\n", Reconnector::Refusal(sides[0].argument).c_str());
        return 2;
    }

    SignalWatch signals;
    if (!signals.Valid()) {
        Notice(signals.Error());
        return 1;
    }
    Host host(nullptr);
    std::atomic<bool> closing{false};
    bool linkDropped = false;
    std::mutex stopLock;
    std::string stoppedBy;   // the request that stopped the bridge

    const auto relink = [&] {
        if (sides[0].end == nullptr || sides[1].end == nullptr)
            return;
        sides[0].end->LinkDevice(sides[1].end);
        Notice("linked " + sides[0].EndName() + " with " + sides[1].EndName());
    };
    for (int i = 0; i < 2; ++i) {
        Side& side = sides[i];
        side.device = CreateDevice(side.argument, error);
        if (!side.device) {
            Notice(side.name + ": " + error);
            return 1;
        }
        side.number = host.Attach(*side.device, side.name.c_str());
        // The link carries the data; the host has nothing to do with it, and
        // each notification would stop the block's cycle for a round trip
        // to the host's thread.
        side.device->SetMessage(DEVMSG_DATA, 0);
        if (options.reconnect && Reconnector::Refusal(side.argument).empty()) {
            Side& other = sides[1 - i];
            // The other side's callers stay connected and are told.
            const auto tell = [&other, word = std::string(Reconnector::SideWord(side.argument))](const char* what) {
                std::string line = "tavrin: " + word + " side " + what + "\r\n";
                if (!other.callers)
                    return;
                for (const auto& caller : other.callers->Admitted())
                    caller->Write(reinterpret_cast<BYTE*>(line.data()), static_cast<DWORD>(line.size()));
            };
            Reconnector::Hooks hooks{[&side](const std::string& text) { Notice(side.name + ": " + text); },
                                     [&side, tell] {
                                         side.end->LinkDevice(nullptr);
                                         side.end = nullptr;
                                         tell("gone, waiting");
                                     },
                                     [&side, &relink, tell] {
                                         side.end = side.device.get();
                                         tell("back");
                                         relink();
                                     }};
            side.reconnector = std::make_unique<Reconnector>(host, *side.device, side.argument, std::move(hooks));
        }
        if (!side.Listening())
            continue;
        CallerDesk::Hooks hooks;
        hooks.vacancy = [&side](const CallerDesk::Caller&) {
            return side.end != nullptr ? "caller " + std::to_string(side.callerId) + " is linked" : std::string();
        };
        hooks.admitted = [&side, &relink](CallerDesk::Caller& caller) {
            side.end = caller.device.get();
            side.callerId = caller.id;
            relink();
        };
        hooks.left = [&side](CallerDesk::Caller& caller) {
            if (side.end != caller.device.get())
                return;
            // Unlinks both: the other side's blocks are dropped until the
            // next caller is linked.
            side.end->LinkDevice(nullptr);
            side.end = nullptr;
            side.callerId = 0;
            Notice(side.name + ": waiting for the next caller");
        };
        side.callers = std::make_unique<CallerDesk>(
            host, options.allow, false, [&side](const std::string& text) { Notice(side.name + ": " + text); },
            std::move(hooks));
    }

    host.SetResponder([&](int number, int index, WPARAM wParam, LPARAM lParam) -> LRESULT {
        for (Side& side : sides) {
            if (number != side.number) {
                if (side.callers && side.callers->Handle(number, index, wParam, lParam))
                    return 0;
                continue;
            }
            switch (index) {
            case DEVMSG_ERROR:
                Notice(side.name + ": error " + std::to_string(wParam) + ": " +
                       reinterpret_cast<const CString*>(lParam)->str());
                break;
            case DEVMSG_CONNECTED:
                Notice(side.name + (side.Listening() ? ": listening" : ": connected"));
                break;
            case DEVMSG_DISCONNECTED:
                if (!closing && side.reconnector) {
                    side.reconnector->Lost();
                } else if (!closing) {
                    Notice(side.name + ": the link dropped");
                    linkDropped = true;
                    PostMessageA(host.Window(), kHostDone, 0, 0);
                }
                break;
            case DEVMSG_CALL:
                if (side.callers)
                    side.callers->TakeCall(*side.device);
                break;
            default:
                break;
            }
            return 0;
        }
        return 0;
    });

    const auto closeAll = [&] {
        closing = true;
        signals.Stop();
        for (Side& side : sides) {
            if (side.reconnector)
                side.reconnector->Stop();
            if (side.callers)
                side.callers->StopTaking();
        }
        // The link goes before either device does, so that neither forwards
        // to a partner that is being taken down.
        if (sides[0].end != nullptr)
            sides[0].end->LinkDevice(nullptr);
        for (Side& side : sides) {
            side.device->Disconnect();
            if (side.callers)
                side.callers->CloseAll();
        }
    };
    // Listeners first: they hear nothing themselves, and a caller that comes
    // at once finds the other side already being opened.
    for (int pass = 0; pass < 2; ++pass) {
        for (Side& side : sides) {
            if (side.Listening() != (pass == 0))
                continue;
            if (!ConnectDevice(*side.device, side.argument, error)) {
                Notice(side.name + ": " + error);
                closeAll();
                return 1;
            }
            if (!side.Listening())
                side.end = side.device.get();
        }
    }
    signals.Start([&](const std::string& request) {
        {
            std::lock_guard<std::mutex> guard(stopLock);
            stoppedBy = request;
        }
        PostMessageA(host.Window(), kHostDone, 0, 0);
    });
    Notice("bridging A (" + DescribeDevice(sides[0].argument) + ") and B (" + DescribeDevice(sides[1].argument) +
           "); " + SignalWatch::Requests() + " stops");
    relink();

    host.RunUntilDone();
    closeAll();
    std::lock_guard<std::mutex> guard(stopLock);
    if (!stoppedBy.empty())
        Notice("stopped by " + stoppedBy);
    return linkDropped && stoppedBy.empty() ? 1 : 0;
}

}  // namespace tavrin::tool
