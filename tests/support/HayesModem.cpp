#include "HayesModem.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "PtyPair.h"

namespace tavrin::test {

namespace {

using Clock = std::chrono::steady_clock;

// A command line longer than this is answered with ERROR.
constexpr size_t kMaxLine = 255;
// One side stops being read while the other still has this much to take.
constexpr size_t kHighWater = 64 * 1024;

enum class Result { Ok = 0, Connect = 1, NoCarrier = 3, Error = 4 };

}  // namespace

struct HayesModem::Settings {
    bool echo = true;
    bool verbal = true;
    bool quiet = false;
    int x = 4;
    int guardMs = 1000;
    std::array<int, 256> s{};
};

// Everything the modem's thread touches; only what tests observe goes
// through the owner, under its lock.
class HayesModem::Engine {
public:
    explicit Engine(HayesModem& owner) : m_owner(owner) { Reset(); }
    ~Engine() { DropCall(); }
    void Run();

private:
    void Reset();
    void SetState(State state);
    template <class Fn>
    void Publish(Fn&& fn);

    void ReadEvents();
    void Opened();
    void LastClosed();
    void ReadPty();
    bool DrainPty(std::string& bytes);
    void FromPty(const char* bytes, size_t count);
    void DataByte(char c, Clock::time_point now);
    void CommandByte(char c);
    void Line();
    void Execute(const std::string& commands);
    void Dial(const std::string& rest);
    void ReadTcp();
    void FlushPty();
    void FlushTcp();
    void RemoteHungUp();
    void DropCall();
    void Emit(Result result);
    void Info(const std::string& text);
    int EscapeWaitMs(Clock::time_point now) const;

