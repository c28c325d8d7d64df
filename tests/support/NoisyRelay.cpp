#include "NoisyRelay.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

namespace tavrin::test {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes read but not yet let through, in one direction.
struct Direction {
    const Fd* from;
    const Fd* to;
    std::string pending;
    Clock::time_point next;  // when the paced line may send again
    bool open = true;  // the source has not ended
    bool ended = false;  // and its end was passed on
};

// A line holds little: beyond this a sender has to wait, as on a real one.
constexpr std::size_t kHeld = 4096;

}  // namespace

NoisyRelay::NoisyRelay(int targetPort, const LineFaults& faults)
    : m_faults(faults), m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    m_listener = ListenLoopback(m_port);
    if (!Ready()) {
        m_error = "cannot listen on 127.0.0.1 or create an eventfd";
        return;
    }
    m_thread = std::thread([this, targetPort] { Run(targetPort); });
}

NoisyRelay::~NoisyRelay()
{
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(m_wake.Get(), &one, sizeof one);
        m_thread.join();
    }
}

std::string NoisyRelay::Error() const
{
    std::lock_guard lock(m_lock);
    return m_error;
}

LineCounts NoisyRelay::Counts() const
{
    std::lock_guard lock(m_lock);
    return m_counts;
}

bool NoisyRelay::WaitForCut(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, timeout, [this] { return m_counts.cut; });
}

void NoisyRelay::Run(int targetPort)
{
    pollfd fds[2] = {{m_listener.Get(), POLLIN, 0}, {m_wake.Get(), POLLIN, 0}};
    while (poll(fds, 2, -1) < 0 && errno == EINTR) {
    }
    if (fds[1].revents != 0)
        return;
    Fd caller(accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    Fd server = caller.Valid() ? ConnectLoopbackTcp(static_cast<std::uint16_t>(targetPort)) : Fd();
    if (!server.Valid()) {
        std::lock_guard lock(m_lock);
        m_error = std::string("cannot join the caller to the server: ") + std::strerror(errno);
        return;
    }
    if (m_faults.bytesPerSecond) {
        SetBufferSizes(caller, 8192);
        SetBufferSizes(server, 8192);
    }
    Relay(caller, server);
    // Closing both tells each side the line is gone.
    shutdown(caller.Get(), SHUT_RDWR);
    shutdown(server.Get(), SHUT_RDWR);
}

void NoisyRelay::Relay(const Fd& caller, const Fd& server)
{
    std::mt19937 random(m_faults.seed);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    const auto start = Clock::now();
    Direction ways[2] = {{&caller, &server, {}, start}, {&server, &caller, {}, start}};
    const unsigned long rate = m_faults.bytesPerSecond;
    // A paced line sends in slices of about 10 ms.
    const std::size_t slice = rate ? std::max<std::size_t>(1, rate / 100) : 65536;
    char buffer[65536];
    for (;;) {
        pollfd fds[5];
        int count = 0;
        const auto now = Clock::now();
        auto wakeAt = Clock::time_point::max();
        int readIndex[2] = {-1, -1}, writeIndex[2] = {-1, -1};
        for (int w = 0; w < 2; ++w) {
            Direction& way = ways[w];
            if (way.open && way.pending.size() < kHeld) {
                readIndex[w] = count;
                fds[count++] = {static_cast<int>(way.from->Get()), POLLIN, 0};
            }
            if (!way.pending.empty()) {
                if (rate && way.next > now) {
                    wakeAt = std::min(wakeAt, way.next);
                } else {
                    writeIndex[w] = count;
                    fds[count++] = {static_cast<int>(way.to->Get()), POLLOUT, 0};
                }
            }
        }
        for (Direction& way : ways) {
            // What a side said before it left still reaches the other.
            if (!way.open && way.pending.empty() && !way.ended) {
                shutdown(static_cast<int>(way.to->Get()), SHUT_WR);
                way.ended = true;
            }
        }
        if (ways[0].ended && ways[1].ended)
            return;
        fds[count++] = {m_wake.Get(), POLLIN, 0};
        int timeoutMs = -1;
        if (wakeAt != Clock::time_point::max())
            timeoutMs = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - now).count() + 1);
        const int ready = poll(fds, static_cast<nfds_t>(count), timeoutMs);
        if (ready < 0 && errno != EINTR)
            return;
        if (fds[count - 1].revents != 0)
            return;
        for (int w = 0; w < 2; ++w) {
            Direction& way = ways[w];
            if (readIndex[w] >= 0 && fds[readIndex[w]].revents != 0) {
                const ssize_t n = recv(static_cast<int>(way.from->Get()), buffer, sizeof buffer, MSG_DONTWAIT);
                if (n == 0)
                    way.open = false;
                if (n < 0 && errno != EAGAIN && errno != EINTR)
                    return;
                if (n <= 0)
                    continue;
                LineCounts damage;
                for (ssize_t i = 0; i < n; ++i) {
                    char c = buffer[i];
                    if (m_faults.insertRate > 0 && chance(random) < m_faults.insertRate) {
                        way.pending += static_cast<char>(random());
                        ++damage.inserted;
                    }
                    if (m_faults.dropRate > 0 && chance(random) < m_faults.dropRate) {
                        ++damage.dropped;
                        continue;
                    }
                    if (m_faults.flipRate > 0 && chance(random) < m_faults.flipRate) {
                        c = static_cast<char>(c ^ (1 << (random() % 8)));
                        ++damage.flipped;
                    }
                    way.pending += c;
                }
                std::lock_guard lock(m_lock);
                m_counts.flipped += damage.flipped;
                m_counts.dropped += damage.dropped;
                m_counts.inserted += damage.inserted;
            }
            if (writeIndex[w] >= 0 && fds[writeIndex[w]].revents != 0) {
                std::size_t size = std::min(way.pending.size(), slice);
                bool cut = false;
                {
                    std::lock_guard lock(m_lock);
                    if (m_faults.cutAfter) {
                        const unsigned long long left = m_faults.cutAfter - std::min(m_faults.cutAfter, m_counts.relayed);
                        if (left < size) {
                            size = static_cast<std::size_t>(left);
                            cut = true;
                        }
                    }
                }
                const ssize_t n = size ? send(static_cast<int>(way.to->Get()), way.pending.data(), size,
                                              MSG_DONTWAIT | MSG_NOSIGNAL)
                                       : 0;
                if (n < 0 && errno != EAGAIN && errno != EINTR)
                    return;
                if (n > 0) {
                    way.pending.erase(0, static_cast<std::size_t>(n));
                    if (rate)
                        way.next = std::max(way.next, Clock::now() - std::chrono::milliseconds(10)) +
                                   std::chrono::microseconds(static_cast<long long>(n) * 1000000 / rate);
                }
                {
                    std::lock_guard lock(m_lock);
                    m_counts.relayed += static_cast<unsigned long long>(std::max<ssize_t>(n, 0));
                    if (cut)
                        m_counts.cut = true;
                }
                if (cut) {
                    m_changed.notify_all();
                    return;
                }
            }
        }
    }
}

}  // namespace tavrin::test
