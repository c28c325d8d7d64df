// tavrin term DEVICE: an interactive terminal on a device.
#pragma once

#include <string>
#include <vector>

#include "DeviceArg.h"
#include "TermOutput.h"

namespace tavrin::tool {

struct TerminalOptions {
    std::string device;
    // listen: only. No rules: every caller is admitted.
    std::vector<AccessRule> allow;
    // tcp: and listen: only (listen: sets it on every caller).
    bool refuseTelnet = false;
    // serial: and tcp: only: a device that goes away is waited for and
    // opened again (Reconnect.h) rather than ending the session.
    bool reconnect = false;
    // Stamps, hex, log and maps of what is received and typed.
    OutputOptions output;
    // Where a ZMODEM upload the far side starts (sz) is received.
    std::string receiveDir = ".";
};

// Returns the exit status: 0 when the input ended, the escape key was
// pressed or SIGINT/SIGTERM came, 1 when the device could not be opened, a write failed or the link
// dropped, 2 for a malformed DEVICE or an option the device cannot take.
//
// On a listen: device every caller's access text is a notice; what admitted
// callers send comes out on stdout, and what is typed goes to every
// admitted caller there is at the time (nowhere, with a notice, when there
// is none). A caller that leaves is a notice; the listener going down ends
// the session as a dropped link. On udp-reply: and broadcast: the input is
// not sent (a notice says so): there is no peer to send it to.
int RunTerminal(const TerminalOptions& options);

}  // namespace tavrin::tool
