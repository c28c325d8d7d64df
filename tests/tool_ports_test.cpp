// `tavrin ports` against a sysfs the test builds: the real layout's
// symlinks, a UART behind the serial core's own devices, a slot with no
// chip, a USB adapter, a USB modem, and consoles that are never ports.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "DeviceArg.h"
#include "SerialPorts.h"
#include "support/ChildProcess.h"

namespace {

namespace fs = std::filesystem;
using tavrin::test::TempDir;

class FakeSysfs {
public:
    explicit FakeSysfs(const fs::path& root) : m_root(root) {}
    const fs::path& Root() const { return m_root; }

    void File(const fs::path& relative, const std::string& text)
    {
        fs::create_directories((m_root / relative).parent_path());
        std::ofstream(m_root / relative) << text << "\n";
    }
    // A symlink with a relative target, as sysfs has them.
    void Link(const fs::path& relative, const fs::path& targetRelative)
    {
        const fs::path link = m_root / relative;
        fs::create_directories(link.parent_path());
        fs::create_directories(m_root / targetRelative);
        fs::create_symlink(fs::relative(m_root / targetRelative, link.parent_path()), link);
    }
    // A tty class device under device, and its class link; deviceLink false
    // leaves it without a device (as virtual terminals are).
    void Tty(const std::string& name, const fs::path& device, bool deviceLink = true)
    {
        const fs::path dir = device / "tty" / name;
        File(dir / "dev", "4:64");
        File(dir / "uevent", "MAJOR=4\nMINOR=64\nDEVNAME=" + name);
        if (deviceLink)
            Link(dir / "device", device);
        Link(dir / "subsystem", "class/tty");
        Link(fs::path("class/tty") / name, dir);
    }
    void Driver(const fs::path& device, const std::string& bus, const std::string& driver)
    {
        Link(device / "driver", fs::path("bus") / bus / "drivers" / driver);
        Link(device / "subsystem", fs::path("bus") / bus);
    }

private:
    fs::path m_root;
};

void BuildMachine(FakeSysfs& sys)
{
    // A 16550 on the pnp bus, behind the serial core's controller and port
    // devices, and a reserved UART slot where no chip was found.
    const fs::path pnp = "devices/pnp0/00:04";
    sys.Driver(pnp, "pnp", "serial");
    sys.Driver(pnp / "00:04:0", "serial-base", "ctrl");
    sys.Driver(pnp / "00:04:0/00:04:0.0", "serial-base", "port");
    sys.Tty("ttyS0", pnp / "00:04:0/00:04:0.0");
    sys.File(pnp / "00:04:0/00:04:0.0/tty/ttyS0/type", "4");
    const fs::path platform = "devices/platform/serial8250";
    sys.Driver(platform, "platform", "serial8250");
    sys.Tty("ttyS10", platform);
    sys.File(platform / "tty/ttyS10/type", "0");

    // An FTDI adapter: the port device under the interface under the USB
    // device that carries the identifying attributes.
    const fs::path ftdi = "devices/pci0000:00/0000:00:14.0/usb1/1-2";
    sys.File(ftdi / "idVendor", "0403");
    sys.File(ftdi / "idProduct", "6001");
    sys.File(ftdi / "manufacturer", "FTDI");
    sys.File(ftdi / "product", "FT232R USB UART");
    sys.File(ftdi / "serial", "A50285BI");
    sys.File(ftdi / "bNumInterfaces", " 1");
    sys.File(ftdi / "1-2:1.0/bInterfaceNumber", "00");
    sys.Driver(ftdi / "1-2:1.0", "usb", "ftdi_sio");
    sys.Driver(ftdi / "1-2:1.0/ttyUSB0", "usb-serial", "ftdi_sio");
    sys.Tty("ttyUSB0", ftdi / "1-2:1.0/ttyUSB0");

    // A CDC-ACM device with two interfaces and no serial number: the tty
    // hangs off the interface itself.
    const fs::path acm = "devices/pci0000:00/0000:00:14.0/usb1/1-3";
    sys.File(acm / "idVendor", "2341");
    sys.File(acm / "idProduct", "0043");
    sys.File(acm / "manufacturer", "Arduino (www.arduino.cc)");
    sys.File(acm / "bNumInterfaces", " 2");
    sys.File(acm / "1-3:1.0/bInterfaceNumber", "00");
    sys.Driver(acm / "1-3:1.0", "usb", "cdc_acm");
    sys.Tty("ttyACM0", acm / "1-3:1.0");

    // Consoles: virtual terminals and ptmx have no device; a virtual
    // terminal or the console with one is still no port.
    sys.Tty("tty", "devices/virtual/tty", false);
    sys.Tty("tty0", "devices/virtual/tty", false);
    sys.Tty("ptmx", "devices/virtual/tty", false);
    sys.Driver("devices/platform/vt", "platform", "vtcon");
    sys.Tty("tty1", "devices/platform/vt");
    sys.Tty("console", "devices/platform/vt");
}

class ToolPorts : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_dir.Path().empty());
        BuildMachine(m_sys);
    }
    TempDir m_dir;
    FakeSysfs m_sys{fs::path(m_dir.Path()) / "sys"};
};

