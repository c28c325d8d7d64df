// A TCP relay on 127.0.0.1 that behaves like a bad serial line: it inverts
// bits, loses bytes and adds bytes at set rates, from a seed (the same seed
// gives the same damage to the same stream), can be paced to a line's byte
// rate, and can cut the connection after so many bytes.
//
//   NoisyRelay relay(peer.Port(), {.flipRate = 1e-4, .seed = 7});
//   ASSERT_TRUE(relay.Ready()) << relay.Error();
//   end.OpenTcp(relay.Port());
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "SocketPeer.h"

namespace tavrin::test {

struct LineFaults {
    double flipRate = 0;    // per byte: one bit inverted
    double dropRate = 0;    // per byte: lost
    double insertRate = 0;  // per byte: a random byte comes before it
    unsigned seed = 1;
    // Bytes a second in each direction, as a serial line's rate / 10;
    // 0 for as fast as the sockets take them.
    unsigned long bytesPerSecond = 0;
    // Both connections are closed once this many bytes went through (both
    // directions together); 0 for never.
    unsigned long long cutAfter = 0;
};

struct LineCounts {
    unsigned long long relayed = 0;  // both directions, after the damage
    unsigned long long flipped = 0, dropped = 0, inserted = 0;
    bool cut = false;
};

class NoisyRelay {
public:
    // Listens on a port of the system's choice and joins its first caller
    // to 127.0.0.1:targetPort.
    NoisyRelay(int targetPort, const LineFaults& faults);
    ~NoisyRelay();
    NoisyRelay(const NoisyRelay&) = delete;
    NoisyRelay& operator=(const NoisyRelay&) = delete;

    bool Ready() const { return m_listener.Valid() && m_wake.Valid(); }
    std::uint16_t Port() const { return m_port; }
    std::string Error() const;
    LineCounts Counts() const;
    // Waits until the relay has cut the line (true) or the time-out passed.
    bool WaitForCut(std::chrono::milliseconds timeout) const;

private:
    void Run(int targetPort);
    void Relay(const Fd& caller, const Fd& server);

    LineFaults m_faults;
    Fd m_listener;
    Fd m_wake;
    std::uint16_t m_port = 0;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    LineCounts m_counts;
    std::string m_error;
    std::thread m_thread;
};

}  // namespace tavrin::test
