// CModem on real pseudo-terminals: the rate and its steps, the default line
// settings, the bytes its commands write, failures at the port, probing,
// and the mode texts that stand for the settings of a modem without any.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <termios.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "support/PtyPair.h"
#include "support/Timing.h"
#include "support/WindowThread.h"
#include "tavrin/modem/Modem.h"
#include "tavrin/platform/Registry.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

namespace {

class TestModem : public CModem {
public:
    using CModem::CModem;
    bool PortOpen() const { return m_hCom != INVALID_HANDLE_VALUE; }
    DCB PortState()
    {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        EXPECT_TRUE(GetCommState(m_hCom, &dcb));
        return dcb;
    }
    std::string InitText() const { return m_strINIT.str(); }
    std::string ToneTemplate() const { return m_strDIALTONE.str(); }
    int BaudIndex() const { return m_nBaudIndex; }
};

const char kSection[] = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem\\";

// One modem on COM<port> with the example command fragments and, when given,
// a binary "DCB" value whose rate is `baud`.
std::string ModemRegistry(int port, long baud = -1, const char* reset = "ATZ<cr>")
{
    std::string text = "REGEDIT4\n\n" + std::string(kSection) + "0000]\n\"Model\"=\"Test Modem\"\n";
    text += "\"AttachedTo\"=\"COM" + std::to_string(port) + "\"\n\"Reset\"=\"" + reset + "\"\n";
    if (baud >= 0) {
        char bytes[64];
        std::snprintf(bytes, sizeof(bytes), "%02lx,%02lx,%02lx,%02lx", baud & 0xFF, (baud >> 8) & 0xFF,
                      (baud >> 16) & 0xFF, (baud >> 24) & 0xFF);
        // 8 data bits, no parity, one stop bit, RTS/CTS, DTR on.
        text += "\"DCB\"=hex:1c,00,00,00," + std::string(bytes) +
                ",15,20,00,00,00,00,0a,00,0a,00,08,00,00,11,13,00,00,00,00,00\n";
    }
    text += std::string(kSection) + "0000\\Settings]\n";
    text += "\"Prefix\"=\"AT\"\n\"CallSetupFailTimer\"=\"S7=<#>\"\n\"InactivityTimeout\"=\"S30=<#>\"\n"
            "\"SpeakerMode_Dial\"=\"M1\"\n\"SpeakerMode_OFF\"=\"M0\"\n\"SpeakerVolume_Low\"=\"L0\"\n"
            "\"SpeakerVolume_Med\"=\"L2\"\n\"SpeakerVolume_High\"=\"L3\"\n\"ErrorControl_On\"=\"\\\\N3\"\n"
            "\"Compression_On\"=\"%C1\"\n\"FlowControl_Hard\"=\"&K3\"\n\"Modulation_CCITT\"=\"B0\"\n"
            "\"Blind_Off\"=\"X4\"\n\"DialPrefix\"=\"D\"\n\"Tone\"=\"T\"\n\"Pulse\"=\"P\"\n";
    return text;
}

void LoadRegistryText(const std::string& text)
{
    std::string error;
    ASSERT_TRUE(tavrin::LoadRegistryText(text, "modem.reg", &error)) << error;
}

class ModemPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.Ok());
        setenv("TAVRIN_COM3", pty.SlavePath().c_str(), 1);
        window.Attach(modem);
    }
    void TearDown() override
    {
        Within(10s, [&] { modem.Disconnect(); }, "Disconnect");
        unsetenv("TAVRIN_COM3");
    }
    // Opens the modem of the registry text, selected as the panel would.
    int Open(const std::string& registry, int step)
    {
        LoadRegistryText(registry);
        manager.UpdateContent(0);
        return modem.Connect(manager, step);
    }
    // The first byte the far end sees after everything the modem wrote so
    // far: proves what was, and was not, written before.
    std::string ReadUpToMarker()
    {
        BYTE marker = '|';
        EXPECT_TRUE(modem.Write(&marker, 1));
        std::string seen;
        while (seen.empty() || seen.back() != '|') {
            std::string byte = pty.ReadFar(1);
            if (byte.empty())
                break;
            seen += byte;
        }
        return seen.substr(0, seen.empty() ? 0 : seen.size() - 1);
    }

    PtyPair pty;
    WindowThread window;
    CModemManager manager;
    TestModem modem;
};

