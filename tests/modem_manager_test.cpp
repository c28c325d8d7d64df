// The modem catalogue and its command strings, read from registry exports
// of a Windows 98 and a Windows NT machine and from small inline trees. On
// Windows the exports go into the system's registry through its regedit,
// so the same cases hold the catalogue to the real registry calls.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tavrin/modem/ModemManager.h"
#include "tavrin/platform/Registry.h"

#if defined(_WIN32)
#include "support/WineRegistry.h"
#endif

namespace {

const std::string kModems = std::string(TAVRIN_TEST_FIXTURES) + "/registry/modems/";

void Load(const std::string& file)
{
    std::string error;
#if defined(_WIN32)
    ASSERT_TRUE(tavrin::test::ImportRegistryFile(kModems + file, error)) << error;
#else
    ASSERT_TRUE(tavrin::LoadRegistry((kModems + file).c_str(), &error)) << error;
#endif
}

void LoadText(const std::string& text)
{
    std::string error;
#if defined(_WIN32)
    ASSERT_TRUE(tavrin::test::ImportRegistryText(text, error)) << error;
#else
    ASSERT_TRUE(tavrin::LoadRegistryText(text, "inline.reg", &error)) << error;
#endif
}

const char kWin95Section[] = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem\\";
const char kNtSection[] =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}\\";

std::string S(const CString& s)
{
    return s.str();
}

TEST(ModemCatalogue, NoModemInstalled)
{
    LoadText("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"Model\"=\"not a modem\"\n");
    CModemManager manager;
    EXPECT_EQ(manager.GetModemCount(), 0);
    EXPECT_EQ(S(manager.GetModemName(0)), "");
    EXPECT_EQ(S(manager.GetModemName(-1)), "");
    EXPECT_EQ(manager.NumToIndex(0), -1);
    EXPECT_EQ(manager.IsEmptyComName(), 1);
    EXPECT_EQ(manager.IsSearchModemMode(), 0);
    EXPECT_EQ(manager.GetModemIndex(), -1);
    // Nothing selected: the strings are empty and the builders give the
    // strings made of empty values.
    EXPECT_EQ(S(manager.GetINIT()), "");
    EXPECT_EQ(S(manager.GetModemInitString(4, 0)), "V1<cr>");
    EXPECT_EQ(S(manager.GetModemDialPrefix(4, "Tone")), "<#><cr>");
    EXPECT_EQ(S(manager.GetModemResetString(4)), "");
    EXPECT_EQ(manager.GetModemHasSpeaker(4), 0);
    EXPECT_EQ(manager.GetModemVolumeLevelsCount(4), 0);
}

TEST(ModemCatalogue, HiddenModemsAreSkippedByOrdinalsButReachableByIndex)
{
    Load("win98.reg");
    CModemManager manager;
    EXPECT_EQ(manager.GetModemCount(), 2);
    EXPECT_EQ(manager.NumToIndex(0), 0);
    EXPECT_EQ(manager.NumToIndex(1), 3);
    EXPECT_EQ(manager.NumToIndex(2), -1);
    EXPECT_EQ(manager.NumToIndex(-1), -1);
    EXPECT_EQ(S(manager.GetModemName(0)), "Example 56K Modem");
    EXPECT_EQ(S(manager.GetModemName(1)), "Varnoquel Line Monitor");
    EXPECT_EQ(S(manager.GetModemName(2)), "");
    EXPECT_EQ(S(manager.GetModemName(3)), "Fast Modem");
}

TEST(ModemCatalogue, TheHiddenTextIsCaseSensitiveAndFoundAnywhere)
{
    Load("nt.reg");
    CModemManager manager;
    // 2, 5 and 8 ("varnoquel" in lower case) are listed; 7 ("Standard
    // Varnoquel (x)") is not.
    EXPECT_EQ(manager.GetModemCount(), 3);
    EXPECT_EQ(manager.NumToIndex(0), 2);
    EXPECT_EQ(manager.NumToIndex(1), 5);
    EXPECT_EQ(manager.NumToIndex(2), 8);
    EXPECT_EQ(manager.NumToIndex(3), -1);
    EXPECT_EQ(S(manager.GetModemName(7)), "Standard Varnoquel (x)");
    // The UTF-16 export's text in 8-bit characters.
    EXPECT_EQ(S(manager.GetModemName(2)), "Zweites Modem f\xfcr Tests");
}

