// The console or a pipe as the keyboard on Windows. A console is waited on
// with its handle, which is signalled for every input event (mouse, focus,
// key releases too), so the keys are taken from the event records and the
// rest is dropped. An anonymous pipe cannot be waited on and a thread
// blocked in ReadFile on it cannot be woken reliably, so the reader asks the
// pipe how much it holds and waits on the stop event in between.
#include "TerminalIo.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>

namespace tavrin::tool {

namespace {

constexpr DWORD kPipeWaitMs = 10;

HANDLE Stdin()
{
    return GetStdHandle(STD_INPUT_HANDLE);
}

bool IsConsole(HANDLE handle, DWORD* mode = nullptr)
{
    DWORD ignored = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, mode ? mode : &ignored) != 0;
}

std::string SystemMessage(const char* what, DWORD code)
{
    char text[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return std::string(what) + ": " + (message.empty() ? "error " + std::to_string(code) : message);
}

bool Stopped(const StopSignal& stop, DWORD waitMs = 0)
{
    return WaitForSingleObject(static_cast<HANDLE>(stop.Event()), waitMs) == WAIT_OBJECT_0;
}

// The characters of the keys pressed among the console's pending events.
long ReadKeys(HANDLE input, char* buffer, size_t size, std::string& error)
{
    INPUT_RECORD records[64];
    const DWORD wanted = static_cast<DWORD>(std::min<size_t>(size, 64));
    DWORD count = 0;
    if (!ReadConsoleInputA(input, records, wanted, &count)) {
        error = SystemMessage("cannot read the console", GetLastError());
        return kReadFailed;
    }
    size_t filled = 0;
    for (DWORD i = 0; i < count; ++i) {
        const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
        if (records[i].EventType != KEY_EVENT || !key.bKeyDown || key.uChar.AsciiChar == 0)
            continue;
        for (WORD repeat = 0; repeat < key.wRepeatCount && filled < size; ++repeat)
            buffer[filled++] = key.uChar.AsciiChar;
    }
    return static_cast<long>(filled);
}

long ReadConsoleKeys(const StopSignal& stop, HANDLE input, char* buffer, size_t size, std::string& error)
{
    for (;;) {
        const HANDLE handles[2] = {static_cast<HANDLE>(stop.Event()), input};
        const DWORD woken = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0)
            return kReadStopped;
        if (woken != WAIT_OBJECT_0 + 1) {
            error = SystemMessage("cannot wait for input", GetLastError());
            return kReadFailed;
        }
        const long count = ReadKeys(input, buffer, size, error);
        if (count != 0)
            return count;
    }
}

long ReadPlain(HANDLE input, char* buffer, size_t size, std::string& error)
{
    DWORD count = 0;
    if (ReadFile(input, buffer, static_cast<DWORD>(size), &count, nullptr))
        return static_cast<long>(count);
    const DWORD code = GetLastError();
    // The writer closing its end of a pipe is the end of the input.
    if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF)
        return 0;
    error = SystemMessage("cannot read input", code);
    return kReadFailed;
}

long ReadPipe(const StopSignal& stop, HANDLE input, char* buffer, size_t size, std::string& error)
{
    for (;;) {
        if (Stopped(stop))
            return kReadStopped;
        DWORD available = 0;
        if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
            const DWORD code = GetLastError();
            if (code == ERROR_BROKEN_PIPE)
                return 0;
            // A pipe that cannot be asked is read as it comes, at the cost
            // of a stop that waits for the next input.
            return ReadPlain(input, buffer, size, error);
        }
        if (available != 0)
            return ReadPlain(input, buffer, std::min<size_t>(size, available), error);
        if (Stopped(stop, kPipeWaitMs))
            return kReadStopped;
    }
}

}  // namespace

void UseBinaryStdio()
{
    for (FILE* stream : {stdin, stdout, stderr})
        _setmode(_fileno(stream), _O_BINARY);
}

bool StdinIsTerminal()
{
    return IsConsole(Stdin());
}

bool StdoutIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool StderrIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

RawTerminal::RawTerminal()
{
    DWORD input = 0;
    if (!IsConsole(Stdin(), &input))
        return;
    m_savedInput = input;
    const DWORD raw = input & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
    // Arrow and function keys as the escape sequences a terminal sends,
    // where the console knows how; plain keys otherwise.
    m_active = SetConsoleMode(Stdin(), raw | ENABLE_VIRTUAL_TERMINAL_INPUT) != 0 || SetConsoleMode(Stdin(), raw) != 0;
    // What the device sends is shown as it is: escape sequences act, LF
    // alone does not return the carriage.
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD outputMode = 0;
    if (m_active && IsConsole(output, &outputMode)) {
        m_savedOutput = outputMode;
        m_outputSaved = SetConsoleMode(output, outputMode | ENABLE_PROCESSED_OUTPUT |
                                                   ENABLE_VIRTUAL_TERMINAL_PROCESSING | DISABLE_NEWLINE_AUTO_RETURN) != 0;
    }
}

RawTerminal::~RawTerminal()
{
    if (m_outputSaved)
        SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), m_savedOutput);
    if (m_active)
        SetConsoleMode(Stdin(), m_savedInput);
}

StopSignal::StopSignal() : m_event(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
}

StopSignal::~StopSignal()
{
    if (m_event != nullptr)
        CloseHandle(static_cast<HANDLE>(m_event));
}

void StopSignal::Raise()
{
    SetEvent(static_cast<HANDLE>(m_event));
}

long ReadStdin(const StopSignal& stop, bool, char* buffer, size_t size, std::string& error)
{
    const HANDLE input = Stdin();
    if (input == nullptr || input == INVALID_HANDLE_VALUE)
        return 0;   // started with no input at all
    if (IsConsole(input))
        return ReadConsoleKeys(stop, input, buffer, size, error);
    if (GetFileType(input) == FILE_TYPE_PIPE)
        return ReadPipe(stop, input, buffer, size, error);
    if (Stopped(stop))
        return kReadStopped;
    return ReadPlain(input, buffer, size, error);
}

}  // namespace tavrin::tool
