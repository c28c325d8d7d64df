// Running the tavrin host in tests of its socket devices: one started per
// call, and a listen: device retried on another port when the one picked
// was taken meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace tavrin::test {

inline std::unique_ptr<ChildProcess> StartTavrin(const std::vector<std::string>& args)
{
    ChildOptions options;
    options.argv = {TAVRIN_CLI_PATH};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(options);
}

// Starts the host with args made for a port, and waits until it says it
// is up (ready on stderr, or on stdout when readyOnStdout). A port the system handed to someone else between
// the test's pick and the host's bind ends the host at once with "cannot
// listen": another port is tried then. nullptr when no attempt came up.
inline std::unique_ptr<ChildProcess> StartListening(const std::function<std::vector<std::string>(std::uint16_t)>& args,
                                                    const std::function<std::uint16_t()>& pickPort,
                                                    const std::string& ready, int timeoutMs, std::uint16_t& port,
                                                    bool readyOnStdout = false)
{
    for (int attempt = 0; attempt < 10; ++attempt) {
        port = pickPort();
        auto child = StartTavrin(args(port));
        if (!child->Started())
            return nullptr;
        if (readyOnStdout ? child->WaitForStdout(ready, timeoutMs) : child->WaitForStderr(ready, timeoutMs))
            return child;
        if (child->Stderr().find("cannot listen") == std::string::npos &&
            child->Stderr().find("cannot answer") == std::string::npos)
            return child;   // up or not, for a reason the caller reports
    }
    return nullptr;
}

}  // namespace tavrin::test