TEST(ModemCatalogue, AllTwoHundredFiftySixIndicesAreWalked)
{
    std::string text = "REGEDIT4\n\n";
    text += std::string(kWin95Section) + "0255]\n\"Model\"=\"Last Slot Modem\"\n";
    text += std::string(kWin95Section) + "0256]\n\"Model\"=\"Beyond The Catalogue\"\n";
    LoadText(text);
    CModemManager manager;
    EXPECT_EQ(manager.GetModemCount(), 1);
    EXPECT_EQ(manager.NumToIndex(0), 255);
    EXPECT_EQ(manager.NumToIndex(1), -1);
}

TEST(ModemCatalogue, TheWindows98LayoutWinsWhenBothHoldAnIndex)
{
    std::string text = "REGEDIT4\n\n";
    text += std::string(kNtSection) + "0004]\n\"Model\"=\"NT Side\"\n\"AttachedTo\"=\"COM2\"\n";
    text += std::string(kWin95Section) + "0004]\n\"Model\"=\"98 Side\"\n\"AttachedTo\"=\"COM1\"\n";
    LoadText(text);
    CModemManager manager;
    EXPECT_EQ(S(manager.GetModemName(4)), "98 Side");
    manager.UpdateContent(0);
    EXPECT_EQ(S(manager.GetComPort()), "COM1");
}

TEST(ModemPortName, AttachedToNeedsNoSearch)
{
    Load("win98.reg");
    CModemManager manager;
    manager.UpdateContent(0);
    EXPECT_EQ(manager.GetModemIndex(), 0);
    EXPECT_EQ(S(manager.GetComPort()), "COM3");
    EXPECT_EQ(manager.IsEmptyComName(), 0);
}

TEST(ModemPortName, TheHardwareTreeSearchCutsInstanceNumbersAndGoesOnPastAMatchWithoutPort)
{
    Load("win98.reg");
    CModemManager manager;
    // "Fast Modem #2" searches for "Fast Modem". Enum\Alpha\Device matches
    // but names no port; its subkey does not match; Enum\Root\Modem\0000 is
    // "Fast Modem #1 " and matches once cut and trimmed.
    manager.UpdateContent(1);
    EXPECT_EQ(manager.GetModemIndex(), 3);
    EXPECT_EQ(S(manager.GetComPort()), "COM5");
}

TEST(ModemPortName, ASubkeyOfAMatchWithoutPortIsSearchedFirst)
{
    std::string text = "REGEDIT4\n\n";
    text += std::string(kWin95Section) + "0000]\n\"Model\"=\"Deep\"\n\"DriverDesc\"=\"Deep Modem\"\n";
    text += "[HKEY_LOCAL_MACHINE\\Enum\\A]\n\"DeviceDesc\"=\"Deep Modem\"\n";
    text += "[HKEY_LOCAL_MACHINE\\Enum\\A\\Inner]\n\"DeviceDesc\"=\"Deep Modem #4\"\n\"PORTNAME\"=\"COM12\"\n";
    text += "[HKEY_LOCAL_MACHINE\\Enum\\B]\n\"DeviceDesc\"=\"Deep Modem\"\n\"PORTNAME\"=\"COM13\"\n";
    // A description that is not a string never matches.
    text += "[HKEY_LOCAL_MACHINE\\Enum\\0]\n\"DeviceDesc\"=hex:44,65,65,70,20,4d,6f,64,65,6d,00\n"
            "\"PORTNAME\"=\"COM14\"\n";
    LoadText(text);
    CModemManager manager;
    manager.UpdateContent(0);
    EXPECT_EQ(S(manager.GetComPort()), "COM12");
}

TEST(ModemPortName, TheFourSearchesRunInOrder)
{
    Load("nt.reg");
    CModemManager manager;
    // Modem 5 is found only by the fourth search: FriendlyName under
    // SYSTEM\CurrentControlSet\Enum.
    manager.UpdateContent(1);
    EXPECT_EQ(manager.GetModemIndex(), 5);
    EXPECT_EQ(S(manager.GetComPort()), "COM11");

    std::string text = "REGEDIT4\n\n";
    text += std::string(kWin95Section) + "0000]\n\"Model\"=\"M\"\n\"DriverDesc\"=\"Modem X\"\n";
    text += "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\X]\n\"DeviceDesc\"=\"Modem X\"\n"
            "\"PORTNAME\"=\"COM23\"\n";
    text += "[HKEY_LOCAL_MACHINE\\Enum\\Y]\n\"FriendlyName\"=\"Modem X\"\n\"PORTNAME\"=\"COM22\"\n";
    LoadText(text);
    CModemManager second;
    second.UpdateContent(0);
    // "Enum" by FriendlyName comes before the NT tree by DeviceDesc.
    EXPECT_EQ(S(second.GetComPort()), "COM22");
}

