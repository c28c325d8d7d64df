#include "Packet.h"

#include <cstdio>
#include <cstring>

namespace {

bool NeedsEscape(BYTE b)
{
    return b == PACKET_BEL || b == PACKET_ETX || b == PACKET_CAN || b == PACKET_EM || b == 0x00;
}

DWORD PayloadSum(const BYTE* pData, DWORD dwLength)
{
    DWORD sum = 0;
    for (DWORD i = 0; i < dwLength; ++i)
        sum += pData[i];
    return sum;
}

// "%c%lu%c": a control byte, a decimal number, a control byte.
int FormatField(char (&out)[16], BYTE before, DWORD value, BYTE after)
{
    return std::snprintf(out, sizeof out, "%c%lu%c", before, static_cast<unsigned long>(value), after);
}

}  // namespace

int SendPacket(CDevice* pDevice, BYTE* abTxBuffer, DWORD* pdwTxLength, BOOL bFetch)
{
    if (bFetch) {
        const LRESULT placed = pDevice->SendNotify(pDevice->GetMessageA(DEVMSG_PACKET_REQUEST), PACKET_MAX_PAYLOAD,
                                                   reinterpret_cast<LPARAM>(abTxBuffer));
        // A handler that claims more than the buffer holds is held to it.
        *pdwTxLength = placed <= 0 ? 0 : placed > static_cast<LRESULT>(PACKET_MAX_PAYLOAD) ? PACKET_MAX_PAYLOAD
                                                                                            : static_cast<DWORD>(placed);
        if (*pdwTxLength == 0) {
            BYTE can = PACKET_CAN;
            pDevice->Write(&can, 1);
            pDevice->ChangeMode(MODE_PACKET_ENDED);
            return PACKET_STATE_IDLE;
        }
    }
    const DWORD length = *pdwTxLength;
    char field[16];
    int n = FormatField(field, PACKET_SOH, length, PACKET_STX);
    pDevice->Write(reinterpret_cast<BYTE*>(field), static_cast<DWORD>(n));
    pDevice->Write(abTxBuffer, length);
    n = FormatField(field, PACKET_ETX, PayloadSum(abTxBuffer, length), PACKET_EOT);
    pDevice->Write(reinterpret_cast<BYTE*>(field), static_cast<DWORD>(n));
    return PACKET_STATE_AWAIT_ANSWER;
}

DWORD EscapePacketPayload(const BYTE* pData, DWORD dwLength, BYTE* pOut, DWORD dwCapacity)
{
    DWORD out = 0;
    for (DWORD i = 0; i < dwLength; ++i) {
        const BYTE b = pData[i];
        const DWORD size = NeedsEscape(b) ? 2 : 1;
        if (dwCapacity - out < size)
            return 0;
        if (pOut) {
            if (size == 2) {
                pOut[out] = PACKET_BEL;
                pOut[out + 1] = static_cast<BYTE>(b ^ 0x80);
            } else {
                pOut[out] = b;
            }
        }
        out += size;
    }
    return out;
}

DWORD BuildPacketFrame(const BYTE* pPayload, DWORD dwLength, BYTE* pOut, DWORD dwCapacity)
{
    if (dwLength > PACKET_MAX_PAYLOAD || !pOut)
        return 0;
    char head[16], tail[16];
    const int headLength = FormatField(head, PACKET_SOH, dwLength, PACKET_STX);
    const int tailLength = FormatField(tail, PACKET_ETX, PayloadSum(pPayload, dwLength), PACKET_EOT);
    const DWORD total = static_cast<DWORD>(headLength) + dwLength + static_cast<DWORD>(tailLength);
    if (total > dwCapacity)
        return 0;
    std::memcpy(pOut, head, static_cast<size_t>(headLength));
    if (dwLength)
        std::memcpy(pOut + headLength, pPayload, dwLength);
    std::memcpy(pOut + headLength + dwLength, tail, static_cast<size_t>(tailLength));
    return total;
}
