// Fuzz target: the Telnet refusal over a block of arbitrary received bytes.
// Checks that it stays within the block, only ever shortens it, refuses
// only what a DO or a WILL in the block asked for, and leaves a block with
// no IAC byte untouched.
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "../net/Telnet.h"

using namespace tavrin::detail;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    if (size > 1024)
        size = 1024;   // the device never reads more at once
    std::vector<BYTE> block(data, data + size);
    std::vector<std::pair<BYTE, BYTE>> refused;
    const DWORD length = StripTelnetCommands(block.data(), static_cast<DWORD>(block.size()),
                                             [&](BYTE command, BYTE option) { refused.emplace_back(command, option); });
    if (length > size)
        std::abort();
    // Each refusal stands for three bytes taken out.
    if (refused.size() * 3 > size - length)
        std::abort();
    for (const auto& [command, option] : refused) {
        if (command != TELNET_DO && command != TELNET_WILL)
            std::abort();
        bool asked = false;
        for (size_t i = 0; i + 2 < size && !asked; ++i)
            asked = data[i] == TELNET_IAC && data[i + 1] == command && data[i + 2] == option;
        if (!asked)
            std::abort();
    }
    if (std::memchr(data, TELNET_IAC, size) == nullptr &&
        (length != size || (size != 0 && std::memcmp(block.data(), data, size) != 0)))
        std::abort();
    return 0;
}
