// What is typed goes to the device and what the device receives comes out
// on stdout, unchanged unless stamps, hex or maps are asked for
// (TermOutput.h). On a terminal the keys go as they are pressed, in raw
// mode, and Ctrl-] starts a line-control key (LineControl.h); from a pipe
// or a file the input goes line by line, each with the line ending it had.
// Notices go to stderr so that stdout carries only the received bytes.
#include "Terminal.h"

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
#include "Reconnect.h"
#include "SignalWatch.h"
#include "LineControl.h"
#include "TerminalIo.h"
#include "TransferProgress.h"

#include <tavrin/transfer/ZmodemStart.h>

namespace tavrin::tool {

namespace {

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

bool Send(CDevice& device, const char* data, size_t length)
{
    std::vector<BYTE> bytes(data, data + length);
    return device.Write(bytes.data(), static_cast<DWORD>(bytes.size())) != FALSE;
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

// The transfers term runs by itself (the far side's sz) or from the escape
// key: one at a time, followed on a thread of their own so that neither the
// window nor the keyboard waits for them.
class TermTransfers {
public:
    TermTransfers(CDevice& device, const std::string& dir, Notices& notices, bool raw)
        : m_transfer(device), m_dir(dir), m_notices(notices), m_raw(raw)
    {
    }
    ~TermTransfers() { Stop(); }

    bool Running() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_transfer.IsRunning() != FALSE;
    }
    void OnData(const BYTE* data, size_t length)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_transfer.OnData(data, static_cast<DWORD>(length));
    }
    void Cancel()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_transfer.Cancel();
    }

    // Received data not taken by a transfer: the part before a ZMODEM
    // request is shown, the rest starts a receive. False when nothing was
    // taken.
    bool TakeStart(const BYTE* data, size_t length, const std::function<void(const BYTE*, size_t)>& show)
    {
        const int end = m_detector.Feed(data, static_cast<DWORD>(length));
        if (end < 0)
            return false;
        const std::string header = CZmodemStartDetector::Header();
        const size_t start = static_cast<size_t>(end) >= header.size() ? static_cast<size_t>(end) - header.size() : 0;
        show(data, start);
        std::unique_lock<std::mutex> guard(m_lock);
        if (m_transfer.IsRunning())   // the escape key's send started meanwhile
            return false;
        // The last transfer's follower still reads it: it goes first.
        Join();
        if (!m_transfer.Receive(XFER_ZMODEM, m_dir)) {
            m_notices.Print("cannot receive the files the far side sends: " + m_transfer.GetError());
            return true;
        }
        m_notices.Print("the far side sends files (ZMODEM): receiving into " + m_dir);
        // The receiver hears the request it was started by.
        m_transfer.OnData(reinterpret_cast<const BYTE*>(header.data()), static_cast<DWORD>(header.size()));
        m_transfer.OnData(data + end, static_cast<DWORD>(length - static_cast<size_t>(end)));
        Follow();
        return true;
    }

    void Send(const std::vector<std::string>& files)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        if (m_transfer.IsRunning()) {
            m_notices.Print("a transfer is running");
            return;
        }
        Join();
        if (!m_transfer.Send(XFER_ZMODEM, files)) {
            m_notices.Print("cannot send: " + m_transfer.GetError());
            return;
        }
        m_notices.Print("sending " + std::to_string(files.size()) + (files.size() == 1 ? " file" : " files") +
                        " with ZMODEM; Ctrl-C cancels");
        Follow();
    }

    void Stop()
    {
        Cancel();
        Join();
    }

