#include "Bridge.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

#include "BridgeRelay.h"
#include "Callers.h"
#include "ComPortServer.h"
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

// How far a caller of a shared side may fall behind before it is let go:
// a caller that stops reading must not hold the others up, nor grow the
// bridge without limit.
constexpr size_t kCallerBacklog = 1 << 20;

// "caller 1 is linked", "callers 1, 2 and 3 are linked".
std::string Linked(const std::map<int, int>& members)
{
    std::string ids;
    size_t n = 0;
    for (const auto& [id, number] : members) {
        if (n++ > 0)
            ids += n == members.size() ? " and " : ", ";
        ids += std::to_string(id);
    }
    return (members.size() == 1 ? "caller " + ids + " is" : "callers " + ids + " are") + " linked";
}

// One end of the bridge: a device of its own, or a listener whose admitted
// caller is the end.
struct Side {
    std::string name;   // "A" or "B"
    DeviceArgument argument;
    std::unique_ptr<CDevice> device;
    int number = -1;
    // A shared listen: side: what the other side is linked to. Before the
    // callers, so that it goes after them.
    std::unique_ptr<CallerFanOut> fanOut;
    std::unique_ptr<CallerDesk> callers;
    CDevice* end = nullptr;         // what is linked: the device, or the caller
    int callerId = 0;               // the linked caller's, for notices
    std::unique_ptr<Reconnector> reconnector;
    std::map<int, int> members;     // admitted callers: id -> host number
    int writerId = 0;               // with --one-writer

    bool Listening() const { return argument.kind == DeviceArgument::Kind::Listen; }
    std::string EndName() const
    {
        return callerId != 0 ? name + "'s caller " + std::to_string(callerId) : name;
    }
};

// --rfc2217 serves a serial port to the callers of a listen: side, with the
// port's own break: the options that change what the link is are left out.
std::string ComPortRefusal(const BridgeOptions& options, const DeviceArgument& a, const DeviceArgument& b)
{
    using Kind = DeviceArgument::Kind;
    if (!((a.kind == Kind::Serial && b.kind == Kind::Listen) || (a.kind == Kind::Listen && b.kind == Kind::Serial)))
        return "--rfc2217 serves a serial: device to the callers of a listen: side: one side must be serial:, the "
               "other listen:";
    if (options.breaks)
        return "--rfc2217 and --breaks: the callers send breaks as Telnet commands";
    if (options.oneWriter)
        return "--rfc2217 and --one-writer do not go together: every caller may set the port";
    if (options.reconnect)
        return "--rfc2217 and --reconnect do not go together: the callers set the port that is open";
    return {};
}

}  // namespace