TEST_F(ModemPort, WithoutRegistrySettingsThePortOpensAt57600Mark8Data2Stop)
{
    ASSERT_EQ(Open(ModemRegistry(3), 0), 1);
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));
    DCB dcb = modem.PortState();
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.Parity, MARKPARITY);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    // What the terminal driver holds (a pseudo-terminal drops the parity
    // enable bit but keeps the rest).
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.SlaveFd(), &tio), 0);
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE(tio.c_cflag & CMSPAR);
    EXPECT_TRUE(tio.c_cflag & PARODD);
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);
    CString name;
    modem.GetName(name);
    EXPECT_EQ(name.str(), "COM1:57600-8,2,mark-RTS/CTS");
    // Step 0 writes nothing of its own.
    EXPECT_EQ(ReadUpToMarker(), "");
    EXPECT_EQ(modem.GetBaudRate(0), 57600u);
    EXPECT_EQ(modem.GetBaudRate(11), 110u);
    EXPECT_EQ(modem.GetBaudRate(12), 0u);
    EXPECT_EQ(modem.GetBaudRate(-3), 256000u);
    EXPECT_EQ(modem.GetBaudRate(-4), 0u);
}

TEST_F(ModemPort, AStepBelowTheRegistryRateOpensLowerAndSendsAttention)
{
    ASSERT_EQ(Open(ModemRegistry(3, 57600), 2), 1);
    EXPECT_EQ(modem.BaudIndex(), 11);
    EXPECT_EQ(modem.PortState().BaudRate, 38400u);
    EXPECT_EQ(modem.PortState().Parity, NOPARITY);
    EXPECT_EQ(ReadUpToMarker(), "AT\r");
    EXPECT_EQ(modem.GetBaudRate(2), 38400u);
}

TEST_F(ModemPort, ARateOutsideTheTableCountsAsTheHighest)
{
    ASSERT_EQ(Open(ModemRegistry(3, 250000), 0), 1);
    EXPECT_EQ(modem.BaudIndex(), 14);
    EXPECT_EQ(modem.PortState().BaudRate, 256000u);
    modem.Hangup();
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, 1));

    // After a hang-up the next step follows at once, with the window given
    // again as after any disconnection.
    window.Attach(modem);
    ASSERT_EQ(modem.Connect(manager, 1), 1);
    EXPECT_EQ(modem.PortState().BaudRate, 128000u);
    EXPECT_EQ(ReadUpToMarker(), "AT\r");
}

TEST_F(ModemPort, AStepThatLeavesTheTableOpensNothing)
{
    LoadRegistryText(ModemRegistry(3, 57600));
    manager.UpdateContent(0);
    EXPECT_EQ(modem.Connect(manager, 12), 0);
    EXPECT_EQ(modem.BaudIndex(), 11) << "the index is found before the step is checked";
    EXPECT_FALSE(modem.PortOpen());
    EXPECT_EQ(modem.Connect(manager, -4), 0);
    EXPECT_FALSE(modem.PortOpen());
    EXPECT_FALSE(modem.IsConnected());
    EXPECT_EQ(modem.Init(), 1);
    // The window was never told anything.
    EXPECT_TRUE(window.Notices().empty());
    EXPECT_EQ(modem.GetBaudRate(-3), 256000u);
    EXPECT_EQ(modem.GetBaudRate(-4), 0u);
}

