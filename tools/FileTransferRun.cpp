#include "FileTransferRun.h"

#include <atomic>
#include <cstdio>
#include <memory>

#include "Commands.h"
#include "Devices.h"
#include "Host.h"
#include "SignalWatch.h"
#include "TerminalIo.h"
#include "TransferProgress.h"

namespace tavrin::tool {

bool ParseProtocol(const std::string& text, XferProtocol& protocol)
{
    static const struct {
        const char* name;
        XferProtocol protocol;
    } kNames[] = {{"xmodem", XFER_XMODEM}, {"xmodem-1k", XFER_XMODEM_1K}, {"ymodem", XFER_YMODEM},
                  {"ymodem-g", XFER_YMODEM_G}, {"zmodem", XFER_ZMODEM}, {"packet", XFER_PACKET}};
    for (const auto& entry : kNames) {
        if (text == entry.name) {
            protocol = entry.protocol;
            return true;
        }
    }
    return false;
}

int RunFileTransfer(const TransferRequest& request)
{
    DeviceArgument argument;
    std::string error;
    if (!ParseDeviceArgument(request.device, argument, error)) {
        CommandError(request.command, error);
        return 2;
    }
    // A listener has callers and a datagram socket no peer: a transfer
    // needs exactly one far side.
    if (argument.kind == DeviceArgument::Kind::Listen || argument.kind == DeviceArgument::Kind::UdpReply ||
        argument.kind == DeviceArgument::Kind::Broadcast) {
        CommandError(request.command, std::string("a transfer needs a device with one peer, not ") +
                                          KindName(argument.kind));
        return 2;
    }
    NoFlowControlUnlessNamed(argument);
    std::unique_ptr<CDevice> device = CreateDevice(argument, error);
    if (!device) {
        CommandError(request.command, error);
        return 1;
    }
    device->SetTransparent(TRUE);
    CFileTransfer transfer(*device);
    std::atomic<bool> dropped{false};
    Host host(nullptr);
    host.Attach(*device, request.command);
    host.SetResponder([&](int, int index, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (index == DEVMSG_DATA) {
            transfer.OnData(reinterpret_cast<const BYTE*>(lParam), static_cast<DWORD>(wParam));
        } else if (index == DEVMSG_DISCONNECTED) {
            dropped = true;
            transfer.Cancel();
        }
        return 0;
    });
    if (!ConnectDevice(*device, argument, error)) {
        CommandError(request.command, error);
        return 1;
    }
    const bool started = request.files.empty()
                             ? transfer.Receive(request.protocol, request.dir, request.options, request.xmodemName)
                             : transfer.Send(request.protocol, request.files);
    if (!started) {
        CommandError(request.command, transfer.GetError());
        device->Disconnect();
        return 1;
    }
    std::atomic<bool> stopped{false};
    SignalWatch signals;
    if (signals.Valid())
        signals.Start([&](const std::string&) {
            stopped = true;
            transfer.Cancel();
        });
    const bool terminal = StdoutIsTerminal();
    TransferProgress display(stdout, terminal || request.progress, terminal);
    RunWhilePumping(host, [&] { display.Follow(transfer); });
    signals.Stop();
    device->Disconnect();
    if (transfer.Succeeded())
        return 0;
    std::string why = transfer.GetError();
    if (dropped && why == "cancelled")
        why = "the link dropped";
    else if (stopped && why == "cancelled")
        why = "stopped";
    CommandError(request.command, why);
    return 1;
}

}  // namespace tavrin::tool
