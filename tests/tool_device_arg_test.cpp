// The tavrin host's DEVICE argument: what each form opens and with which
// DCB or socket settings, the --allow rule, and a clear refusal of every
// malformed one.
#include <gtest/gtest.h>

#include <cstring>

#include "DeviceArg.h"

namespace {

using tavrin::tool::AccessRule;
using tavrin::tool::DeviceArgument;
using tavrin::tool::ParseDeviceArgument;
using tavrin::tool::SerialArgument;

// An address as inet_addr gives it: the bytes in the order written.
std::uint32_t NetworkOrder(unsigned a, unsigned b, unsigned c, unsigned d)
{
    const unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                    static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

AccessRule Rule(const std::string& text)
{
    AccessRule rule;
    std::string error;
    EXPECT_TRUE(tavrin::tool::ParseAccessRule(text, rule, error)) << text << ": " << error;
    return rule;
}

std::string RuleRefusal(const std::string& text)
{
    AccessRule rule;
    std::string error;
    EXPECT_FALSE(tavrin::tool::ParseAccessRule(text, rule, error)) << text;
    return error;
}

DeviceArgument Parse(const std::string& text)
{
    DeviceArgument result;
    std::string error;
    EXPECT_TRUE(ParseDeviceArgument(text, result, error)) << text << ": " << error;
    return result;
}

std::string Refusal(const std::string& text)
{
    DeviceArgument result;
    std::string error;
    EXPECT_FALSE(ParseDeviceArgument(text, result, error)) << text;
    return error;
}

TEST(ToolDeviceArg, LoopbackIsLoopback)
{
    EXPECT_EQ(Parse("loopback").kind, DeviceArgument::Kind::Loopback);
}

TEST(ToolDeviceArg, PathAloneUsesTheStoredSettings)
{
    const DeviceArgument arg = Parse("serial:/dev/ttyUSB0");
    EXPECT_EQ(arg.kind, DeviceArgument::Kind::Serial);
    EXPECT_EQ(arg.serial.path, "/dev/ttyUSB0");
    EXPECT_FALSE(arg.serial.hasBaudRate);
    EXPECT_FALSE(arg.serial.hasLineSettings);
}

TEST(ToolDeviceArg, BaudAloneSetsOnlyTheRate)
{
    const SerialArgument serial = Parse("serial:/dev/ttyS1:57600").serial;
    EXPECT_EQ(serial.path, "/dev/ttyS1");
    EXPECT_TRUE(serial.hasBaudRate);
    EXPECT_EQ(serial.baudRate, 57600u);
    EXPECT_FALSE(serial.hasLineSettings);
}

TEST(ToolDeviceArg, ComNamesPassThroughForTheLibraryToMap)
{
    EXPECT_EQ(Parse("serial:COM3").serial.path, "COM3");
    EXPECT_EQ(Parse("serial:\\\\.\\COM12:9600").serial.path, "\\\\.\\COM12");
    EXPECT_EQ(tavrin::tool::ComPortNumber("COM3"), 3);
    EXPECT_EQ(tavrin::tool::ComPortNumber("\\\\.\\COM12"), 12);
    EXPECT_EQ(tavrin::tool::ComPortNumber("com7"), 7);
    EXPECT_EQ(tavrin::tool::ComPortNumber("/dev/ttyS0"), 0);
    EXPECT_EQ(tavrin::tool::ComPortNumber("COM0"), 0);
    EXPECT_EQ(tavrin::tool::ComPortNumber("COM256"), 0);
}

TEST(ToolDeviceArg, FullSettings)
{
    const SerialArgument serial = Parse("serial:/dev/ttyUSB0:115200,7,E,2,rtscts").serial;
    EXPECT_EQ(serial.path, "/dev/ttyUSB0");
    EXPECT_EQ(serial.baudRate, 115200u);
    EXPECT_TRUE(serial.hasLineSettings);
    EXPECT_EQ(serial.byteSize, 7);
    EXPECT_EQ(serial.parity, EVENPARITY);
    EXPECT_EQ(serial.stopBits, TWOSTOPBITS);
    EXPECT_TRUE(serial.rtsCts);
    EXPECT_FALSE(serial.dtrDsr);
    EXPECT_FALSE(serial.xonXoff);
}

TEST(ToolDeviceArg, EveryParityAndStopBitsValue)
{
    const std::pair<const char*, BYTE> parities[] = {
        {"N", NOPARITY}, {"O", ODDPARITY}, {"E", EVENPARITY}, {"M", MARKPARITY}, {"S", SPACEPARITY}, {"e", EVENPARITY}};
    for (const auto& [letter, value] : parities)
        EXPECT_EQ(Parse(std::string("serial:COM1:9600,8,") + letter + ",1").serial.parity, value) << letter;
    EXPECT_EQ(Parse("serial:COM1:9600,8,N,1").serial.stopBits, ONESTOPBIT);
    EXPECT_EQ(Parse("serial:COM1:9600,5,N,1.5").serial.stopBits, ONE5STOPBITS);
    EXPECT_EQ(Parse("serial:COM1:9600,8,N,2").serial.stopBits, TWOSTOPBITS);
}

TEST(ToolDeviceArg, FlowControlsCombineWithPlus)
{
    const SerialArgument all = Parse("serial:COM1:9600,8,N,1,rtscts+dtrdsr+xonxoff").serial;
    EXPECT_TRUE(all.rtsCts && all.dtrDsr && all.xonXoff);
    const SerialArgument none = Parse("serial:COM1:9600,8,N,1,none").serial;
    EXPECT_FALSE(none.rtsCts || none.dtrDsr || none.xonXoff);
    const SerialArgument omitted = Parse("serial:COM1:9600,8,N,1").serial;
    EXPECT_FALSE(omitted.rtsCts || omitted.dtrDsr || omitted.xonXoff);
}

TEST(ToolDeviceArg, ColonsInsideAPathStayInThePath)
{
    const std::string byPath = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0";
    const SerialArgument plain = Parse("serial:" + byPath).serial;
    EXPECT_EQ(plain.path, byPath);
    EXPECT_FALSE(plain.hasBaudRate);
    const SerialArgument withRate = Parse("serial:" + byPath + ":19200").serial;
    EXPECT_EQ(withRate.path, byPath);
    EXPECT_EQ(withRate.baudRate, 19200u);
}

// What follows PID: a serial number, settings, or both; a lone field is the
// settings when it reads as settings.
TEST(ToolDeviceArg, UsbIdentityGrammar)
{
#ifdef _WIN32
    // No sysfs to look the ids up in.
    EXPECT_NE(Refusal("serial:usb:0403:6001").find("on Windows name its COM port"), std::string::npos);
    return;
#endif
    struct Case {
        const char* text;
        const char* vendor;
        const char* product;
        const char* serial;
        std::uint32_t baud;   // 0: the stored settings
    };
    const Case cases[] = {
        {"serial:usb:0403:6001", "0403", "6001", "", 0},
        {"serial:usb:403:ABCD", "0403", "abcd", "", 0},
        {"serial:usb:0403:6001:A50285BI", "0403", "6001", "A50285BI", 0},
        {"serial:usb:0403:6001:115200", "0403", "6001", "", 115200},
        {"serial:usb:0403:6001:9600,7,E,1", "0403", "6001", "", 9600},
        {"serial:usb:0403:6001:12345:", "0403", "6001", "12345", 0},
        {"serial:usb:0403:6001:12345:57600", "0403", "6001", "12345", 57600},
        {"serial:usb:0403:6001::57600", "0403", "6001", "", 57600},
    };
    for (const Case& c : cases) {
        const DeviceArgument argument = Parse(c.text);
        EXPECT_TRUE(argument.serial.byUsb) << c.text;
        EXPECT_EQ(argument.serial.path, "") << c.text;
        EXPECT_EQ(argument.serial.usb.vendorId, c.vendor) << c.text;
        EXPECT_EQ(argument.serial.usb.productId, c.product) << c.text;
        EXPECT_EQ(argument.serial.usb.serialNumber, c.serial) << c.text;
        EXPECT_EQ(argument.serial.hasBaudRate, c.baud != 0) << c.text;
        if (c.baud != 0)
            EXPECT_EQ(argument.serial.baudRate, c.baud) << c.text;
    }
    for (const char* text : {"serial:usb:", "serial:usb:0403", "serial:usb:04031:6001", "serial:usb:0x03:6001",
                             "serial:usb:0403:6001:A:1:2", "serial:usb:0403:6001:", "serial:usb:0403:6001:A:9600,8"})
        EXPECT_NE(Refusal(text), "") << text;
}

TEST(ToolDeviceArg, MalformedArgumentsSayWhatIsWrong)
{
    EXPECT_NE(Refusal("modem").find("unknown device"), std::string::npos);
    EXPECT_NE(Refusal("serial:").find("a port is needed"), std::string::npos);
    EXPECT_NE(Refusal("serial::9600").find("a port is needed"), std::string::npos);
    EXPECT_NE(Refusal("serial:/dev/ttyS0:").find("nothing follows"), std::string::npos);
    EXPECT_NE(Refusal("serial:/dev/ttyS0:0").find("baud rate"), std::string::npos);
    EXPECT_NE(Refusal("serial:/dev/ttyS0:99999999999").find("baud rate"), std::string::npos);
    EXPECT_NE(Refusal("serial:/dev/ttyS0:fast,8,N,1").find("baud rate"), std::string::npos);
    EXPECT_NE(Refusal("serial:/dev/ttyS0:9600,8").find("BAUD,DATA,PARITY,STOP"), std::string::npos);
    EXPECT_NE(Refusal("serial:/dev/ttyS0:9600,8,N,1,none,x").find("BAUD,DATA,PARITY,STOP"), std::string::npos);
    EXPECT_NE(Refusal("serial:/dev/ttyS0:9600,9,N,1").find("data bits"), std::string::npos);
    EXPECT_NE(Refusal("serial:/dev/ttyS0:9600,4,N,1").find("data bits"), std::string::npos);
    EXPECT_NE(Refusal("serial:/dev/ttyS0:9600,8,X,1").find("parity"), std::string::npos);
    EXPECT_NE(Refusal("serial:/dev/ttyS0:9600,8,NO,1").find("parity"), std::string::npos);
    EXPECT_NE(Refusal("serial:/dev/ttyS0:9600,8,N,3").find("stop bits"), std::string::npos);
    EXPECT_NE(Refusal("serial:/dev/ttyS0:9600,8,N,1,hw").find("flow control"), std::string::npos);
    EXPECT_NE(Refusal("serial:/dev/ttyS0:9600,8,N,1,none+rtscts").find("cannot be combined"), std::string::npos);
    EXPECT_NE(Refusal("serial:/dev/ttyS0:9600,8,N,1,rtscts+").find("flow control"), std::string::npos);
    // The whole argument is quoted back.
    EXPECT_NE(Refusal("serial:/dev/ttyS0:9600,8,N,3").find("'serial:/dev/ttyS0:9600,8,N,3'"), std::string::npos);
}

TEST(ToolDeviceArg, DcbForEightNoneOneWithoutFlowControl)
{
    DCB dcb;
    std::memset(&dcb, 0xA5, sizeof dcb);
    tavrin::tool::FillDcb(Parse("serial:/dev/ttyUSB0:115200,8,N,1").serial, dcb);
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.XonLim, 10);
    EXPECT_EQ(dcb.XoffLim, 256);
    // Nothing of the old contents survives.
    EXPECT_EQ(dcb.fDsrSensitivity, 0u);
    EXPECT_EQ(dcb.fAbortOnError, 0u);
    EXPECT_EQ(dcb.ErrorChar, 0);
    EXPECT_EQ(dcb.EofChar, 0);
}

TEST(ToolDeviceArg, DcbWithParityAndEveryFlowControl)
{
    DCB dcb;
    tavrin::tool::FillDcb(Parse("serial:COM2:2400,7,O,2,rtscts+dtrdsr+xonxoff").serial, dcb);
    EXPECT_EQ(dcb.BaudRate, 2400u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, ODDPARITY);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(dcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fInX, 1u);
}

TEST(ToolDeviceArg, SettingsAreDescribedAsTheyWouldBeTyped)
{
    EXPECT_EQ(tavrin::tool::DescribeSettings(Parse("serial:COM1:115200,8,n,1.5,xonxoff+rtscts").serial),
              "115200,8,N,1.5,rtscts+xonxoff");
    EXPECT_EQ(tavrin::tool::DescribeSettings(Parse("serial:COM1:4800").serial), "4800");
}

TEST(ToolDeviceArgNet, TcpTakesAHostAndAPort)
{
    const DeviceArgument byAddress = Parse("tcp:127.0.0.1:23");
    EXPECT_EQ(byAddress.kind, DeviceArgument::Kind::Tcp);
    EXPECT_EQ(byAddress.net.host, "127.0.0.1");
    EXPECT_EQ(byAddress.net.port, 23);
    EXPECT_TRUE(byAddress.IsSocket());
    EXPECT_TRUE(byAddress.IsStream());
    const DeviceArgument byName = Parse("tcp:mail-relay_2.example.org:65535");
    EXPECT_EQ(byName.net.host, "mail-relay_2.example.org");
    EXPECT_EQ(byName.net.port, 65535);
    EXPECT_EQ(Parse("tcp:localhost:1").net.port, 1);
    EXPECT_EQ(Parse("tcp:localhost:08080").net.port, 8080);
}

TEST(ToolDeviceArgNet, ListenTakesAPort)
{
    const DeviceArgument arg = Parse("listen:2323");
    EXPECT_EQ(arg.kind, DeviceArgument::Kind::Listen);
    EXPECT_EQ(arg.net.port, 2323);
    EXPECT_TRUE(arg.net.host.empty());
    EXPECT_TRUE(arg.IsStream());
}

TEST(ToolDeviceArgNet, DatagramDevicesKeepTheirTextWhole)
{
    const DeviceArgument reply = Parse("udp-reply:5000:pong");
    EXPECT_EQ(reply.kind, DeviceArgument::Kind::UdpReply);
    EXPECT_EQ(reply.net.port, 5000);
    EXPECT_EQ(reply.net.text, "pong");
    EXPECT_TRUE(reply.IsSocket());
    EXPECT_FALSE(reply.IsStream());
    // The text is everything after the port, colons and spaces included.
    EXPECT_EQ(Parse("udp-reply:5000:time: 12:00 ").net.text, "time: 12:00 ");
    // An empty text answers nothing.
    EXPECT_EQ(Parse("udp-reply:5000:").net.text, "");
    const DeviceArgument broadcast = Parse("broadcast:9:who is there?");
    EXPECT_EQ(broadcast.kind, DeviceArgument::Kind::Broadcast);
    EXPECT_EQ(broadcast.net.port, 9);
    EXPECT_EQ(broadcast.net.text, "who is there?");
    EXPECT_FALSE(broadcast.IsStream());
}

TEST(ToolDeviceArgNet, MalformedSocketDevicesSayWhatIsWrong)
{
    // Ports: a number from 1 to 65535, nothing else.
    for (const char* text : {"tcp:localhost:0", "tcp:localhost:65536", "tcp:localhost:99999999999", "listen:0",
                             "listen:70000", "udp-reply:65536:x", "broadcast:0:x"})
        EXPECT_NE(Refusal(text).find("the port must be from 1 to 65535"), std::string::npos) << text;
    for (const char* text : {"tcp:localhost:http", "tcp:localhost:-1", "tcp:localhost:+23", "tcp:localhost:23 ",
                             "listen:2323:extra", "listen:0x50", "udp-reply:port:x", "broadcast: 9:x"})
        EXPECT_NE(Refusal(text).find("the port must be a number from 1 to 65535"), std::string::npos) << text;
    for (const char* text : {"tcp:localhost:", "listen:", "udp-reply::x", "broadcast::x"})
        EXPECT_NE(Refusal(text).find("a port is needed"), std::string::npos) << text;
    // Hosts.
    EXPECT_NE(Refusal("tcp:23").find("expected tcp:HOST:PORT"), std::string::npos);
    EXPECT_NE(Refusal("tcp::23").find("a host is needed"), std::string::npos);
    EXPECT_NE(Refusal("tcp:::1:23").find("IPv6 is not supported"), std::string::npos);
    EXPECT_NE(Refusal("tcp:my host:23").find("a name or a dotted IPv4 address"), std::string::npos);
    EXPECT_NE(Refusal("tcp:[127.0.0.1]:23").find("a name or a dotted IPv4 address"), std::string::npos);
    // Texts.
    EXPECT_NE(Refusal("udp-reply:5000").find("expected udp-reply:PORT:TEXT"), std::string::npos);
    EXPECT_NE(Refusal("broadcast:5000").find("expected broadcast:PORT:TEXT"), std::string::npos);
    EXPECT_NE(Refusal("broadcast:5000:").find("a text to broadcast is needed"), std::string::npos);
    // The prefix must be written as it is listed.
    EXPECT_NE(Refusal("TCP:localhost:23").find("unknown device"), std::string::npos);
    EXPECT_NE(Refusal("udp:5000:x").find("unknown device"), std::string::npos);
    // The list of known devices names the new ones, and the whole argument
    // is quoted back.
    EXPECT_NE(Refusal("telnet:host:23").find("listen:PORT"), std::string::npos);
    EXPECT_NE(Refusal("listen:0").find("'listen:0'"), std::string::npos);
}

TEST(ToolDeviceArgNet, AllowRulesTakeADottedMaskOrAPrefixLength)
{
    const AccessRule dotted = Rule("127.0.0.0/255.0.0.0");
    EXPECT_EQ(dotted.address, NetworkOrder(127, 0, 0, 0));
    EXPECT_EQ(dotted.mask, NetworkOrder(255, 0, 0, 0));
    const AccessRule prefix = Rule("127.0.0.0/8");
    EXPECT_EQ(prefix.address, dotted.address);
    EXPECT_EQ(prefix.mask, dotted.mask);
    EXPECT_EQ(Rule("192.168.17.0/20").mask, NetworkOrder(255, 255, 240, 0));
    EXPECT_EQ(Rule("10.1.2.3/31").mask, NetworkOrder(255, 255, 255, 254));
    EXPECT_EQ(Rule("10.1.2.3/32").mask, NetworkOrder(255, 255, 255, 255));
    EXPECT_EQ(Rule("10.1.2.3/255.255.255.255").mask, NetworkOrder(255, 255, 255, 255));
    EXPECT_EQ(Rule("0.0.0.0/0").mask, 0u);
    EXPECT_EQ(Rule("0.0.0.0/0.0.0.0").mask, 0u);
    // A bare address is that one host.
    const AccessRule host = Rule("192.0.2.7");
    EXPECT_EQ(host.address, NetworkOrder(192, 0, 2, 7));
    EXPECT_EQ(host.mask, NetworkOrder(255, 255, 255, 255));
    // Host bits beyond the mask are kept; the comparison masks both sides.
    EXPECT_EQ(Rule("127.0.0.1/8").address, NetworkOrder(127, 0, 0, 1));
    EXPECT_EQ(tavrin::tool::DescribeAccessRule(Rule("127.0.0.0/255.0.0.0")), "127.0.0.0/8");
    EXPECT_EQ(tavrin::tool::DescribeAccessRule(Rule("192.168.17.0/20")), "192.168.17.0/20");
}

TEST(ToolDeviceArgNet, MalformedAllowRulesSayWhatIsWrong)
{
    for (const char* text : {"", "/8", "localhost/8", "127.0.0/8", "127.0.0.0.1/8", "256.0.0.0/8", "127..0.1/8",
                             "127.0.0.-1/8", "127.0.0.1234/8"})
        EXPECT_NE(RuleRefusal(text).find("--allow needs ADDRESS/MASK"), std::string::npos) << text;
    EXPECT_NE(RuleRefusal("127.0.0.0/33").find("prefix length must be from 0 to 32"), std::string::npos);
    for (const char* text : {"127.0.0.0/", "127.0.0.0/255.0.0", "127.0.0.0/256.0.0.0", "127.0.0.0/x", "127.0.0.0/008"})
        EXPECT_NE(RuleRefusal(text).find("the mask must be dotted"), std::string::npos) << text;
    for (const char* text : {"10.0.0.0/255.0.255.0", "10.0.0.0/0.0.0.255", "10.0.0.0/255.255.255.253"})
        EXPECT_NE(RuleRefusal(text).find("ones followed by zeros"), std::string::npos) << text;
    // The rule is quoted back.
    EXPECT_NE(RuleRefusal("10.0.0.0/255.0.255.0").find("'10.0.0.0/255.0.255.0'"), std::string::npos);
}

}  // namespace