TEST_F(ModemPort, CommandsAreWrittenWithCarriageReturnsAndTheNumber)
{
    CString number("42");
    EXPECT_EQ(modem.Dial(number, 1), 0) << "nothing to dial before a Connect";
    ASSERT_EQ(Open(ModemRegistry(3), 0), 1);
    EXPECT_EQ(modem.Init(), 1);
    EXPECT_EQ(ReadUpToMarker(), "ATS7=60S30=0M0\\N3%C1&K3B0X4V1\r");
    EXPECT_EQ(modem.Dial(number, 1), 1);
    std::string dialled = ReadUpToMarker();
    EXPECT_EQ(dialled, "ATM1L2DT42\r");
    EXPECT_EQ(dialled.size(), 11u);
    EXPECT_EQ(modem.Dial(number, 0), 1);
    EXPECT_EQ(ReadUpToMarker(), "ATM1L2DP42\r");
    CString none;
    EXPECT_EQ(modem.Dial(none, 1), 1);
    EXPECT_EQ(ReadUpToMarker(), "ATM1L2DT\r");
    EXPECT_EQ(modem.Reset(), 1);
    EXPECT_EQ(ReadUpToMarker(), "ATZ\r");
    EXPECT_EQ(modem.Adaptation(), 1);
    EXPECT_EQ(ReadUpToMarker(), "AT\r");
    // The modem's answers come back as data.
    ASSERT_TRUE(pty.WriteFar("\r\nOK\r\n"));
    ASSERT_TRUE(window.WaitForData(6));
    EXPECT_EQ(window.DataBytes(), "\r\nOK\r\n");
}

TEST_F(ModemPort, AnEmptyResetWritesNothing)
{
    ASSERT_EQ(Open(ModemRegistry(3, -1, "none"), 0), 1);
    EXPECT_EQ(modem.Reset(), 1);
    EXPECT_EQ(ReadUpToMarker(), "");
}

TEST_F(ModemPort, ConnectOnAConnectedModemFailsAndClosesThePort)
{
    ASSERT_EQ(Open(ModemRegistry(3), 0), 1);
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));
    EXPECT_EQ(modem.Connect(manager, 0), 0);
    EXPECT_FALSE(modem.IsConnected());
    EXPECT_FALSE(modem.PortOpen());
    EXPECT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, 1));
    BYTE b = 'x';
    EXPECT_FALSE(modem.Write(&b, 1));
}

TEST_F(ModemPort, APortThatCannotOpenDisconnectsAndKeepsTheStrings)
{
    ASSERT_EQ(Open(ModemRegistry(3), 0), 1);
    const std::string init = modem.InitText();
    ASSERT_FALSE(init.empty());
    modem.Hangup();
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, 1));

    // The modem moves to a port that does not exist.
    LoadRegistryText(ModemRegistry(7, -1, "ATZ9<cr>"));
    setenv("TAVRIN_COM7", "/nonexistent/tavrin-port", 1);
    manager.UpdateContent(0);
    window.Attach(modem);
    EXPECT_EQ(modem.Connect(manager, 0), 0);
    unsetenv("TAVRIN_COM7");
    EXPECT_FALSE(modem.PortOpen());
    // The host hears of a disconnection even though nothing connected.
    EXPECT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, 2));
    EXPECT_EQ(modem.InitText(), init);

    // With nothing selected and no probing there is no port name at all.
    CModemManager empty;
    window.Attach(modem);
    EXPECT_EQ(modem.Connect(empty, 0), 0);
    EXPECT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, 3));
}

TEST_F(ModemPort, ProbingOpensTheProbePortWhateverModemIsSelected)
{
    LoadRegistryText(ModemRegistry(4));
    manager.UpdateContent(0);
    ASSERT_EQ(manager.GetComPort().str(), "COM4");
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(manager.NextPort(), 1);
    ASSERT_EQ(modem.Connect(manager, 0), 1);
    BYTE b = 'p';
    EXPECT_TRUE(modem.Write(&b, 1));
    EXPECT_EQ(pty.ReadFar(1), "p");
}

