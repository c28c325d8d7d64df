#include "TermDisplay.h"

#include <cstdio>
#include <cstring>

namespace tavrin::tool {

namespace {

struct MapName {
    const char* name;
    char from;
    const char* to;
};

constexpr MapName kMaps[] = {
    {"crlf", '\r', "\n"},   {"crcrlf", '\r', "\r\n"}, {"igncr", '\r', ""},    {"lfcr", '\n', "\r"},
    {"lfcrlf", '\n', "\r\n"}, {"ignlf", '\n', ""},   {"bsdel", '\b', "\x7f"}, {"delbs", '\x7f', "\b"},
};

constexpr std::size_t kRowBytes = 16;

// Days since 1970-01-01 to a civil date (Howard Hinnant's algorithm): the
// stamp is formatted from the count alone, whatever the system's calendar
// functions would make of it.
void CivilFromDays(std::int64_t days, int& year, unsigned& month, unsigned& day)
{
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(yoe + era * 400) + (month <= 2 ? 1 : 0);
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b)
{
    return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

}  // namespace

bool ByteMap::Parse(const std::string& list, ByteMap& map, std::string& error)
{
    map.m_rules.clear();
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t comma = list.find(',', start);
        const std::string name = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        bool known = false;
        for (const MapName& m : kMaps) {
            if (name == m.name) {
                map.m_rules.push_back(Rule{m.from, m.to});
                known = true;
            }
        }
        if (!known) {
            error = "unknown map '" + name + "' (known: " + Names() + ")";
            return false;
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return true;
}

const char* ByteMap::Names()
{
    return "crlf, crcrlf, igncr, lfcr, lfcrlf, ignlf, bsdel, delbs";
}

std::string ByteMap::Apply(const char* data, std::size_t length) const
{
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        const Rule* rule = nullptr;
        for (const Rule& r : m_rules) {
            if (r.from == data[i]) {
                rule = &r;
                break;
            }
        }
        if (rule)
            out += rule->to;
        else
            out += data[i];
    }
    return out;
}

bool ParseStampStyle(const std::string& text, StampStyle& style)
{
    if (text.empty() || text == "iso")
        style = StampStyle::Iso;
    else if (text == "delta")
        style = StampStyle::Delta;
    else
        return false;
    return true;
}

std::string FormatStamp(StampStyle style, const ClockReading& now, const ClockReading& previous)
{
    char text[64];
    if (style == StampStyle::Delta) {
        const std::int64_t ms = now.steadyMs - previous.steadyMs;
        std::snprintf(text, sizeof text, "+%lld.%03lld ", static_cast<long long>(ms / 1000),
                      static_cast<long long>(ms % 1000));
        return text;
    }
    const std::int64_t days = FloorDiv(now.localMs, 86400000);
    const std::int64_t inDay = now.localMs - days * 86400000;
    int year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days, year, month, day);
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d.%03d ", year, month, day,
                  static_cast<int>(inDay / 3600000), static_cast<int>(inDay / 60000 % 60),
                  static_cast<int>(inDay / 1000 % 60), static_cast<int>(inDay % 1000));
    return text;
}

ReceiveDisplay::ReceiveDisplay(DisplayOptions options, Clock clock) : m_options(options), m_clock(std::move(clock))
{
}

std::string ReceiveDisplay::Stamp()
{
    if (m_options.stamps == StampStyle::None)
        return {};
    const ClockReading now = m_clock();
    const std::string text = FormatStamp(m_options.stamps, now, m_stamped ? m_previous : now);
    m_previous = now;
    m_stamped = true;
    return text;
}

std::string ReceiveDisplay::Show(const char* data, std::size_t length)
{
    std::string out;
    if (!m_options.hex) {
        if (m_options.stamps == StampStyle::None)
            return std::string(data, length);
        for (std::size_t i = 0; i < length; ++i) {
            if (m_lineStart)
                out += Stamp();
            m_lineStart = data[i] == '\n';
            out += data[i];
        }
        return out;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (m_row.empty())
            m_rowStamp = Stamp();
        m_row += data[i];
        if (m_row.size() == kRowBytes)
            out += Flush();
    }
    return out;
}

std::string ReceiveDisplay::Flush()
{
    if (m_row.empty())
        return {};
    std::string out = m_rowStamp + HexRow();
    m_offset += m_row.size();
    m_row.clear();
    m_rowStamp.clear();
    return out;
}

std::string ReceiveDisplay::HexRow() const
{
    char text[16];
    std::snprintf(text, sizeof text, "%08llx  ", static_cast<unsigned long long>(m_offset));
    std::string out = text;
    for (std::size_t i = 0; i < kRowBytes; ++i) {
        if (i < m_row.size()) {
            std::snprintf(text, sizeof text, "%02x ", static_cast<unsigned char>(m_row[i]));
            out += text;
        } else {
            out += "   ";
        }
        if (i == 7)
            out += ' ';
    }
    out += " |";
    for (char c : m_row)
        out += (c >= 0x20 && c < 0x7f) ? c : '.';
    out += "|\n";
    return out;
}

}  // namespace tavrin::tool
