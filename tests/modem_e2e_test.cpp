// CModem against modems on the far side of a pseudo-terminal: iaxmodem's AT
// interpreter, and the tests' own Hayes modem, which joins a call to a TCP
// connection on 127.0.0.1 where a CLan server takes it.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>

#include "support/HayesModem.h"
#include "support/IaxModemPeer.h"
#include "support/SocketPeer.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

namespace {

const char kSection[] = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem\\0000";

// The example modem of the command-string tests on COM<port>.
void LoadModem(int port)
{
    std::string text = "REGEDIT4\n\n" + std::string(kSection) + "]\n\"Model\"=\"Line Modem\"\n\"AttachedTo\"=\"COM" +
                       std::to_string(port) + "\"\n\"Reset\"=\"ATZ<cr>\"\n";
    text += std::string(kSection) + "\\Settings]\n";
    text += "\"Prefix\"=\"AT\"\n\"CallSetupFailTimer\"=\"S7=<#>\"\n\"InactivityTimeout\"=\"S30=<#>\"\n"
            "\"SpeakerMode_Dial\"=\"M1\"\n\"SpeakerMode_OFF\"=\"M0\"\n\"SpeakerVolume_Low\"=\"L0\"\n"
            "\"SpeakerVolume_Med\"=\"L2\"\n\"SpeakerVolume_High\"=\"L3\"\n\"ErrorControl_On\"=\"\\\\N3\"\n"
            "\"Compression_On\"=\"%C1\"\n\"FlowControl_Hard\"=\"&K3\"\n\"Modulation_CCITT\"=\"B0\"\n"
            "\"Blind_Off\"=\"X4\"\n\"DialPrefix\"=\"D\"\n\"Tone\"=\"T\"\n\"Pulse\"=\"P\"\n";
    std::string error;
    ASSERT_TRUE(tavrin::LoadRegistryText(text, "line-modem.reg", &error)) << error;
}

// Waits until the window's received data holds text after position from.
bool WaitForText(const WindowThread& window, const std::string& text, size_t from = 0,
                 std::chrono::milliseconds timeout = 10s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::string data = window.DataBytes();
        if (data.size() > from && data.find(text, from) != std::string::npos)
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !window.WaitForData(data.size() + 1, left))
            return window.DataBytes().find(text, from) != std::string::npos;
    }
}

// Bytes of every value but SOH, which outside the packet link starts a
// frame and is not data, and '+', which a pause could make the modem's
// escape.
std::string Payload(size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes;
    while (bytes.size() < size) {
        const char c = static_cast<char>(random() & 0xFF);
        if (c != '\x01' && c != '+')
            bytes += c;
    }
    return bytes;
}

class ScopedComName {
public:
    ScopedComName(int port, const std::string& path) : m_name("TAVRIN_COM" + std::to_string(port))
    {
        setenv(m_name.c_str(), path.c_str(), 1);
    }
    ~ScopedComName() { unsetenv(m_name.c_str()); }

private:
    std::string m_name;
};

TEST(ModemLine, IaxmodemAnswersInitialisationAndResetAsData)
{
    if (IaxModemPeer::NeedsRoot())
        GTEST_SKIP() << "iaxmodem is confined in a mount namespace of its own (unshare -m), which needs root";
    IaxModemPeer iax;
    ASSERT_TRUE(iax.Ready()) << iax.Error() << "\n" << iax.Output();
    ScopedComName com(23, iax.DevicePath());
    LoadModem(23);
    CModemManager manager;
    manager.UpdateContent(0);
    ASSERT_EQ(manager.GetComPort().str(), "COM23");

    WindowThread window;
    CModem modem;
    window.Attach(modem);
    ASSERT_EQ(modem.Connect(manager, 0), 1);
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));

    // iaxmodem echoes the command and answers; its interpreter refuses the
    // inactivity timer S30=0 of this modem's initialisation.
    EXPECT_EQ(modem.Init(), 1);
    ASSERT_TRUE(WaitForText(window, "ERROR\r\n")) << window.DataBytes();
    EXPECT_NE(window.DataBytes().find("ATS7=60S30=0M0\\N3%C1&K3B0X4V1\r"), std::string::npos);
    const size_t afterInit = window.DataBytes().size();
    EXPECT_EQ(modem.Reset(), 1);
    ASSERT_TRUE(WaitForText(window, "ATZ\r", afterInit));
    EXPECT_TRUE(WaitForText(window, "OK\r\n", afterInit)) << window.DataBytes().substr(afterInit);
    // At a step below, "AT" is answered too.
    modem.Hangup();
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, 1));
    window.Attach(modem);
    const size_t beforeStep = window.DataBytes().size();
    ASSERT_EQ(modem.Connect(manager, 1), 1);
    EXPECT_TRUE(WaitForText(window, "OK\r\n", beforeStep));
    modem.Hangup();
}

