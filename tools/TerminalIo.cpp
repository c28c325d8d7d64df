#include "TerminalIo.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tavrin::tool {

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

bool SendLines(const Sender& send, std::string& pending)
{
    size_t start = 0;
    for (size_t i = 0; i < pending.size(); ++i) {
        const bool lineEnd = pending[i] == '\n' || (pending[i] == '\r' && (i + 1 == pending.size() || pending[i + 1] != '\n'));
        if (!lineEnd)
            continue;
        if (!send(pending.data() + start, i + 1 - start))
            return false;
        start = i + 1;
    }
    pending.erase(0, start);
    return true;
}

EndReason PumpInput(const Sender& send, bool rawKeys, int stopFd, const Notify& notify)
{
    std::string pending;
    std::vector<char> buffer(4096);
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            notify(std::string("cannot wait for input: ") + std::strerror(errno));
            return EndReason::InputFailed;
        }
        if (fds[1].revents != 0)
            return EndReason::Stopped;
        if (fds[0].revents == 0)
            continue;
        const ssize_t count = read(STDIN_FILENO, buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            // A terminal that hangs up reads EIO: its input has ended.
            if (errno == EIO)
                return EndReason::EndOfInput;
            notify(std::string("cannot read input: ") + std::strerror(errno));
            return EndReason::InputFailed;
        }
        if (count == 0) {
            if (!pending.empty() && !send(pending.data(), pending.size()))
                return EndReason::WriteFailed;
            return EndReason::EndOfInput;
        }
        if (rawKeys) {
            const void* escape = std::memchr(buffer.data(), kEscapeKey, static_cast<size_t>(count));
            const size_t keys = escape != nullptr ? static_cast<size_t>(static_cast<const char*>(escape) - buffer.data())
                                                  : static_cast<size_t>(count);
            if (keys != 0 && !send(buffer.data(), keys))
                return EndReason::WriteFailed;
            if (escape != nullptr)
                return EndReason::EscapeKey;
            continue;
        }
        pending.append(buffer.data(), static_cast<size_t>(count));
        if (!SendLines(send, pending))
            return EndReason::WriteFailed;
    }
}

}  // namespace tavrin::tool
