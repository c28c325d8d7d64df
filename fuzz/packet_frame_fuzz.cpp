// Fuzz target: arbitrary received blocks for a device whose packet link is
// on (with or without polling) or off, as the input's first byte says. The
// device keeps its packet state from input to input, as a line would; with
// no host window every packet is answered with 0x00 and every request with
// nothing to send.
#include <tavrin/Tavrin.h>

#include <string>

#include "SinkDevice.h"

namespace {

tavrin::fuzz::SinkDevice& Device()
{
    static tavrin::fuzz::SinkDevice* device = [] {
        auto* d = new tavrin::fuzz::SinkDevice;
        d->Connect();
        return d;
    }();
    return *device;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    if (size == 0)
        return 0;
    tavrin::fuzz::SinkDevice& device = Device();
    // The first byte picks the mode: packet mode with or without polling,
    // or plain data.
    const DWORD modes[4] = {MODE_PACKET, MODE_PACKET | MODE_PACKET_POLL, 0, MODE_PACKET};
    device.ChangeMode(modes[data[0] & 3]);
    std::string block(reinterpret_cast<const char*>(data) + 1, size - 1);
    device.Feed(reinterpret_cast<BYTE*>(block.data()), static_cast<DWORD>(block.size()));
    return 0;
}