// A CLan server on 127.0.0.1 that takes its callers into devices of their
// own, whose data and disconnection a window of their own records.
struct LanServer {
    LanServer()
    {
        listenerWindow.Attach(listener);
        listenerWindow.SetHook([this](const Notice& notice) -> LRESULT {
            if (notice.index != DEVMSG_CALL)
                return 0;
            auto lan = std::make_unique<CLan>();
            callerWindow.Attach(*lan);
            if (lan->Connect(listener)) {
                std::lock_guard<std::mutex> guard(lock);
                caller = std::move(lan);
                taken.notify_all();
            }
            return 0;
        });
        for (int attempt = 0; attempt < 20 && port == 0; ++attempt) {
            const std::uint16_t candidate = UnusedTcpPort();
            if (listener.DoListening(candidate))
                port = candidate;
        }
    }
    ~LanServer()
    {
        listener.Disconnect();
        std::lock_guard<std::mutex> guard(lock);
        if (caller)
            caller->Disconnect();
    }
    // The caller's device once the listener's host has taken it (its
    // connected notice may come before the host's Connect has returned).
    CLan* WaitForCaller()
    {
        std::unique_lock<std::mutex> guard(lock);
        taken.wait_for(guard, kWait, [&] { return caller != nullptr; });
        return caller.get();
    }

    CLan listener;
    WindowThread listenerWindow;
    WindowThread callerWindow;
    std::mutex lock;
    std::condition_variable taken;
    std::unique_ptr<CLan> caller;
    std::uint16_t port = 0;
};

