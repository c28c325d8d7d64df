// The real line driver: a Linux tty device through termios2 and the tty
// ioctls. The termios2 interface is used (not <termios.h>) because only it
// takes any baud rate (BOTHER); the two sets of declarations cannot share a
// file, so this one holds every termios call of the library.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "../Comm.h"
#include "LineDriver.h"

namespace tavrin::posix {
namespace {

// TIOCMIWAIT has no time-out and no file descriptor to wake it with, so the
// thread blocked in it is interrupted by a signal. SIGURG is ignored by
// default, so a stray one never ends the process; the handler does nothing
// and is installed without SA_RESTART, so the ioctl returns EINTR instead of
// being restarted. A host that installed its own SIGURG handler keeps it.
constexpr int kModemWaitSignal = SIGURG;

void IgnoreSignal(int) {}

void InstallModemWaitSignal()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (sigaction(kModemWaitSignal, nullptr, &current) != 0)
            return;
        if (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN)
            return;
        struct sigaction action {};
        action.sa_handler = IgnoreSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(kModemWaitSignal, &action, nullptr);
    });
}

int Errno(int result) { return result == 0 ? 0 : errno; }

// Pseudo-terminal slaves: Unix98 (136-143) and the legacy BSD ones (3).
bool IsPseudoTerminal(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    unsigned int major = ::major(st.st_rdev);
    return (major >= 136 && major <= 143) || major == 3;
}

class TtyDriver final : public LineDriver {
public:
    explicit TtyDriver(int fd) : m_fd(fd), m_pty(IsPseudoTerminal(fd)) {}
    ~TtyDriver() override
    {
        // The exclusive mode belongs to the tty, not to this descriptor: on
        // a pseudo-terminal whose master stays open it outlives the close,
        // and no unprivileged process could open the port again.
        ioctl(m_fd, TIOCNXCL);
        ::close(m_fd);
    }

    int PollFd() const override { return m_fd; }

    int GetSettings(LineSettings& settings) override
    {
        termios2 tio {};
        if (ioctl(m_fd, TCGETS2, &tio) != 0)
            return errno;
        settings.baudRate = tio.c_ospeed;
        switch (tio.c_cflag & CSIZE) {
        case CS5: settings.byteSize = 5; break;
        case CS6: settings.byteSize = 6; break;
        case CS7: settings.byteSize = 7; break;
        default: settings.byteSize = 8; break;
        }
        if (!(tio.c_cflag & PARENB))
            settings.parity = NOPARITY;
        else if (tio.c_cflag & CMSPAR)
            settings.parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
        else
            settings.parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
        settings.stopBits = (tio.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
        settings.rtsCts = (tio.c_cflag & CRTSCTS) != 0;
        settings.xonOutput = (tio.c_iflag & IXON) != 0;
        settings.xonInput = (tio.c_iflag & IXOFF) != 0;
        settings.checkParity = (tio.c_iflag & INPCK) != 0;
        settings.xonChar = static_cast<char>(tio.c_cc[VSTART]);
        settings.xoffChar = static_cast<char>(tio.c_cc[VSTOP]);
        return 0;
    }

    int SetSettings(const LineSettings& settings) override
    {
        termios2 tio {};
        if (ioctl(m_fd, TCGETS2, &tio) != 0)
            return errno;
        // Raw bytes in both directions. Breaks and (with INPCK) parity and
        // framing errors are marked in the input stream (PARMRK) instead of
        // being ignored, turned into NULs or into SIGINT.
        tio.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | IMAXBEL | IUCLC |
                         IXON | IXOFF | INPCK);
        tio.c_iflag |= PARMRK;
        if (settings.checkParity)
            tio.c_iflag |= INPCK;
        if (settings.xonOutput)
            tio.c_iflag |= IXON;
        if (settings.xonInput)
            tio.c_iflag |= IXOFF;
        tio.c_oflag &= ~OPOST;
        tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        tio.c_cc[VSTART] = static_cast<cc_t>(settings.xonChar);
        tio.c_cc[VSTOP] = static_cast<cc_t>(settings.xoffChar);

        // CLOCAL: the carrier line is reported as a status change, it does
        // not hang the port up. HUPCL drops DTR on the last close, as
        // closing a port does on Windows.
        tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
        tio.c_cflag |= CREAD | CLOCAL | HUPCL;
        static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
        tio.c_cflag |= sizes[settings.byteSize - 5];
        switch (settings.parity) {
        case ODDPARITY: tio.c_cflag |= PARENB | PARODD; break;
        case EVENPARITY: tio.c_cflag |= PARENB; break;
        case MARKPARITY: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
        case SPACEPARITY: tio.c_cflag |= PARENB | CMSPAR; break;
        default: break;
        }
        if (settings.stopBits == TWOSTOPBITS)
            tio.c_cflag |= CSTOPB;
        if (settings.rtsCts)
            tio.c_cflag |= CRTSCTS;
        tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
        tio.c_ispeed = settings.baudRate;
        tio.c_ospeed = settings.baudRate;
        return Errno(ioctl(m_fd, TCSETS2, &tio));
    }

