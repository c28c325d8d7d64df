// Seeds of the Telnet refusal target: blocks as Telnet servers send them.
#include <cstddef>
#include <string_view>

using namespace std::string_view_literals;

extern const std::string_view kSeeds[] = {
    "\xFF\xFD\x18" "A"sv,
    "\xFF\xFB\x01" "A"sv,
    "A\xFF\xFD"sv,
    "\xFF\xFF\xFF\xFF\xFF"sv,
    "\xFF\xFB\x25\xFF\xFB\x26\xFF\xFD\x18\xFF\xFD\x20\xFF\xFD\x23\xFF\xFD\x27\xFF\xFD\x24"sv,
    "\xFF\xFD\x01\xFF\xFD\x1F\xFF\xFB\x01\xFF\xFB\x03login: "sv,
    "\xFF\xFA\x18\x01\xFF\xF0"sv,
    "text\xFF\xF9more\xFF"sv,
    "\x00\xFF\x00\xFF\xFD\x00"sv,
    ""sv,
};
extern const size_t kSeedCount = sizeof(kSeeds) / sizeof(kSeeds[0]);
