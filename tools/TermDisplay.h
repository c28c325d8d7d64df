// How `tavrin term` shows what it receives: line-end maps, timestamps at
// line starts and a hex view. Bytes in, text out, the clock handed in: no
// output, no system time, so that every case can be matched exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavrin::tool {

// One reading of the clocks. localMs: the local wall-clock time as
// milliseconds since 1970-01-01 00:00 of the local zone (the zone's offset
// already added), shown by iso stamps; steadyMs: a monotonic count, whose
// differences delta stamps show.
struct ClockReading {
    std::int64_t localMs = 0;
    std::int64_t steadyMs = 0;
};
using Clock = std::function<ClockReading()>;

// picocom's character maps, by its names: crlf (CR to LF), crcrlf (CR to
// CR LF), igncr (CR dropped), lfcr (LF to CR), lfcrlf (LF to CR LF), ignlf
// (LF dropped), bsdel (BS to DEL), delbs (DEL to BS). Each byte is mapped
// once, by the first rule of the list that names it.
class ByteMap {
public:
    // A comma-separated list; false with the unknown name in error.
    static bool Parse(const std::string& list, ByteMap& map, std::string& error);
    static const char* Names();

    bool Empty() const { return m_rules.empty(); }
    std::string Apply(const char* data, std::size_t length) const;

private:
    struct Rule {
        char from;
        const char* to;  // what replaces it, "" to drop it
    };
    std::vector<Rule> m_rules;
};

enum class StampStyle { None, Iso, Delta };

// "iso", "delta" (and "" for the default, iso); false otherwise.
bool ParseStampStyle(const std::string& text, StampStyle& style);

// "2026-12-09 16:05:03.123 " or "+0.250 " (the time since the previous
// line's stamp; the first line shows +0.000).
std::string FormatStamp(StampStyle style, const ClockReading& now, const ClockReading& previous);

struct DisplayOptions {
    StampStyle stamps = StampStyle::None;
    bool hex = false;
};

// Turns received bytes into what is shown. A line starts at the first byte
// and after every LF; its stamp is taken when its first byte arrives (a CR
// does not end a line: CR LF is one ending, wherever the blocks split it).
//
// In hex each row shows 16 bytes as hexdump -C does: the offset of its first
// byte in the whole session, the bytes, the printable text. A row that is
// not full is held until more bytes complete it or Flush shows it as it is
// (the host flushes at the end and after a quiet moment); the next row then
// goes on from the offset reached, so offsets always count the bytes.
// With stamps each row is a line: its stamp is the arrival of its first byte.
class ReceiveDisplay {
public:
    ReceiveDisplay(DisplayOptions options, Clock clock);

    std::string Show(const char* data, std::size_t length);
    // The held partial hex row, or nothing.
    std::string Flush();
    bool HoldsRow() const { return !m_row.empty(); }

private:
    std::string Stamp();
    std::string HexRow() const;

    DisplayOptions m_options;
    Clock m_clock;
    bool m_lineStart = true;
    bool m_stamped = false;  // a previous stamp exists, for delta
    ClockReading m_previous;
    std::uint64_t m_offset = 0;  // of the held row's first byte
    std::string m_row;
    std::string m_rowStamp;
};

}  // namespace tavrin::tool
