// The requests to stop that come from outside a running command: SIGINT and
// SIGTERM on POSIX systems, Ctrl-C, Ctrl-Break and the console closing on
// Windows. SignalWatchPosix.cpp and SignalWatchWin32.cpp hold the two.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace tavrin::tool {

class SignalWatch {
public:
    SignalWatch();
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    // False when the watch could not be set up (errno or the last error
    // says why); Error() has it as a sentence.
    bool Valid() const;
    std::string Error() const;
    // Calls onStop once, off the caller's thread, with the request's name
    // ("SIGINT", "Ctrl-C", ...).
    void Start(std::function<void(const std::string&)> onStop);
    // No call to onStop starts after this returns.
    void Stop();
    // What stops the command, for its first notice.
    static const char* Requests();

    // What each system's watch keeps (its handler reaches it too).
    struct State;

private:
    std::unique_ptr<State> m_state;
};

}  // namespace tavrin::tool
