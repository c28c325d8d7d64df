// iaxmodem (Debian package iaxmodem) as a third-party modem for the modem
// tests: a software modem whose AT interpreter (spandsp's) answers on a
// pseudo-terminal it makes itself, linked as DIR/ttyIAX0.
//
//   tavrin::test::IaxModemPeer modem;
//   ASSERT_TRUE(modem.Ready()) << modem.Error();
//   // the device under test opens modem.DevicePath()
//
// Confinement. iaxmodem reads its configuration from /etc/iaxmodem/NAME and
// may log to /var/log/iaxmodem. It runs in a mount namespace of its own
// (unshare -m, hence root) where both folders are bind mounts of folders in
// the test's temporary directory, so whatever it writes stays there and
// goes with it; the package makes both mount points, and the peer refuses
// to start without them rather than create them on the real system. The
// pseudo-terminal and its link are made by iaxmodem and removed when it
// stops; "record" and the daemon mode, its only writers to /tmp and
// /var/run, are not used. It binds its IAX port (UDP, on every address: it
// has no option to bind one) and sends nothing: "refresh 0" means no
// registration, and nothing here dials out of it but to 127.0.0.1.
//
// What it answers (iaxmodem 1.2.0 as Debian 12 ships it, measured):
// - Echo is on by default; results are CR LF text CR LF: "AT\r" gives
//   "AT\r\r\nOK\r\n". "ATE0\r" is still echoed itself ("ATE0\r\r\nOK\r\n"),
//   the lines after it are not. ATZ, AT&F, ATH: OK.
// - "ATI\r" gives "\r\nspandsp\r\n\r\nOK\r\n"; ATI3 "www.soft-switch.org".
// - ATV0: numeric results, "0\r". ATQ1: no results at all.
// - ATS7? gives "\r\n060\r\n\r\nOK\r\n" (S7 is 60 by default); ATS12? and
//   ATS29? give OK with no value. ATS30=0 and ATS30? give ERROR.
// - "ATS7=60S30=0M0\N3%C1&K3B0X4V1\r" gives ERROR, and only S30=0 is to
//   blame: the same line without it gives OK, as does each of M0, \N3, %C1,
//   &K3, B0, X4, V1 alone. The interpreter is lenient elsewhere: ATFOO,
//   ATY9 and ATS99=1 all answer OK.
// - A line not starting with AT (e.g. "XYZ\r") is echoed and not answered.
// - "ATM1L2DT42\r" (with no IAX server on 127.0.0.1) is echoed, then
//   nothing for 45 s, then "\r\nNO ANSWER\r\n" (45 s with S7=5 too): never
//   CONNECT or NO CARRIER. A device test waiting for a dial result needs
//   more than 45 s, or should not dial this modem.
// - The port may be opened, closed and opened again; the modem keeps its
//   settings between opens (closing is no DTR drop to it).
#pragma once

#include <memory>
#include <string>

#include "ChildProcess.h"

namespace tavrin::test {

class IaxModemPeer {
public:
    // Starts iaxmodem in a temporary folder of its own and waits (bounded:
    // its "Modem started" line, then an answer to "AT\r" on the link).
    IaxModemPeer();
    // Stops iaxmodem (SIGTERM; SIGKILL after a bounded wait), which ends its
    // namespace, and removes the folder.
    ~IaxModemPeer();
    IaxModemPeer(const IaxModemPeer&) = delete;
    IaxModemPeer& operator=(const IaxModemPeer&) = delete;

    bool Ready() const { return m_ready; }
    // The confinement needs root: a user's run skips the peer's tests.
    static bool NeedsRoot();
    // Why it did not start (not root, iaxmodem missing, ...).
    const std::string& Error() const { return m_error; }
    // DIR/ttyIAX0, a link to the modem's pseudo-terminal.
    const std::string& DevicePath() const { return m_devicePath; }
    const std::string& Dir() const { return m_dir.Path(); }
    // What iaxmodem printed, for failure messages.
    std::string Output() const;

private:
    bool Start();

    TempDir m_dir;
    std::unique_ptr<ChildProcess> m_iaxmodem;
    std::string m_devicePath, m_error;
    bool m_ready = false;
};

// The full path of an executable found in PATH, or empty.
std::string FindInPath(const std::string& program);

}  // namespace tavrin::test