TEST(ModemPortName, NoPortAnywhereLeavesTheNameEmpty)
{
    std::string text = "REGEDIT4\n\n";
    text += std::string(kWin95Section) + "0000]\n\"Model\"=\"Lonely\"\n\"DriverDesc\"=\"Lonely\"\n";
    LoadText(text);
    CModemManager manager;
    manager.UpdateContent(0);
    EXPECT_EQ(manager.GetModemIndex(), 0);
    EXPECT_EQ(manager.IsEmptyComName(), 1);
    EXPECT_EQ(S(manager.GetComPort()), "");
}

TEST(ModemSettings, TheRegistryDcbIsReadWhenBinary)
{
    Load("win98.reg");
    CModemManager manager;
    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    manager.GetDCB(dcb);
    EXPECT_EQ(dcb.DCBlength, 0u) << "no modem selected, no settings";

    manager.UpdateContent(0);
    manager.GetDCB(dcb);
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.XonLim, 10);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
}

TEST(ModemSettings, AStringDcbIsIgnoredAndAShortOneFillsOnlyItsLeadingBytes)
{
    Load("nt.reg");
    CModemManager manager;
    manager.UpdateContent(2);  // index 8: "DCB" is a string
    ASSERT_EQ(manager.GetModemIndex(), 8);
    DCB dcb;
    std::memset(&dcb, 0xAB, sizeof(dcb));
    dcb.DCBlength = 0;
    manager.GetDCB(dcb);
    EXPECT_EQ(dcb.DCBlength, 0u);
    EXPECT_EQ(dcb.BaudRate, 0xABABABABu);

    std::string text = "REGEDIT4\n\n";
    text += std::string(kWin95Section) + "0000]\n\"Model\"=\"Short\"\n\"DCB\"=hex:1c,00,00,00,80,25,00,00\n";
    text += std::string(kWin95Section) + "0001]\n\"Model\"=\"Long\"\n\"DCB\"=hex:1c,00,00,00,00,c2,01,00," +
            "11,00,00,00,00,00,0a,00,0a,00,07,02,00,11,13,00,00,00,00,00,ee,ee\n";
    LoadText(text);
    CModemManager shortOne;
    shortOne.UpdateContent(0);
    std::memset(&dcb, 0xAB, sizeof(dcb));
    dcb.DCBlength = 0;
    shortOne.GetDCB(dcb);
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 0xAB) << "bytes past a short value keep the caller's";

    // A value longer than the structure still gives its first 28 bytes.
    CModemManager longOne;
    longOne.UpdateContent(1);
    std::memset(&dcb, 0, sizeof(dcb));
    longOne.GetDCB(dcb);
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
}

TEST(ModemSettings, ProbingNamesComPortsOneByOne)
{
    Load("win98.reg");
    CModemManager manager;
    manager.UpdateContent(0);
    EXPECT_EQ(S(manager.GetComPort()), "COM3");
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(manager.NextPort(), 1);
    EXPECT_EQ(manager.IsSearchModemMode(), 3);
    EXPECT_EQ(S(manager.GetComPort()), "COM3");
    for (int i = 4; i <= 8; ++i)
        EXPECT_EQ(manager.NextPort(), 1) << i;
    EXPECT_EQ(S(manager.GetComPort()), "COM8");
    EXPECT_EQ(manager.NextPort(), 0);
    EXPECT_EQ(S(manager.GetComPort()), "COM9");
    EXPECT_EQ(manager.NextPort(), 0);
    EXPECT_EQ(manager.IsSearchModemMode(), 10);
    // The selected modem's settings still come from the registry.
    DCB dcb{};
    manager.GetDCB(dcb);
    EXPECT_EQ(dcb.BaudRate, 57600u);

    // A second manager starts afresh; an assignment takes the probe state.
    CModemManager fresh;
    EXPECT_EQ(fresh.IsSearchModemMode(), 0);
    fresh = manager;
    EXPECT_EQ(S(fresh.GetComPort()), "COM10");
    CModemManager notProbing;
    fresh = notProbing;
    EXPECT_EQ(fresh.IsSearchModemMode(), 0);
    EXPECT_EQ(fresh.GetModemIndex(), -1);
}

