#include "TelnetPeer.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "Ser2netPeer.h"   // FreeLoopbackPort

namespace tavrin::test {

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 5000;
// A port found free can be taken by someone else before socat binds it;
// socat then exits at once and another port is tried.
constexpr int kPortAttempts = 3;

constexpr const char* kInetutilsTelnetd = "/usr/sbin/telnetd";
// Where .ci/deps extracts busybox-static.
constexpr const char* kExtractedBusybox = "/opt/tavrin-peers/busybox-static/bin/busybox";

bool IsExecutable(const std::string& path)
{
    return !path.empty() && access(path.c_str(), X_OK) == 0;
}

bool OnPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (IsExecutable((dir.empty() ? "." : dir) + "/" + program))
            return true;
    }
    return false;
}

}  // namespace

const char* TelnetKindName(TelnetKind kind)
{
    return kind == TelnetKind::Inetutils ? "InetutilsTelnetd" : "BusyboxTelnetd";
}

std::string BusyboxPath()
{
    const char* chosen = std::getenv("TAVRIN_BUSYBOX");
    if (chosen != nullptr && *chosen != '\0')
        return IsExecutable(chosen) ? chosen : std::string();
    return IsExecutable(kExtractedBusybox) ? kExtractedBusybox : std::string();
}

TelnetServer::TelnetServer(TelnetKind kind)
{
    if (!OnPath("socat")) {
        m_error = "socat is not installed (.ci/deps installs it)";
        return;
    }
    std::string program;
    if (kind == TelnetKind::Inetutils) {
        if (!IsExecutable(kInetutilsTelnetd)) {
            m_error = std::string(kInetutilsTelnetd) + " is missing (.ci/deps installs inetutils-telnetd)";
            return;
        }
        // -E: run this instead of login.
        program = std::string(kInetutilsTelnetd) + " -E /bin/cat";
    } else {
        const std::string busybox = BusyboxPath();
        if (busybox.empty()) {
            m_error = std::string("no busybox with telnetd: set TAVRIN_BUSYBOX or extract busybox-static to ") +
                      kExtractedBusybox + " (.ci/deps does)";
            return;
        }
        // -i: the connection is standard input and output, as inetd gives it.
        program = busybox + " telnetd -i -l /bin/cat";
    }
    m_available = true;
    for (int attempt = 0; attempt < kPortAttempts && !m_ready; ++attempt)
        m_ready = Start(program);
}

bool TelnetServer::Start(const std::string& program)
{
    if (m_socat) {
        m_socat->Stop(SIGTERM, kStopTimeoutMs);
        m_socat.reset();
    }
    m_port = FreeLoopbackPort();
    if (m_port == 0) {
        m_error = "no free loopback port";
        return false;
    }
    ChildOptions options;
    options.argv = {"socat", "-d", "-d",
                    "TCP-LISTEN:" + std::to_string(m_port) + ",bind=127.0.0.1,reuseaddr,fork",
                    "EXEC:" + program};
    m_socat = std::make_unique<ChildProcess>(options);
    if (!m_socat->Started()) {
        m_error = m_socat->Error();
        return false;
    }
    // socat exits at once when it cannot listen; the wait then ends early.
    if (!m_socat->WaitForStderr("listening on", kStartTimeoutMs)) {
        m_error = "socat is not listening on 127.0.0.1:" + std::to_string(m_port) + ": " + Output();
        return false;
    }
    if (!IsListeningOnLoopback(m_port)) {
        m_error = "nothing listens on 127.0.0.1:" + std::to_string(m_port) + ": " + Output();
        return false;
    }
    m_error.clear();
    return true;
}

namespace {

size_t Occurrences(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++count;
    return count;
}

}  // namespace

TelnetServer::~TelnetServer()
{
    if (!m_socat || !m_socat->Started())
        return;
    // socat serves each connection in a child, which waits for its server.
    // Killing socat first would orphan both; once the connections are closed
    // they end by themselves, and socat reports each child it reaps.
    const std::string self = "socat[" + std::to_string(m_socat->Pid()) + "] N ";
    // What socat has said so far first: the wait below tests before it reads.
    m_socat->WaitForStderrUntil([](const std::string&) { return false; }, 0);
    m_socat->WaitForStderrUntil(
        [&](const std::string& log) {
            return Occurrences(log, self + "childdied") >= Occurrences(log, self + "forked off child process");
        },
        kStopTimeoutMs);
    m_socat->Stop(SIGTERM, kStopTimeoutMs);
}

std::string TelnetServer::Output() const
{
    return m_socat ? m_socat->Stdout() + m_socat->Stderr() : std::string();
}

}  // namespace tavrin::test
