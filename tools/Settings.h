// --load FILE and --save FILE: a device's settings record in a file of its
// own, so that a configured connection can be kept. The file holds the
// library's record of the device's class and nothing else: load it with a
// DEVICE of the same kind.
#pragma once

#include <tavrin/Tavrin.h>

#include <string>

namespace tavrin::tool {

// False with a sentence when the file cannot be read or holds less than a
// whole record.
bool LoadSettings(CDevice& device, const std::string& path, std::string& error);
bool SaveSettings(CDevice& device, const std::string& path, std::string& error);

}  // namespace tavrin::tool