TEST_F(ModemPort, ACopyTakesTheStringsAndTheRateButNoPort)
{
    ASSERT_EQ(Open(ModemRegistry(3, 57600), 0), 1);
    TestModem copy(modem);
    EXPECT_EQ(copy.InitText(), modem.InitText());
    EXPECT_EQ(copy.ToneTemplate(), "ATM1L2DT<#>\r");
    EXPECT_EQ(copy.GetBaudRate(0), 57600u);
    EXPECT_FALSE(copy.PortOpen());
    EXPECT_FALSE(copy.IsConnected());
}

TEST(ModemRecord, AModemIsStoredExactlyAsASerialPort)
{
    CModem modem;
    CCom com;
    CMemFile modemFile, comFile;
    {
        CArchive ar(&modemFile, CArchive::store);
        modem.Serialize(ar);
    }
    {
        CArchive ar(&comFile, CArchive::store);
        com.Serialize(ar);
    }
    ASSERT_EQ(modemFile.GetLength(), comFile.GetLength());
    EXPECT_EQ(modemFile.GetLength(), 16u);
    BYTE* a = modemFile.Detach();
    BYTE* b = comFile.Detach();
    EXPECT_EQ(std::memcmp(a, b, 16), 0);
    free(a);
    free(b);
    EXPECT_EQ(modem.GetBaudRate(0), 0u);
    EXPECT_EQ(modem.GetBaudRate(5), 0u);
}

TEST(ModeText, ShortFormsWithTheirAbbreviations)
{
    DCB dcb{};
    ASSERT_TRUE(BuildCommDCBA("57600,m,8,2,p", &dcb));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.Parity, MARKPARITY);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fOutX, 0u);

    ASSERT_TRUE(BuildCommDCBA("96,E,7,1.5,x", &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fInX, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));

    // Without a last field there is no flow control.
    ASSERT_TRUE(BuildCommDCBA("COM2: 19,n,8,1", &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.fOutX, 0u);
    ASSERT_TRUE(BuildCommDCBA("115200", &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.Parity, NOPARITY) << "unnamed fields keep their values";
    // Five data bits, the fewest a line carries, with the stop bits of a teleprinter.
    ASSERT_TRUE(BuildCommDCBA("110,n,5,1.5", &dcb));
    EXPECT_EQ(dcb.BaudRate, 110u);
    EXPECT_EQ(dcb.ByteSize, 5);
    EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
}

TEST(ModeText, KeywordFormsChangeOnlyWhatTheyName)
{
    DCB dcb{};
    dcb.ByteSize = 8;
    ASSERT_TRUE(BuildCommDCBA("baud=38400 parity=o stop=2 xon=off octs=on rts=hs dtr=on", &dcb));
    EXPECT_EQ(dcb.BaudRate, 38400u);
    EXPECT_EQ(dcb.Parity, ODDPARITY);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    ASSERT_TRUE(BuildCommDCBA("COM4: BAUD=1200 DATA=7 dtr=hs idsr=on", &dcb));
    EXPECT_EQ(dcb.BaudRate, 1200u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, ODDPARITY);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fDsrSensitivity, 1u);
    ASSERT_TRUE(BuildCommDCBA("data=5", &dcb));
    EXPECT_EQ(dcb.ByteSize, 5);
    EXPECT_EQ(dcb.BaudRate, 1200u);
}

TEST(ModeText, UnreadableTextsChangeNothing)
{
    for (const char* text : {"", "fast", "57600,q,8,1", "57600,n,9,1", "57600,n,4,1", "data=4", "57600,n,8,3",
                             "57600,n,8,1,z", "57600,n,8,1,p,extra", "baud=", "baud=57600 colour=blue",
                             "parity=mark", "0,n,8,1"}) {
        DCB dcb{};
        dcb.BaudRate = 4242;
        SetLastError(0);
        EXPECT_FALSE(BuildCommDCBA(text, &dcb)) << text;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << text;
        EXPECT_EQ(dcb.BaudRate, 4242u) << text;
    }
    EXPECT_FALSE(BuildCommDCBA(nullptr, nullptr));
}

}  // namespace