    HayesModem& m_owner;
    Settings m_settings;
    State m_state = State::PortClosed;
    int m_holders = 0;
    bool m_stopping = false;
    std::string m_line;
    bool m_lineTooLong = false;
    std::string m_toPty, m_toTcp;
    int m_tcp = -1;
    int m_plus = 0;
    Clock::time_point m_lastPtyByte, m_lastPlus;
    unsigned long m_rate = 0;   // of the bytes being read
    int m_lastCloses = 0;
    // Found at a close when the device had opened the port again already:
    // the new session's first bytes, kept until its open is read.
    std::string m_nextSession;
};

void HayesModem::Engine::Reset()
{
    m_settings = Settings{};
    m_settings.guardMs = m_owner.m_guardMs;
    auto& s = m_settings.s;
    s[2] = '+';
    s[3] = '\r';
    s[4] = '\n';
    s[5] = '\b';
    s[6] = 2;
    s[7] = 50;
    s[8] = 2;
    s[10] = 14;
    s[12] = m_settings.guardMs / 20;
}

template <class Fn>
void HayesModem::Engine::Publish(Fn&& fn)
{
    {
        std::lock_guard<std::mutex> lock(m_owner.m_lock);
        fn();
    }
    m_owner.m_changed.notify_all();
}

void HayesModem::Engine::SetState(State state)
{
    m_state = state;
    Publish([&] { m_owner.m_state = state; });
}

void HayesModem::Engine::Run()
{
    for (;;) {
        pollfd fds[4] = {{m_owner.m_stop, POLLIN, 0}, {m_owner.m_inotify, POLLIN, 0}};
        nfds_t count = 2;
        int masterAt = -1, tcpAt = -1;
        // While nobody holds the slave the master reports POLLHUP for ever;
        // it is left out, and the next open comes through inotify.
        if (m_state != State::PortClosed) {
            short events = 0;
            if (m_toTcp.size() < kHighWater)
                events |= POLLIN;
            if (!m_toPty.empty())
                events |= POLLOUT;
            masterAt = static_cast<int>(count);
            fds[count++] = {m_owner.m_master, events, 0};
        }
        if (m_tcp >= 0) {
            short events = 0;
            if (m_state == State::Online && m_toPty.size() < kHighWater)
                events |= POLLIN;
            else if (m_state == State::OnlineCommand)
                events |= POLLRDHUP;   // the far end leaving while the data waits
            if (!m_toTcp.empty())
                events |= POLLOUT;
            tcpAt = static_cast<int>(count);
            fds[count++] = {m_tcp, events, 0};
        }
        const int ready = poll(fds, count, EscapeWaitMs(Clock::now()));
        if (ready < 0 && errno != EINTR)
            return;
        if (ready < 0)
            continue;
        if (fds[0].revents != 0)
            return;
        const int closesBefore = m_lastCloses;
        if (fds[1].revents != 0)
            ReadEvents();
        if (m_stopping)
            return;
        if (masterAt >= 0 && m_state != State::PortClosed) {
            const short revents = fds[masterAt].revents;
            if (revents & (POLLHUP | POLLERR)) {
                // The slave's last holder is gone. Its close event is queued
                // by now (the kernel reports it before the release that
                // raises POLLHUP), and a close read anywhere in this round,
                // above or here, is this hang-up: the state may already be
                // a new session's, opened at once after, which this POLLHUP
                // must not end. Should the event somehow be missing, the
                // hang-up is taken from the master alone rather than spin.
                ReadEvents();
                if (m_state != State::PortClosed && m_lastCloses == closesBefore) {
                    m_holders = 0;
                    LastClosed();
                }
            } else {
                if (revents & POLLIN)
                    ReadPty();
                if (revents & POLLOUT)
                    FlushPty();
            }
        }
        if (tcpAt >= 0 && m_tcp >= 0 && fds[tcpAt].revents != 0) {
            const short revents = fds[tcpAt].revents;
            if (revents & POLLOUT)
                FlushTcp();
            if (m_tcp >= 0 && m_state == State::Online && (revents & (POLLIN | POLLHUP | POLLERR)))
                ReadTcp();
            else if (m_tcp >= 0 && m_state == State::OnlineCommand && (revents & (POLLRDHUP | POLLHUP | POLLERR)))
                RemoteHungUp();
        }
        if (m_state == State::Online && m_plus == 3 && EscapeWaitMs(Clock::now()) == 0) {
            // Three escape characters and the guard time since: command mode
            // with the call kept.
            m_plus = 0;
            SetState(State::OnlineCommand);
            Emit(Result::Ok);
        }
        if (m_state != State::PortClosed)
            FlushPty();
    }
}

int HayesModem::Engine::EscapeWaitMs(Clock::time_point now) const
{
    if (m_state != State::Online || m_plus != 3)
        return -1;
    const auto due = m_lastPlus + std::chrono::milliseconds(m_settings.guardMs);
    if (now >= due)
        return 0;
    // Rounded up, so that the wake-up is never before the guard has passed.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count());
}

void HayesModem::Engine::ReadEvents()
{
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = read(m_owner.m_inotify, buffer, sizeof buffer);
        if (n <= 0)
            return;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->mask & IN_OPEN) {
                Publish([&] { ++m_owner.m_opens; });
                if (m_holders++ == 0)
                    Opened();
            }
            if ((event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) && m_holders > 0 && --m_holders == 0)
                LastClosed();
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

void HayesModem::Engine::Opened()
{
    if (m_state == State::PortClosed)
        SetState(State::Command);
    if (!m_nextSession.empty()) {
        std::string bytes;
        bytes.swap(m_nextSession);
        FromPty(bytes.data(), bytes.size());
    }
}

void HayesModem::Engine::LastClosed()
{
    if (m_state == State::PortClosed)
        return;
    ++m_lastCloses;
    // What the device wrote before it closed still counts, in the session
    // it ended. A device that closed and opened again at once may have
    // written its next command by now, into the same buffer: then nothing
    // tells the two sessions' bytes apart, and all go to the new session,
    // which must meet a modem already reset (its open event is next).
    std::string bytes;
    if (DrainPty(bytes)) {
        m_nextSession += bytes;
    } else if (!bytes.empty()) {
        FromPty(bytes.data(), bytes.size());
        if (m_tcp >= 0 && !m_toTcp.empty())
            FlushTcp();
    }
    // DTR dropped: the call ends, and the modem starts over from its
    // defaults, the way modems are usually set to act on DTR (&D3).
    DropCall();
    m_toPty.clear();
    m_line.clear();
    m_lineTooLong = false;
    Reset();
    // The port's modes stay as the device left them, as a serial port's do.
    // The master's modes are the slave's: making them raw again here could
    // land after a device that opened again at once had set its own.
    Publish([&] { ++m_owner.m_closes; });
    SetState(State::PortClosed);
}

// Takes what the master holds. Past the end, a read fails with EIO while
// nobody holds the slave and with EAGAIN once somebody does: true when the
// device has opened the port again.
bool HayesModem::Engine::DrainPty(std::string& bytes)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(m_owner.m_master, buffer, sizeof buffer);
        if (n > 0) {
            bytes.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void HayesModem::Engine::ReadPty()
{
    char buffer[4096];
    for (;;) {
        if (m_toTcp.size() >= kHighWater)
            return;
        const ssize_t n = read(m_owner.m_master, buffer, sizeof buffer);
        if (n > 0) {
            FromPty(buffer, static_cast<size_t>(n));
            if (m_tcp >= 0 && !m_toTcp.empty())
                FlushTcp();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return;   // EAGAIN, or EIO once the slave is closed
    }
}

void HayesModem::Engine::FromPty(const char* bytes, size_t count)
{
    m_rate = PtyLineRate(m_owner.m_master);
    if (m_owner.m_maxRate != 0 && m_rate > m_owner.m_maxRate) {
        Publish([&] { m_owner.m_garbled += static_cast<int>(count); });
        return;
    }
    const auto now = Clock::now();
    for (size_t i = 0; i < count; ++i) {
        if (m_state == State::Online)
            DataByte(bytes[i], now);
        else if (m_state == State::Command || m_state == State::OnlineCommand)
            CommandByte(bytes[i]);
    }
}

void HayesModem::Engine::DataByte(char c, Clock::time_point now)
{
    const auto guard = std::chrono::milliseconds(m_settings.guardMs);
    const int escape = m_settings.s[2];
    if (escape <= 127 && static_cast<unsigned char>(c) == escape) {
        if (m_plus > 0 && m_plus < 3 && now - m_lastPlus <= guard)
            ++m_plus;
        else if (now - m_lastPtyByte >= guard)
            m_plus = 1;
        else
            m_plus = 0;
        m_lastPlus = now;
    } else {
        m_plus = 0;
    }
    m_lastPtyByte = now;
    m_toTcp.push_back(c);
}

void HayesModem::Engine::CommandByte(char c)
{
    if (m_settings.echo)
        m_toPty.push_back(c);
    if (c == '\r') {
        Line();
    } else if (c == '\n') {
    } else if (c == '\b' || c == 0x7f) {
        if (!m_line.empty())
            m_line.pop_back();
    } else if (m_line.size() < kMaxLine) {
        m_line.push_back(c);
    } else {
        m_lineTooLong = true;
    }
}

void HayesModem::Engine::Line()
{
    const std::string line = m_line;
    const bool tooLong = m_lineTooLong;
    m_line.clear();
    m_lineTooLong = false;
    if (line.empty())
        return;
    Publish([&] {
        m_owner.m_commands.push_back(line);
        m_owner.m_commandRate = m_rate;
    });
    if (line.size() < 2 || !((line[0] == 'A' && line[1] == 'T') || (line[0] == 'a' && line[1] == 't')))
        return;
    if (tooLong) {
        Emit(Result::Error);
        return;
    }
    Execute(line.substr(2));
}

void HayesModem::Engine::Execute(const std::string& commands)
{
    size_t at = 0;
    // An optional number after a command; false when it exceeds max.
    auto number = [&](int max, int& value) {
        value = 0;
        int digits = 0;
        while (at < commands.size() && std::isdigit(static_cast<unsigned char>(commands[at]))) {
            value = value * 10 + (commands[at++] - '0');
            if (++digits > 3)
                return false;
        }
        return value <= max;
    };
    std::vector<std::string> info;
    int value = 0;
    while (at < commands.size()) {
        const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(commands[at++])));
        bool ok = true;
        switch (c) {
        case ' ':
            break;
        case 'E':
            ok = number(1, value);
            if (ok)
                m_settings.echo = value == 1;
            break;
        case 'V':
            ok = number(1, value);
            if (ok)
                m_settings.verbal = value == 1;
            break;
        case 'Q':
            ok = number(1, value);
            if (ok)
                m_settings.quiet = value == 1;
            break;
        case 'M':
        case 'L':
            ok = number(3, value);
            break;
        case 'X':
            ok = number(4, value);
            if (ok)
                m_settings.x = value;
            break;
        case 'B':
            ok = number(1, value);
            break;
        case 'H':
            ok = number(1, value);
            if (ok && value == 0 && m_tcp >= 0) {
                DropCall();
                SetState(State::Command);
            }
            break;
        case 'Z':
            ok = number(1, value);
            if (ok) {
                if (m_tcp >= 0) {
                    DropCall();
                    SetState(State::Command);
                }
                Reset();
            }
            break;
        case 'I':
            ok = number(9, value);
            info.push_back(kIdentification);
            break;
        case 'O':
            ok = number(1, value);
            if (!ok)
                break;
            if (m_tcp < 0) {
                Emit(Result::NoCarrier);
            } else {
                Emit(Result::Connect);
                m_plus = 0;
                m_lastPtyByte = Clock::now();
                SetState(State::Online);
            }
            return;
        case 'D':
            Dial(commands.substr(at));
            return;
        case 'S': {
            int reg = 0;
            ok = at < commands.size() && std::isdigit(static_cast<unsigned char>(commands[at])) && number(255, reg) &&
                 at < commands.size();
            if (!ok)
                break;
            if (commands[at] == '?') {
                ++at;
                char text[8];
                std::snprintf(text, sizeof text, "%03d", m_settings.s[static_cast<size_t>(reg)]);
                info.push_back(text);
            } else if (commands[at] == '=') {
                ++at;
                ok = number(255, value);
                if (ok) {
                    m_settings.s[static_cast<size_t>(reg)] = value;
                    if (reg == 12)
                        m_settings.guardMs = value * 20;
                }
            } else {
                ok = false;
            }
            break;
        }
        case '&': {
            const char which = at < commands.size()
                                   ? static_cast<char>(std::toupper(static_cast<unsigned char>(commands[at++])))
                                   : '\0';
            if (which == 'F') {
                ok = number(0, value);
                if (ok)
                    Reset();
            } else if (which == 'K') {
                ok = number(6, value);
            } else if (which == 'C') {
                ok = number(1, value);
            } else if (which == 'D') {
                ok = number(3, value);
            } else {
                ok = false;
            }
            break;
        }
        case '\\':
            ok = at < commands.size() && std::toupper(static_cast<unsigned char>(commands[at++])) == 'N' &&
                 number(7, value);
            break;
        case '%':
            ok = at < commands.size() && std::toupper(static_cast<unsigned char>(commands[at++])) == 'C' &&
                 number(3, value);
            break;
        default:
            ok = false;
        }
        if (!ok) {
            Emit(Result::Error);
            return;
        }
    }
    // Information comes only with a line that ran whole.
    for (const std::string& text : info)
        Info(text);
    Emit(Result::Ok);
}

void HayesModem::Engine::Dial(const std::string& rest)
{
    size_t at = 0;
    while (at < rest.size() && rest[at] == ' ')
        ++at;
    if (at < rest.size() && (std::toupper(static_cast<unsigned char>(rest[at])) == 'T' ||
                             std::toupper(static_cast<unsigned char>(rest[at])) == 'P'))
        ++at;
    long port = 0;
    size_t digits = 0;
    for (; at < rest.size(); ++at) {
        if (rest[at] == ' ')
            continue;
        if (!std::isdigit(static_cast<unsigned char>(rest[at])) || ++digits > 5) {
            Emit(Result::Error);
            return;
        }
        port = port * 10 + (rest[at] - '0');
    }
    if (digits == 0 || port < 1 || port > 65535 || m_tcp >= 0) {
        Emit(Result::Error);
        return;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        Emit(Result::NoCarrier);
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!connected && errno == EINPROGRESS) {
        // Loopback answers at once; S7 bounds a listener whose queue is
        // full, and the stop request still ends the wait.
        pollfd fds[2] = {{fd, POLLOUT, 0}, {m_owner.m_stop, POLLIN, 0}};
        int ready;
        do
            ready = poll(fds, 2, m_settings.s[7] * 1000);
        while (ready < 0 && errno == EINTR);
        if (fds[1].revents != 0) {
            m_stopping = true;
        } else if (ready > 0) {
            int error = 0;
            socklen_t length = sizeof error;
            connected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        }
    }
    if (!connected) {
        close(fd);
        Emit(Result::NoCarrier);
        return;
    }
    m_tcp = fd;
    Publish([&] { ++m_owner.m_calls; });
    Emit(Result::Connect);
    m_plus = 0;
    m_lastPtyByte = Clock::now();
    SetState(State::Online);
}

void HayesModem::Engine::ReadTcp()
{
    char buffer[4096];
    const ssize_t n = recv(m_tcp, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        m_toPty.append(buffer, static_cast<size_t>(n));
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    RemoteHungUp();
}

void HayesModem::Engine::RemoteHungUp()
{
    DropCall();
    SetState(State::Command);
    Emit(Result::NoCarrier);
}

void HayesModem::Engine::DropCall()
{
    if (m_tcp < 0)
        return;
    close(m_tcp);
    m_tcp = -1;
    m_toTcp.clear();
    m_plus = 0;
    Publish([&] { ++m_owner.m_hangUps; });
}

void HayesModem::Engine::FlushPty()
{
    while (!m_toPty.empty()) {
        const ssize_t n = write(m_owner.m_master, m_toPty.data(), m_toPty.size());
        if (n > 0) {
            m_toPty.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return;   // full (POLLOUT will say when), or the slave has gone
    }
}

void HayesModem::Engine::FlushTcp()
{
    while (!m_toTcp.empty() && m_tcp >= 0) {
        const ssize_t n = send(m_tcp, m_toTcp.data(), m_toTcp.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            m_toTcp.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (m_state == State::Online || m_state == State::OnlineCommand)
            RemoteHungUp();
        else
            DropCall();
        return;
    }
}

void HayesModem::Engine::Emit(Result result)
{
    if (m_settings.quiet)
        return;
    if (!m_settings.verbal) {
        m_toPty += std::to_string(static_cast<int>(result)) + "\r";
        return;
    }
    const char* text = "OK";
    switch (result) {
    case Result::Ok:
        break;
    case Result::Connect:
        text = m_settings.x == 0 ? "CONNECT" : "CONNECT 57600";
        break;
    case Result::NoCarrier:
        text = "NO CARRIER";
        break;
    case Result::Error:
        text = "ERROR";
        break;
    }
    m_toPty += std::string("\r\n") + text + "\r\n";
}

void HayesModem::Engine::Info(const std::string& text)
{
    m_toPty += m_settings.verbal ? "\r\n" + text + "\r\n" : text + "\r\n";
}

const char* HayesModem::StateName(State state)
{
    switch (state) {
    case State::PortClosed:
        return "PortClosed";
    case State::Command:
        return "Command";
    case State::Online:
        return "Online";
    case State::OnlineCommand:
        return "OnlineCommand";
    }
    return "?";
}

HayesModem::HayesModem(int guardMs, unsigned long maxRate) : m_guardMs(guardMs), m_maxRate(maxRate)
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128] = {};
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0 ||
        ptsname_r(m_master, name, sizeof name) != 0) {
        m_error = std::string("pseudo-terminal: ") + std::strerror(errno);
        return;
    }
    m_slavePath = name;
    fcntl(m_master, F_SETFD, FD_CLOEXEC);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    termios raw{};
    if (tcgetattr(m_master, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(m_master, TCSANOW, &raw);
    }
    // The watch exists before anyone knows the path, so no open is missed.
    m_inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (m_inotify < 0 ||
        inotify_add_watch(m_inotify, m_slavePath.c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        m_error = std::string("inotify on ") + m_slavePath + ": " + std::strerror(errno);
        return;
    }
    m_stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_stop < 0) {
        m_error = std::string("eventfd: ") + std::strerror(errno);
        return;
    }
    m_thread = std::thread([this] { Engine(*this).Run(); });
}

HayesModem::~HayesModem()
{
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(m_stop, &one, sizeof one);
        m_thread.join();
    }
    for (int fd : {m_stop, m_inotify, m_master}) {
        if (fd >= 0)
            close(fd);
    }
}

template <class Pred>
bool HayesModem::WaitFor(int timeoutMs, Pred pred) const
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

HayesModem::State HayesModem::GetState() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_state;
}

std::vector<std::string> HayesModem::Commands() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_commands;
}

bool HayesModem::WaitForCommand(const std::string& text, int timeoutMs) const
{
    return WaitFor(timeoutMs, [&] {
        for (const std::string& command : m_commands)
            if (command == text)
                return true;
        return false;
    });
}

unsigned long HayesModem::CommandRate() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_commandRate;
}

bool HayesModem::WaitForGarbled(int count, int timeoutMs) const
{
    return WaitFor(timeoutMs, [&] { return m_garbled >= count; });
}

bool HayesModem::WaitForState(State state, int timeoutMs) const
{
    return WaitFor(timeoutMs, [&] { return m_state == state; });
}

bool HayesModem::WaitForHangUps(int count, int timeoutMs) const
{
    return WaitFor(timeoutMs, [&] { return m_hangUps >= count; });
}

bool HayesModem::WaitForPortCloses(int count, int timeoutMs) const
{
    return WaitFor(timeoutMs, [&] { return m_closes >= count; });
}

int HayesModem::Calls() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_calls;
}

int HayesModem::HangUps() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_hangUps;
}

int HayesModem::PortOpens() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_opens;
}

int HayesModem::PortCloses() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_closes;
}

}  // namespace tavrin::test
