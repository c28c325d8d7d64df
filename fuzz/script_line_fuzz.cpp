// Fuzz target: one script line of arbitrary bytes written to a device that
// records what it is given. Checks that the writer stays within the line
// and that what it reports is consistent.
#include <tavrin/Tavrin.h>

#include <cstdlib>
#include <string>

#include "SinkDevice.h"

using tavrin::fuzz::SinkDevice;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    std::string line(reinterpret_cast<const char*>(data), size);
    // A tilde sleeps half a second; it is parsed like any other escape.
    for (char& c : line)
        if (c == '~')
            c = '`';
    SinkDevice device;
    device.alwaysConnected = true;
    CString expected, repeat;
    int step = 0, wait = 0;
    ExecuteScriptLine(CString(line.data(), static_cast<int>(line.size())), &device, &expected, &repeat, &step, &wait);
    // Every written byte comes from at most one character of the line, except
    // the host's value texts, which a sink without a window never changes.
    if (device.written + device.breaks > size)
        std::abort();
    if (expected.GetLength() > static_cast<int>(size) || repeat.GetLength() > static_cast<int>(size))
        std::abort();
    return 0;
}
