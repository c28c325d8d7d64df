// The modems of the registry, listed, chosen and dialled. What the modem
// says comes out on stdout as it is; the tool's notices go to stderr.
#include "Modems.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <tavrin/Tavrin.h>
#include <tavrin/modem/Modem.h>
#include <tavrin/modem/ModemManager.h>
#include <tavrin/modem/ModemSelectDlg.h>
#include <tavrin/platform/Registry.h>

#include "Host.h"
#include "PanelTerminal.h"
#if defined(_WIN32)
#include "PanelWindow.h"
#endif
#include "TerminalIo.h"

namespace tavrin::tool {

namespace {

void Notice(const char* command, const std::string& text, bool raw = false)
{
    const std::string line = std::string("tavrin ") + command + ": " + text + (raw ? "\r\n" : "\n");
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

bool LoadChosenRegistry(const char* command, const std::string& path)
{
    std::string error;
    if (!path.empty()) {
        if (!tavrin::LoadRegistry(path.c_str(), &error)) {
            Notice(command, "cannot load the registry: " + error);
            return false;
        }
        return true;
    }
    // The first question loads TAVRIN_REGISTRY or the default place.
    CModemManager probe;
    probe.GetModemName(0);
    error = tavrin::RegistryLoadError();
    if (!error.empty()) {
        Notice(command, "cannot load the registry: " + error);
        return false;
    }
    return true;
}

std::string RateOf(CModemManager& manager)
{
    DCB dcb{};
    manager.GetDCB(dcb);
    if (dcb.DCBlength == 0)
        return "57600 baud (no settings of its own)";
    return std::to_string(dcb.BaudRate) + " baud";
}

void PrintStrings(CModemManager& manager)
{
    std::printf("     port   %s\n", manager.IsEmptyComName() ? "(none found)" : manager.GetComPort().str().c_str());
    std::printf("     rate   %s\n", RateOf(manager).c_str());
    std::printf("     init   %s\n", manager.GetINIT().str().c_str());
    std::printf("     reset  %s\n", manager.GetRESET().IsEmpty() ? "(none)" : manager.GetRESET().str().c_str());
    std::printf("     tone   %s\n", manager.GetDIALTONE().str().c_str());
    std::printf("     pulse  %s\n", manager.GetDIALPULSE().str().c_str());
}

// Shows the manager's selection panel in the terminal, inside a parent
// window of the tool's own, and returns the position the user accepted (or
// -1). Each change of the entry has selected that modem in the manager.
int ChooseModemOnPanel(CModemManager& manager, int inFd, int outFd)
{
    HWND frame = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
    if (!frame)
        return -1;
    CWnd parent;
    parent.Attach(frame);
    manager.CreateConfig(&parent);
    CModemSelectDlg* panel = manager.GetConfigDlg();
    const int position = panel && panel->GetSafeHwnd() ? PresentDialogInTerminal(*panel, inFd, outFd) : -1;
    // The panel's window goes with its parent; the manager still deletes
    // the panel object.
    parent.Detach();
    DestroyWindow(frame);
    return position;
}

// Selects a modem in `manager`: the one given, the only one, or the one the
// user picks on the panel. False when there is none or the user cancelled.
bool SelectModem(const char* command, CModemManager& manager, int choose)
{
    const int count = manager.GetModemCount();
    if (count == 0) {
        Notice(command, "the registry holds no modem");
        return false;
    }
    if (choose > 0) {
        if (choose > count) {
            Notice(command, "there is no modem " + std::to_string(choose) + "; the registry lists " +
                                std::to_string(count));
            return false;
        }
        manager.UpdateContent(choose - 1);
        return true;
    }
    if (count == 1) {
        manager.UpdateContent(0);
        return true;
    }
#if defined(_WIN32)
    // A desktop shows the panel as a host's window would; the console
    // presents it otherwise.
    int position = ChooseModemInWindow(manager);
    if (position == kNoDesktop)
        position = ChooseModemOnPanel(manager, STDIN_FILENO, STDOUT_FILENO);
#else
    const int position = ChooseModemOnPanel(manager, STDIN_FILENO, STDOUT_FILENO);
#endif
    if (position < 0) {
        Notice(command, "no modem chosen");
        return false;
    }
    // Every change of the panel's entry has selected in the manager already;
    // this only makes the accepted one sure.
    manager.UpdateContent(position);
    return true;
}

// Result codes of the modem, picked out of what it sends: lines of their
// own, such as "OK" or "CONNECT 57600".
class ResultCodes {
public:
    void Add(const BYTE* data, size_t length)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (size_t i = 0; i < length; ++i) {
            const char c = static_cast<char>(data[i]);
            if (c == '\r' || c == '\n') {
                if (IsResult(m_line))
                    m_results.push_back(m_line);
                m_line.clear();
            } else if (m_line.size() < 256) {
                m_line += c;
            }
        }
        m_changed.notify_all();
    }
    void LinkDown()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_down = true;
        m_changed.notify_all();
    }
    void Forget()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_results.clear();
    }
    // The next result code, or empty after the time-out or when the port
    // went down.
    std::string Next(int timeoutMs)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        m_changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return !m_results.empty() || m_down; });
        if (m_results.empty())
            return std::string();
        std::string result = m_results.front();
        m_results.pop_front();
        return result;
    }

private:
    static bool IsResult(const std::string& line)
    {
        static const char* const kCodes[] = {"OK", "ERROR", "NO CARRIER", "BUSY", "NO DIALTONE", "NO DIAL TONE",
                                             "NO ANSWER"};
        for (const char* code : kCodes) {
            if (line == code)
                return true;
        }
        return line.rfind("CONNECT", 0) == 0;
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::string m_line;
    std::deque<std::string> m_results;
    bool m_down = false;
};

