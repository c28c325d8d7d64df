// The tavrin host's DEVICE argument: what each form opens and with which
// DCB, and a clear refusal of every malformed one.
#include <gtest/gtest.h>

#include <cstring>

#include "DeviceArg.h"

namespace {

using tavrin::tool::DeviceArgument;
using tavrin::tool::ParseDeviceArgument;
using tavrin::tool::SerialArgument;

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

}  // namespace
