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
    // Zero bytes go as breaks (the library's own link) rather than as data.
    bool breaks = false;
    // The callers a listen: side serves at once; above 1 the side is shared.
    int clients = 1;
    // On a shared side only the first admitted caller's bytes are written.
    bool oneWriter = false;
    // The serial: side is served to the listen: side's callers as a Telnet
    // Com Port Control server (ComPortServer.h): they set its rate, format,
    // flow control and lines, and hear of its status lines and errors.
    bool rfc2217 = false;
};

// Each device forwards what it receives to the other through the library's
// link (LinkDevice). Both sides and every caller are transparent: every
// byte is data, zero bytes included. With breaks, the library's own link:
// runs of non-zero bytes with the partner's Write, each zero byte with the
// partner's SendBreak, which on a socket is one zero byte again. A break
// that a serial line reports goes to the other side as a break, or, to a
// socket, as a zero byte with breaks and not at all without (a notice says
// which). A listen: side links one admitted caller at a time unless it
// serves several (clients > 1): then the other side is linked to a fan-out
// that hands each caller everything, each through a queue of its own (a
// caller more than 1 MiB behind is let go), and the callers' bytes are
// written to the other side in the order they arrive (with oneWriter, only
// the writer's: the first admitted, and when it leaves the longest
// connected of the others). A caller beyond the number is turned away.
// Bytes that arrive while a side has nothing to link (before both are up,
// or with no caller) are dropped.
//
// Runs until SIGINT or SIGTERM (Ctrl-C or Ctrl-Break on Windows; exit
// status 0) or until a link drops by itself: the peer of a tcp: side
// closing, a serial port going away, a listener failing (exit status 1). Both devices are disconnected either
// way. 2 for a malformed DEVICE or option, 1 when a device cannot be opened.
// Notices go to stderr; nothing is written to stdout.
int RunBridge(const BridgeOptions& options);

}  // namespace tavrin::tool
