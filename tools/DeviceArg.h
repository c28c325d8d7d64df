// The DEVICE argument of the tavrin host's commands:
//   loopback
//   serial:PATH[:BAUD[,DATA,PARITY,STOP[,FLOW]]]
// PATH is passed to the library as written, so "COM3" and "\\.\COM3" go
// through its COM-port mapping and anything else is opened as a path.
#pragma once

#include <cstdint>
#include <string>

#include "SerialVocabulary.h"

namespace tavrin::tool {

struct SerialArgument {
    std::string path;
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

struct DeviceArgument {
    enum class Kind { Loopback, Serial };
    Kind kind = Kind::Loopback;
    SerialArgument serial;
};

// False, with a sentence saying what is wrong, for a malformed argument.
bool ParseDeviceArgument(const std::string& text, DeviceArgument& result, std::string& error);
// The part after "serial:".
bool ParseSerialArgument(const std::string& text, SerialArgument& result, std::string& error);
// n for "COMn" or "\\.\COMn" (1..255), else 0.
int ComPortNumber(const std::string& path);
// The DCB for a serial argument with line settings: binary mode, the
// handshake lines driven by the chosen flow control, Xon/Xoff with the
// usual characters and limits.
void FillDcb(const SerialArgument& serial, DCB& dcb);
// "115200,8,N,1,rtscts" for messages.
std::string DescribeSettings(const SerialArgument& serial);

}  // namespace tavrin::tool
