// Writes an RGB image as a PNG file, for screenshots the tests keep as
// artefacts. Uncompressed (stored deflate blocks): no zlib needed, and the
// files stay small for a panel-sized image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavrin::test {

// pixels: width * height values 0xRRGGBB, top row first. False when the
// file cannot be written.
bool WritePng(const std::string& path, int width, int height, const std::vector<std::uint32_t>& pixels);

}  // namespace tavrin::test