TEST(ModemStrings, TheExampleModemsCommands)
{
    Load("win98.reg");
    CModemManager manager;
    EXPECT_EQ(S(manager.GetModemInitString(0, 0)), "ATS7=60S30=0M0\\N3%C1&K3B0X4V1<cr>");
    EXPECT_EQ(S(manager.GetModemInitString(0, 1)), "ATS7=60S30=0L0M1\\N3%C1&K3B0X4V1<cr>");
    EXPECT_EQ(S(manager.GetModemInitString(0, 2)), "ATS7=60S30=0L2M1\\N3%C1&K3B0X4V1<cr>");
    EXPECT_EQ(S(manager.GetModemInitString(0, 3)), "ATS7=60S30=0L3M1\\N3%C1&K3B0X4V1<cr>");
    EXPECT_EQ(S(manager.GetModemInitString(0, -1)), "ATS7=60S30=0\\N3%C1&K3B0X4V1<cr>");
    EXPECT_EQ(S(manager.GetModemInitString(0, 4)), "ATS7=60S30=0\\N3%C1&K3B0X4V1<cr>");
    EXPECT_EQ(S(manager.GetModemDialPrefix(0, "Tone")), "ATM1L2DT<#><cr>");
    EXPECT_EQ(S(manager.GetModemDialPrefix(0, "Pulse")), "ATM1L2DP<#><cr>");
    EXPECT_EQ(S(manager.GetModemDialPrefix(0, "Whistle")), "ATM1L2D<#><cr>");
    EXPECT_EQ(S(manager.GetModemResetString(0)), "ATZ<cr>");
    EXPECT_EQ(manager.GetModemHasSpeaker(0), 1);
    EXPECT_EQ(manager.GetModemVolumeLevelsCount(0), 3);

    // Choosing the modem caches its strings, the initialisation with the
    // speaker off.
    manager.UpdateContent(0);
    EXPECT_EQ(S(manager.GetINIT()), "ATS7=60S30=0M0\\N3%C1&K3B0X4V1<cr>");
    EXPECT_EQ(S(manager.GetRESET()), "ATZ<cr>");
    EXPECT_EQ(S(manager.GetDIALTONE()), "ATM1L2DT<#><cr>");
    EXPECT_EQ(S(manager.GetDIALPULSE()), "ATM1L2DP<#><cr>");
}

// The example modem's settings with some values left out.
std::string ExampleModem(const std::string& leaveOut, const std::string& timer = "S7=<#>")
{
    const char* values[][2] = {
        {"Prefix", "AT"}, {"CallSetupFailTimer", nullptr}, {"InactivityTimeout", "S30=<#>"},
        {"SpeakerMode_Dial", "M1"}, {"SpeakerMode_OFF", "M0"}, {"SpeakerVolume_Low", "L0"},
        {"SpeakerVolume_Med", "L2"}, {"SpeakerVolume_High", "L3"}, {"ErrorControl_On", "\\\\N3"},
        {"Compression_On", "%C1"}, {"FlowControl_Hard", "&K3"}, {"Modulation_CCITT", "B0"},
        {"Blind_Off", "X4"}, {"DialPrefix", "D"}, {"Tone", "T"}, {"Pulse", "P"},
    };
    std::string text = "REGEDIT4\n\n" + std::string(kWin95Section) + "0000]\n\"Model\"=\"Example\"\n";
    text += std::string(kWin95Section) + "0000\\Settings]\n";
    for (auto& v : values) {
        if (leaveOut.find(v[0]) != std::string::npos)
            continue;
        text += "\"" + std::string(v[0]) + "\"=\"" + (v[1] ? v[1] : timer) + "\"\n";
    }
    return text;
}

TEST(ModemStrings, WithoutSpeakerOffTheSpeakerIsNeverSet)
{
    LoadText(ExampleModem("SpeakerMode_OFF"));
    CModemManager manager;
    EXPECT_EQ(manager.GetModemHasSpeaker(0), 0);
    for (int speaker : {0, 1, 2, 3})
        EXPECT_EQ(S(manager.GetModemInitString(0, speaker)), "ATS7=60S30=0\\N3%C1&K3B0X4V1<cr>") << speaker;
}

