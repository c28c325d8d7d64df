// What the host shows of a file transfer: one progress line (file, percent,
// bytes, rate, time left, as rsync and pv show it), redrawn in place at
// most ten times a second, and a summary line per file.
#pragma once

#include <tavrin/Tavrin.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>

namespace tavrin::tool {

// "1023 B", "1.5 KiB", "3.0 MiB".
std::string FormatBytes(unsigned long long bytes);
// "0:07", "1:02:03"; "--:--" when unknown (negative).
std::string FormatDuration(double seconds);
// "name  42%  1.3 MiB of 3.0 MiB  610 KiB/s  0:03 left"; without percent and
// time left when the size is unknown (0), without rate when it is 0.
std::string FormatProgressLine(const XferProgress& progress, double bytesPerSecond);
// "name: 3.0 MiB in 5.1 s (602 KiB/s) -> PATH" or "name: failed: reason".
std::string FormatFileSummary(const XferFileResult& result, double seconds);

class TransferProgress {
public:
    using Clock = std::chrono::steady_clock;
    // out: where the lines go; showProgress: the progress line at all
    // (summaries always); inPlace: redrawn with CR and cleared, as on a
    // terminal, rather than one line per update.
    TransferProgress(FILE* out, bool showProgress, bool inPlace);

    // The latest progress; drawn when 100 ms have passed since the last.
    void Update(const XferProgress& progress);
    // Clears the progress line and prints the file's summary.
    void FileDone(const XferFileResult& result);
    // Clears the progress line, if one is shown.
    void Clear();
    // "\r\n" on a terminal in raw mode, which no longer adds the CR.
    void SetLineEnd(const char* end) { m_lineEnd = end; }

    // Follows a transfer until it ends, polling its progress and results.
    void Follow(CFileTransfer& transfer);

private:
    void Draw(const XferProgress& progress);
    double Rate(unsigned long long totalDone);

    FILE* m_out;
    bool m_show, m_inPlace;
    bool m_lineShown = false;
    const char* m_lineEnd = "\n";
    Clock::time_point m_lastDraw{}, m_fileStart = Clock::now();
    unsigned m_fileIndex = 0;
    std::deque<std::pair<Clock::time_point, unsigned long long>> m_samples;
};

}  // namespace tavrin::tool
