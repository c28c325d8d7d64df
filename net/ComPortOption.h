// Telnet Com Port Control (RFC 2217, option 44): the wire format shared by
// the remote serial port device (CRemoteCom) and a server that offers a
// local port to such clients (the tavrin bridge).
//
// A Telnet stream carries data with every 0xFF doubled, negotiations
// (IAC WILL/WONT/DO/DONT option) and subnegotiations (IAC SB option ...
// IAC SE). TelnetReader takes them apart across block boundaries; the
// functions below build them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "../platform/Comm.h"
#include "../platform/Export.h"
#include "../platform/Types.h"

namespace tavrin::rfc2217 {

inline constexpr BYTE kIac = 0xFF;
inline constexpr BYTE kDont = 0xFE;
inline constexpr BYTE kDo = 0xFD;
inline constexpr BYTE kWont = 0xFC;
inline constexpr BYTE kWill = 0xFB;
inline constexpr BYTE kSb = 0xFA;
inline constexpr BYTE kBreak = 0xF3;
inline constexpr BYTE kSe = 0xF0;

inline constexpr BYTE kOptionBinary = 0;
inline constexpr BYTE kOptionEcho = 1;
inline constexpr BYTE kOptionSuppressGoAhead = 3;
inline constexpr BYTE kOptionComPort = 44;

// Client-to-server commands; a server answers with the same number + 100.
enum Command : BYTE {
    kSignature = 0,
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kNotifyLineState = 6,
    kNotifyModemState = 7,
    kFlowControlSuspend = 8,
    kFlowControlResume = 9,
    kSetLineStateMask = 10,
    kSetModemStateMask = 11,
    kPurgeData = 12,
};
inline constexpr BYTE kServerOffset = 100;

// SET-CONTROL values.
enum Control : BYTE {
    kControlFlowQuery = 0,
    kControlFlowNone = 1,
    kControlFlowXonXoff = 2,
    kControlFlowHardware = 3,
    kControlBreakQuery = 4,
    kControlBreakOn = 5,
    kControlBreakOff = 6,
    kControlDtrQuery = 7,
    kControlDtrOn = 8,
    kControlDtrOff = 9,
    kControlRtsQuery = 10,
    kControlRtsOn = 11,
    kControlRtsOff = 12,
    kControlInboundQuery = 13,
    kControlInboundNone = 14,
    kControlInboundXonXoff = 15,
    kControlInboundHardware = 16,
};

// PURGE-DATA values.
inline constexpr BYTE kPurgeReceive = 1;
inline constexpr BYTE kPurgeTransmit = 2;
inline constexpr BYTE kPurgeBoth = 3;

// NOTIFY-LINESTATE bits.
inline constexpr BYTE kLineBreak = 0x10;
inline constexpr BYTE kLineFraming = 0x08;
inline constexpr BYTE kLineParity = 0x04;
inline constexpr BYTE kLineOverrun = 0x02;
// NOTIFY-MODEMSTATE bits: the lines, then what changed.
inline constexpr BYTE kModemCd = 0x80;
inline constexpr BYTE kModemRi = 0x40;
inline constexpr BYTE kModemDsr = 0x20;
inline constexpr BYTE kModemCts = 0x10;
inline constexpr BYTE kModemDeltaCd = 0x08;
inline constexpr BYTE kModemTrailingRi = 0x04;
inline constexpr BYTE kModemDeltaDsr = 0x02;
inline constexpr BYTE kModemDeltaCts = 0x01;

struct TelnetEvent {
    enum Kind { Negotiation, Subnegotiation, Command } kind;
    BYTE verb;            // WILL/WONT/DO/DONT, or the command byte (BRK ...)
    BYTE option;          // the option negotiated or subnegotiated
    std::string payload;  // a subnegotiation's bytes after the option, unescaped
};

// Splits a received Telnet stream into data and events, whatever block
// boundaries cut it. A subnegotiation longer than kMaxPayload is dropped
// (no valid one comes near it).
class TAVRIN_API TelnetReader {
public:
    static constexpr std::size_t kMaxPayload = 256;
    void Feed(const BYTE* raw, std::size_t size, std::string& data, std::vector<TelnetEvent>& events);
    void Reset() { *this = TelnetReader(); }

private:
    enum State { Data, AfterIac, Option, InSub, InSubIac } m_state = Data;
    BYTE m_verb = 0;
    bool m_overlong = false;
    std::string m_sub;
};

// Data with each 0xFF doubled.
TAVRIN_API std::string Escape(const BYTE* data, std::size_t size);
TAVRIN_API std::string Negotiation(BYTE verb, BYTE option);
// IAC SB 44 command value IAC SE, with the value's 0xFF doubled.
TAVRIN_API std::string ComPortCommand(BYTE command, const std::string& value);

// SET-BAUDRATE's value: four bytes, most significant first.
TAVRIN_API std::string BaudValue(DWORD rate);
// Reads SET-BAUDRATE's value: the four-byte rate, or the one-byte index
// some devices send (1 = 50 … 17 = 115200 … 19 = 460800, the usual
// RS-232 series); nothing for any other length or an unknown index.
TAVRIN_API std::optional<DWORD> ParseBaud(const std::string& value);

// Win32 parity (NOPARITY …) and stop bits (ONESTOPBIT …) to and from the
// option's values; 0 (the query value) for anything unknown.
TAVRIN_API BYTE ParityValue(BYTE win32Parity);
TAVRIN_API std::optional<BYTE> Win32Parity(BYTE value);
TAVRIN_API BYTE StopValue(BYTE win32StopBits);
TAVRIN_API std::optional<BYTE> Win32StopBits(BYTE value);

// NOTIFY-MODEMSTATE's lines as MS_CTS_ON | MS_DSR_ON | MS_RING_ON |
// MS_RLSD_ON, and back (with the changes since `before`).
TAVRIN_API DWORD ModemStatus(BYTE state);
TAVRIN_API BYTE ModemState(DWORD status, DWORD before);
// NOTIFY-LINESTATE's errors as CE_BREAK | CE_FRAME | CE_RXPARITY |
// CE_OVERRUN, and back.
TAVRIN_API DWORD LineErrors(BYTE state);
TAVRIN_API BYTE LineState(DWORD errors);

}  // namespace tavrin::rfc2217
