// Where `tavrin term` puts what it receives: through the input map and the
// display (TermDisplay.h) to stdout, raw or as shown to a log file, with a
// partial hex row shown once the line has been quiet for a moment.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "TermDisplay.h"

namespace tavrin::tool {

struct OutputOptions {
    DisplayOptions display;
    ByteMap inputMap;   // on what is received, before it is shown
    ByteMap outputMap;  // on what is typed, before it is sent
    std::string logPath;
    bool logShown = false;  // the log gets what is shown, not the raw bytes
};

// A partial hex row is shown after this long without received bytes.
inline constexpr int kHexQuietMs = 200;

// The clock of the stamps: the system's local time, or, when the
// environment variable TAVRIN_TERM_CLOCK is set (for tests only), a fixed
// clock: "START" or "START+STEP" in milliseconds, each reading STEP later
// than the one before (START is shown as a local time, 0 as 1970-01-01
// 00:00:00.000). False with a reason when the variable is malformed.
bool MakeClock(Clock& clock, std::string& error);

class TermOutput {
public:
    TermOutput(const OutputOptions& options, Clock clock);
    ~TermOutput();
    TermOutput(const TermOutput&) = delete;
    TermOutput& operator=(const TermOutput&) = delete;

    // Opens the log (appending); false with a reason.
    bool Open(std::string& error);
    // Any thread; the calls are serialised.
    void Received(const char* data, std::size_t length);
    // Shows what is held and closes the log.
    void Finish();

private:
    void ShowLocked(const std::string& raw, const std::string& shown);
    void RunQuietFlush();

    OutputOptions m_options;
    ReceiveDisplay m_display;
    FILE* m_log = nullptr;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stopping = false;
    bool m_armed = false;
    std::chrono::steady_clock::time_point m_deadline;
    std::thread m_flusher;
};

}  // namespace tavrin::tool
