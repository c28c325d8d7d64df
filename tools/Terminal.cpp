// What is typed goes to the device and what the device receives comes out
// on stdout, unchanged. On a terminal the keys go as they are pressed, in
// raw mode, and Ctrl-] quits; from a pipe or a file the input goes line by
// line, each with the line ending it had. Notices go to stderr so that
// stdout carries only the received bytes.
#include "Terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Callers.h"
#include "Devices.h"
#include "Host.h"

namespace tavrin::tool {

namespace {

constexpr char kEscapeKey = 0x1D;   // Ctrl-]
constexpr char kEscapeName[] = "Ctrl-]";

enum class EndReason { Stopped, EndOfInput, EscapeKey, InputFailed, WriteFailed };

// Raw mode on the terminal of stdin for the session: keys arrive one by one,
// unechoed, with no signals from Ctrl-C, and what the device sends is shown
// untranslated. The terminal's own settings come back at the end.
class RawTerminal {
public:
    RawTerminal()
    {
        if (tcgetattr(STDIN_FILENO, &m_saved) != 0)
            return;
        termios raw = m_saved;
        cfmakeraw(&raw);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        m_active = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    ~RawTerminal()
    {
        if (m_active)
            tcsetattr(STDIN_FILENO, TCSANOW, &m_saved);
    }
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
    StopSignal()
    {
        if (pipe2(m_fds, O_CLOEXEC) != 0)
            m_fds[0] = m_fds[1] = -1;
    }
    ~StopSignal()
    {
        for (int fd : m_fds) {
            if (fd >= 0)
                close(fd);
        }
    }
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;
    bool Valid() const { return m_fds[0] >= 0; }
    int WaitFd() const { return m_fds[0]; }
    void Raise()
    {
        const char byte = 1;
        while (write(m_fds[1], &byte, 1) < 0 && errno == EINTR) {
        }
    }

private:
    int m_fds[2];
};

class Notices {
public:
    // In raw mode the terminal no longer turns LF into CR LF.
    void SetRaw(bool raw) { m_raw = raw; }
    void Print(const std::string& text)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const std::string line = "tavrin term: " + text + (m_raw ? "\r\n" : "\n");
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
    }

private:
    std::mutex m_lock;
    std::atomic<bool> m_raw{false};
};

// Where typed input goes: false when it could not be sent and the session
// should end.
using Sender = std::function<bool(const char*, size_t)>;

bool Send(CDevice& device, const char* data, size_t length)
{
    std::vector<BYTE> bytes(data, data + length);
    return device.Write(bytes.data(), static_cast<DWORD>(bytes.size())) != FALSE;
}

// Sends the whole lines of pending and keeps the unfinished rest. A line
// ends at LF, or at a CR that no LF follows in what has arrived, so that a
// peer waiting for "AT\r" hears it without waiting for more input; the bytes
// on the line are the same either way.
bool SendLines(const Sender& send, std::string& pending)
{
    size_t start = 0;
    for (size_t i = 0; i < pending.size(); ++i) {
        const bool lineEnd = pending[i] == '\n' || (pending[i] == '\r' && (i + 1 == pending.size() || pending[i + 1] != '\n'));
        if (!lineEnd)
            continue;
        if (!send(pending.data() + start, i + 1 - start))
            return false;
        start = i + 1;
    }
    pending.erase(0, start);
    return true;
}

EndReason PumpInput(const Sender& send, bool rawKeys, int stopFd, Notices& notices)
{
    std::string pending;
    std::vector<char> buffer(4096);
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            notices.Print(std::string("cannot wait for input: ") + std::strerror(errno));
            return EndReason::InputFailed;
        }
        if (fds[1].revents != 0)
            return EndReason::Stopped;
        if (fds[0].revents == 0)
            continue;
        const ssize_t count = read(STDIN_FILENO, buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            // A terminal that hangs up reads EIO: its input has ended.
            if (errno == EIO)
                return EndReason::EndOfInput;
            notices.Print(std::string("cannot read input: ") + std::strerror(errno));
            return EndReason::InputFailed;
        }
        if (count == 0) {
            if (!pending.empty() && !send(pending.data(), pending.size()))
                return EndReason::WriteFailed;
            return EndReason::EndOfInput;
        }
        if (rawKeys) {
            const void* escape = std::memchr(buffer.data(), kEscapeKey, static_cast<size_t>(count));
            const size_t keys = escape != nullptr ? static_cast<size_t>(static_cast<const char*>(escape) - buffer.data())
                                                  : static_cast<size_t>(count);
            if (keys != 0 && !send(buffer.data(), keys))
                return EndReason::WriteFailed;
            if (escape != nullptr)
                return EndReason::EscapeKey;
            continue;
        }
        pending.append(buffer.data(), static_cast<size_t>(count));
        if (!SendLines(send, pending))
            return EndReason::WriteFailed;
    }
}

char HexDigit(unsigned value)
{
    return "0123456789ABCDEF"[value & 0xF];
}

std::string HexCode(WPARAM code)
{
    std::string text = "0x";
    for (int shift = 28; shift >= 0; shift -= 4)
        text += HexDigit(static_cast<unsigned>(code >> shift));
    return text;
}

}  // namespace