int RunBridge(const BridgeOptions& options)
{
    // Before the sides: the callers' hooks use it until the sides are gone.
    std::unique_ptr<ComPortServer> comPort;
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
    if (options.rfc2217) {
        const std::string refusal = ComPortRefusal(options, sides[0].argument, sides[1].argument);
        if (!refusal.empty()) {
            std::fprintf(stderr, "tavrin bridge: %s\n", refusal.c_str());
            return 2;
        }
    }
    // A Com Port Control side always goes through the fan-out: each caller's
    // answers must go in order with the port's data.
    const bool shared = options.clients > 1 || options.oneWriter || options.rfc2217;
    if (shared && sides[0].Listening() == sides[1].Listening()) {
        std::fprintf(stderr, "tavrin bridge: --clients and --one-writer share one device among the callers of a "
                             "listen: side: exactly one side must be listen:\n");
        return 2;
    }
    for (Side& side : sides)
        NoFlowControlUnlessNamed(side.argument);
    const bool zeroIsBreak = options.breaks;

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
        // A shared side is linked through its fan-out, whose callers come and
        // go on their own.
        for (int i = 0; i < 2; ++i) {
            if (sides[i].fanOut) {
                if (sides[1 - i].end != nullptr)
                    sides[1 - i].end->LinkDevice(sides[i].fanOut.get());
                return;
            }
        }
        if (sides[0].end == nullptr || sides[1].end == nullptr)
            return;
        sides[0].end->LinkDevice(sides[1].end);
        Notice("linked " + sides[0].EndName() + " with " + sides[1].EndName());
    };
    // A shared side's caller joins or leaves the fan-out; the notices read
    // as those of a linked pair.
    const auto linkedText = [&](const Side& side, int id) {
        const std::string caller = side.name + "'s caller " + std::to_string(id);
        const std::string other = sides[&side == &sides[0] ? 1 : 0].name;
        return &side == &sides[0] ? caller + " with " + other : other + " with " + caller;
    };
    const auto handOver = [&](Side& side) {
        side.writerId = 0;
        if (!options.oneWriter || side.members.empty())
            return;
        // The longest connected of the others: the lowest id.
        side.writerId = side.members.begin()->first;
        Notice(side.name + ": caller " + std::to_string(side.writerId) + " is now the writer");
        side.fanOut->SendTo(side.writerId, "tavrin bridge: you are now the writer\r\n");
    };
    const auto dropMember = [&](Side& side, int id) {
        if (comPort)
            comPort->Remove(id);
        side.fanOut->Remove(id);
        side.fanOut->Reap();
        side.members.erase(id);
        if (side.writerId == id)
            handOver(side);
    };
    for (int i = 0; i < 2; ++i) {
        Side& side = sides[i];
        side.device = CreateDevice(side.argument, error);
        if (!side.device) {
            Notice(side.name + ": " + error);
            return 1;
        }
        side.number = host.Attach(*side.device, side.name.c_str());
        side.device->SetTransparent(zeroIsBreak ? FALSE : TRUE);
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
        hooks.transparent = !zeroIsBreak;
        if (shared) {
            Side* other = &sides[i == 0 ? 1 : 0];
            side.fanOut = std::make_unique<CallerFanOut>(kCallerBacklog, [&side, &host, &dropMember](int id) {
                host.Post([&side, &dropMember, id] {
                    auto found = side.members.find(id);
                    if (found == side.members.end())
                        return;
                    Notice(side.name + ": caller " + std::to_string(id) + " fell more than " +
                           std::to_string(kCallerBacklog >> 20) + " MiB behind: let go");
                    const int number = found->second;
                    dropMember(side, id);
                    side.callers->LetGo(number);
                });
            });
            hooks.vacancy = [&side, &options](const CallerDesk::Caller&) {
                return static_cast<int>(side.members.size()) >= options.clients ? Linked(side.members)
                                                                                 : std::string();
            };
            if (options.rfc2217)
                side.fanOut->EscapeIac();
            hooks.admitted = [&side, &options, &linkedText, &comPort](CallerDesk::Caller& caller) {
                side.members[caller.id] = caller.number;
                std::string prelude;
                if (options.oneWriter && side.writerId == 0)
                    side.writerId = caller.id;
                else if (options.oneWriter)
                    prelude = "tavrin bridge: read-only: caller " + std::to_string(side.writerId) +
                              " is the writer; what you send is dropped\r\n";
                side.fanOut->Add(caller.id, caller.device, prelude);
                if (comPort)
                    comPort->Add(caller.id);
                Notice("linked " + linkedText(side, caller.id) + (prelude.empty() ? "" : " (read-only)"));
            };
            hooks.left = [&side, &dropMember](CallerDesk::Caller& caller) { dropMember(side, caller.id); };
            hooks.data = [&side, other, &options, zeroIsBreak, &comPort](CallerDesk::Caller& caller,
                                                                           const BYTE* bytes, size_t count) {
                if (comPort) {
                    comPort->Received(caller.id, bytes, count);
                    return;
                }
                if (options.oneWriter && caller.id != side.writerId)
                    return;
                if (other->end != nullptr)
                    ForwardBlock(*other->end, bytes, count, zeroIsBreak);
            };
            side.callers = std::make_unique<CallerDesk>(
                host, options.allow, false, [&side](const std::string& text) { Notice(side.name + ": " + text); },
                std::move(hooks));
            continue;
        }
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

    if (options.rfc2217) {
        Side& serial = sides[sides[0].Listening() ? 1 : 0];
        Side& listening = sides[sides[0].Listening() ? 0 : 1];
        ComPortServer::Hooks hooks;
        hooks.send = [&listening](int id, const std::string& bytes) { listening.fanOut->SendTo(id, bytes); };
        hooks.hold = [&listening](int id, bool hold) { listening.fanOut->Hold(id, hold); };
        hooks.notice = [&listening](const std::string& text) { Notice(listening.name + ": " + text); };
        comPort = std::make_unique<ComPortServer>(static_cast<CCom&>(*serial.device), std::move(hooks));
    }

    // A break the library reported on a serial line: the link carries data
    // only, so the host takes it across.
    const auto carryBreakFrom = [&](Side& side) {
        Side& other = sides[&side == &sides[0] ? 1 : 0];
        CDevice* to = other.fanOut ? other.fanOut.get() : other.end;
        if (to == nullptr) {
            Notice(side.name + ": a break arrived; " + other.name + " has no caller to take it");
            return;
        }
        const BreakCarried carried = CarryBreak(*to, other.argument.IsSocket(), zeroIsBreak);
        Notice(side.name + ": a break arrived; " + DescribeCarry(carried, other.name));
    };
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
                // The callers of a served port hear of a break, as of the
                // other line errors, in the port's own notifications.
                if (comPort)
                    comPort->PortReport(static_cast<DWORD>(wParam), *reinterpret_cast<const CString*>(lParam));
                else if (IsBreakReport(*reinterpret_cast<const CString*>(lParam)))
                    carryBreakFrom(side);
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
            if (side.fanOut)
                side.fanOut->LinkDevice(nullptr);
        }
        for (Side& side : sides) {
            side.device->Disconnect();
            if (side.callers)
                side.callers->CloseAll();
        }
        // Only now: a caller that does not read holds its writer until the
        // caller is disconnected.
        for (Side& side : sides) {
            if (side.fanOut)
                side.fanOut->JoinAll();
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