TEST(ModemLine, DialsThroughAHayesModemToALanServerAndHangsUp)
{
    // The modem's serial side takes 56000 baud at most: the 57600 of a modem
    // without settings of its own reaches it garbled, one step down does not.
    HayesModem line(150, 56000);
    ASSERT_TRUE(line.Ok()) << line.Error();
    ScopedComName com(22, line.SlavePath());
    LoadModem(22);
    LanServer server;
    ASSERT_NE(server.port, 0);

    CModemManager manager;
    manager.UpdateContent(0);
    WindowThread window;
    CModem modem;
    window.Attach(modem);
    ASSERT_EQ(modem.Connect(manager, 0), 1);
    EXPECT_EQ(modem.Adaptation(), 1);
    ASSERT_TRUE(line.WaitForGarbled(3, 5000));
    EXPECT_TRUE(line.Commands().empty());
    // No answer at the modem's own rate: the host tries the next one down,
    // where the step's own "AT" tells the modem the rate.
    modem.Hangup();
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, 1));
    ASSERT_TRUE(line.WaitForPortCloses(1, 5000));
    window.Attach(modem);
    ASSERT_EQ(modem.Connect(manager, 1), 1);
    ASSERT_TRUE(line.WaitForCommand("AT", 5000));
    EXPECT_EQ(line.CommandRate(), 56000u);
    ASSERT_TRUE(WaitForText(window, "OK\r\n")) << window.DataBytes();
    const size_t beforeInit = window.DataBytes().size();
    EXPECT_EQ(modem.Init(), 1);
    ASSERT_TRUE(line.WaitForCommand("ATS7=60S30=0M0\\N3%C1&K3B0X4V1", 5000));
    ASSERT_TRUE(WaitForText(window, "OK\r\n", beforeInit)) << window.DataBytes();

    CString number(std::to_string(server.port).c_str());
    const size_t beforeDial = window.DataBytes().size();
    EXPECT_EQ(modem.Dial(number, 1), 1);
    ASSERT_TRUE(line.WaitForCommand("ATM1L2DT" + std::to_string(server.port), 5000));
    ASSERT_TRUE(WaitForText(window, "CONNECT", beforeDial)) << window.DataBytes().substr(beforeDial);
    ASSERT_TRUE(WaitForText(window, "\r\n", window.DataBytes().find("CONNECT", beforeDial)));
    ASSERT_TRUE(line.WaitForState(HayesModem::State::Online, 5000));
    ASSERT_TRUE(server.callerWindow.WaitForIndex(DEVMSG_CONNECTED, 1));
    CLan* caller = server.WaitForCaller();
    ASSERT_NE(caller, nullptr);

    // Both ways through the line, in order.
    const size_t online = window.DataBytes().size();
    const std::string up = Payload(16 * 1024, 1);
    const std::string down = Payload(16 * 1024, 2);
    for (size_t at = 0; at < up.size(); at += 512) {
        std::string block = up.substr(at, 512);
        ASSERT_TRUE(modem.Write(reinterpret_cast<BYTE*>(block.data()), static_cast<DWORD>(block.size())));
    }
    std::string block = down;
    ASSERT_TRUE(caller->Write(reinterpret_cast<BYTE*>(block.data()), static_cast<DWORD>(block.size())));
    ASSERT_TRUE(server.callerWindow.WaitForData(up.size(), 20s));
    EXPECT_TRUE(server.callerWindow.DataBytes() == up) << "the server got other bytes than the modem sent";
    ASSERT_TRUE(window.WaitForData(online + down.size(), 20s));
    EXPECT_TRUE(window.DataBytes().substr(online) == down) << "the modem got other bytes than the server sent";

    // Hanging up closes the port: the modem drops the call and the server
    // hears its caller leave.
    EXPECT_EQ(modem.Hangup(), 1);
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, 2));
    EXPECT_TRUE(line.WaitForHangUps(1, 5000));
    EXPECT_TRUE(server.callerWindow.WaitForIndex(DEVMSG_DISCONNECTED, 1));
    EXPECT_EQ(line.Calls(), 1);

    // The same modem is ready for the next call on the next Connect.
    window.Attach(modem);
    ASSERT_EQ(modem.Connect(manager, 1), 1);
    const size_t again = window.DataBytes().size();
    EXPECT_EQ(modem.Reset(), 1);
    EXPECT_TRUE(line.WaitForCommand("ATZ", 5000));
    EXPECT_TRUE(WaitForText(window, "OK\r\n", again));
    modem.Hangup();
}

TEST(ModemLine, ACallNobodyAnswersComesBackAsNoCarrier)
{
    HayesModem line(150);
    ASSERT_TRUE(line.Ok()) << line.Error();
    ScopedComName com(24, line.SlavePath());
    LoadModem(24);
    CModemManager manager;
    manager.UpdateContent(0);
    WindowThread window;
    CModem modem;
    window.Attach(modem);
    ASSERT_EQ(modem.Connect(manager, 0), 1);
    CString number(std::to_string(UnusedTcpPort()).c_str());
    EXPECT_EQ(modem.Dial(number, 0), 1);
    ASSERT_TRUE(line.WaitForCommand("ATM1L2DP" + number.str(), 5000));
    EXPECT_TRUE(WaitForText(window, "NO CARRIER\r\n"));
    EXPECT_EQ(line.GetState(), HayesModem::State::Command);
    modem.Hangup();
}

}  // namespace
