#include "TermOutput.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

namespace tavrin::tool {

namespace {

// Days from 1970-01-01 to a civil date (Howard Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

ClockReading SystemReading()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    ClockReading reading;
    reading.localMs = (DaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                                     static_cast<unsigned>(local.tm_mday)) *
                           86400 +
                       local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) *
                          1000 +
                      (ms < 0 ? ms + 1000 : ms);
    reading.steadyMs = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return reading;
}

bool ParseMs(const std::string& text, std::int64_t& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value >= 0;
}

}  // namespace

bool MakeClock(Clock& clock, std::string& error)
{
    const char* fixed = std::getenv("TAVRIN_TERM_CLOCK");
    if (fixed == nullptr || *fixed == '\0') {
        clock = SystemReading;
        return true;
    }
    const std::string text = fixed;
    const size_t plus = text.find('+');
    std::int64_t start = 0, step = 0;
    if (!ParseMs(text.substr(0, plus), start) || (plus != std::string::npos && !ParseMs(text.substr(plus + 1), step))) {
        error = "TAVRIN_TERM_CLOCK must be START or START+STEP in milliseconds, not '" + text + "'";
        return false;
    }
    auto next = std::make_shared<std::int64_t>(start);
    clock = [next, step] {
        const std::int64_t now = *next;
        *next += step;
        return ClockReading{now, now};
    };
    return true;
}

TermOutput::TermOutput(const OutputOptions& options, Clock clock)
    : m_options(options), m_display(options.display, std::move(clock))
{
}

TermOutput::~TermOutput()
{
    Finish();
}

bool TermOutput::Open(std::string& error)
{
    if (!m_options.logPath.empty()) {
        m_log = std::fopen(m_options.logPath.c_str(), "ab");
        if (m_log == nullptr) {
            error = "cannot open the log " + m_options.logPath + ": " + std::strerror(errno);
            return false;
        }
    }
    if (m_options.display.hex)
        m_flusher = std::thread([this] { RunQuietFlush(); });
    return true;
}

void TermOutput::ShowLocked(const std::string& raw, const std::string& shown)
{
    if (!shown.empty()) {
        std::fwrite(shown.data(), 1, shown.size(), stdout);
        std::fflush(stdout);
    }
    const std::string& logged = m_options.logShown ? shown : raw;
    if (m_log != nullptr && !logged.empty()) {
        std::fwrite(logged.data(), 1, logged.size(), m_log);
        std::fflush(m_log);
    }
}

void TermOutput::Received(const char* data, std::size_t length)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const std::string mapped = m_options.inputMap.Empty() ? std::string(data, length)
                                                         : m_options.inputMap.Apply(data, length);
    ShowLocked(std::string(data, length), m_display.Show(mapped.data(), mapped.size()));
    if (m_display.HoldsRow()) {
        m_armed = true;
        m_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHexQuietMs);
        m_wake.notify_one();
    }
}

void TermOutput::RunQuietFlush()
{
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_stopping) {
        if (!m_armed) {
            m_wake.wait(lock);
            continue;
        }
        // New bytes move the deadline on: only a quiet line shows its
        // partial row.
        if (m_wake.wait_until(lock, m_deadline) == std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= m_deadline && m_armed) {
            m_armed = false;
            ShowLocked({}, m_display.Flush());
        }
    }
}

void TermOutput::Finish()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = true;
        m_wake.notify_one();
    }
    if (m_flusher.joinable())
        m_flusher.join();
    std::lock_guard<std::mutex> guard(m_lock);
    ShowLocked({}, m_display.Flush());
    if (m_log != nullptr) {
        std::fclose(m_log);
        m_log = nullptr;
    }
}

}  // namespace tavrin::tool
