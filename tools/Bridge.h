// tavrin bridge DEVICE DEVICE: two devices linked to each other, as a
// serial-to-network bridge is (serial:/dev/ttyUSB0:115200 listen:2323).
#pragma once

#include <string>
#include <vector>

#include "DeviceArg.h"

namespace tavrin::tool {

struct BridgeOptions {
    std::string first, second;
    // The callers a listen: side admits; no rules: every caller.
    std::vector<AccessRule> allow;
    // A serial: or tcp: side that goes away is waited for and opened again
    // (Reconnect.h); the other side stays up, and a listen: side's callers
    // are told in a line of text when it goes and when it is back.
    bool reconnect = false;
};

// Each device forwards what it receives to the other through the library's
// link (LinkDevice): runs of non-zero bytes with the partner's Write, each
// zero byte with the partner's SendBreak, which on a socket is one zero
// byte again. A listen: side links one admitted caller at a time; a caller
// that comes while one is linked is turned away, and when the linked one
// leaves the side waits for the next. Bytes that arrive while a side has
// nothing to link (before both are up, or with no caller) are dropped.
//
// Runs until SIGINT or SIGTERM (Ctrl-C or Ctrl-Break on Windows; exit
// status 0) or until a link drops by itself: the peer of a tcp: side
// closing, a serial port going away, a listener failing (exit status 1). Both devices are disconnected either
// way. 2 for a malformed DEVICE or option, 1 when a device cannot be opened.
// Notices go to stderr; nothing is written to stdout.
int RunBridge(const BridgeOptions& options);

}  // namespace tavrin::tool
