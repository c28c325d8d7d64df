// Debian's U-Boot for QEMU's x86_64 machine, booted under TCG with its
// serial console on a loopback TCP port where QEMU listens: a real boot
// loader whose loadx/loady receive what the library sends, and whose crc32
// tells whether it arrived byte for byte. The UART is paced at 115 200
// bit/s.
//
//   UbootGuest guest;
//   if (!guest.Available()) GTEST_SKIP() << guest.Missing();
//   ASSERT_TRUE(guest.Start()) << guest.Error();
//   ... CLan to 127.0.0.1:guest.Port(), key at "Hit any key", prompt "=> "
#pragma once

#include <memory>
#include <string>

#include "ChildProcess.h"

namespace tavrin::test {

class UbootGuest {
public:
    UbootGuest();
    // Stops QEMU.
    ~UbootGuest();
    UbootGuest(const UbootGuest&) = delete;
    UbootGuest& operator=(const UbootGuest&) = delete;

    // QEMU and the ROM are installed; otherwise Missing() says which is not.
    bool Available() const { return m_missing.empty(); }
    const std::string& Missing() const { return m_missing; }
    // Starts QEMU; true once it waits for the console's connection (the
    // guest boots when it comes).
    bool Start();
    int Port() const { return m_port; }
    const std::string& Error() const { return m_error; }

    static constexpr const char* kRom = "/usr/lib/u-boot/qemu-x86_64/u-boot.rom";

private:
    std::unique_ptr<ChildProcess> m_qemu;
    std::string m_missing, m_error;
    int m_port = 0;
};

}  // namespace tavrin::test
