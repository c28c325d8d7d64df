// tavrin send and tavrin receive: a file transfer on a device opened as
// term opens it (transparent, no flow control unless named), with the
// progress shown and the exit status the files' fate.
#pragma once

#include <tavrin/Tavrin.h>

#include <string>
#include <vector>

namespace tavrin::tool {

struct TransferRequest {
    const char* command = "send";    // for the messages
    std::string device;
    XferProtocol protocol = XFER_ZMODEM;
    std::vector<std::string> files;  // to send; empty: receive
    std::string dir = ".";
    XferReceiveOptions options;
    std::string xmodemName;
    bool progress = false;           // the progress line even when stdout is no terminal
};

// "xmodem", "xmodem-1k", "ymodem", "ymodem-g", "zmodem", "packet".
bool ParseProtocol(const std::string& text, XferProtocol& protocol);
inline constexpr const char* kProtocolNames = "xmodem, xmodem-1k, ymodem, ymodem-g, zmodem or packet";

// 0 when every file went or came whole, 1 when not (the reason on
// stderr), 2 for a DEVICE that is malformed or has no single peer.
int RunFileTransfer(const TransferRequest& request);

}  // namespace tavrin::tool
