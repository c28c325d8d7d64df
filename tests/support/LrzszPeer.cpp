#include "LrzszPeer.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "Ser2netPeer.h"

namespace tavrin::test {
namespace {

constexpr int kStartMs = 10000;

std::string Quoted(const std::string& word)
{
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool InPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

}  // namespace

bool LrzszPeer::Available() { return InPath("socat") && InPath("sx") && InPath("rb"); }

LrzszPeer::LrzszPeer(Via via, const std::vector<std::string>& command, const std::string& workDir, int dialPort,
                     const std::string& openPath)
{
    // socat's EXEC cannot report the program's exit status: a script
    // keeps it, and the program's complaints, beside itself.
    const std::string script = m_own.Path() + "/peer.sh";
    {
        std::ofstream out(script);
        out << "#!/bin/sh\ncd " << Quoted(workDir) << " || exit 99\n";
        for (const std::string& word : command)
            out << Quoted(word) << ' ';
        out << "2>" << Quoted(m_own.Path() + "/log") << "\necho $? >" << Quoted(m_own.Path() + "/status.tmp")
            << " && mv " << Quoted(m_own.Path() + "/status.tmp") << ' ' << Quoted(m_own.Path() + "/status") << "\n";
        if (!out) {
            m_error = "cannot write " + script;
            return;
        }
    }
    chmod(script.c_str(), 0755);
    ChildOptions options;
    std::string near;
    if (via == Via::Pty) {
        // The program starts only once the library has opened the pty:
        // opening a port drops what came before, as a serial driver does, so
        // a receiver's first request would be lost with it. socat sets no
        // terminal options of its own here: it would set them once it saw
        // the pty opened, over the library's.
        near = "PTY,wait-slave,pty-interval=0.005";
    } else if (via == Via::Open) {
        near = "FILE:" + openPath + ",raw,echo=0";
    } else if (via == Via::Dial) {
        m_port = dialPort;
        near = "TCP:127.0.0.1:" + std::to_string(dialPort);
    } else {
        m_port = FreeLoopbackPort();
        if (m_port == 0) {
            m_error = "no free loopback port";
            return;
        }
        near = "TCP-LISTEN:" + std::to_string(m_port) + ",bind=127.0.0.1,reuseaddr";
    }
    options.argv = {"socat", "-d", "-d", near, "EXEC:" + script};
    m_socat = std::make_unique<ChildProcess>(options);
    if (!m_socat->Started()) {
        m_error = m_socat->Error();
        return;
    }
    // The pty's name is known once socat prints it; a listener listens once
    // it says it does.
    if (via == Via::Pty) {
        const std::string sign = "PTY is ";
        m_ready = m_socat->WaitForStderrUntil(
            [&](const std::string& text) {
                const auto at = text.find(sign);
                const auto end = at == std::string::npos ? at : text.find('\n', at);
                if (end == std::string::npos)
                    return false;
                m_ptyPath = text.substr(at + sign.size(), end - at - sign.size());
                return true;
            },
            kStartMs);
    } else {
        const std::string sign = via == Via::Tcp ? "listening on" : "starting data transfer loop";
        m_ready = m_socat->WaitForStderr(sign, kStartMs);
    }
    if (!m_ready)
        m_error = "socat did not start: " + m_socat->Stderr();
}

LrzszPeer::~LrzszPeer()
{
    if (m_socat && m_socat->Started())
        m_socat->Stop(SIGTERM, 5000);
}

std::optional<int> LrzszPeer::WaitForExit(int timeoutMs)
{
    if (!m_socat || !m_socat->Started() || !m_socat->WaitForExit(timeoutMs))
        return std::nullopt;
    const std::string status = ReadText(m_own.Path() + "/status");
    if (status.empty())
        return std::nullopt;
    return std::stoi(status);
}

std::string LrzszPeer::Log() const { return ReadText(m_own.Path() + "/log"); }

}  // namespace tavrin::test
