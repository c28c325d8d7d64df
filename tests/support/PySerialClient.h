// pySerial's RFC 2217 client as a peer: Debian's python3-serial under
// /usr/bin/python3 (a python3 found in PATH may lack the module), run
// isolated (-I) so that neither the working directory nor the script's
// folder can shadow the module with one of this project's. Driven by
// support/rfc2217_client.py one request at a time, each wait bounded.
#pragma once

#include <memory>
#include <string>

#include "support/ChildProcess.h"

namespace tavrin::test {

class PySerialClient {
public:
    static constexpr const char* kPython = "/usr/bin/python3";

    // Empty when the module is there; else why the tests cannot run.
    static std::string Missing()
    {
        ChildOptions options;
        options.argv = {kPython, "-I", "-c", "import serial.rfc2217"};
        ChildProcess probe(options);
        if (!probe.Started())
            return kPython + std::string(" cannot be started: ") + probe.Error();
        return probe.WaitForExit(20000) == 0 ? std::string()
                                             : kPython + std::string(" has no pySerial (python3-serial)");
    }

    explicit PySerialClient(const std::string& script)
    {
        ChildOptions options;
        options.argv = {kPython, "-I", script};
        m_child = std::make_unique<ChildProcess>(options);
    }

    bool Started() const { return m_child->Started(); }
    // The driver's result for one request ("ok", hex bytes, "error: ...");
    // "no answer" when none came within timeoutMs.
    std::string Ask(const std::string& request, int timeoutMs)
    {
        const std::string number = std::to_string(++m_requests);
        const std::string open = "[" + number + "] ", close = " [/" + number + "]";
        if (!m_child->WriteStdin(request + "\n") || !m_child->WaitForStdout(close, timeoutMs))
            return "no answer";
        const std::string& out = m_child->Stdout();
        const size_t from = out.find(open) + open.size();
        return out.substr(from, out.find(close) - from);
    }
    const ChildProcess& Process() const { return *m_child; }

private:
    std::unique_ptr<ChildProcess> m_child;
    int m_requests = 0;
};

}  // namespace tavrin::test
