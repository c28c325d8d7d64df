// Spots the start of a ZMODEM upload in what a terminal receives: the hex
// header of ZRQINIT ("**", ZDLE, 'B', type "00") that sz sends first, so a
// terminal can start receiving by itself. Bytes are fed as they arrive; the
// header may be split between blocks.
#pragma once

#include "../platform/Types.h"

class CZmodemStartDetector {
public:
    // The index just past the header in this block, or -1 when the header
    // has not been completed in it.
    int Feed(const BYTE* pData, DWORD dwLength)
    {
        static const BYTE kHeader[] = {'*', '*', 0x18, 'B', '0', '0'};
        for (DWORD i = 0; i < dwLength; ++i) {
            const BYTE b = pData[i];
            if (b == kHeader[m_matched]) {
                if (++m_matched == sizeof kHeader) {
                    m_matched = 0;
                    return static_cast<int>(i + 1);
                }
            } else {
                // "***" keeps the last two stars.
                m_matched = (b == '*') ? (m_matched == 2 ? 2 : 1) : 0;
            }
        }
        return -1;
    }
    void Reset() { m_matched = 0; }
    // The header's bytes, for a receiver that should see them again.
    static const char* Header() { return "**\x18" "B00"; }

private:
    unsigned m_matched = 0;
};
