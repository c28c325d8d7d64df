// The settings records of the device classes, byte for byte: what a new
// object stores, long and 16-bit strings, a port marked unusable, records
// that round-trip, and a record that ends early.
#include <gtest/gtest.h>

#include <tavrin/Tavrin.h>

#include <cstdlib>
#include <string>

namespace {

// The protected settings, for the tests to set.
struct Device : CDevice {
    using CDevice::m_bAutoOnline;
    using CDevice::m_bSendConnectCommand;
    using CDevice::m_bSendDisconnectCommand;
    using CDevice::m_strConnectCommand;
    using CDevice::m_strDisconnectCommand;
};
struct Com : CCom {
    using CCom::CCom;
    using CCom::m_bStreamReady;
    using CCom::m_dwBaudRate;
    using CCom::m_nFlowControl;
    using CDevice::m_strConnectCommand;
};
struct Lan : CLan {
    using CLan::m_nPort;
    using CLan::m_strHost;
    using CDevice::m_strConnectCommand;
    using CDevice::m_strDisconnectCommand;
};

template <class D>
std::string Store(D& device)
{
    CMemFile file;
    {
        CArchive archive(&file, CArchive::store);
        device.Serialize(archive);
        archive.Close();
    }
    const auto length = static_cast<size_t>(file.GetLength());
    BYTE* bytes = file.Detach();
    std::string stored(reinterpret_cast<const char*>(bytes), length);
    std::free(bytes);
    return stored;
}

// The archive exception's cause, or -1 when the record loaded whole.
template <class D>
int Load(D& device, const std::string& bytes)
{
    std::string copy = bytes;
    CMemFile file(reinterpret_cast<BYTE*>(copy.data()), static_cast<UINT>(copy.size()));
    CArchive archive(&file, CArchive::load);
    try {
        device.Serialize(archive);
    } catch (CArchiveException* error) {
        const int cause = error->m_cause;
        error->Delete();
        return cause;
    }
    return -1;
}

std::string Bytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (int value : values)
        bytes.push_back(static_cast<char>(value));
    return bytes;
}

TEST(SettingsRecords, NewObjectsStoreTheirDefaults)
{
    Device device;
    EXPECT_EQ(Store(device), Bytes({0, 0, 0, 0, 0}));
    Com com;
    EXPECT_EQ(Store(com), Bytes({0x01, 0x01, 0x01, 0x08, 0x04, 0x00, 0x00, 0x80, 0x25, 0x00, 0x00, 0, 0, 0, 0, 0}));
    Lan lan;
    EXPECT_EQ(Store(lan), Bytes({0x00, 0x17, 0x00, 0, 0, 0, 0, 0}));
}

TEST(SettingsRecords, LongStringsTakeTheLongerPrefixes)
{
    Device device;
    device.m_strConnectCommand = CString('c', 300);
    EXPECT_EQ(Store(device), Bytes({0xFF, 0x2C, 0x01}) + std::string(300, 'c') + Bytes({0, 0, 0, 0}));
    device.m_strConnectCommand = CString('d', 65534);
    EXPECT_EQ(Store(device),
              Bytes({0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00}) + std::string(65534, 'd') + Bytes({0, 0, 0, 0}));
    Device loaded;
    EXPECT_EQ(Load(loaded, Store(device)), -1);
    EXPECT_EQ(loaded.m_strConnectCommand.GetLength(), 65534);

    // The one-byte prefix ends at 254: 0xFF there announces a longer one.
    const struct {
        int length;
        std::string prefix;
    } edges[] = {{254, Bytes({0xFE})}, {255, Bytes({0xFF, 0xFF, 0x00})}, {256, Bytes({0xFF, 0x00, 0x01})}};
    for (const auto& edge : edges) {
        device.m_strConnectCommand = CString('e', edge.length);
        device.m_strDisconnectCommand = "ATH";
        const std::string stored = Store(device);
        EXPECT_EQ(stored, edge.prefix + std::string(edge.length, 'e') + Bytes({3}) + "ATH" + Bytes({0, 0, 0}))
            << edge.length;
        Device back;
        ASSERT_EQ(Load(back, stored), -1) << edge.length;
        EXPECT_EQ(back.m_strConnectCommand.GetLength(), edge.length);
        EXPECT_EQ(std::string(back.m_strDisconnectCommand), "ATH") << edge.length;
    }
}

