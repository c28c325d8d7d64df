// Third-party Telnet servers for the network device's tests, on a loopback
// port: inetutils-telnetd or busybox telnetd, each started by socat for the
// connection socat accepts, with /bin/cat in place of a login so that what
// the client types comes back.
//
//   tavrin::test::TelnetServer server(tavrin::test::TelnetKind::Busybox);
//   if (!server.Available()) GTEST_SKIP() << server.Error();
//   ASSERT_TRUE(server.Ready()) << server.Error();
//   lan.Connect("127.0.0.1", server.Port());
#pragma once

#include <memory>
#include <string>

#include "ChildProcess.h"

namespace tavrin::test {

enum class TelnetKind {
    // /usr/sbin/telnetd -E /bin/cat (Debian's inetutils-telnetd). It offers
    // WILL AUTHENTICATION and WILL ENCRYPT first and holds back the rest of
    // its negotiation and its banner until both are answered.
    Inetutils,
    // busybox telnetd -i -l /bin/cat (from Debian's busybox-static, which
    // .ci/deps extracts rather than installs: it conflicts with busybox).
    // It sends DO ECHO, DO NAWS, WILL ECHO, WILL SGA and /etc/issue.net at
    // once, without waiting for answers.
    Busybox,
};

const char* TelnetKindName(TelnetKind kind);

// Where busybox-static's busybox is: $TAVRIN_BUSYBOX when set, else the
// place .ci/deps extracts it to. Empty when neither holds an executable.
std::string BusyboxPath();

// socat listening on 127.0.0.1:Port(), starting the server for each caller
// with the connection as its standard input and output. Both servers have
// an inetd mode, so socat does the listening for both: socat says when it
// listens (with -d -d), which busybox's own listener does not, so the start
// is waited for on that line, never guessed. Ready within a bounded time or
// not at all. A server ends when its connection does; at the end socat is
// given a bounded time to reap the servers of closed connections, then
// stopped.
class TelnetServer {
public:
    explicit TelnetServer(TelnetKind kind);
    ~TelnetServer();
    TelnetServer(const TelnetServer&) = delete;
    TelnetServer& operator=(const TelnetServer&) = delete;

    // False when a program this peer needs is missing here (a reason to
    // skip, given by Error()); true otherwise, even when the start failed.
    bool Available() const { return m_available; }
    bool Ready() const { return m_ready; }
    const std::string& Error() const { return m_error; }
    int Port() const { return m_port; }
    // What socat printed, for failure messages.
    std::string Output() const;

private:
    bool Start(const std::string& program);

    std::unique_ptr<ChildProcess> m_socat;
    int m_port = 0;
    bool m_available = false;
    bool m_ready = false;
    std::string m_error;
};

}  // namespace tavrin::test
