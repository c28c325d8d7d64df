// A TCP relay on 127.0.0.1 between a device under test and a third-party
// server, recording both directions: a test sees what the server said and
// what the device answered, byte for byte, without changing either.
//
//   tavrin::test::RecordingRelay relay(server.Port());
//   ASSERT_TRUE(relay.Ready()) << relay.Error();
//   lan.Connect("127.0.0.1", relay.Port());
//   relay.WaitUntil([](const RelayTranscript& t) { return t.fromServer.size() >= 9; });
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "SocketPeer.h"

namespace tavrin::test {

struct RelayTranscript {
    std::string fromServer;   // what the server sent towards the caller
    std::string fromCaller;   // what the caller sent towards the server
};

class RecordingRelay {
public:
    using Predicate = std::function<bool(const RelayTranscript&)>;

    // Listens on a port of the system's choice and serves one caller, which
    // it joins to 127.0.0.1:targetPort once it arrives.
    explicit RecordingRelay(int targetPort);
    // Stops relaying and closes both connections.
    ~RecordingRelay();
    RecordingRelay(const RecordingRelay&) = delete;
    RecordingRelay& operator=(const RecordingRelay&) = delete;

    bool Ready() const { return m_listener.Valid() && m_wake.Valid(); }
    std::uint16_t Port() const { return m_port; }
    // Why the relay stopped early, if it did.
    std::string Error() const;

    // Both directions as recorded so far.
    RelayTranscript Transcript() const;
    // Waits until the transcript satisfies done, or the time-out passes, or
    // the relay has ended (then false unless done holds).
    bool WaitUntil(const Predicate& done, std::chrono::milliseconds timeout = kPeerWait) const;

private:
    void Run(int targetPort);
    bool Relay(const Fd& caller, const Fd& server);
    void Fail(const std::string& why);

    Fd m_listener;
    Fd m_wake;   // an eventfd: written to stop the thread
    std::uint16_t m_port = 0;

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    RelayTranscript m_transcript;
    std::string m_error;
    bool m_ended = false;

    std::thread m_thread;
};

}  // namespace tavrin::test
