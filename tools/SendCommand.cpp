// tavrin send [--protocol P] FILE... DEVICE: files to the far side.
#include <memory>
#include <string>

#include "Commands.h"
#include "FileTransferRun.h"

namespace tavrin::tool {

const char* const kTransferHelp =
    "Protocols: xmodem (128-byte blocks, CRC-16 or checksum as the receiver asks), xmodem-1k, ymodem\n"
    "(batch: name, size and time in block 0), ymodem-g (streamed, for reliable links), zmodem (CRC-32,\n"
    "streaming, resume), packet (between two tavrin hosts: the library's packet frames, SHA-256 checked,\n"
    "resumed). The device is opened as term opens it: every byte passes, no flow control unless named.\n"
    "On a terminal one line shows the file, percent, bytes, rate and time left (--progress: also when\n"
    "stdout is no terminal); a line per file sums up. Exit status 0 when every file arrived whole, 1\n"
    "when not (the reason on stderr), 2 for a usage error.\n\n";

void AddSendCommand(CommandLine& line, int& status)
{
    struct Texts {
        std::vector<std::string> words;
        std::string protocol = "zmodem";
        bool progress = false;
    };
    auto texts = std::make_shared<Texts>();
    Command command = line.Add("send", "send files to the far side of DEVICE");
    command.Add("FILE", texts->words, "the files to send, then the DEVICE (below)").Required().TypeName("FILE... DEVICE");
    command.Add("--protocol", texts->protocol, "xmodem, xmodem-1k, ymodem, ymodem-g, zmodem (the default) or packet")
        .TypeName("NAME");
    command.Flag("--progress", texts->progress, "show the progress line even when stdout is no terminal");
    command.Footer(std::string(kTransferHelp) + kDeviceHelp);
    command.OnRun([&status, texts] {
        TransferRequest request;
        request.command = "send";
        if (!ParseProtocol(texts->protocol, request.protocol)) {
            CommandError("send", "--protocol takes " + std::string(kProtocolNames) + ", not '" + texts->protocol + "'");
            status = 2;
            return;
        }
        if (texts->words.size() < 2) {
            CommandError("send", "name the files, then the DEVICE");
            status = 2;
            return;
        }
        request.device = texts->words.back();
        request.files.assign(texts->words.begin(), texts->words.end() - 1);
        if ((request.protocol == XFER_XMODEM || request.protocol == XFER_XMODEM_1K) && request.files.size() != 1) {
            CommandError("send", "XMODEM sends exactly one file; YMODEM, ZMODEM and packet send several");
            status = 2;
            return;
        }
        request.progress = texts->progress;
        status = RunFileTransfer(request);
    });
}

}  // namespace tavrin::tool
