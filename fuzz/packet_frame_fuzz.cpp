// Fuzz target for the packet-link worker, in two steps per input.
//
// Byte 0 of the input is a control byte; the rest, R, is data.
//   bits 0-1  the mode for step 1: packet, packet with polling, off, packet
//   bits 2-3  the host's answer to DEVMSG_PACKET in step 1: ACK, ENQ, NAK, CAN
//   bit  4    in step 1 the host has a packet to send: R itself, claimed
//             at its full length (more than 4096 bytes must be held to 4096)
//   bits 5-7  step 2 cuts its frame into 1 + this many blocks
//
// 1. R arrives as one received block. The device keeps its packet state from
//    input to input, as a line would. Checked: every notification stays
//    within what the host can be given.
// 2. The worker is brought back to idle (a delivery while packet mode is
//    off), packet mode goes on, and the first 2048 bytes of R are escaped
//    and framed with the library's own helpers (engine/Packet.h) and
//    received in pieces. Checked: the host gets exactly one DEVMSG_PACKET,
//    holding exactly those bytes, no data, and the device writes its answer.
// Any failed check aborts.
#include <tavrin/Tavrin.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "SinkDevice.h"

namespace {

constexpr UINT kMessageBase = WM_APP + 0x100;  // message number of notification i: kMessageBase + i
constexpr BYTE kCheckAnswer = PACKET_NAK;       // written as it is, and the worker goes idle

// The host: a window on the thread that feeds the blocks. The worker's
// notifications reach it while DataDone waits for the workers.
struct Host {
    BYTE answer = PACKET_ACK;
    const std::string* toSend = nullptr;  // the packet to give on a request, or none
    std::vector<std::string> packets;
    size_t dataBytes = 0;
    size_t dataNotices = 0;
    size_t blockSize = 0;  // of the block being received

    void Reset(BYTE hostAnswer, const std::string* packet, size_t size)
    {
        answer = hostAnswer;
        toSend = packet;
        packets.clear();
        dataBytes = 0;
        dataNotices = 0;
        blockSize = size;
    }
};

Host g_host;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "packet_frame_fuzz: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

LRESULT HostProcedure(HWND, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (static_cast<int>(message - kMessageBase)) {
    case DEVMSG_PACKET:
        if (wParam > PACKET_MAX_PAYLOAD || (wParam > 0 && lParam == 0))
            Fail("DEVMSG_PACKET outside its buffer");
        g_host.packets.emplace_back(reinterpret_cast<const char*>(lParam), wParam);
        return g_host.answer;
    case DEVMSG_PACKET_REQUEST: {
        if (wParam != PACKET_MAX_PAYLOAD || lParam == 0)
            Fail("DEVMSG_PACKET_REQUEST without its 4096-byte buffer");
        if (!g_host.toSend)
            return 0;
        const std::string& packet = *g_host.toSend;
        const size_t fits = packet.size() < PACKET_MAX_PAYLOAD ? packet.size() : PACKET_MAX_PAYLOAD;
        packet.copy(reinterpret_cast<char*>(lParam), fits);
        return static_cast<LRESULT>(packet.size());
    }
    case DEVMSG_DATA:
        if (wParam == 0 || lParam == 0)
            Fail("DEVMSG_DATA without data");
        g_host.dataBytes += wParam;
        ++g_host.dataNotices;
        if (g_host.dataBytes > g_host.blockSize)
            Fail("more data than the block holds");
        return 0;
    default:
        return 0;
    }
}

tavrin::fuzz::SinkDevice& Device()
{
    static tavrin::fuzz::SinkDevice* device = [] {
        auto* d = new tavrin::fuzz::SinkDevice;
        d->keepBytes = true;
        d->EnableNotify(CreateMessageWindow(HostProcedure));
        for (int i = 0; i < DEVMSG_COUNT; ++i)
            d->SetMessage(i, kMessageBase + static_cast<UINT>(i));
        d->Connect();
        return d;
    }();
    return *device;
}

void Receive(tavrin::fuzz::SinkDevice& device, const std::string& bytes)
{
    std::string block = bytes;
    device.Feed(reinterpret_cast<BYTE*>(block.data()), static_cast<DWORD>(block.size()));
}

// The payload escaped and framed by the library's helpers.
std::string HelperFrame(const std::string& payload)
{
    std::vector<BYTE> wire(2 * payload.size() + 1);
    const DWORD length = EscapePacketPayload(reinterpret_cast<const BYTE*>(payload.data()),
                                             static_cast<DWORD>(payload.size()), wire.data(),
                                             static_cast<DWORD>(wire.size()));
    if (length == 0 && !payload.empty())
        Fail("EscapePacketPayload: no room in twice the length");
    std::vector<BYTE> frame(PACKET_MAX_FRAME);
    const DWORD size = BuildPacketFrame(wire.data(), length, frame.data(), PACKET_MAX_FRAME);
    if (size == 0)
        Fail("BuildPacketFrame refused an escaped payload of at most 4096 bytes");
    return std::string(reinterpret_cast<const char*>(frame.data()), size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    if (size == 0)
        return 0;
    tavrin::fuzz::SinkDevice& device = Device();
    const BYTE control = data[0];
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);

    // Step 1: the input as a received block.
    const DWORD modes[4] = {MODE_PACKET, MODE_PACKET | MODE_PACKET_POLL, 0, MODE_PACKET};
    const BYTE answers[4] = {PACKET_ACK, PACKET_ENQ, PACKET_NAK, PACKET_CAN};
    g_host.Reset(answers[(control >> 2) & 3], (control & 0x10) ? &rest : nullptr, rest.size());
    device.ChangeMode(modes[control & 3]);
    Receive(device, rest);

    // Step 2: back to idle, then the helpers' frame of the input.
    device.ChangeMode(0);
    Receive(device, std::string(1, static_cast<char>(PACKET_SOH)));
    device.ChangeMode(MODE_PACKET);
    const std::string payload = rest.substr(0, PACKET_MAX_PAYLOAD / 2);
    const std::string frame = HelperFrame(payload);
    g_host.Reset(kCheckAnswer, nullptr, frame.size());
    device.TakeBytes();
    const size_t pieces = 1 + (control >> 5);
    size_t at = 0;
    unsigned cutter = static_cast<unsigned>(size) * 2654435761u + control;
    for (size_t piece = 1; piece <= pieces && at < frame.size(); ++piece) {
        size_t next = frame.size();
        if (piece < pieces) {
            cutter = cutter * 1103515245u + 12345u;
            next = at + 1 + (cutter >> 8) % (frame.size() - at);
            if (next > frame.size())
                next = frame.size();
        }
        Receive(device, frame.substr(at, next - at));
        at = next;
    }
    if (g_host.packets.size() != 1)
        Fail("a helper-built frame did not give exactly one DEVMSG_PACKET");
    if (g_host.packets[0] != payload)
        Fail("a helper-built frame decoded to other bytes than its payload");
    if (g_host.dataNotices != 0)
        Fail("part of a helper-built frame reached the host as data");
    // The host's answer, and nothing else but the ACKs a poll tick may have
    // written meanwhile.
    std::string written = device.TakeBytes();
    std::string answered;
    for (char c : written)
        if (static_cast<BYTE>(c) != PACKET_ACK)
            answered += c;
    if (answered != std::string(1, static_cast<char>(kCheckAnswer)))
        Fail("the device did not write the host's answer to the helper-built frame");
    return 0;
}