TEST(ToolDeviceArgNet, Rfc2217TakesAServerAndTheSerialSettings)
{
    const DeviceArgument plain = Parse("rfc2217:127.0.0.1:2217");
    EXPECT_EQ(plain.kind, DeviceArgument::Kind::Rfc2217);
    EXPECT_EQ(plain.net.host, "127.0.0.1");
    EXPECT_EQ(plain.net.port, 2217);
    EXPECT_FALSE(plain.IsSocket());
    EXPECT_EQ(plain.serial.baudRate, 9600u);
    const DeviceArgument set = Parse("rfc2217:ts.example.org:7001:57600,7,e,2,rtscts");
    EXPECT_EQ(set.net.host, "ts.example.org");
    EXPECT_EQ(set.net.port, 7001);
    EXPECT_EQ(set.serial.baudRate, 57600u);
    EXPECT_EQ(set.serial.byteSize, 7);
    EXPECT_EQ(set.serial.parity, EVENPARITY);
    EXPECT_EQ(set.serial.stopBits, TWOSTOPBITS);
    EXPECT_TRUE(set.serial.rtsCts);
    EXPECT_TRUE(set.serial.path.empty());
    std::string error;
    DeviceArgument bad;
    EXPECT_FALSE(tavrin::tool::ParseDeviceArgument("rfc2217:127.0.0.1", bad, error));
    EXPECT_FALSE(tavrin::tool::ParseDeviceArgument("rfc2217:127.0.0.1:2217:fast", bad, error));
    EXPECT_NE(error.find("rfc2217:127.0.0.1:2217:fast"), std::string::npos) << error;
}

TEST(ToolDeviceArg, WindowsOpensEveryComPortByItsDevicePath)
{
    using tavrin::tool::WindowsDevicePath;
    EXPECT_EQ(WindowsDevicePath("COM21"), "\\\\.\\COM21");
    EXPECT_EQ(WindowsDevicePath("com3"), "\\\\.\\com3");
    EXPECT_EQ(WindowsDevicePath("\\\\.\\COM21"), "\\\\.\\COM21");
    EXPECT_EQ(WindowsDevicePath("/dev/ttyS1"), "/dev/ttyS1");
    EXPECT_EQ(WindowsDevicePath("COM0"), "COM0");
}