    bool ForcesFrameFormat() const override { return m_pty; }
    bool HandsOutputToPeer() const override { return m_pty; }

    long Read(void* buffer, std::size_t size) override
    {
        ssize_t n = ::read(m_fd, buffer, size);
        return n < 0 ? -errno : static_cast<long>(n);
    }

    long Write(const void* buffer, std::size_t size) override
    {
        ssize_t n = ::write(m_fd, buffer, size);
        return n < 0 ? -errno : static_cast<long>(n);
    }

    int GetModemLines(DWORD& status) override
    {
        int bits = 0;
        if (ioctl(m_fd, TIOCMGET, &bits) != 0)
            return errno;
        status = ((bits & TIOCM_CTS) ? MS_CTS_ON : 0) | ((bits & TIOCM_DSR) ? MS_DSR_ON : 0) |
                 ((bits & TIOCM_RNG) ? MS_RING_ON : 0) | ((bits & TIOCM_CAR) ? MS_RLSD_ON : 0);
        return 0;
    }

    int SetOutputLine(OutputLine line, bool on) override
    {
        int bits = line == OutputLine::Dtr ? TIOCM_DTR : TIOCM_RTS;
        return Errno(ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bits));
    }

    int WaitModemChange() override
    {
        InstallModemWaitSignal();
        m_waiter.store(pthread_self());
        m_waiterKnown.store(true);
        int result = Errno(ioctl(m_fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CAR));
        m_waiterKnown.store(false);
        return result;
    }

    void InterruptModemWait() override
    {
        if (m_waiterKnown.load())
            pthread_kill(m_waiter.load(), kModemWaitSignal);
    }

    int GetCounters(LineCounters& counters) override
    {
        serial_icounter_struct icount {};
        if (ioctl(m_fd, TIOCGICOUNT, &icount) != 0)
            return errno;
        counters.cts = static_cast<DWORD>(icount.cts);
        counters.dsr = static_cast<DWORD>(icount.dsr);
        counters.ring = static_cast<DWORD>(icount.rng);
        counters.dcd = static_cast<DWORD>(icount.dcd);
        counters.frame = static_cast<DWORD>(icount.frame);
        counters.parity = static_cast<DWORD>(icount.parity);
        counters.overrun = static_cast<DWORD>(icount.overrun);
        counters.brk = static_cast<DWORD>(icount.brk);
        counters.bufferOverrun = static_cast<DWORD>(icount.buf_overrun);
        return 0;
    }

    int SetBreak(bool on) override { return Errno(ioctl(m_fd, on ? TIOCSBRK : TIOCCBRK)); }

    int Flush(bool input, bool output) override
    {
        int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
        return Errno(ioctl(m_fd, TCFLSH, which));
    }

    int SetOutputFlow(bool resume) override { return Errno(ioctl(m_fd, TCXONC, resume ? TCOON : TCOOFF)); }

    int InputQueue(DWORD& bytes) override
    {
        int n = 0;
        if (ioctl(m_fd, FIONREAD, &n) != 0)
            return errno;
        bytes = static_cast<DWORD>(n);
        return 0;
    }

    int OutputQueue(DWORD& bytes) override
    {
        int n = 0;
        if (ioctl(m_fd, TIOCOUTQ, &n) != 0)
            return errno;
        bytes = static_cast<DWORD>(n);
        return 0;
    }

private:
    int m_fd;
    bool m_pty;
    std::atomic<pthread_t> m_waiter {};
    std::atomic<bool> m_waiterKnown {false};
};

}  // namespace

std::unique_ptr<LineDriver> OpenTtyDriver(const char* path, int& error)
{
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    auto fail = [&](int code) {
        ::close(fd);
        error = code;
        return nullptr;
    };
    termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return fail(ENOTTY);
    // TIOCEXCL keeps other openers out, but not a privileged one; the lock
    // keeps out every opener that takes it too, root or not, in this
    // process or another.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(EBUSY);
    if (ioctl(fd, TIOCEXCL) != 0)
        return fail(errno);
    auto driver = std::make_unique<TtyDriver>(fd);
    // Keep rate, frame and hardware handshake; raw bytes, no software flow
    // control until the caller's DCB asks for it.
    LineSettings settings;
    if (int e = driver->GetSettings(settings)) {
        error = e;
        return nullptr;
    }
    settings.xonInput = settings.xonOutput = false;
    settings.checkParity = false;
    if (settings.baudRate == 0)
        settings.baudRate = 9600;
    if (int e = driver->SetSettings(settings)) {
        error = e;
        return nullptr;
    }
    driver->Flush(true, false);
    return driver;
}

}  // namespace tavrin::posix
