// Third-party serial peers for tests: a socat pseudo-terminal pair, and
// ser2net serving one end of such a pair on a loopback TCP port.
//
//   tavrin::test::TempDir dir;
//   tavrin::test::SocatPtyPair pair(dir.Path());        // pair.PathA(), pair.PathB()
//   tavrin::test::Ser2netServer server(pair.PathB(), dir.Path());
//   ASSERT_TRUE(server.Ready()) << server.Error();
//   int client = tavrin::test::ConnectLoopback(server.Port());
//   // bytes written on PathA reach the client, and the client's come back
#pragma once

#include <memory>
#include <string>

#include "ChildProcess.h"

namespace tavrin::test {

// socat joining two new pseudo-terminals, raw and without echo, linked as
// DIR/<name>a and DIR/<name>b; ready once socat says it moves data. A new
// pair per test: socat keeps both ends open, so settings and unread bytes
// would outlive a test. Killed (and its links gone) at the end.
class SocatPtyPair {
public:
    explicit SocatPtyPair(const std::string& dir, const std::string& name = "pty");
    ~SocatPtyPair();
    bool Ready() const { return m_ready; }
    const std::string& Error() const { return m_error; }
    const std::string& PathA() const { return m_pathA; }
    const std::string& PathB() const { return m_pathB; }

private:
    std::unique_ptr<ChildProcess> m_socat;
    std::string m_pathA, m_pathB, m_error;
    bool m_ready = false;
};

// ser2net 4 in the foreground serving device on 127.0.0.1:Port(): raw TCP,
// or Telnet with RFC 2217 when rfc2217 is set. Ready once its pid file is
// written, which ser2net does after its accepters listen, and the port is
// seen listening in /proc/net/tcp; both are waited for with a bounded
// time-out, not guessed with a sleep. Stopped with SIGTERM at the end.
class Ser2netServer {
public:
    Ser2netServer(const std::string& device, const std::string& dir, bool rfc2217 = false,
                  const std::string& lineSettings = "115200n81");
    ~Ser2netServer();
    bool Ready() const { return m_ready; }
    const std::string& Error() const { return m_error; }
    int Port() const { return m_port; }
    // What ser2net printed, for failure messages.
    std::string Output() const;

private:
    bool Start(const std::string& device, const std::string& dir, bool rfc2217, const std::string& lineSettings);

    std::unique_ptr<ChildProcess> m_ser2net;
    int m_port = 0;
    bool m_ready = false;
    std::string m_error;
};

// A TCP port on 127.0.0.1 that was free a moment ago (0 on failure).
int FreeLoopbackPort();
// True when /proc/net/tcp shows a socket listening on 127.0.0.1:port.
bool IsListeningOnLoopback(int port);
// A connected TCP socket to 127.0.0.1:port, or -1.
int ConnectLoopback(int port);

}  // namespace tavrin::test
