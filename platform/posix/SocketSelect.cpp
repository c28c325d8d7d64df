// Winsock's select over poll(): the sets name sockets, not descriptor bits,
// so neither the number of sockets nor their descriptor numbers are limited
// by the system's FD_SETSIZE.
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <new>
#include <optional>
#include <vector>

#include "SocketCore.h"

namespace tavrin::posix {
namespace {

using Clock = std::chrono::steady_clock;
// Winsock's set; the system's fd_set is a bitmap of descriptors.
using SocketSet = tavrin::winsock::fd_set;
using tavrin::winsock::WS_FD_SETSIZE;

enum SetBit : unsigned { kRead = 1, kWrite = 2, kExcept = 4 };

struct Watched {
    SOCKET id;
    SocketRef record;
    unsigned wanted;  // SetBits of the sets that name the socket
};

// Longer waits are waits without a limit (and would overflow the clock).
constexpr long long kLongestWaitSeconds = 100LL * 365 * 24 * 3600;

std::optional<Clock::time_point> Deadline(const timeval* timeout)
{
    if (!timeout || timeout->tv_sec > kLongestWaitSeconds)
        return std::nullopt;
    return Clock::now() + std::chrono::seconds(timeout->tv_sec) + std::chrono::microseconds(timeout->tv_usec);
}

// Milliseconds for poll, rounded up so that the wait never ends early.
int PollTimeout(const std::optional<Clock::time_point>& deadline)
{
    if (!deadline)
        return -1;
    const auto left = *deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(milliseconds, INT_MAX));
}

short PollEvents(unsigned wanted)
{
    short events = 0;
    if (wanted & kRead)
        events |= POLLIN;
    if (wanted & kWrite)
        events |= POLLOUT;
    if (wanted & kExcept)
        events |= POLLPRI;
    return events;
}

// The sets a socket is ready for, by poll's answer, as Linux's own select
// maps them.
unsigned ReadyFor(const Watched& watched, short revents)
{
    SocketRecord& record = *watched.record;
    // Closed by another thread during the wait: ready, so that the caller
    // looks at it and learns (WSAENOTSOCK) that it is gone.
    if (record.closed.load())
        return watched.wanted;
    unsigned ready = 0;
    if (revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))
        ready |= kRead;
    if (revents & (POLLOUT | POLLERR | POLLNVAL))
        ready |= kWrite;
    if (revents & POLLPRI)
        ready |= kExcept;
    if (record.pendingError.load() != 0)
        ready |= kRead;
    if (record.connecting.load()) {
        // Windows reports a failed non-blocking connect in the except set.
        if (revents & (POLLERR | POLLHUP))
            ready |= kExcept;
        else if (revents & POLLOUT)
            record.connecting.store(false);
    }
    return ready & watched.wanted;
}

// Gathers the distinct sockets of the three sets; false (WSAENOTSOCK) when
// one of them is not a live socket.
bool Gather(SocketSet* const (&sets)[3], std::vector<Watched>& watched)
{
    for (unsigned which = 0; which < 3; ++which) {
        if (!sets[which])
            continue;
        for (UINT i = 0; i < sets[which]->fd_count; ++i) {
            const SOCKET id = sets[which]->fd_array[i];
            auto known = std::find_if(watched.begin(), watched.end(), [id](const Watched& w) { return w.id == id; });
            if (known == watched.end()) {
                SocketRef record = FindSocket(id);
                if (!record)
                    return false;
                watched.push_back(Watched{id, std::move(record), 0});
                known = watched.end() - 1;
            }
            known->wanted |= 1u << which;
        }
    }
    return true;
}

// Keeps in each set the sockets ready for it; returns how many remain in
// all sets together.
int Rewrite(SocketSet* const (&sets)[3], const std::vector<Watched>& watched, const std::vector<unsigned>& ready)
{
    int total = 0;
    for (unsigned which = 0; which < 3; ++which) {
        SocketSet* set = sets[which];
        if (!set)
            continue;
        UINT kept = 0;
        for (UINT i = 0; i < set->fd_count; ++i) {
            const SOCKET id = set->fd_array[i];
            for (std::size_t w = 0; w < watched.size(); ++w) {
                if (watched[w].id == id) {
                    if (ready[w] & (1u << which))
                        set->fd_array[kept++] = id;
                    break;
                }
            }
        }
        set->fd_count = kept;
        total += static_cast<int>(kept);
    }
    return total;
}

}  // namespace
}  // namespace tavrin::posix

using namespace tavrin::posix;

int WINAPI tavrin::winsock::IsSet(SOCKET s, fd_set* set)
{
    if (!set)
        return 0;
    const UINT count = std::min<UINT>(set->fd_count, WS_FD_SETSIZE);
    for (UINT i = 0; i < count; ++i) {
        if (set->fd_array[i] == s)
            return 1;
    }
    return 0;
}

int WINAPI tavrin::winsock::select(int, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout)
{
    if (!SocketsStarted())
        return SOCKET_ERROR;
    SocketSet* const sets[3] = {readfds, writefds, exceptfds};
    UINT total = 0;
    for (SocketSet* set : sets) {
        if (set && set->fd_count > WS_FD_SETSIZE)
            return FailWith(WSAEINVAL);
        total += set ? set->fd_count : 0;
    }
    // Windows refuses a select on no socket at all (it is not a sleep).
    if (total == 0)
        return FailWith(WSAEINVAL);
    if (timeout && (timeout->tv_sec < 0 || timeout->tv_usec < 0))
        return FailWith(WSAEINVAL);

    std::vector<Watched> watched;
    std::vector<pollfd> polls;
    std::vector<unsigned> ready;
    try {
        watched.reserve(total);
        if (!Gather(sets, watched))
            return FailWith(WSAENOTSOCK);
        polls.reserve(watched.size());
        ready.assign(watched.size(), 0);
    } catch (const std::bad_alloc&) {
        return FailWith(WSAENOBUFS);
    }
    for (const Watched& w : watched)
        polls.push_back(pollfd{w.record->fd, PollEvents(w.wanted), 0});

    const auto deadline = Deadline(timeout);
    // Ready before any wait: closed meanwhile, or an error kept for the
    // next receive.
    bool anyReady = false;
    for (std::size_t w = 0; w < watched.size(); ++w) {
        ready[w] = ReadyFor(watched[w], 0);
        anyReady = anyReady || ready[w] != 0;
    }
    while (!anyReady) {
        const int waitMs = PollTimeout(deadline);
        const int count = ::poll(polls.data(), polls.size(), waitMs);
        if (count < 0) {
            if (errno == EINTR)
                continue;  // the remaining time is taken from the deadline
            return FailWith(WsaFromErrno(errno));
        }
        for (std::size_t w = 0; w < watched.size(); ++w) {
            ready[w] = ReadyFor(watched[w], polls[w].revents);
            anyReady = anyReady || ready[w] != 0;
            // poll always reports POLLHUP and POLLERR, even for a socket
            // that only the except set names, where they mean nothing:
            // leave such a socket out of the rest of the wait, or it spins.
            if (ready[w] == 0 && polls[w].revents != 0)
                polls[w].fd = -1;
        }
        if (!anyReady && waitMs == 0)
            break;  // timed out
    }
    return Rewrite(sets, watched, ready);
}
