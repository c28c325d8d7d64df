// The keyboard side of the host's interactive commands: stdin in raw mode
// on a terminal, a pipe that wakes the input thread, and the loop that hands
// typed input to the device.
#pragma once

#include <termios.h>

#include <cstddef>
#include <functional>
#include <string>

namespace tavrin::tool {

inline constexpr char kEscapeKey = 0x1D;   // Ctrl-]
inline constexpr char kEscapeName[] = "Ctrl-]";

enum class EndReason { Stopped, EndOfInput, EscapeKey, InputFailed, WriteFailed };

// Raw mode on the terminal of stdin for the session: keys arrive one by one,
// unechoed, with no signals from Ctrl-C, and what the device sends is shown
// untranslated. The terminal's own settings come back at the end.
class RawTerminal {
public:
    RawTerminal();
    ~RawTerminal();
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;
    bool Active() const { return m_active; }

private:
    termios m_saved{};
    bool m_active = false;
};

// Wakes the input thread out of its wait on stdin when the session ends for
// another reason.
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;
    bool Valid() const { return m_fds[0] >= 0; }
    int WaitFd() const { return m_fds[0]; }
    void Raise();

private:
    int m_fds[2];
};

// Where typed input goes: false when it could not be sent and the session
// should end.
using Sender = std::function<bool(const char*, size_t)>;
using Notify = std::function<void(const std::string&)>;

// Sends the whole lines of pending and keeps the unfinished rest. A line
// ends at LF, or at a CR that no LF follows in what has arrived, so that a
// peer waiting for "AT\r" hears it without waiting for more input; the bytes
// on the line are the same either way.
bool SendLines(const Sender& send, std::string& pending);

// Reads stdin until it ends, the escape key is typed (raw keys only), a
// send fails or stopFd becomes readable. Keys go as they come in raw mode,
// lines otherwise.
EndReason PumpInput(const Sender& send, bool rawKeys, int stopFd, const Notify& notify);

}  // namespace tavrin::tool