private:
    // Only the thread that starts transfers (one at a time under the
    // lock) and the end of the session join the follower.
    void Join()
    {
        std::lock_guard<std::mutex> guard(m_joinLock);
        if (m_follower.joinable())
            m_follower.join();
    }

    void Follow()
    {
        std::lock_guard<std::mutex> guard(m_joinLock);
        m_follower = std::thread([this] {
            const bool terminal = StderrIsTerminal();
            TransferProgress display(stderr, terminal, terminal);
            display.SetLineEnd(m_raw ? "\r\n" : "\n");
            display.Follow(m_transfer);
            m_notices.Print(m_transfer.Succeeded() ? std::string("transfer done; back to the terminal")
                                                   : "transfer failed: " + m_transfer.GetError() +
                                                         "; back to the terminal");
        });
    }

    CFileTransfer m_transfer;
    std::string m_dir;
    Notices& m_notices;
    bool m_raw;
    CZmodemStartDetector m_detector;   // the window's thread alone
    // Starting a transfer replaces what the others read: its data, its
    // state and its cancel go under this lock.
    mutable std::mutex m_lock;
    std::mutex m_joinLock;
    std::thread m_follower;
};

// The names of the files to send, typed after Ctrl-] z on the raw
// terminal: echoed, Backspace edits, Enter ends, Esc or Ctrl-C gives up.
// Names are separated by spaces.
std::vector<std::string> AskForFiles(const StopSignal& stop)
{
    std::fputs("tavrin term: files to send: ", stderr);
    std::fflush(stderr);
    std::string line;
    for (;;) {
        char c;
        std::string error;
        if (ReadStdin(stop, true, &c, 1, error) != 1 || c == 0x1B || c == 0x03) {
            line.clear();
            break;
        }
        if (c == '\r' || c == '\n')
            break;
        if (c == 0x7F || c == 0x08) {
            if (!line.empty()) {
                line.pop_back();
                std::fputs("\b \b", stderr);
            }
        } else if (static_cast<unsigned char>(c) >= 0x20) {
            line += c;
            std::fputc(c, stderr);
        }
        std::fflush(stderr);
    }
    std::fputs("\r\n", stderr);
    std::fflush(stderr);
    std::vector<std::string> files;
    size_t at = 0;
    while ((at = line.find_first_not_of(' ', at)) != std::string::npos) {
        const size_t end = line.find(' ', at);
        files.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end;
    }
    return files;
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
    if (options.reconnect && !(error = Reconnector::Refusal(argument)).empty()) {
        std::fprintf(stderr, "tavrin term: %s\n", error.c_str());
        return 2;
    }
    NoFlowControlUnlessNamed(argument);
    const bool listening = argument.kind == DeviceArgument::Kind::Listen;
    Notices notices;
    Clock clock;
    if (!MakeClock(clock, error)) {
        notices.Print(error);
        return 2;
    }
    TermOutput output(options.output, clock);
    if (!output.Open(error)) {
        notices.Print(error);
        return 1;
    }
    std::atomic<bool> closing{false};
    std::atomic<bool> linkDropped{false};
    Host host(nullptr);
    std::unique_ptr<CDevice> device = CreateDevice(argument, error);
    if (!device) {
        notices.Print(error);
        return 1;
    }
    // Whatever arrives is shown, SOH and zero bytes included: outside
    // packet mode no stray frame is taken out of the data.
    device->SetTransparent(TRUE);
    const auto printData = [&output](const BYTE* data, size_t length) {
        output.Received(reinterpret_cast<const char*>(data), length);
    };
    const bool rawKeys = StdinIsTerminal();
    TermTransfers transfers(*device, options.receiveDir, notices, rawKeys);
    std::optional<Reconnector> reconnector;
    if (options.reconnect)
        reconnector.emplace(host, *device, argument,
                            Reconnector::Hooks{[&](const std::string& text) { notices.Print(text); }, {}, {}});
    const bool serial = argument.kind == DeviceArgument::Kind::Serial;
    CallerDesk::Hooks hooks;
    hooks.data = [&](CallerDesk::Caller&, const BYTE* data, size_t length) { printData(data, length); };
    hooks.transparent = true;
    CallerDesk callers(host, options.allow, options.refuseTelnet, [&](const std::string& text) { notices.Print(text); },
                       std::move(hooks));
    const int deviceNumber = host.Attach(*device, "term");
    host.SetResponder([&](int number, int index, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (number != deviceNumber) {
            callers.Handle(number, index, wParam, lParam);
            return 0;
        }
        switch (index) {
        case DEVMSG_DATA: {
            const auto* data = reinterpret_cast<const BYTE*>(lParam);
            if (transfers.Running())
                transfers.OnData(data, wParam);
            else if (!transfers.TakeStart(data, wParam, printData))
                printData(data, wParam);
            break;
        }
        case DEVMSG_ERROR: {
            const std::string& text = reinterpret_cast<const CString*>(lParam)->str();
            const auto line = serial ? DescribeLineReport(text, static_cast<DWORD>(wParam)) : std::nullopt;
            if (!line)
                notices.Print("error " + HexCode(wParam) + ": " + text);
            else if (!line->empty())
                notices.Print(*line);
            break;
        }
        case DEVMSG_CONNECTED:
            notices.Print(listening ? "listening" : "connected");
            break;
        case DEVMSG_DISCONNECTED:
            notices.Print("disconnected");
            if (!closing && reconnector) {
                reconnector->Lost();
            } else if (!closing) {
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
        notices.Print("cannot make the signal that ends the input");
        device->Disconnect();
        return 1;
    }

    // A stop request ends the input, and with it the session, as its end does.
    std::atomic<bool> signalled{false};
    SignalWatch signals;
    if (signals.Valid())
        signals.Start([&](const std::string&) {
            signalled = true;
            stop.Raise();
        });

    // Raw mode before the first notice: whoever waits for it may type at
    // once, and keys typed in the terminal's line mode would be echoed and
    // held back until Enter.
    std::optional<RawTerminal> raw;
    if (rawKeys) {
        raw.emplace();
        notices.SetRaw(raw->Active());
    }
    notices.Print("on " + DescribeDevice(argument) + "; " +
                  (rawKeys ? std::string(kEscapeName) + " q quits, " + kEscapeName + " h shows the keys"
                           : std::string("end of input quits")));

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

    if (reconnector) {
        send = [&, sendNow = send](const char* data, size_t length) {
            if (!reconnector->Away())
                return sendNow(data, length);
            notices.Print("input dropped: the device is away");
            return true;
        };
    }
    if (!options.output.outputMap.Empty()) {
        send = [inner = send, &map = options.output.outputMap](const char* data, size_t length) {
            const std::string mapped = map.Apply(data, length);
            return mapped.empty() || inner(mapped.data(), mapped.size());
        };
    }
    // While a transfer runs the keys do not reach the far side: Ctrl-C
    // cancels it, the rest is dropped.
    send = [&, sendNow = send](const char* data, size_t length) {
        if (!transfers.Running())
            return sendNow(data, length);
        if (std::memchr(data, 0x03, length)) {
            notices.Print("cancelling the transfer");
            transfers.Cancel();
        }
        return true;
    };
    LineControl lineControl(*device, serial ? static_cast<CCom*>(device.get()) : nullptr, DescribeDevice(argument),
                            [&](const std::string& text) { notices.Print(text); });
    const EscapeCommand command = [&](char key) {
        if (key != 'z' && key != 'Z')
            return lineControl.Command(key);
        if (transfers.Running())
            notices.Print("a transfer is running");
        else if (const std::vector<std::string> files = AskForFiles(stop); !files.empty())
            transfers.Send(files);
        return true;
    };

    std::atomic<bool> inputFinished{false};
    EndReason reason = EndReason::Stopped;
    std::thread input([&] {
        reason = PumpInput(send, rawKeys, stop, [&](const std::string& text) { notices.Print(text); }, command);
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
    signals.Stop();

    closing = true;
    transfers.Stop();
    if (reconnector)
        reconnector->Stop();
    // The listener goes first, so that no caller arrives while the others
    // are being let go.
    callers.StopTaking();
    device->Disconnect();
    callers.CloseAll();
    output.Finish();
    std::fflush(stdout);
    raw.reset();
    notices.SetRaw(false);

    if (signalled)
        return 0;
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
