// The check values of the modem protocols: XMODEM's CRC-16 (CCITT
// polynomial 0x1021, initial 0, as YMODEM and ZMODEM's 16-bit headers use
// it) and ZMODEM's CRC-32 (the IEEE polynomial, reflected, as zip uses).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tavrin::transfer {

inline std::uint16_t Crc16(const std::uint8_t* data, std::size_t size, std::uint16_t crc = 0)
{
    static const auto table = [] {
        std::array<std::uint16_t, 256> t{};
        for (int i = 0; i < 256; ++i) {
            std::uint16_t c = static_cast<std::uint16_t>(i << 8);
            for (int bit = 0; bit < 8; ++bit)
                c = static_cast<std::uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
            t[i] = c;
        }
        return t;
    }();
    for (std::size_t i = 0; i < size; ++i)
        crc = static_cast<std::uint16_t>((crc << 8) ^ table[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

// Call with the previous result to continue; the first call's crc is 0.
inline std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0)
{
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int bit = 0; bit < 8; ++bit)
                c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

}  // namespace tavrin::transfer
