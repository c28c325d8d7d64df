// The modem selection panel in a small window of the tool's own, where the
// system can show windows (a Windows desktop).
#pragma once

class CModemManager;

namespace tavrin::tool {

inline constexpr int kNoDesktop = -2;

// Shows the manager's panel in a top-level window and runs it until the
// user accepts (Enter, or closing the window) or cancels (Escape). Every
// change of the entry has selected that modem in the manager. Returns the
// accepted position, -1 when cancelled, or kNoDesktop (nothing shown) when
// windows cannot be shown here.
int ChooseModemInWindow(CModemManager& manager);

}  // namespace tavrin::tool
