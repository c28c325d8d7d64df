// A Hayes modem for the modem tests, in-process on a thread of its own. It
// owns the master side of a new pseudo-terminal and never opens the slave,
// so the slave path (SlavePath()) is the modem's serial port: the device
// under test opens it, writes AT commands and reads the results, and
// closing it is dropping DTR (the last holder of the slave closes it, the
// master sees the hang-up), which ends any call and restores the defaults.
// A device that closes and at once opens again meets a modem already reset;
// should it write before the modem has read the close, any of its earlier
// bytes still unread go to the new session too, as nothing tells them apart.
// The port's modes are the device's, kept from one open to the next.
//
//   tavrin::test::HayesModem modem(100);          // guard time 100 ms
//   ASSERT_TRUE(modem.Ok()) << modem.Error();
//   std::uint16_t port; auto listener = tavrin::test::ListenLoopback(port);
//   // the device opens modem.SlavePath() and sends "ATDT<port>\r"
//   ASSERT_TRUE(modem.WaitForState(tavrin::test::HayesModem::State::Online, 5000));
//
// Commands: a line is collected until CR (LF ignored, BS or DEL removes a
// character) and echoed as it comes while echo is on (E1, the default). A
// line that does not begin with "AT" or "at" is ignored, as modems do, but
// kept in Commands(); an empty line is ignored. After AT, with optional
// numbers: E V Q M L X B H Z I O, &F &K &C &D, \N, %C, Sn=v (sets), Sn?
// (three digits), and D[T|P]<digits>, the rest of the line. Anything else
// answers ERROR and the rest of its line is not run.
//
// Results: verbal by default (V1: CR LF text CR LF), numeric with V0 (the
// code then CR: 0 OK, 1 CONNECT, 3 NO CARRIER, 4 ERROR); none with Q1.
// Information (I, Sn?) comes before the final result in the same framing.
//
// Dialling: the digits are a TCP port on 127.0.0.1. Connected: "CONNECT
// 57600" (just "CONNECT" with X0) and data mode, where bytes pass unchanged
// both ways. Refused: "NO CARRIER", still in command mode. In data mode the
// escape is the S2 character (+) three times with the guard time (S12,
// 1/50 s units; the constructor's guard unless a test sets S12) of silence
// before and after: "OK" in command mode with the call up. The three
// characters still reach the far end, as on a real line, since the modem
// cannot know them for an escape until the guard after has passed. ATO goes
// back on line (CONNECT), ATH or ATZ hangs up (OK). The TCP peer closing
// gives "NO CARRIER" after the bytes it sent. While in command mode with the
// call up, the TCP side's bytes wait in the socket.
//
// Line rate: the modem reads the rate the device set on the port. Above the
// most its serial side takes (the constructor's maxRate; 0, the default:
// any) characters come out garbled: they are lost, neither echoed nor made
// into commands or data, and counted (Garbled()). A device that lowers the
// rate and sends "AT" is heard again, as a real modem learns a rate from
// the "AT" it receives.
//
// Every wait a test makes here is bounded; the modem's thread sleeps in
// poll on an eventfd (stop), inotify (the slave's opens) and, as the state
// asks, the master, the call's socket and a guard-time deadline.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavrin::test {

class HayesModem {
public:
    enum class State {
        PortClosed,      // nobody holds the slave: waiting for the next open
        Command,         // port open, no call
        Online,          // data mode, a call up
        OnlineCommand,   // command mode after the escape, the call still up
    };
    static const char* StateName(State state);
    // What ATI answers.
    static constexpr const char* kIdentification = "Tavrin test modem";

    explicit HayesModem(int guardMs = 1000, unsigned long maxRate = 0);
    // Stops the thread (at once, through the eventfd), hangs up any call
    // and closes the master.
    ~HayesModem();
    HayesModem(const HayesModem&) = delete;
    HayesModem& operator=(const HayesModem&) = delete;

    bool Ok() const { return m_error.empty(); }
    const std::string& Error() const { return m_error; }
    const std::string& SlavePath() const { return m_slavePath; }

    State GetState() const;
    // Each line received in command mode, without its CR, in order.
    std::vector<std::string> Commands() const;
    // The line rate at which the last command line arrived.
    unsigned long CommandRate() const;
    // Bytes lost to a rate above maxRate; waits until at least count.
    bool WaitForGarbled(int count, int timeoutMs) const;
    // True once a line equal to text has been received (now or earlier)
    // within the time-out.
    bool WaitForCommand(const std::string& text, int timeoutMs) const;
    bool WaitForState(State state, int timeoutMs) const;
    // Calls connected, and calls ended for any reason (ATH, ATZ, NO CARRIER,
    // the port closed).
    int Calls() const;
    int HangUps() const;
    // Opens of the slave seen (several descriptors count several), and
    // times its last holder closed it. The modem counts the slave's holders
    // from inotify's open and close events rather than trusting the
    // master's POLLHUP alone: a device that closes and at once reopens
    // would clear the POLLHUP before the thread saw it, and the hang-up
    // would be lost.
    int PortOpens() const;
    int PortCloses() const;
    // Waits until the counts have reached at least these values.
    bool WaitForHangUps(int count, int timeoutMs) const;
    bool WaitForPortCloses(int count, int timeoutMs) const;

private:
    struct Settings;
    class Engine;

    template <class Pred>
    bool WaitFor(int timeoutMs, Pred pred) const;

    std::string m_slavePath, m_error;
    int m_master = -1, m_inotify = -1, m_stop = -1;
    int m_guardMs;
    unsigned long m_maxRate;

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    State m_state = State::PortClosed;
    std::vector<std::string> m_commands;
    int m_calls = 0, m_hangUps = 0, m_opens = 0, m_closes = 0, m_garbled = 0;
    unsigned long m_commandRate = 0;

    std::thread m_thread;
};

}  // namespace tavrin::test
