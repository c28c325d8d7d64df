// Recognises a ZMODEM sender starting on the far side: `sz` and its kind
// open with "rz\r" and a hex ZRQINIT header, "**" ZDLE "B00...". A terminal
// feeds every block it displays; the detector keeps its place across
// blocks, so a header split over two reads is still seen.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrin::transfer {

class ZmodemStartDetector {
public:
    // True when the bytes complete a ZRQINIT header's start; the detector
    // is then ready for the next one.
    bool Feed(const std::uint8_t* data, std::size_t size)
    {
        bool seen = false;
        for (std::size_t i = 0; i < size; ++i)
            seen = Step(data[i]) || seen;
        return seen;
    }

    void Reset() { m_matched = 0; }

private:
    bool Step(std::uint8_t c)
    {
        static constexpr std::uint8_t kStart[] = {'*', '*', 0x18, 'B', '0', '0'};
        if (c == kStart[m_matched]) {
            if (++m_matched == sizeof kStart) {
                m_matched = 0;
                return true;
            }
            return false;
        }
        // A run of more pads still starts a header: "***" keeps two.
        m_matched = c == '*' ? (m_matched >= 1 && m_matched <= 2 ? 2 : 1) : 0;
        return false;
    }

    std::size_t m_matched = 0;
};

}  // namespace tavrin::transfer
