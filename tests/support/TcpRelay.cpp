#include "TcpRelay.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tavrin::test {

RecordingRelay::RecordingRelay(int targetPort)
    : m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    m_listener = ListenLoopback(m_port);
    if (!Ready()) {
        m_ended = true;
        m_error = "cannot listen on 127.0.0.1 or create an eventfd";
        return;
    }
    m_thread = std::thread([this, targetPort] { Run(targetPort); });
}

RecordingRelay::~RecordingRelay()
{
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(m_wake.Get(), &one, sizeof one);
        m_thread.join();
    }
}

std::string RecordingRelay::Error() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_error;
}

RelayTranscript RecordingRelay::Transcript() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_transcript;
}

bool RecordingRelay::WaitUntil(const Predicate& done, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait_for(lock, timeout, [&] { return m_ended || done(m_transcript); });
    return done(m_transcript);
}

void RecordingRelay::Fail(const std::string& why)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_error.empty())
        m_error = why + ": " + std::strerror(errno);
}

void RecordingRelay::Run(int targetPort)
{
    Fd caller;
    for (;;) {
        pollfd fds[2] = {{m_listener.Get(), POLLIN, 0}, {m_wake.Get(), POLLIN, 0}};
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || fds[1].revents != 0)
            break;
        caller = Fd(accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!caller.Valid())
            Fail("accept");
        break;
    }
    if (caller.Valid()) {
        const Fd server = ConnectLoopbackTcp(static_cast<std::uint16_t>(targetPort));
        if (!server.Valid())
            Fail("connect to the server");
        else
            Relay(caller, server);
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_ended = true;
    }
    m_changed.notify_all();
}

// Copies each side's bytes to the other as they come, recording them first.
// An orderly end of one side is passed on as the end of sending to the
// other; the relay ends when both sides have ended or it is stopped.
bool RecordingRelay::Relay(const Fd& caller, const Fd& server)
{
    struct Side {
        const Fd& from;
        const Fd& to;
        std::string RelayTranscript::*record;
        bool open;
    };
    Side sides[2] = {{caller, server, &RelayTranscript::fromCaller, true},
                     {server, caller, &RelayTranscript::fromServer, true}};
    char buffer[16384];
    while (sides[0].open || sides[1].open) {
        pollfd fds[3] = {{sides[0].open ? caller.Get() : -1, POLLIN, 0},
                         {sides[1].open ? server.Get() : -1, POLLIN, 0},
                         {m_wake.Get(), POLLIN, 0}};
        const int ready = poll(fds, 3, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            Fail("poll");
            return false;
        }
        if (fds[2].revents != 0)
            return true;
        for (int i = 0; i < 2; ++i) {
            Side& side = sides[i];
            if (fds[i].revents == 0)
                continue;
            const ssize_t got = recv(side.from.Get(), buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                side.open = false;
                shutdown(side.to.Get(), SHUT_WR);
                continue;
            }
            const std::string bytes(buffer, static_cast<size_t>(got));
            {
                std::lock_guard<std::mutex> lock(m_lock);
                (m_transcript.*side.record) += bytes;
            }
            m_changed.notify_all();
            if (!SendAll(side.to, bytes)) {
                Fail("send");
                return false;
            }
        }
    }
    return true;
}

}  // namespace tavrin::test
