// An lrzsz program (sx, rx, sb, rb, sz, rz, with any arguments) as the far
// end of a transfer. It runs on a socket that socat pumps to a new
// pseudo-terminal, which the library opens (PtyPath), to the first caller
// of a loopback TCP port (Port), or to a loopback TCP port that listens
// (Dial: another program's serial console, say). An lrzsz program that owned a pty
// would flush it as it exits and lose its own last bytes (YMODEM's last
// ACK, ZMODEM's "OO") before the library read them.
//
//   LrzszPeer peer(LrzszPeer::Via::Pty, {"rb", "-y"}, receiveDir);
//   ASSERT_TRUE(peer.Ready()) << peer.Error();
//   ... the library sends over peer.PtyPath() ...
//   EXPECT_EQ(peer.WaitForExit(10000), 0) << peer.Log();
#pragma once

#include <memory>
#include <ostream>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace tavrin::test {

class LrzszPeer {
public:
    enum class Via { Pty, Tcp, Dial, Open };

    // command runs in workDir (where a receiver puts its files); Dial
    // connects to 127.0.0.1:dialPort; Open opens the terminal openPath (the
    // far end of another peer's pty, for a transfer between two lrzsz
    // programs).
    LrzszPeer(Via via, const std::vector<std::string>& command, const std::string& workDir, int dialPort = 0,
              const std::string& openPath = {});
    // Kills socat and the program if they still run.
    ~LrzszPeer();
    LrzszPeer(const LrzszPeer&) = delete;
    LrzszPeer& operator=(const LrzszPeer&) = delete;

    // True when lrzsz and socat are installed.
    static bool Available();

    bool Ready() const { return m_ready; }
    const std::string& Error() const { return m_error; }
    const std::string& PtyPath() const { return m_ptyPath; }
    int Port() const { return m_port; }
    // Waits for the program's end: its exit status, or nothing when the
    // time-out passed first.
    std::optional<int> WaitForExit(int timeoutMs);
    // What the program printed on stderr, for failure messages.
    std::string Log() const;

private:
    TempDir m_own;  // the script, its log and its status
    std::unique_ptr<ChildProcess> m_socat;
    std::string m_ptyPath, m_error;
    int m_port = 0;
    bool m_ready = false;
};

inline void PrintTo(LrzszPeer::Via via, std::ostream* os)
{
    static const char* const kNames[] = {"pty", "tcp", "dial", "open"};
    *os << kNames[static_cast<int>(via)];
}

}  // namespace tavrin::test
