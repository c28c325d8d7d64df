// The DEVICE argument of the tavrin host's commands:
//   loopback
//   serial:PATH[:BAUD[,DATA,PARITY,STOP[,FLOW]]]
//   serial:usb:VID:PID[:SERIAL][:BAUD[,DATA,PARITY,STOP[,FLOW]]]
//                          a USB adapter by its ids, found at every open
//   tcp:HOST:PORT          a TCP client
//   listen:PORT            a TCP server that takes callers
//   udp-reply:PORT:TEXT    a datagram socket answering every datagram with TEXT
//   broadcast:PORT:TEXT    broadcasts TEXT once and shows the answers
//   rfc2217:HOST:PORT[:BAUD[,DATA,PARITY,STOP[,FLOW]]]
//                          a serial port on another machine (RFC 2217)
// PATH is passed to the library as written, so "COM3" and "\\.\COM3" go
// through its COM-port mapping and anything else is opened as a path.
// And the --allow ADDRESS/MASK rule that picks the callers a listen: device
// admits.
#pragma once

#include <cstdint>
#include <string>

#include <tavrin/platform/Comm.h>
#include <tavrin/serial/Com.h>

namespace tavrin::tool {

// A USB adapter as `tavrin ports` shows it: VID and PID as four lower-case
// hex digits, the serial number as written (empty: any).
struct UsbIdentity {
    std::string vendorId, productId, serialNumber;
};

struct SerialArgument {
    std::string path;    // empty for an adapter named by usb
    bool byUsb = false;
    UsbIdentity usb;
    bool hasBaudRate = false;
    std::uint32_t baudRate = 9600;
    // DATA,PARITY,STOP[,FLOW] were given: the port is opened with a DCB
    // built from them rather than with the device's stored settings.
    bool hasLineSettings = false;
    BYTE byteSize = 8;
    BYTE parity = NOPARITY;
    BYTE stopBits = ONESTOPBIT;
    bool rtsCts = false;
    bool dtrDsr = false;
    bool xonXoff = false;
};

// The socket devices. host is used by tcp: only, text by udp-reply: and
// broadcast: only; the text is sent as written, every byte of it.
struct NetArgument {
    std::string host;
    std::uint16_t port = 0;
    std::string text;
};

struct DeviceArgument {
    enum class Kind { Loopback, Serial, Tcp, Listen, UdpReply, Broadcast, Rfc2217 };
    Kind kind = Kind::Loopback;
    // rfc2217: has both: the server in net, the line settings in serial.
    SerialArgument serial;
    NetArgument net;

    // The plain socket devices (CLan).
    bool IsSocket() const { return kind >= Kind::Tcp && kind <= Kind::Broadcast; }
    // A byte stream to one peer, where Telnet options can arise.
    bool IsStream() const { return kind == Kind::Tcp || kind == Kind::Listen; }
};

// An --allow rule: a caller is admitted when its address, masked, equals
// address masked. Both in network byte order, as inet_addr gives them.
struct AccessRule {
    std::uint32_t address = 0;
    std::uint32_t mask = 0;
};

// False, with a sentence saying what is wrong, for a malformed argument.
bool ParseDeviceArgument(const std::string& text, DeviceArgument& result, std::string& error);
// The part after "serial:".
bool ParseSerialArgument(const std::string& text, SerialArgument& result, std::string& error);
// The part after "serial:usb:". The grammar: VID:PID, then an optional
// SERIAL and optional settings. A lone field after PID is the settings
// when it reads as settings (it starts with a digit and is all digits, or
// it has a comma), else the serial number; a serial number that reads as
// settings is followed by its settings or by an empty field
// (usb:0403:6001:12345: takes the stored settings).
bool ParseUsbArgument(const std::string& text, SerialArgument& result, std::string& error);
// "usb 0403:6001 serial A50285BI" for messages.
std::string DescribeUsbIdentity(const UsbIdentity& usb);
// The part after "tcp:", "listen:", "udp-reply:" or "broadcast:".
bool ParseNetArgument(DeviceArgument::Kind kind, const std::string& text, NetArgument& result, std::string& error);
// A port number, 1..65535, in decimal digits.
bool ParsePort(const std::string& text, std::uint16_t& port, std::string& error);
// "ADDRESS/MASK" with a dotted mask (127.0.0.0/255.0.0.0) or a prefix
// length (127.0.0.0/8); the mask must be contiguous ones.
bool ParseAccessRule(const std::string& text, AccessRule& rule, std::string& error);
// "127.0.0.0/8" for messages.
std::string DescribeAccessRule(const AccessRule& rule);
// "device" kinds as the user writes them: "tcp:", "listen:", ...
const char* KindName(DeviceArgument::Kind kind);
// n for "COMn" or "\\.\COMn" (1..255), else 0.
int ComPortNumber(const std::string& path);
// The DCB for a serial argument with line settings: binary mode, the
// handshake lines driven by the chosen flow control, Xon/Xoff with the
// usual characters and limits.
void FillDcb(const SerialArgument& serial, DCB& dcb);
// The name Windows opens a COM port by: \\.\COMn for a bare COMn, since
// only COM1 to COM9 are known by their bare names; anything else as it is.
std::string WindowsDevicePath(const std::string& path);
// For hosts that carry any byte (term, bridge): a serial port whose
// argument names no line settings is opened at its rate (9600 when none is
// given), 8,N,1 and no flow control, rather than with the device's stored
// default, whose Xon/Xoff takes 0x11 and 0x13 out of the data. An explicit
// FLOW is kept as given.
void NoFlowControlUnlessNamed(DeviceArgument& argument);
// "115200,8,N,1,rtscts" for messages.
std::string DescribeSettings(const SerialArgument& serial);

}  // namespace tavrin::tool
