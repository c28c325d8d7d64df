// The packet link's wire format, and helpers for hosts that write the first
// frame of an exchange themselves.
//
// A frame is SOH, the payload length in ASCII decimal, STX, the payload,
// ETX, the sum of the payload bytes in ASCII decimal, EOT. Length and sum
// count the payload as it travels, escapes included. Inside the payload,
// BEL followed by x stands for the byte x XOR 0x80. At most 4096 payload
// bytes travel in one frame. Answers are single bytes: ACK, NAK, ENQ, CAN.
#pragma once

#include "../core/Device.h"

inline constexpr BYTE PACKET_SOH = 0x01;
inline constexpr BYTE PACKET_STX = 0x02;
inline constexpr BYTE PACKET_ETX = 0x03;
inline constexpr BYTE PACKET_EOT = 0x04;
inline constexpr BYTE PACKET_ENQ = 0x05;
inline constexpr BYTE PACKET_ACK = 0x06;
inline constexpr BYTE PACKET_BEL = 0x07;
inline constexpr BYTE PACKET_NAK = 0x15;
inline constexpr BYTE PACKET_CAN = 0x18;
inline constexpr BYTE PACKET_EM = 0x19;

inline constexpr DWORD PACKET_MAX_PAYLOAD = 4096;

// States of the packet-link worker; SendPacket returns one of them.
enum : int {
    PACKET_STATE_IDLE = 0,          // ENQ -> await frame; SOH -> length
    PACKET_STATE_AWAIT_FRAME = 1,   // SOH -> length; CAN or EM ends the link
    PACKET_STATE_LENGTH = 2,        // decimal length up to STX
    PACKET_STATE_PAYLOAD = 3,       // the declared bytes, then ETX
    PACKET_STATE_CHECKSUM = 4,      // decimal sum up to EOT
    PACKET_STATE_AWAIT_ANSWER = 5,  // our packet is out: ACK, NAK, ENQ or CAN
};
// SOH, four length digits, STX, payload, ETX, ten sum digits, EOT.
inline constexpr DWORD PACKET_MAX_FRAME = 1 + 4 + 1 + PACKET_MAX_PAYLOAD + 1 + 10 + 1;

// Frames and writes the dwTxLength bytes of abTxBuffer, as they are, to the
// device; with bFetch it first asks the host for them (DEVMSG_PACKET_REQUEST)
// and, when the host has nothing, writes CAN and ends the link instead.
// Returns PACKET_STATE_AWAIT_ANSWER (a packet is out) or PACKET_STATE_IDLE
// (the link ended).
TAVRIN_API int SendPacket(CDevice* pDevice, BYTE* abTxBuffer, DWORD* pdwTxLength, BOOL bFetch);

// Escapes a payload for the wire: BEL, ETX, CAN and EM (which the receiver
// would read as frame bytes) and 0x00 (which a pair of linked devices turns
// into a break) become BEL, x XOR 0x80. Returns the escaped length, or 0
// when it would not fit in dwCapacity (pOut may be NULL to measure: pass
// dwCapacity 0xFFFFFFFF).
TAVRIN_API DWORD EscapePacketPayload(const BYTE* pData, DWORD dwLength, BYTE* pOut, DWORD dwCapacity);

// Builds a whole frame around an already escaped payload of at most 4096
// bytes. Returns the frame length, or 0 when the payload is too long or the
// frame does not fit in dwCapacity (PACKET_MAX_FRAME always does).
TAVRIN_API DWORD BuildPacketFrame(const BYTE* pPayload, DWORD dwLength, BYTE* pOut, DWORD dwCapacity);
