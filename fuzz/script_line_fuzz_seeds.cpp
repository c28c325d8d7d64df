// Seeds of the script-line target: one script line each. String views, so
// that a seed may hold 0x00.
#include <cstddef>
#include <string_view>

using namespace std::string_view_literals;

extern const std::string_view kSeeds[] = {
    "AT"sv,
    "ATZ^13@5#OK#"sv,
    "ATDT555^13@60#CONNECT#@10#^13#"sv,
    "%1>Number#"sv,
    "%-12X"sv,
    "\\\\\\@\\m\\["sv,
    "^1234^300^x"sv,
    "@@@###"sv,
    "@4294967#x#@4294967#y#"sv,
    "%99999999999999999999999X"sv,
    "AT\r\nATZ\r\n"sv,
    "`A`"sv,
    "A\x00" "B^\x00\\\x00%\x00@\x00#\xff"sv,
    "\\"sv,
    "%"sv,
    "@"sv,
    "^"sv,
    "%1"sv,
    "@1#"sv,
    "@1#x#@"sv,
};
extern const size_t kSeedCount = sizeof(kSeeds) / sizeof(kSeeds[0]);
