#include "TransferProgress.h"

#include <algorithm>
#include <cmath>

namespace tavrin::tool {

std::string FormatBytes(unsigned long long bytes)
{
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string FormatDuration(double seconds)
{
    if (seconds < 0 || !std::isfinite(seconds))
        return "--:--";
    const auto whole = static_cast<unsigned long long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
    return text;
}

std::string FormatProgressLine(const XferProgress& progress, double bytesPerSecond)
{
    std::string line = progress.file;
    if (progress.size > 0) {
        const unsigned long long done = std::min(progress.done, progress.size);
        char percent[8];
        std::snprintf(percent, sizeof percent, "%3u%%", static_cast<unsigned>(done * 100 / progress.size));
        line += std::string("  ") + percent + "  " + FormatBytes(done) + " of " + FormatBytes(progress.size);
    } else {
        line += "  " + FormatBytes(progress.done);
    }
    if (bytesPerSecond > 0) {
        line += "  " + FormatBytes(static_cast<unsigned long long>(bytesPerSecond)) + "/s";
        if (progress.size > 0) {
            const double left = static_cast<double>(progress.size - std::min(progress.done, progress.size));
            line += "  " + FormatDuration(left / bytesPerSecond) + " left";
        }
    }
    return line;
}

std::string FormatFileSummary(const XferFileResult& result, double seconds)
{
    if (!result.complete)
        return result.name + ": failed: " + result.error;
    std::string line = result.name + ": " + FormatBytes(result.size);
    char time[64];
    std::snprintf(time, sizeof time, " in %.1f s", seconds);
    line += time;
    if (seconds > 0)
        line += " (" + FormatBytes(static_cast<unsigned long long>(static_cast<double>(result.size) / seconds)) + "/s)";
    if (!result.path.empty())
        line += " -> " + result.path;
    return line;
}

TransferProgress::TransferProgress(FILE* out, bool showProgress, bool inPlace)
    : m_out(out), m_show(showProgress), m_inPlace(inPlace)
{
}

double TransferProgress::Rate(unsigned long long totalDone)
{
    // Over the last three seconds: quick to follow a change of speed, and
    // steady enough to read.
    const Clock::time_point now = Clock::now();
    m_samples.emplace_back(now, totalDone);
    while (m_samples.size() > 2 && now - m_samples.front().first > std::chrono::seconds(3))
        m_samples.pop_front();
    const double seconds = std::chrono::duration<double>(now - m_samples.front().first).count();
    if (seconds < 0.2 || totalDone < m_samples.front().second)
        return 0;
    return static_cast<double>(totalDone - m_samples.front().second) / seconds;
}

void TransferProgress::Update(const XferProgress& progress)
{
    if (progress.fileIndex != m_fileIndex) {
        m_fileIndex = progress.fileIndex;
        m_fileStart = Clock::now();
    }
    const double rate = Rate(progress.totalDone);
    const Clock::time_point now = Clock::now();
    if (!m_show || progress.fileIndex == 0 || now - m_lastDraw < std::chrono::milliseconds(100))
        return;
    m_lastDraw = now;
    const std::string line = FormatProgressLine(progress, rate);
    // CR, the line, then erase to the end: a shorter line leaves nothing
    // of the longer one before it.
    if (m_inPlace)
        std::fprintf(m_out, "\r%s\x1b[K", line.c_str());
    else
        std::fprintf(m_out, "%s%s", line.c_str(), m_lineEnd);
    std::fflush(m_out);
    m_lineShown = m_inPlace;
}

void TransferProgress::Clear()
{
    if (m_lineShown) {
        std::fputs("\r\x1b[K", m_out);
        std::fflush(m_out);
        m_lineShown = false;
    }
}

void TransferProgress::FileDone(const XferFileResult& result)
{
    Clear();
    const double seconds = std::chrono::duration<double>(Clock::now() - m_fileStart).count();
    std::fprintf(m_out, "%s%s", FormatFileSummary(result, seconds).c_str(), m_lineEnd);
    std::fflush(m_out);
    m_lastDraw = {};
    // The next file starts now, even when it ends before the next update.
    m_fileStart = Clock::now();
    ++m_fileIndex;
}

void TransferProgress::Follow(CFileTransfer& transfer)
{
    std::size_t reported = 0;
    bool ended = false;
    while (!ended) {
        ended = transfer.WaitForEnd(100) != FALSE;
        XferProgress progress;
        transfer.GetProgress(progress);
        const std::vector<XferFileResult> results = transfer.GetResults();
        for (; reported < results.size(); ++reported)
            FileDone(results[reported]);
        if (!ended)
            Update(progress);
    }
    Clear();
}

}  // namespace tavrin::tool
