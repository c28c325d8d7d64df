#include "UbootGuest.h"

#include <signal.h>
#include <unistd.h>

#include "Ser2netPeer.h"

namespace tavrin::test {

namespace {
constexpr const char* kQemu = "/usr/bin/qemu-system-x86_64";
}

UbootGuest::UbootGuest()
{
    if (access(kQemu, X_OK) != 0)
        m_missing = std::string(kQemu) + " is not installed (package qemu-system-x86)";
    else if (access(kRom, R_OK) != 0)
        m_missing = std::string(kRom) + " is not installed (package u-boot-qemu)";
}

UbootGuest::~UbootGuest()
{
    if (m_qemu && m_qemu->Started())
        m_qemu->Stop(SIGTERM, 5000);
}

bool UbootGuest::Start()
{
    m_port = FreeLoopbackPort();
    if (m_port == 0) {
        m_error = "no free loopback port";
        return false;
    }
    ChildOptions options;
    options.argv = {kQemu, "-accel", "tcg", "-m", "256", "-display", "none", "-monitor", "none",
                    "-bios", kRom, "-serial",
                    "tcp:127.0.0.1:" + std::to_string(m_port) + ",server=on,wait=on"};
    m_qemu = std::make_unique<ChildProcess>(options);
    if (!m_qemu->Started()) {
        m_error = m_qemu->Error();
        return false;
    }
    // QEMU says so before it blocks in accept.
    if (!m_qemu->WaitForStderr("waiting for connection", 20000)) {
        m_error = "QEMU did not listen: " + m_qemu->Stderr();
        return false;
    }
    return true;
}

}  // namespace tavrin::test
