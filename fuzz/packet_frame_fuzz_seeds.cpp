// Seeds of the packet target. The first byte is the target's control byte
// (bits 0-1 the mode, 2-3 the host's answer, 4 whether it has a packet to
// send, 5-7 how the checked frame is cut); the rest is the received block.
// String views, so that a seed may hold 0x00.
#include <cstddef>
#include <string_view>

using namespace std::string_view_literals;

extern const std::string_view kSeeds[] = {
    "\x00\x01" "2\x02" "AB\x03" "131\x04"sv,                    // a good frame, answered ACK
    "\x04\x05\x01" "2\x02" "\x07\xc1\x03" "200\x04"sv,          // ENQ, escaped frame, answered ENQ
    "\x14\x01" "2\x02" "AB\x03" "131\x04"sv,                    // answered ENQ, the host sends a packet
    "\x08\x01" "2\x02" "AB\x03" "131\x04\x01" "1\x02" "C\x03" "67\x04"sv,  // answered NAK, then another
    "\x0c\x01" "3\x02" "abc\x03" "294\x04" "after"sv,           // answered CAN: the rest is dropped
    "\x00\x01" "4097\x02"sv,                                    // too long
    "\x00\x01" "5\x02" "AB\x03" "131\x04"sv,                    // ETX before the count
    "\x00\x01" "2\x02" "AB\x03" "130\x04"sv,                    // wrong sum
    "\x02" "xy\x01" "5\x18z"sv,                                 // packet mode off
    "\x00" "ab\x18" "cd\x19" "ef"sv,                            // cancel bytes in idle state
    "\x01\x06\x06\x15\x18"sv,                                   // polling, answers out of place
    "\x00\x05\x18"sv,                                           // ENQ then CAN: the link ends
    "\x00\x01" "99999999999999\x02"sv,                          // a length that wraps
    "\x00\x01" "1\x02" "A\x03" "99999999999999999\x04"sv,       // a sum that wraps
    "\xe0\x00\x03\x07\x18\x19\xff\x80\x87\x83\x98\x99"sv,       // every escaped byte, cut in eight
    "\x00\x01" "0\x02\x03" "0\x04"sv,                           // an empty payload
    "\x00\x01" "1\x02\x07\x03" "7\x04"sv,                       // a BEL in the last place stays
};
extern const size_t kSeedCount = sizeof(kSeeds) / sizeof(kSeeds[0]);
