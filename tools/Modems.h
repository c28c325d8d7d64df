// tavrin modems and tavrin dial: the modems of the registry, the selection
// panel in the terminal, and a call through the chosen one.
#pragma once

#include <string>

namespace tavrin::tool {

struct ModemsOptions {
    // A registry file or folder to load; empty: TAVRIN_REGISTRY or the
    // default place.
    std::string registry;
    // 1-based position to choose without the panel; 0: ask (several modems).
    int choose = 0;
};

// Lists every listed modem with its port, rate and strings, then selects one
// (the panel when there are several) and prints its strings. 0, or 1 when
// the registry cannot be loaded or the choice was cancelled; 2 for a bad
// option.
int RunModems(const ModemsOptions& options);

struct DialOptions {
    std::string number;
    std::string registry;
    int choose = 0;
    bool pulse = false;
    // Steps below the modem's own rate.
    int step = 0;
    // How long to wait for the answer to the dial command.
    int answerTimeoutMs = 60000;
};

// Opens the selected modem, initialises it, dials and shows the modem's
// answers on stdout. On CONNECT the session goes on as `term` does (input to
// the line, the line to stdout) until the input ends or the call drops, and
// the modem is hung up. 0 when a call was made and hung up by us; 1 when no
// modem, the port, the modem or the call failed (the answer is named).
int RunDial(const DialOptions& options);

}  // namespace tavrin::tool
