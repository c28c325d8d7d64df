// Seeds of the RFC 2217 reader target: a cut width, then what servers send.
#include <cstddef>
#include <string_view>

using namespace std::string_view_literals;

extern const std::string_view kSeeds[] = {
    "\x01\xFF\xFB\x2C\xFF\xFD\x2C"sv,
    "\x02\xFF\xFA\x2C\x65\x00\x00\x25\x80\xFF\xF0"sv,
    "\x03" "data\xFF\xFF" "more\xFF\xFA\x2C\x6B\xB0\xFF\xF0"sv,
    "\x04\xFF\xFA\x2C\x6A\xFF\xFF\xFF\xF0\xFF\xF3"sv,
    "\x05\xFF\xFA\x2C\x6C\x03\xFF\xF0\xFF\xFB\x00\xFF\xFD\x03"sv,
    "\x06\xFF\xFA\xFF\xF0\xFF"sv,
    "\x00"sv,
};
extern const size_t kSeedCount = sizeof(kSeeds) / sizeof(kSeeds[0]);
