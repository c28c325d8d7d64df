// Internal to the POSIX backend: the narrow set of driver calls a serial
// port makes. The real implementation talks to a Linux tty (TtyDriver.cpp);
// the scripted one (ScriptedLine.cpp) plays back what this machine's
// pseudo-terminals cannot produce: status lines, line errors, breaks.
//
// Every call returns 0 or a positive errno value, except Read and Write,
// which return a byte count or a negative errno value. No OS header is
// needed to use this interface.
#pragma once

#include <cstddef>
#include <memory>

#include "../Types.h"

namespace tavrin::posix {

// The line format as the driver is asked for it. Raw mode is implied: the
// driver always delivers bytes unchanged, with line errors and breaks marked
// in the stream (0xFF 0x00 x, 0xFF 0x00 0x00, and 0xFF 0xFF for a data 0xFF).
struct LineSettings {
    DWORD baudRate = 9600;
    BYTE byteSize = 8;   // 5 to 8
    BYTE parity = 0;     // NOPARITY .. SPACEPARITY
    BYTE stopBits = 0;   // ONESTOPBIT or TWOSTOPBITS
    bool rtsCts = false;
    bool xonOutput = false;  // the peer's Xoff stops our output
    bool xonInput = false;   // we send Xoff when our input fills
    bool checkParity = false;
    char xonChar = 0x11;
    char xoffChar = 0x13;
};

// Running totals of the driver's interrupt counters.
struct LineCounters {
    DWORD cts = 0;
    DWORD dsr = 0;
    DWORD ring = 0;
    DWORD dcd = 0;
    DWORD frame = 0;
    DWORD parity = 0;
    DWORD overrun = 0;
    DWORD brk = 0;
    DWORD bufferOverrun = 0;
};

// Output lines for SetOutputLine.
enum class OutputLine { Dtr, Rts };

class LineDriver {
public:
    virtual ~LineDriver() = default;

    // Readable when input is waiting, writable when output can be taken;
    // hang-up shows as POLLHUP or POLLERR. Non-blocking.
    virtual int PollFd() const = 0;

    virtual int GetSettings(LineSettings& settings) = 0;
    virtual int SetSettings(const LineSettings& settings) = 0;
    // True where the driver replaces the byte size and parity it is given
    // (a pseudo-terminal forces 8 bits, no parity): what reads back for
    // those says nothing about what was asked.
    virtual bool ForcesFrameFormat() const = 0;
    // True where a written byte is at once on its way to the peer's input
    // (a pseudo-terminal): there is no transmit queue that a purge could
    // empty, only data the peer has not taken yet, which is not ours to
    // take back.
    virtual bool HandsOutputToPeer() const = 0;

    virtual long Read(void* buffer, std::size_t size) = 0;
    virtual long Write(const void* buffer, std::size_t size) = 0;

    // MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON.
    virtual int GetModemLines(DWORD& status) = 0;
    virtual int SetOutputLine(OutputLine line, bool on) = 0;
    // Blocks until a status line changes (or a counter moves, where the
    // driver wakes for that). EINTR once InterruptModemWait reached the
    // waiting thread; ENOTTY or EINVAL where the driver has no such wait,
    // EAGAIN where it could not be made interruptible.
    virtual int WaitModemChange() = 0;
    // Makes a WaitModemChange running on another thread return. May miss a
    // thread that is just about to enter the wait; the caller repeats it
    // until that thread has left.
    virtual void InterruptModemWait() = 0;
    virtual int GetCounters(LineCounters& counters) = 0;

    virtual int SetBreak(bool on) = 0;
    virtual int Flush(bool input, bool output) = 0;
    // Suspends (false) or resumes (true) our output as an Xoff / Xon would.
    virtual int SetOutputFlow(bool resume) = 0;
    virtual int InputQueue(DWORD& bytes) = 0;
    virtual int OutputQueue(DWORD& bytes) = 0;
};

// Opens a tty device: exclusive, non-blocking, raw, stale input flushed.
std::unique_ptr<LineDriver> OpenTtyDriver(const char* path, int& error);
// Opens the scripted line registered under name (ScriptedLine.h).
std::unique_ptr<LineDriver> OpenScriptedDriver(const char* name, int& error);
// A path of the form "scripted:NAME"; name points at NAME.
bool IsScriptedPath(const char* path, const char*& name);

}  // namespace tavrin::posix