std::vector<std::string> Names(const std::vector<tavrin::tool::SerialPortInfo>& ports)
{
    std::vector<std::string> names;
    for (const auto& port : ports)
        names.push_back(port.name);
    return names;
}

TEST_F(ToolPorts, ListsPortsWithADeviceAndSkipsConsoles)
{
    std::string error;
    const auto ports = tavrin::tool::ListSerialPorts(m_sys.Root(), false, error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(Names(ports), (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyUSB0"}));
}

TEST_F(ToolPorts, UartSlotsWithoutAChipOnlyOnRequest)
{
    std::string error;
    const auto ports = tavrin::tool::ListSerialPorts(m_sys.Root(), true, error);
    // ttyS10 after ttyS0: numbers compare as numbers.
    EXPECT_EQ(Names(ports), (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyS10", "ttyUSB0"}));
}

TEST_F(ToolPorts, UartDriverIsTheChipsNotTheSerialCores)
{
    std::string error;
    const auto ports = tavrin::tool::ListSerialPorts(m_sys.Root(), true, error);
    ASSERT_EQ(ports.size(), 4u);
    EXPECT_EQ(ports[1].devicePath, "/dev/ttyS0");
    EXPECT_EQ(ports[1].driver, "serial");
    EXPECT_FALSE(ports[1].usb);
    EXPECT_EQ(ports[2].driver, "serial8250");
}

TEST_F(ToolPorts, UsbAdaptersAreIdentified)
{
    std::string error;
    const auto ports = tavrin::tool::ListSerialPorts(m_sys.Root(), false, error);
    ASSERT_EQ(ports.size(), 3u);
    const auto& ftdi = ports[2];
    EXPECT_EQ(ftdi.devicePath, "/dev/ttyUSB0");
    EXPECT_EQ(ftdi.driver, "ftdi_sio");
    EXPECT_TRUE(ftdi.usb);
    EXPECT_EQ(ftdi.vendorId, "0403");
    EXPECT_EQ(ftdi.productId, "6001");
    EXPECT_EQ(ftdi.manufacturer, "FTDI");
    EXPECT_EQ(ftdi.product, "FT232R USB UART");
    EXPECT_EQ(ftdi.serialNumber, "A50285BI");
    EXPECT_EQ(ftdi.interfaceNumber, "");
    const auto& acm = ports[0];
    EXPECT_EQ(acm.driver, "cdc_acm");
    EXPECT_EQ(acm.vendorId, "2341");
    EXPECT_EQ(acm.productId, "0043");
    EXPECT_EQ(acm.serialNumber, "");
    EXPECT_EQ(acm.interfaceNumber, "00");
}

TEST_F(ToolPorts, MissingSysfsIsAnError)
{
    std::string error;
    const auto ports = tavrin::tool::ListSerialPorts(m_sys.Root() / "nothing", false, error);
    EXPECT_TRUE(ports.empty());
    EXPECT_NE(error.find("cannot read"), std::string::npos);
}

TEST_F(ToolPorts, TheHostPrintsOneLinePerPort)
{
    tavrin::test::ChildOptions options;
    options.argv = {TAVRIN_CLI_PATH, "ports"};
    options.environment = {{"TAVRIN_SYSFS_ROOT", m_sys.Root().string()}};
    tavrin::test::ChildProcess ports(options);
    ASSERT_TRUE(ports.Started()) << ports.Error();
    EXPECT_EQ(ports.WaitForExit(20000), 0) << ports.Stderr();
    EXPECT_EQ(ports.Stdout(),
              "/dev/ttyACM0    cdc_acm       usb 2341:0043 \"Arduino (www.arduino.cc)\" interface 00\n"
              "/dev/ttyS0      serial\n"
              "/dev/ttyUSB0    ftdi_sio      usb 0403:6001 \"FTDI\" \"FT232R USB UART\" serial A50285BI\n");
}

TEST_F(ToolPorts, TheHostSaysWhenThereAreNone)
{
    fs::create_directories(fs::path(m_dir.Path()) / "empty/class/tty");
    tavrin::test::ChildOptions options;
    options.argv = {TAVRIN_CLI_PATH, "ports"};
    options.environment = {{"TAVRIN_SYSFS_ROOT", m_dir.Path() + "/empty"}};
    tavrin::test::ChildProcess ports(options);
    ASSERT_TRUE(ports.Started()) << ports.Error();
    EXPECT_EQ(ports.WaitForExit(20000), 0);
    EXPECT_EQ(ports.Stdout(), "");
    EXPECT_NE(ports.Stderr().find("no serial devices"), std::string::npos);
}

// A second FTDI adapter of the same model, with a serial number that reads
// as a baud rate: the ids alone no longer tell the two apart.
void AddSecondFtdi(FakeSysfs& sys)
{
    const fs::path ftdi = "devices/pci0000:00/0000:00:14.0/usb1/1-4";
    sys.File(ftdi / "idVendor", "0403");
    sys.File(ftdi / "idProduct", "6001");
    sys.File(ftdi / "serial", "12345");
    sys.File(ftdi / "bNumInterfaces", " 1");
    sys.Driver(ftdi / "1-4:1.0/ttyUSB1", "usb-serial", "ftdi_sio");
    sys.Tty("ttyUSB1", ftdi / "1-4:1.0/ttyUSB1");
}

TEST_F(ToolPorts, UsbIdentitiesResolveToOneDeviceOrSayWhy)
{
    AddSecondFtdi(m_sys);
    struct Case {
        const char* device;
        const char* path;    // nullptr: refused with the text below
        const char* refusal;
    };
    const Case cases[] = {
        {"serial:usb:0403:6001:A50285BI", "/dev/ttyUSB0", nullptr},
        {"serial:usb:0403:6001:A50285BI:115200", "/dev/ttyUSB0", nullptr},
        {"serial:usb:0403:6001:12345:", "/dev/ttyUSB1", nullptr},
        {"serial:usb:2341:43", "/dev/ttyACM0", nullptr},
        {"serial:usb:2341:0043:9600,8,N,1", "/dev/ttyACM0", nullptr},
        {"serial:usb:0403:6001", nullptr,
         "usb 0403:6001 is ambiguous: 2 devices match:\n"
         "  /dev/ttyUSB0    ftdi_sio      usb 0403:6001 \"FTDI\" \"FT232R USB UART\" serial A50285BI\n"
         "  /dev/ttyUSB1    ftdi_sio      usb 0403:6001 serial 12345\n"},
        // A lone number after PID is the baud rate, not a serial number.
        {"serial:usb:0403:6001:12345", nullptr, "is ambiguous"},
        {"serial:usb:0403:6001:NOSUCH", nullptr, "no serial device is usb 0403:6001 serial NOSUCH"},
        {"serial:usb:0403:6015", nullptr, "no serial device is usb 0403:6015"},
    };
    for (const Case& c : cases) {
        tavrin::tool::DeviceArgument argument;
        std::string error;
        ASSERT_TRUE(tavrin::tool::ParseDeviceArgument(c.device, argument, error)) << c.device << ": " << error;
        std::string path;
        const bool found = tavrin::tool::FindUsbPort(m_sys.Root(), argument.serial.usb, path, error);
        if (c.path != nullptr) {
            EXPECT_TRUE(found) << c.device << ": " << error;
            EXPECT_EQ(path, c.path) << c.device;
        } else {
            EXPECT_FALSE(found) << c.device;
            EXPECT_NE(error.find(c.refusal), std::string::npos) << c.device << ": " << error;
        }
    }
}

TEST_F(ToolPorts, TermOpensTheAdapterItsIdentityNames)
{
    AddSecondFtdi(m_sys);
    for (const auto& [device, expected] :
         {std::pair<std::string, std::string>{"serial:usb:0403:6001", "/dev/ttyUSB1    ftdi_sio"},
          {"serial:usb:0403:6001:A50285BI", "cannot open /dev/ttyUSB0"}}) {
        tavrin::test::ChildOptions options;
        options.argv = {TAVRIN_CLI_PATH, "term", device};
        options.environment = {{"TAVRIN_SYSFS_ROOT", m_sys.Root().string()}, {"TAVRIN_LOCK_DIR", m_dir.Path()}};
        tavrin::test::ChildProcess term(options);
        ASSERT_TRUE(term.Started()) << term.Error();
        term.CloseStdin();
        EXPECT_EQ(term.WaitForExit(20000), 1) << term.Stderr();
        EXPECT_NE(term.Stderr().find(expected), std::string::npos) << term.Stderr();
    }
}

}  // namespace