constexpr int kCommandTimeoutMs = 5000;

}  // namespace

int RunModems(const ModemsOptions& options)
{
    if (!LoadChosenRegistry("modems", options.registry))
        return 1;
    CModemManager catalogue;
    const int count = catalogue.GetModemCount();
    std::printf("%d modem%s in the registry\n", count, count == 1 ? "" : "s");
    for (int ordinal = 0; ordinal < count; ++ordinal) {
        CModemManager one(catalogue);
        one.UpdateContent(ordinal);
        char index[16];
        std::snprintf(index, sizeof index, "%04d", one.GetModemIndex());
        std::printf("  %d. %s  [%s]\n", ordinal + 1, one.GetModemName(one.GetModemIndex()).str().c_str(), index);
        PrintStrings(one);
    }
    std::fflush(stdout);
    if (count == 0)
        return 0;
    CModemManager manager;
    if (!SelectModem("modems", manager, options.choose))
        return 1;
    std::printf("selected: %d. %s\n", [&] {
        for (int i = 0; i < count; ++i) {
            if (manager.NumToIndex(i) == manager.GetModemIndex())
                return i + 1;
        }
        return 0;
    }(), manager.GetModemName(manager.GetModemIndex()).str().c_str());
    PrintStrings(manager);
    std::fflush(stdout);
    return 0;
}

int RunDial(const DialOptions& options)
{
    if (!LoadChosenRegistry("dial", options.registry))
        return 1;
    CModemManager manager;
    if (!SelectModem("dial", manager, options.choose))
        return 1;
    const std::string port = manager.GetComPort().str();
    if (port.empty()) {
        Notice("dial", "no serial port is known for " + manager.GetModemName(manager.GetModemIndex()).str());
        return 1;
    }

    Host host(nullptr);
    CModem modem;
    ResultCodes results;
    std::atomic<bool> raw{false};
    const int number = host.Attach(modem, "modem");
    host.SetResponder([&](int device, int index, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (device != number)
            return 0;
        switch (index) {
        case DEVMSG_DATA: {
            const auto* data = reinterpret_cast<const BYTE*>(lParam);
            std::fwrite(data, 1, wParam, stdout);
            std::fflush(stdout);
            results.Add(data, wParam);
            break;
        }
        case DEVMSG_ERROR:
            Notice("dial", reinterpret_cast<const CString*>(lParam)->str(), raw);
            break;
        case DEVMSG_DISCONNECTED:
            results.LinkDown();
            break;
        default:
            break;
        }
        return 0;
    });

    int status = 1;
    StopSignal stop;
    std::atomic<bool> driverDone{false};
    std::thread driver([&] {
        const auto finish = [&] {
            driverDone = true;
            PostMessageA(host.Window(), kHostDone, 0, 0);
        };
        if (!modem.Connect(manager, options.step)) {
            Notice("dial", "cannot open " + port + " at " + std::to_string(modem.GetBaudRate(options.step)) + " baud");
            return finish();
        }
        Notice("dial", "on " + port + " at " + std::to_string(modem.GetBaudRate(options.step)) + " baud");
        if (!manager.GetINIT().IsEmpty()) {
            modem.Init();
            const std::string answer = results.Next(kCommandTimeoutMs);
            if (answer.empty()) {
                Notice("dial", "the modem did not answer its initialisation");
                modem.Hangup();
                return finish();
            }
            if (answer != "OK")
                Notice("dial", "the modem answered its initialisation with " + answer + "; dialling anyway");
        }
        results.Forget();
        CString dialled(options.number.c_str());
        if (!modem.Dial(dialled, options.pulse ? 0 : 1)) {
            Notice("dial", std::string("the modem has no ") + (options.pulse ? "pulse" : "tone") + " dial command");
            modem.Hangup();
            return finish();
        }
        const std::string answer = results.Next(options.answerTimeoutMs);
        if (answer.rfind("CONNECT", 0) != 0) {
            Notice("dial", answer.empty() ? std::string("no answer to the dial command") : "the call failed: " + answer);
            modem.Hangup();
            return finish();
        }
        const bool rawKeys = StdinIsTerminal();
        std::optional<RawTerminal> terminal;
        if (rawKeys) {
            terminal.emplace();
            raw = terminal->Active();
        }
        Notice("dial", std::string("online; ") + (rawKeys ? std::string(kEscapeName) + " hangs up" : "end of input hangs up"),
               raw);
        // The call ends when the input does, or when the modem reports it
        // dropped (a result code while online) or the port goes away.
        std::atomic<bool> inputEnded{false};
        std::thread input([&] {
            const EndReason reason = PumpInput(
                [&](const char* data, size_t length) {
                    std::vector<BYTE> bytes(data, data + length);
                    return modem.Write(bytes.data(), static_cast<DWORD>(bytes.size())) != FALSE;
                },
                rawKeys, stop, [&](const std::string& text) { Notice("dial", text, raw); });
            if (reason == EndReason::EndOfInput || reason == EndReason::EscapeKey)
                status = 0;
            inputEnded = true;
            results.LinkDown();
        });
        // Other result codes while online are the far end's data.
        std::string drop;
        do {
            drop = results.Next(INT32_MAX);
        } while (!drop.empty() && drop != "NO CARRIER");
        const bool ended = inputEnded;
        stop.Raise();
        input.join();
        if (!ended) {
            status = 1;
            Notice("dial", drop.empty() ? std::string("the port went away") : "the call dropped: " + drop, raw);
        }
        modem.Hangup();
        terminal.reset();
        Notice("dial", "hung up");
        finish();
    });
    while (!driverDone)
        host.RunUntilDone();
    driver.join();
    return status;
}

}  // namespace tavrin::tool