int RunTerminal(const TerminalOptions& options)
{
    DeviceArgument argument;
    std::string error;
    if (!ParseDeviceArgument(options.device, argument, error) ||
        !CheckNetOptions(argument, !options.allow.empty(), options.refuseTelnet, error)) {
        std::fprintf(stderr, "tavrin term: %s\n", error.c_str());
        return 2;
    }
    const bool listening = argument.kind == DeviceArgument::Kind::Listen;
    Notices notices;
    std::atomic<bool> closing{false};
    std::atomic<bool> linkDropped{false};
    Host host(nullptr);
    std::unique_ptr<CDevice> device = CreateDevice(argument, error);
    if (!device) {
        notices.Print(error);
        return 1;
    }
    const auto printData = [](const BYTE* data, size_t length) {
        std::fwrite(data, 1, length, stdout);
        std::fflush(stdout);
    };
    CallerDesk::Hooks hooks;
    hooks.data = [&](CallerDesk::Caller&, const BYTE* data, size_t length) { printData(data, length); };
    CallerDesk callers(host, options.allow, options.refuseTelnet, [&](const std::string& text) { notices.Print(text); },
                       std::move(hooks));
    const int deviceNumber = host.Attach(*device, "term");
    host.SetResponder([&](int number, int index, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (number != deviceNumber) {
            callers.Handle(number, index, wParam, lParam);
            return 0;
        }
        switch (index) {
        case DEVMSG_DATA:
            printData(reinterpret_cast<const BYTE*>(lParam), wParam);
            break;
        case DEVMSG_ERROR:
            notices.Print("error " + HexCode(wParam) + ": " + reinterpret_cast<const CString*>(lParam)->str());
            break;
        case DEVMSG_CONNECTED:
            notices.Print(listening ? "listening" : "connected");
            break;
        case DEVMSG_DISCONNECTED:
            notices.Print("disconnected");
            if (!closing) {
                linkDropped = true;
                PostMessageA(host.Window(), kHostDone, 0, 0);
            }
            break;
        case DEVMSG_CALL:
            if (listening)
                callers.TakeCall(*device);
            else
                notices.Print("incoming call");
            break;
        default:
            break;
        }
        return 0;
    });
    // A listener passes the option on to each caller it takes.
    if (options.refuseTelnet && !listening && !RefuseTelnetOptions(*device, argument, error)) {
        notices.Print(error);
        return 2;
    }
    if (!ConnectDevice(*device, argument, error)) {
        notices.Print(error);
        return 1;
    }
    StopSignal stop;
    if (!stop.Valid()) {
        notices.Print(std::string("cannot make a pipe: ") + std::strerror(errno));
        device->Disconnect();
        return 1;
    }

    // Raw mode before the first notice: whoever waits for it may type at
    // once, and keys typed in the terminal's line mode would be echoed and
    // held back until Enter.
    const bool rawKeys = isatty(STDIN_FILENO) != 0;
    std::optional<RawTerminal> raw;
    if (rawKeys) {
        raw.emplace();
        notices.SetRaw(raw->Active());
    }
    notices.Print("on " + DescribeDevice(argument) + "; " +
                  (rawKeys ? std::string(kEscapeName) + " quits" : std::string("end of input quits")));

    Sender send = [&](const char* data, size_t length) { return Send(*device, data, length); };
    bool toldNobody = false;
    if (argument.IsSocket() && !argument.IsStream()) {
        // A datagram socket here has no peer of its own to write to (its
        // Write fails with no address to send to): the input only decides
        // when the session ends.
        send = [&](const char*, size_t) {
            if (!toldNobody)
                notices.Print("input is not sent: a datagram socket has no peer to send it to");
            toldNobody = true;
            return true;
        };
    }
    if (listening) {
        // A caller whose write fails is on its way out (its leaving is
        // reported): the session goes on with the others.
        send = [&](const char* data, size_t length) {
            const auto admitted = callers.Admitted();
            if (admitted.empty() && !toldNobody)
                notices.Print("no caller to send to; input is dropped until one is admitted");
            toldNobody = admitted.empty();
            for (const auto& caller : admitted)
                Send(*caller, data, length);
            return true;
        };
    }

    std::atomic<bool> inputFinished{false};
    EndReason reason = EndReason::Stopped;
    std::thread input([&] {
        reason = PumpInput(send, rawKeys, stop.WaitFd(), notices);
        inputFinished = true;
        PostMessageA(host.Window(), kHostDone, 0, 0);
    });
    host.RunUntilDone();
    stop.Raise();
    // A write on the input thread may be notifying this window (the loopback
    // delivers its data that way): keep handling messages until it is done.
    while (!inputFinished)
        host.RunUntilDone();
    input.join();

    closing = true;
    // The listener goes first, so that no caller arrives while the others
    // are being let go.
    callers.StopTaking();
    device->Disconnect();
    callers.CloseAll();
    std::fflush(stdout);
    raw.reset();
    notices.SetRaw(false);

    if (linkDropped) {
        notices.Print("the link dropped");
        return 1;
    }
    switch (reason) {
    case EndReason::EndOfInput:
    case EndReason::EscapeKey:
        return 0;
    case EndReason::WriteFailed:
        notices.Print("a write to the device failed");
        return 1;
    default:
        return 1;
    }
}

}  // namespace tavrin::tool