TEST(SettingsRecords, SixteenBitStringsLoadAsEightBit)
{
    // The mark FF FE FF, then the length and the 16-bit characters.
    const std::string record = Bytes({0xFF, 0xFE, 0xFF, 0x03, 'A', 0, 'T', 0, '\r', 0}) + Bytes({0x03}) + "ATH" +
                               Bytes({1, 0, 1});
    Device device;
    ASSERT_EQ(Load(device, record), -1);
    EXPECT_EQ(std::string(device.m_strConnectCommand), "AT\r");
    EXPECT_EQ(std::string(device.m_strDisconnectCommand), "ATH");
    EXPECT_TRUE(device.IsAutoOnline());
    EXPECT_FALSE(device.m_bSendDisconnectCommand);
    EXPECT_TRUE(device.m_bSendConnectCommand);
}

TEST(SettingsRecords, APortMarkedUnusableRefusesToOpen)
{
    Com com;
    std::string record = Store(com);
    record[2] = 0;
    ASSERT_EQ(Load(com, record), -1);
    EXPECT_FALSE(com.IsOK());
    EXPECT_FALSE(com.Connect("/dev/null", nullptr));
    EXPECT_FALSE(com.IsConnected());
}

TEST(SettingsRecords, EveryClassRoundTrips)
{
    Device device;
    device.m_strConnectCommand = "ATZ^13@5#OK#";
    device.m_strDisconnectCommand = "+++";
    device.m_bAutoOnline = 1;
    device.m_bSendConnectCommand = 7;
    Device deviceCopy;
    ASSERT_EQ(Load(deviceCopy, Store(device)), -1);
    EXPECT_EQ(Store(deviceCopy), Store(device));
    EXPECT_EQ(deviceCopy.m_bSendConnectCommand, 7);   // the byte read, not just "set"

    Com com(4, 115200);
    com.m_nFlowControl = COM_FLOW_RTSCTS;
    com.m_strConnectCommand = "AT";
    Com comCopy;
    ASSERT_EQ(Load(comCopy, Store(com)), -1);
    EXPECT_EQ(Store(comCopy), Store(com));
    CString name;
    comCopy.GetName(name);
    EXPECT_EQ(std::string(name), "COM4:115200-8,1,none-RTS/CTS");

    Lan lan;
    lan.m_strHost = "192.168.1.5";
    lan.m_nPort = 0x12345;   // only the low 16 bits are kept
    Lan lanCopy;
    lanCopy.m_nPort = 0xABCD0000;
    ASSERT_EQ(Load(lanCopy, Store(lan)), -1);
    EXPECT_EQ(lanCopy.m_nPort, 0xABCD2345u);
    EXPECT_EQ(std::string(lanCopy.m_strHost), "192.168.1.5");
    EXPECT_EQ(Store(lanCopy), Store(lan));
}

TEST(SettingsRecords, ARecordThatEndsEarlyKeepsWhatCameBefore)
{
    Lan source;
    source.m_strHost = "example.test";
    source.m_nPort = 2323;
    source.m_strConnectCommand = "hello";
    const std::string record = Store(source);
    Lan lan;
    lan.m_strConnectCommand = "old";
    lan.m_strDisconnectCommand = "old too";
    // Cut inside the connect command.
    const std::string cut = record.substr(0, 1 + 12 + 2 + 3);
    EXPECT_EQ(Load(lan, cut), CArchiveException::endOfFile);
    EXPECT_EQ(std::string(lan.m_strHost), "example.test");
    EXPECT_EQ(lan.GetPort(), 2323u);
    EXPECT_EQ(std::string(lan.m_strConnectCommand), "old");
    EXPECT_EQ(std::string(lan.m_strDisconnectCommand), "old too");
    // A length prefix far beyond the record fails the same way, at once.
    EXPECT_EQ(Load(lan, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 'x'})), CArchiveException::endOfFile);
}

}  // namespace
