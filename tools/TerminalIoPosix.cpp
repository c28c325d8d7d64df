#include "TerminalIo.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tavrin::tool {

void UseBinaryStdio()
{
}

bool StdinIsTerminal()
{
    return isatty(STDIN_FILENO) != 0;
}

bool StdoutIsTerminal()
{
    return isatty(STDOUT_FILENO) != 0;
}

bool StderrIsTerminal()
{
    return isatty(STDERR_FILENO) != 0;
}

RawTerminal::RawTerminal()
{
    if (tcgetattr(STDIN_FILENO, &m_saved) != 0)
        return;
    termios raw = m_saved;
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    m_active = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

RawTerminal::~RawTerminal()
{
    if (m_active)
        tcsetattr(STDIN_FILENO, TCSANOW, &m_saved);
}

StopSignal::StopSignal()
{
    if (pipe2(m_fds, O_CLOEXEC) != 0)
        m_fds[0] = m_fds[1] = -1;
}

StopSignal::~StopSignal()
{
    for (int fd : m_fds) {
        if (fd >= 0)
            close(fd);
    }
}

void StopSignal::Raise()
{
    const char byte = 1;
    while (write(m_fds[1], &byte, 1) < 0 && errno == EINTR) {
    }
}

long ReadStdin(const StopSignal& stop, bool, char* buffer, size_t size, std::string& error)
{
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {stop.WaitFd(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            error = std::string("cannot wait for input: ") + std::strerror(errno);
            return kReadFailed;
        }
        if (fds[1].revents != 0)
            return kReadStopped;
        if (fds[0].revents == 0)
            continue;
        const ssize_t count = read(STDIN_FILENO, buffer, size);
        if (count >= 0)
            return static_cast<long>(count);
        if (errno == EINTR || errno == EAGAIN)
            continue;
        // A terminal that hangs up reads EIO: its input has ended.
        if (errno == EIO)
            return 0;
        error = std::string("cannot read input: ") + std::strerror(errno);
        return kReadFailed;
    }
}

}  // namespace tavrin::tool
