// What `tavrin term` shows for fixed input and a fixed clock: stamps at line
// starts however the blocks split the lines, hex rows whose offsets run on
// across blocks and partial rows, the line-end maps, and the serial line's
// reports as notices.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "LineControl.h"
#include "TermDisplay.h"

namespace {

using tavrin::tool::ByteMap;
using tavrin::tool::ClockReading;
using tavrin::tool::DisplayOptions;
using tavrin::tool::ReceiveDisplay;
using tavrin::tool::StampStyle;

// 2026-12-09 16:05:03.123 as a local-clock count.
constexpr std::int64_t kStart = 1796832303123;
// Shows each block in turn; a block "<flush>" flushes instead, as the host
// does after a quiet moment.
const char* const kFlush = "<flush>";

struct DisplayCase {
    const char* name;
    DisplayOptions options;
    std::int64_t stepMs;  // how far the clock moves at each reading
    std::vector<std::string> blocks;
    std::string expected;
};

std::string Row0 = "00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n";

const DisplayCase kDisplayCases[] = {
    {"plain passes bytes unchanged", {}, 0, {"a\r\n", std::string("\x00\xff", 2)}, std::string("a\r\n\x00\xff", 5)},
    {"iso stamp at each line start",
     {StampStyle::Iso, false},
     250,
     {"ab\r\ncd\n"},
     "2026-12-09 16:05:03.123 ab\r\n2026-12-09 16:05:03.373 cd\n"},
    {"CR LF split across blocks is one ending",
     {StampStyle::Iso, false},
     250,
     {"ab\r", "\n", "cd\n"},
     "2026-12-09 16:05:03.123 ab\r\n2026-12-09 16:05:03.373 cd\n"},
    {"a lone CR does not start a line", {StampStyle::Iso, false}, 250, {"1\r2\r", "3"}, "2026-12-09 16:05:03.123 1\r2\r3"},
    {"the next line is stamped when its first byte arrives",
     {StampStyle::Iso, false},
     1000,
     {"x\n", "", "y"},
     "2026-12-09 16:05:03.123 x\n2026-12-09 16:05:04.123 y"},
    {"delta stamps the time since the previous line",
     {StampStyle::Delta, false},
     1250,
     {"a\n", "b\nc"},
     "+0.000 a\n+1.250 b\n+1.250 c"},
    {"hex rows of 16, the rest held until flushed",
     {StampStyle::None, true},
     0,
     {"0123456789", "abcdefXYZW", kFlush},
     Row0 + "00000010  58 59 5a 57                                       |XYZW|\n"},
    {"hex offsets run on after a partial row",
     {StampStyle::None, true},
     0,
     {"abc", kFlush, "de", kFlush, kFlush},
     "00000000  61 62 63                                          |abc|\n"
     "00000003  64 65                                             |de|\n"},
    {"hex shows unprintable bytes as dots",
     {StampStyle::None, true},
     0,
     {std::string("\x00\xff\n", 3), kFlush},
     "00000000  00 ff 0a                                          |...|\n"},
    {"hex rows stamped by their first byte",
     {StampStyle::Delta, true},
     500,
     {"0123456789abcdef", "Z", kFlush},
     "+0.000 " + Row0 + "+0.500 00000010  5a                                                |Z|\n"},
};

void PrintTo(const DisplayCase& c, std::ostream* out)
{
    *out << c.name;
}

class TermDisplayTable : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(TermDisplayTable, ShowsExactly)
{
    const DisplayCase& c = GetParam();
    std::int64_t now = kStart;
    ReceiveDisplay display(c.options, [&] {
        const ClockReading reading{now, now};
        now += c.stepMs;
        return reading;
    });
    std::string shown;
    for (const std::string& block : c.blocks)
        shown += block == kFlush ? display.Flush() : display.Show(block.data(), block.size());
    EXPECT_EQ(shown, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, TermDisplayTable, ::testing::ValuesIn(kDisplayCases),
                         [](const auto& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

TEST(TermMaps, MapsByPicocomNamesFirstRuleWins)
{
    struct Case {
        const char* list;
        std::string in, out;
    } const cases[] = {
        {"crlf", "a\r\nb\r", "a\n\nb\n"},   {"crcrlf", "a\rb", "a\r\nb"},    {"igncr", "a\r\n", "a\n"},
        {"lfcr", "a\nb", "a\rb"},           {"lfcrlf", "a\nb\r", "a\r\nb\r"}, {"ignlf", "a\r\n", "a\r"},
        {"bsdel", "a\b", "a\x7f"},          {"delbs", "a\x7f", "a\b"},       {"crlf,igncr", "\r", "\n"},
        {"igncr,lfcrlf", "x\r\n", "x\r\n"},
    };
    for (const Case& c : cases) {
        ByteMap map;
        std::string error;
        ASSERT_TRUE(ByteMap::Parse(c.list, map, error)) << c.list << ": " << error;
        EXPECT_EQ(map.Apply(c.in.data(), c.in.size()), c.out) << c.list;
    }
    for (const char* bad : {"crlff", "", "crlf,"}) {
        ByteMap map;
        std::string error;
        EXPECT_FALSE(ByteMap::Parse(bad, map, error)) << bad;
        EXPECT_NE(error.find("crcrlf"), std::string::npos) << error;
    }
}

TEST(TermLineReports, StatusChangesAndBreaksBecomeNotices)
{
    struct Case {
        const char* text;
        DWORD code;
        std::optional<std::string> notice;
    } const cases[] = {
        {"ChangeStatus", (MS_CTS_ON << 16) | MS_DSR_ON, "CTS off"},
        {"ChangeStatus", ((MS_RLSD_ON | MS_RING_ON | MS_DSR_ON) << 16) | MS_RLSD_ON, "DSR off, DCD on, RI off"},
        {"The hardware detected a break condition", MS_CTS_ON, "break received"},
        {"CTS", MS_CTS_ON, ""},
        {"Ring", MS_RING_ON, ""},
        {"A framing error", 0, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(tavrin::tool::DescribeLineReport(c.text, c.code), c.notice) << c.text;
    EXPECT_EQ(tavrin::tool::DescribeModemStatus(MS_CTS_ON | MS_RING_ON), "CTS on, DSR off, DCD off, RI on");
}

}  // namespace
