#include <cstddef>

// The first byte of each seed selects the mode (see the target).
extern const char* const kSeeds[] = {
    "0\x01" "2\x02" "AB\x03" "131\x04",
    "0\x05\x01" "2\x02" "\x07\xc1\x03" "200\x04",
    "0\x01" "4097\x02",
    "0\x01" "5\x02" "AB\x03" "131\x04",
    "2xy\x01" "5\x18z",
    "0" "ab\x18" "cd",
    "1\x06\x06\x15\x18",
    "0\x01" "99999999999999\x02",
    "0\x01" "1\x02" "A\x03" "99999999999999999\x04",
};
extern const size_t kSeedCount = sizeof(kSeeds) / sizeof(kSeeds[0]);
