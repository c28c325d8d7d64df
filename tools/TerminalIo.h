// The keyboard side of the host's interactive commands: stdin in raw mode
// on a terminal, a signal that wakes the input thread, and the loop that
// hands typed input to the device. What differs between systems lives in
// TerminalIoPosix.cpp (termios, poll) and TerminalIoWin32.cpp (the console
// modes, pipes read with ReadFile).
#pragma once

#ifndef _WIN32
#include <termios.h>
#endif

#include <cstddef>
#include <functional>
#include <string>

namespace tavrin::tool {

inline constexpr char kEscapeKey = 0x1D;   // Ctrl-]
inline constexpr char kEscapeName[] = "Ctrl-]";

enum class EndReason { Stopped, EndOfInput, EscapeKey, InputFailed, WriteFailed };

// stdin, stdout and stderr carry bytes unchanged: the Windows runtime would
// otherwise write CR LF for every LF and end its input at Ctrl-Z. Nothing
// to do elsewhere.
void UseBinaryStdio();

// Whether stdin is a terminal (a console on Windows) rather than a pipe or
// a file: keys are read one by one then, and Ctrl-] quits.
bool StdinIsTerminal();
// Whether stdout (or stderr) is a terminal or console: a progress line is
// redrawn in place there, and left out elsewhere.
bool StdoutIsTerminal();
bool StderrIsTerminal();

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
#ifdef _WIN32
    unsigned long m_savedInput = 0, m_savedOutput = 0;
    bool m_outputSaved = false;
#else
    termios m_saved{};
#endif
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
#ifdef _WIN32
    bool Valid() const { return m_event != nullptr; }
    void* Event() const { return m_event; }
#else
    bool Valid() const { return m_fds[0] >= 0; }
    int WaitFd() const { return m_fds[0]; }
#endif
    void Raise();

private:
#ifdef _WIN32
    void* m_event = nullptr;   // a manual-reset event
#else
    int m_fds[2];
#endif
};

// One read of stdin that the stop signal cuts short: the count of bytes
// read, 0 at the end of the input, kReadStopped once stop is raised, or
// kReadFailed with error saying why. In raw mode a console gives the
// characters of the keys pressed.
inline constexpr long kReadStopped = -1;
inline constexpr long kReadFailed = -2;
long ReadStdin(const StopSignal& stop, bool rawKeys, char* buffer, size_t size, std::string& error);

// Where typed input goes: false when it could not be sent and the session
// should end.
using Sender = std::function<bool(const char*, size_t)>;
using Notify = std::function<void(const std::string&)>;

// Sends the whole lines of pending and keeps the unfinished rest. A line
// ends at LF, or at a CR that no LF follows in what has arrived, so that a
// peer waiting for "AT\r" hears it without waiting for more input; the bytes
// on the line are the same either way.
bool SendLines(const Sender& send, std::string& pending);

// The key typed after the escape key: false to end the session.
using EscapeCommand = std::function<bool(char)>;

// Reads stdin until it ends, the escape key is typed (raw keys only), a
// send fails or stop is raised. Keys go as they come in raw mode, lines
// otherwise. With a command, the escape key no longer ends the session by
// itself: the key after it goes to the command, and a second escape key
// is sent as it is (the only way to send it).
EndReason PumpInput(const Sender& send, bool rawKeys, const StopSignal& stop, const Notify& notify,
                    const EscapeCommand& command = {});

}  // namespace tavrin::tool
