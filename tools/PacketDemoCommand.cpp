// tavrin packet-demo: two devices joined by an in-process null-modem cable
// exchange packets.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "Host.h"
#include "NullModem.h"

namespace tavrin::tool {

namespace {

// B opens with ENQ and a frame; A answers ENQ and sends its packets, which B
// acknowledges; when A has nothing more it cancels, and B hears of it.
int RunPacketDemo()
{
    Host host(stdout);
    const auto tap = [](const NullModemDevice& from, const NullModemDevice& to, const BYTE* pData, DWORD dwLength) {
        PrintLine(stdout, "  " + from.Name() + " -> " + to.Name() + ": " +
                                            Readable(pData, dwLength, true));
    };
    NullModemDevice a("A", tap), b("B", tap);
    a.Join(b);
    const int numberA = host.Attach(a, "A");
    host.Attach(b, "B");
    const std::vector<std::string> outgoing = {"packet 1", "packet 2 with \x03 and \x18 escaped", "packet 3"};
    size_t next = 0;
    bool finished = false;
    host.SetResponder([&](int device, int index, WPARAM wParam, LPARAM lParam) -> LRESULT {
        const bool isA = device == numberA;
        switch (index) {
        case DEVMSG_PACKET:
            return isA ? PACKET_ENQ : PACKET_ACK;
        case DEVMSG_PACKET_REQUEST: {
            if (!isA || next == outgoing.size())
                return 0;
            const std::string& payload = outgoing[next++];
            return static_cast<LRESULT>(EscapePacketPayload(reinterpret_cast<const BYTE*>(payload.data()),
                                                            static_cast<DWORD>(payload.size()),
                                                            reinterpret_cast<BYTE*>(lParam),
                                                            static_cast<DWORD>(wParam)));
        }
        case DEVMSG_PACKET_CANCEL:
            if (!isA) {
                finished = true;
                PostMessageA(host.Window(), kHostDone, 0, 0);
            }
            return 0;
        default:
            return 0;
        }
    });
    if (!a.Connect() || !b.Connect() || !a.IsConnected() || !b.IsConnected()) {
        std::fprintf(stderr, "tavrin: the devices did not start\n");
        return 1;
    }
    a.ChangeMode(MODE_PACKET);
    b.ChangeMode(MODE_PACKET);

    BYTE frame[PACKET_MAX_FRAME + 1];
    frame[0] = PACKET_ENQ;
    const char hello[] = "hello from B";
    const DWORD length = BuildPacketFrame(reinterpret_cast<const BYTE*>(hello), sizeof hello - 1, frame + 1,
                                          PACKET_MAX_FRAME);
    std::printf("B's host opens the exchange with ENQ and a frame\n");
    b.Write(frame, length + 1);
    // A stuck exchange ends the demo instead of hanging it.
    host.RunUntilDone(10000);
    // A writes its CAN before it leaves packet mode; once its workers have
    // stopped, the mode is settled.
    a.Disconnect();
    b.Disconnect();
    const DWORD modeA = a.Mode(), modeB = b.Mode();
    std::printf("%s; %d notifications; receive modes afterwards A=%lu B=%lu\n",
                finished ? "link cancelled by A" : "timed out", host.Notifications(),
                static_cast<unsigned long>(modeA), static_cast<unsigned long>(modeB));
    return finished ? 0 : 1;
}

}  // namespace

void AddPacketDemoCommand(CommandLine& line, int& status)
{
    Command command = line.Add(
        "packet-demo", "two devices on an in-process null-modem cable exchange packets");
    command.OnRun([&status] { status = RunPacketDemo(); });
}

}  // namespace tavrin::tool
