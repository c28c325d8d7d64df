// Guest side of the real-driver lane: asks the host side, over the guest's
// control line, for what only the far end of a line can do (send and take
// bytes, put a break on the 16550's line, plug or pull out the USB adapter),
// and waits, with a bound, for device nodes to come and go as a hot-plug
// daemon makes them usable.
#pragma once

#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <optional>
#include <string>

#include "support/WindowThread.h"

namespace tavrin::vm {

inline const char* const kUart = "/dev/ttyS1";
inline const char* const kUsb = "/dev/ttyUSB0";

class VmPeer {
public:
    VmPeer();
    ~VmPeer();
    VmPeer(const VmPeer&) = delete;
    VmPeer& operator=(const VmPeer&) = delete;

    // "uart" is ttyS1's far end, "usb" the adapter's. Each call fails
    // (false, or nothing) when the host side answers an error or nothing
    // within its bound.
    bool Plug() { return Ask("plug usb"); }
    bool Unplug() { return Ask("unplug usb"); }
    bool Break() { return Ask("break uart"); }
    bool Send(const std::string& line, const std::string& bytes);
    // Up to count bytes the far end took from the guest, waiting up to ms
    // for all of them.
    std::optional<std::string> Receive(const std::string& line, std::size_t count, int ms = 5000);
    bool Flush(const std::string& line) { return Ask("flush " + line); }
    // The far end sends back what it takes.
    bool Echo(const std::string& line, bool on) { return Ask("echo " + line + (on ? " on" : " off")); }

    const std::string& LastAnswer() const { return m_answer; }

private:
    bool Ask(const std::string& command, int ms = 10000);
    int m_fd = -1;
    std::string m_answer;
};

// A line's settings without flow control: nothing the far end sends
// is taken as XON/XOFF, and no line holds a write back.
DCB LineDcb(DWORD rate, BYTE bits = 8, BYTE parity = NOPARITY, BYTE stop = ONESTOPBIT);
// The 256 byte values in order.
std::string EveryByte();

// Connects com to path with window named again (a disconnection ends a
// device's notifications, so each connection names it, as a host does) and
// waits for the connection's notice.
::testing::AssertionResult Open(CCom& com, const test::WindowThread& window, const char* path, DCB dcb);

// Waits until path exists and this user may read and write it (true), or
// until ms have passed.
bool WaitUsable(const std::string& path, int ms = 10000);
// Waits until path is gone.
bool WaitGone(const std::string& path, int ms = 10000);

}  // namespace tavrin::vm
