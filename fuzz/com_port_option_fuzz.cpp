// Fuzz target: the Telnet reader of the remote serial port (RFC 2217). The
// first byte picks where the input is cut into blocks; the reader must give
// the same data and events whatever the cuts, and escaping data then
// reading it back must give the data unchanged.
#include <cstdlib>
#include <string>
#include <vector>

#include "../net/ComPortOption.h"

using namespace tavrin::rfc2217;

namespace {

bool Same(const std::vector<TelnetEvent>& a, const std::vector<TelnetEvent>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].kind != b[i].kind || a[i].verb != b[i].verb || a[i].option != b[i].option ||
            a[i].payload != b[i].payload)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    if (size == 0)
        return 0;
    const unsigned step = data[0] % 7 + 1;
    ++data;
    --size;
    TelnetReader whole, pieces;
    std::string wholeData, piecesData;
    std::vector<TelnetEvent> wholeEvents, piecesEvents;
    whole.Feed(data, size, wholeData, wholeEvents);
    for (size_t at = 0; at < size; at += step)
        pieces.Feed(data + at, std::min<size_t>(step, size - at), piecesData, piecesEvents);
    if (wholeData != piecesData || !Same(wholeEvents, piecesEvents))
        std::abort();
    for (const TelnetEvent& event : wholeEvents)
        if (event.payload.size() > TelnetReader::kMaxPayload)
            std::abort();
    // Data escaped and read back is the data, with no event.
    const std::string escaped = Escape(data, size);
    TelnetReader back;
    std::string backData;
    std::vector<TelnetEvent> backEvents;
    back.Feed(reinterpret_cast<const BYTE*>(escaped.data()), escaped.size(), backData, backEvents);
    if (backData != std::string(reinterpret_cast<const char*>(data), size) || !backEvents.empty())
        std::abort();
    return 0;
}
