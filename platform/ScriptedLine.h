// A simulated serial line, for tests and demonstrations: what a real port
// shows that a pseudo-terminal cannot (status lines, line errors, breaks,
// marked bytes), played back on demand. It is a simulation facility, not a
// device: nothing leaves the process.
//
// A line registers itself under a name while it exists; CreateFileA of
// "scripted:NAME" opens it as a serial port, through the same port code as
// a real tty (only the driver beneath is replaced). One port at a time may
// have it open, as with a real device.
#pragma once

// Windows has no such line: it drives the POSIX port code's driver
// interface, so the Windows build leaves it out.
#if !defined(_WIN32)

#include <memory>
#include <string>

#include "Comm.h"

namespace tavrin {

class TAVRIN_API ScriptedLine {
public:
    explicit ScriptedLine(const char* name);
    ~ScriptedLine();
    ScriptedLine(const ScriptedLine&) = delete;
    ScriptedLine& operator=(const ScriptedLine&) = delete;

    // "scripted:NAME", for CreateFileA.
    std::string Path() const;

    // Received bytes as the tty driver hands them over in raw mode with
    // parity marking: FF FF for a data byte 0xFF, FF 00 00 for a break,
    // FF 00 x for byte x received with a parity or framing error. FALSE
    // when no port has the line open.
    BOOL Feed(const void* bytes, std::size_t count);
    BOOL Feed(const std::string& bytes) { return Feed(bytes.data(), bytes.size()); }

    // The status word the line reports (MS_CTS_ON | MS_DSR_ON | MS_RING_ON |
    // MS_RLSD_ON). Each line that changes counts as one interrupt and wakes
    // the port's status wait, as a UART's modem-status interrupt does.
    void SetModemStatus(DWORD status);
    // Adds count to the interrupt counts of the status lines given
    // (MS_..._ON bits) and wakes the status wait, their level unchanged: a
    // pulse too short to read (count 2), or a driver counting from a level
    // it assumed rather than read (ftdi_sio's first status byte, count 1).
    void CountStatusChanges(DWORD lines, DWORD count);
    // Adds to the driver's error counters and wakes the status wait.
    void AddErrorCounts(DWORD frame, DWORD parity, DWORD overrun, DWORD brk, DWORD bufferOverrun);
    // The driver answers ENOTTY to every modem-line and counter call, as a
    // pseudo-terminal does.
    void SetNoModemLines(BOOL none);
    // The next opens fail with this errno value (0: they succeed).
    void FailOpen(int errnoValue);
    // The far end goes away: the port sees a hang-up, as when a USB adapter
    // is unplugged.
    void HangUp();

    BOOL IsOpen() const;
    // Every byte the port has written since the line was created.
    std::string Written() const;
    // Waits up to the time given until at least count bytes were written.
    BOOL WaitForWritten(std::size_t count, DWORD milliseconds) const;
    BOOL Dtr() const;
    BOOL Rts() const;
    BOOL BreakOn() const;
    // How many times a break was set.
    DWORD BreakCount() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

}  // namespace tavrin

#endif  // !_WIN32