TEST(ModemStrings, WithoutVolumeLevelsOnlySettingOneTurnsTheSpeakerOn)
{
    LoadText(ExampleModem("SpeakerVolume_Low SpeakerVolume_Med SpeakerVolume_High"));
    CModemManager manager;
    EXPECT_EQ(manager.GetModemVolumeLevelsCount(0), 0);
    EXPECT_EQ(S(manager.GetModemInitString(0, 1)), "ATS7=60S30=0M1\\N3%C1&K3B0X4V1<cr>");
    EXPECT_EQ(S(manager.GetModemInitString(0, 2)), "ATS7=60S30=0\\N3%C1&K3B0X4V1<cr>");
    EXPECT_EQ(S(manager.GetModemInitString(0, 3)), "ATS7=60S30=0\\N3%C1&K3B0X4V1<cr>");
    EXPECT_EQ(S(manager.GetModemDialPrefix(0, "Tone")), "ATM1DT<#><cr>");

    // One level is enough for the settings 2 and 3, each with its own value.
    LoadText(ExampleModem("SpeakerVolume_Low SpeakerVolume_Med"));
    EXPECT_EQ(manager.GetModemVolumeLevelsCount(0), 1);
    EXPECT_EQ(S(manager.GetModemInitString(0, 3)), "ATS7=60S30=0L3M1\\N3%C1&K3B0X4V1<cr>");
    EXPECT_EQ(S(manager.GetModemInitString(0, 2)), "ATS7=60S30=0M1\\N3%C1&K3B0X4V1<cr>");
}

TEST(ModemStrings, EveryTimerPlaceholderIsFilled)
{
    LoadText(ExampleModem("", "S7=<#>S8=<#>"));
    CModemManager manager;
    EXPECT_EQ(S(manager.GetModemInitString(0, -1)), "ATS7=60S8=60S30=0\\N3%C1&K3B0X4V1<cr>");
}

TEST(ModemStrings, ResetNoneInAnyCaseIsNoReset)
{
    for (const char* none : {"none", "None", "NONE", "nOnE"}) {
        LoadText("REGEDIT4\n\n" + std::string(kWin95Section) + "0000]\n\"Model\"=\"M\"\n\"Reset\"=\"" + none +
                 "\"\n");
        CModemManager manager;
        EXPECT_EQ(S(manager.GetModemResetString(0)), "") << none;
    }
    LoadText("REGEDIT4\n\n" + std::string(kWin95Section) + "0000]\n\"Model\"=\"M\"\n\"Reset\"=\"atz<cr>\"\n");
    CModemManager manager;
    EXPECT_EQ(S(manager.GetModemResetString(0)), "atz<cr>");
    // Whatever type the value has, it is read as text: a string of 16-bit
    // characters, or the bytes of a DWORD up to its first zero.
    Load("nt.reg");
    EXPECT_EQ(S(manager.GetModemResetString(2)), "AT&F<cr>");
    Load("win98.reg");
    EXPECT_EQ(manager.GetModemHasSpeaker(3), 1);
    EXPECT_EQ(S(manager.GetModemDialPrefix(3, "Pulse")), "ATM1DP<#><cr>");
}

TEST(ModemSelection, UpdateContentWithoutAModemKeepsThePreviousStrings)
{
    Load("win98.reg");
    CModemManager manager;
    manager.UpdateContent(0);
    manager.UpdateContent(5);
    EXPECT_EQ(manager.GetModemIndex(), -1);
    EXPECT_EQ(S(manager.GetINIT()), "ATS7=60S30=0M0\\N3%C1&K3B0X4V1<cr>");
    EXPECT_EQ(S(manager.GetComPort()), "COM3");

    // The second listed modem: its reset "None" is empty.
    manager.UpdateContent(1);
    EXPECT_EQ(manager.GetModemIndex(), 3);
    EXPECT_EQ(S(manager.GetRESET()), "");
    EXPECT_EQ(S(manager.GetINIT()), "ATM0V1<cr>");
    EXPECT_EQ(S(manager.GetDIALTONE()), "ATM1DT<#><cr>");
}

TEST(ModemSelection, CopiesTakeTheValuesAndFollowTheRegistry)
{
    Load("win98.reg");
    CModemManager manager;
    manager.UpdateContent(1);
    CModemManager copy(manager);
    EXPECT_EQ(copy.GetModemIndex(), 3);
    EXPECT_EQ(S(copy.GetComPort()), "COM5");
    EXPECT_EQ(S(copy.GetDIALTONE()), "ATM1DT<#><cr>");
    EXPECT_EQ(copy.GetConfigDlg(), nullptr);
    // The catalogue is read afresh on every question.
    LoadText("REGEDIT4\n\n" + std::string(kWin95Section) + "0009]\n\"Model\"=\"Replacement\"\n");
    EXPECT_EQ(copy.GetModemCount(), 1);
    EXPECT_EQ(copy.NumToIndex(0), 9);
}

}  // namespace
