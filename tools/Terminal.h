// tavrin term DEVICE: an interactive terminal on a device.
#pragma once

#include <string>

namespace tavrin::tool {

// Returns the exit status: 0 when the input ended or the escape key was
// pressed, 1 when the device could not be opened, a write failed or the link
// dropped, 2 for a malformed DEVICE.
int RunTerminal(const std::string& deviceText);

}  // namespace tavrin::tool
