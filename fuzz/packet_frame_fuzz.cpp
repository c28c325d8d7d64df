// Fuzz target: arbitrary received blocks for a device in packet mode. The
// device keeps its packet state from input to input, as a line would, and
// answers with whatever the input's first byte says.
#include <tavrin/Tavrin.h>

#include <cstdlib>
#include <string>

namespace {

class PacketSink : public CDevice {
public:
    BOOL Write(BYTE* pBuffer, DWORD dwLength) override
    {
        if (dwLength > 0 && !pBuffer)
            std::abort();
        written += dwLength;
        return TRUE;
    }
    void Feed(BYTE* data, DWORD size) { DataDone(data, size); }
    size_t written = 0;
};

PacketSink& Device()
{
    static PacketSink* device = [] {
        auto* d = new PacketSink;
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
    PacketSink& device = Device();
    // The first byte picks the mode: packet mode with or without polling,
    // or plain data.
    const DWORD modes[4] = {MODE_PACKET, MODE_PACKET | MODE_PACKET_POLL, 0, MODE_PACKET};
    device.ChangeMode(modes[data[0] & 3]);
    std::string block(reinterpret_cast<const char*>(data) + 1, size - 1);
    device.Feed(reinterpret_cast<BYTE*>(block.data()), static_cast<DWORD>(block.size()));
    return 0;
}
