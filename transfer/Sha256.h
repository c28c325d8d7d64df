// SHA-256 (FIPS 180-4), the check of a file sent over the packet frames: a
// whole file, fed in pieces as it travels or as it is read back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tavrin::transfer {

class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256() { Reset(); }
    void Reset();
    void Update(const std::uint8_t* data, std::size_t size);
    // The digest of everything fed so far; the object is spent afterwards
    // (Reset to use it again).
    Digest Finish();

private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> m_state{};
    std::array<std::uint8_t, 64> m_buffer{};
    std::size_t m_buffered = 0;
    std::uint64_t m_length = 0;
};

}  // namespace tavrin::transfer
