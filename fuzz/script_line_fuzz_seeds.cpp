#include <cstddef>

extern const char* const kSeeds[] = {
    "AT",
    "ATZ^13@5#OK#",
    "ATDT555^13@60#CONNECT#@10#^13#",
    "%1>Number#",
    "%-12X",
    "\\\\\\@\\m\\[",
    "^1234^300^x",
    "@@@###",
    "@4294967#x#@4294967#y#",
    "%99999999999999999999999X",
    "AT\r\nATZ\r\n",
    "`A`",
};
extern const size_t kSeedCount = sizeof(kSeeds) / sizeof(kSeeds[0]);
