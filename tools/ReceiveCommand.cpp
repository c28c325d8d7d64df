// tavrin receive [--protocol P] [--dir DIR] [--overwrite] DEVICE: files from
// the far side.
#include <memory>
#include <string>

#include "Commands.h"
#include "FileTransferRun.h"

namespace tavrin::tool {

void AddReceiveCommand(CommandLine& line, int& status)
{
    struct Texts {
        TransferRequest request;
        std::string protocol = "zmodem";
    };
    auto texts = std::make_shared<Texts>();
    Command command = line.Add("receive", "receive files from the far side of DEVICE");
    command.Add("DEVICE", texts->request.device, "the device (below)").Required();
    command.Add("--protocol", texts->protocol, "xmodem, xmodem-1k, ymodem, ymodem-g, zmodem (the default) or packet")
        .TypeName("NAME");
    command.Add("--dir", texts->request.dir, "the folder to receive into (the current one by default)")
        .TypeName("DIR");
    command.Flag("--overwrite", texts->request.options.overwrite, "replace files of the same name");
    command.Add("--name", texts->request.xmodemName, "xmodem and xmodem-1k: the name to save the file as")
        .TypeName("FILE");
    command.Flag("--progress", texts->request.progress, "show the progress line even when stdout is no terminal");
    command.Footer(std::string("A receiver never writes outside DIR: names with a folder part, '..' or a\n"
                               "device name are refused. A file is written as DIR/.NAME.part and renamed only\n"
                               "when whole and checked; zmodem and packet resume from a .part file a failed\n"
                               "transfer left.\n\n") +
                   kTransferHelp + kDeviceHelp);
    command.OnRun([&status, texts] {
        TransferRequest& request = texts->request;
        request.command = "receive";
        if (!ParseProtocol(texts->protocol, request.protocol)) {
            CommandError("receive",
                         "--protocol takes " + std::string(kProtocolNames) + ", not '" + texts->protocol + "'");
            status = 2;
            return;
        }
        const bool xmodem = request.protocol == XFER_XMODEM || request.protocol == XFER_XMODEM_1K;
        if (xmodem && request.xmodemName.empty()) {
            CommandError("receive", "XMODEM carries no file name: give one with --name FILE");
            status = 2;
            return;
        }
        if (!xmodem && !request.xmodemName.empty()) {
            CommandError("receive", "--name is for xmodem and xmodem-1k; the other protocols carry the names");
            status = 2;
            return;
        }
        status = RunFileTransfer(request);
    });
}

}  // namespace tavrin::tool
