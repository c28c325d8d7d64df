// The Telnet refusal: Telnet commands taken out of a received block, and the
// option requests that must be refused.
#pragma once

#include "../platform/Types.h"

namespace tavrin::detail {

inline constexpr BYTE TELNET_IAC = 0xFF;
inline constexpr BYTE TELNET_DONT = 0xFE;
inline constexpr BYTE TELNET_DO = 0xFD;
inline constexpr BYTE TELNET_WONT = 0xFC;
inline constexpr BYTE TELNET_WILL = 0xFB;
inline constexpr BYTE TELNET_SE = 0xF0;

// Removes the Telnet commands that lie wholly inside data[0, length) and
// moves the other bytes forward, in order; returns the new length. A
// negotiation (IAC WILL/WONT/DO/DONT option) is three bytes, and for each DO
// and each WILL refuse(command, option) is called at once; IAC IAC is one
// data byte 0xFF; the other
// commands (IAC NOP, IAC GA ...) are two bytes. A command cut by the end of
// the block stays in it as data: the filter keeps nothing between blocks.
template <typename Refuse>
DWORD StripTelnetCommands(BYTE* data, DWORD length, Refuse&& refuse)
{
    DWORD out = 0;
    DWORD i = 0;
    while (i < length) {
        const BYTE byte = data[i];
        if (byte != TELNET_IAC || i + 1 >= length) {
            data[out++] = byte;
            ++i;
            continue;
        }
        const BYTE command = data[i + 1];
        if (command == TELNET_IAC) {
            data[out++] = TELNET_IAC;
            i += 2;
        } else if (command >= TELNET_SE && command < TELNET_WILL) {
            i += 2;
        } else if (i + 2 < length) {
            const BYTE option = data[i + 2];
            i += 3;
            if (command == TELNET_DO || command == TELNET_WILL)
                refuse(command, option);
        } else {
            data[out++] = byte;
            ++i;
        }
    }
    return out;
}

}  // namespace tavrin::detail
