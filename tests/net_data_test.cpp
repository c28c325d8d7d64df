// The data side of a network device: reads capped at 1024 bytes, the Telnet
// refusal (commands cut by a block's end, and its answers sent while a
// write waits for the peer) and its linked-device exception, socket error
// texts from a real reset and none from a write during Disconnect, breaks as
// zero bytes, and datagrams answered to their senders.
#include <gtest/gtest.h>

#include <tavrin/Tavrin.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "support/SocketPeer.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;

namespace {

// A client device with its server end.
struct Connected {
    template <class Lan>
    bool Open(Lan& lan)
    {
        listener = ListenLoopback(port);
        window.Attach(lan);
        if (!lan.Connect("127.0.0.1", port))
            return false;
        server = AcceptWithin(listener);
        return server.Valid() && window.WaitForIndex(DEVMSG_CONNECTED, 1);
    }
    std::uint16_t port = 0;
    Fd listener;
    Fd server;
    WindowThread window;
};

// Asks the inherited Read for more than it may give, as a careless caller
// would; the watch thread's buffer holds 1024 bytes.
class GreedyReader : public CLan {
public:
    BOOL Read(BYTE* pBuffer, DWORD& dwSize) override
    {
        DWORD asked = 5000;
        const BOOL result = CLan::Read(pBuffer, asked);
        largest = std::max<DWORD>(largest, asked);
        dwSize = asked;
        return result;
    }
    std::atomic<DWORD> largest{0};
};

TEST(LanData, ReadGivesAtMost1024Bytes)
{
    GreedyReader lan;
    Connected link;
    ASSERT_TRUE(link.Open(lan));
    // Whole blocks: a read that asks for more than is pending waits for it.
    const std::string bytes(5 * 1024, 'r');
    ASSERT_TRUE(SendAll(link.server, bytes));
    ASSERT_TRUE(link.window.WaitForData(bytes.size()));
    EXPECT_EQ(link.window.DataBytes(), bytes);
    EXPECT_EQ(lan.largest.load(), 1024u);
    for (const Notice& notice : link.window.NoticesOf(DEVMSG_DATA))
        EXPECT_LE(notice.wParam, 1024u);
    lan.Disconnect();
}

TEST(LanData, ReadOnADeviceThatIsNotConnectedAnswersFalse)
{
    CLan lan;
    BYTE buffer[16];
    DWORD size = sizeof buffer;
    EXPECT_FALSE(lan.Read(buffer, size));
}

struct TelnetCase {
    std::string arriving;
    std::string delivered;
    std::string answered;
};

TEST(LanData, TelnetRefusalStripsCommandsAndRefusesEveryDoAndWill)
{
    const std::vector<TelnetCase> cases = {
        {"\xFF\xFD\x18" "A", "A", "\xFF\xFC\x18"},          // DO TTYPE: refused
        {"\xFF\xFB\x01" "A", "A", "\xFF\xFE\x01"},          // WILL ECHO: refused too
        {"A\xFF\xFD", "A\xFF\xFD", ""},                     // cut by the end of the block: data
        {"x\xFF\xFD\x01y\xFF\xFE\x03z", "xyz", "\xFF\xFC\x01"},   // DONT: dropped, unanswered
        {"\xFF\xFC\x05" "c", "c", ""},                      // WONT: dropped, unanswered
        {"\xFF\xFF" "b", "\xFF" "b", ""},                   // an escaped 0xFF is one data byte
        {"g\xFF\xF9h", "gh", ""},                           // IAC GA: two bytes
        {"C\xFF", "C\xFF", ""},                            // an IAC that ends a block: data,
        {"\xFB\x22" "D", "\xFB\x22" "D", ""},                // and the rest of it in the next: data, unanswered
    };
    CLan lan;
    lan.SetRefuseTelnetOptions(TRUE);
    EXPECT_TRUE(lan.IsRefusingTelnetOptions());
    Connected link;
    ASSERT_TRUE(link.Open(lan));
    size_t deliveredSoFar = 0;
    std::string allDelivered;
    for (const TelnetCase& item : cases) {
        SCOPED_TRACE(testing::PrintToString(item.arriving));
        // One case per block: wait for each before sending the next.
        const size_t dataBefore = link.window.NoticesOf(DEVMSG_DATA).size();
        ASSERT_TRUE(SendAll(link.server, item.arriving));
        ASSERT_TRUE(link.window.WaitForIndex(DEVMSG_DATA, dataBefore + 1));
        deliveredSoFar += item.delivered.size();
        allDelivered += item.delivered;
        EXPECT_EQ(link.window.DataBytes(), allDelivered);
        if (!item.answered.empty())
            EXPECT_EQ(ReceiveExactly(link.server, item.answered.size()), item.answered);
        EXPECT_EQ(PendingBytes(link.server), 0);
    }
    lan.Disconnect();
}

TEST(LanData, TelnetRefusalIsOffByDefaultAndWhileLinked)
{
    // No SOH in it: the packet-link worker takes a frame start for itself.
    const std::string negotiation = "\xFF\xFD\x18" "A\xFF\xFB\x03";
    for (int variant = 0; variant < 2; ++variant) {
        SCOPED_TRACE(variant == 0 ? "refusal off" : "refusal on, linked");
        CLan lan;
        CDevice partner;
        WindowThread partnerWindow;
        if (variant == 1) {
            lan.SetRefuseTelnetOptions(TRUE);
            partnerWindow.Attach(partner);
            ASSERT_TRUE(partner.Connect());
        }
        Connected link;
        ASSERT_TRUE(link.Open(lan));
        if (variant == 1)
            lan.LinkDevice(&partner);
        ASSERT_TRUE(SendAll(link.server, negotiation));
        ASSERT_TRUE(link.window.WaitForData(negotiation.size()));
        EXPECT_EQ(link.window.DataBytes(), negotiation);
        if (variant == 1) {
            // The partner got the bytes unchanged, except that a forwarded
            // block goes out in runs between zero bytes.
            ASSERT_TRUE(partnerWindow.WaitForData(negotiation.size()));
            EXPECT_EQ(partnerWindow.DataBytes(), negotiation);
        }
        // Nothing was answered: a refusal would have been sent before the
        // block was passed on, so ahead of the partner's echo of it and of
        // the marker.
        if (variant == 1)
            EXPECT_EQ(ReceiveExactly(link.server, negotiation.size()), negotiation);
        BYTE marker = '!';
        ASSERT_TRUE(lan.Write(&marker, 1));
        EXPECT_EQ(ReceiveExactly(link.server, 1), "!");
        lan.Disconnect();
        partner.Disconnect();
    }
}

TEST(LanData, TelnetRefusalDoesNotStopTheReadingWhileAWriteWaitsForThePeer)
{
    // The peer asks for an option, then sends more than the sockets hold
    // and reads nothing until all of it has gone, while the host writes
    // more than the sockets hold: the refusal must not wait for that write,
    // or the reading the peer waits for stops.
    std::string upload(16 << 20, 'u');
    const std::string download = std::string("\xFF\xFD\x01") + std::string(4 << 20, 'd');
    CLan lan;
    lan.SetRefuseTelnetOptions(TRUE);
    Connected link;
    ASSERT_TRUE(link.Open(lan));
    SetBufferSizes(link.server, 64 << 10);
    std::string received;
    Within(std::chrono::seconds(60), [&] {
        std::thread host([&] {
            EXPECT_TRUE(lan.Write(reinterpret_cast<BYTE*>(upload.data()), static_cast<DWORD>(upload.size())));
        });
        // The host's write has begun, and stays under way, before the
        // request comes.
        received = ReceiveExactly(link.server, 1);
        EXPECT_TRUE(SendAll(link.server, download));
        received += ReceiveExactly(link.server, upload.size() + 2, std::chrono::seconds(30));
        host.join();
    }, "the exchange around a refusal");
    ASSERT_TRUE(link.window.WaitForData(download.size() - 3, std::chrono::seconds(30)));
    EXPECT_TRUE(link.window.DataBytes() == download.substr(3));
    // The refusal went out whole, behind the write it found under way.
    EXPECT_TRUE(received == upload + "\xFF\xFC\x01") << received.size() << " bytes";
    lan.Disconnect();
}

TEST(LanData, AWriteWhileDisconnectingFailsQuietly)
{
    CLan lan;
    Connected link;
    ASSERT_TRUE(link.Open(lan));
    // A script asks the host for a value, which the host gives only once
    // Disconnect has shut the socket: the script writes it between the
    // closing of the socket and the stop of the workers.
    HANDLE asked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE answer = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    link.window.SetHook([&](const Notice& notice) -> LRESULT {
        if (notice.index == DEVMSG_SCRIPT_VALUE) {
            SetEvent(asked);
            WaitForSingleObject(answer, 10000);
        }
        return 0;
    });
    lan.WriteEx("%1>late#");
    ASSERT_EQ(WaitForSingleObject(asked, 5000), WAIT_OBJECT_0);
    auto disconnecting = std::async(std::launch::async, [&] { lan.Disconnect(); });
    EXPECT_TRUE(WaitForEndOfStream(link.server));
    SetEvent(answer);
    Within(std::chrono::seconds(10), [&] { disconnecting.get(); }, "Disconnect");
    EXPECT_TRUE(link.window.NoticesOf(DEVMSG_ERROR).empty());
    EXPECT_EQ(link.window.NoticesOf(DEVMSG_DISCONNECTED).size(), 1u);
    CloseHandle(asked);
    CloseHandle(answer);
}

// Holds back the disconnected notification of a reset until the test has
// written, so that the write meets the reset with the device still up.
class HeldDisconnect : public CLan {
public:
    HeldDisconnect() : entered(CreateEventA(nullptr, TRUE, FALSE, nullptr)), release(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~HeldDisconnect() override
    {
        SetEvent(release);
        Disconnect();
        CloseHandle(entered);
        CloseHandle(release);
    }
    void DisconnectDone() override
    {
        SetEvent(entered);
        WaitForSingleObject(release, 10000);
        CLan::DisconnectDone();
    }
    using CLan::m_hSocket;
    HANDLE entered;
    HANDLE release;
};

TEST(LanData, WriteReportsTheResetWithItsText)
{
    HeldDisconnect lan;
    Connected link;
    ASSERT_TRUE(link.Open(lan));
    ResetConnection(link.server);
    ASSERT_EQ(WaitForSingleObject(lan.entered, 5000), WAIT_OBJECT_0);

    BYTE bytes[] = {'l', 'o', 's', 't'};
    EXPECT_FALSE(lan.Write(bytes, sizeof bytes));
    SetEvent(lan.release);
    ASSERT_TRUE(link.window.WaitForIndex(DEVMSG_ERROR, 1));
    const Notice error = link.window.NoticesOf(DEVMSG_ERROR).front();
    EXPECT_EQ(error.bytes, "The virtual circuit was reset by the remote side");
    EXPECT_EQ(error.wParam, 0u);
    ASSERT_TRUE(link.window.WaitForIndex(DEVMSG_DISCONNECTED, 1));
    lan.Disconnect();
}

TEST(LanData, WriteFailingWithACodeOutsideTheTableSaysNothing)
{
    HeldDisconnect lan;
    Connected link;
    ASSERT_TRUE(link.Open(lan));
    // The sending side shut: WSAESHUTDOWN, which has no text.
    ASSERT_EQ(tavrin::winsock::shutdown(lan.m_hSocket.load(), SD_SEND), 0);
    BYTE byte = 'x';
    EXPECT_FALSE(lan.Write(&byte, 1));
    EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
    // A marker notification shows the window has handled what came before.
    link.window.RunOnWindowThread([] {});
    EXPECT_TRUE(link.window.NoticesOf(DEVMSG_ERROR).empty());
    SetEvent(lan.release);
    lan.Disconnect();
}

TEST(LanData, BreakIsOneZeroByte)
{
    CLan lan;
    Connected link;
    ASSERT_TRUE(link.Open(lan));
    lan.SendBreak();
    BYTE after = 'e';
    ASSERT_TRUE(lan.Write(&after, 1));
    EXPECT_EQ(ReceiveExactly(link.server, 2), std::string("\0e", 2));
    lan.Disconnect();
    EXPECT_TRUE(WaitForEndOfStream(link.server));
    // Not connected: no byte at all.
    lan.SendBreak();
}

TEST(LanData, AutoReplyAnswersEachDatagramToItsSender)
{
    CLan lan;
    WindowThread window;
    window.Attach(lan);
    const std::uint16_t port = UnusedUdpPort();
    ASSERT_TRUE(lan.AutoReply(port, "pong"));
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));

    std::uint16_t portA = 0, portB = 0;
    Fd a = BindLoopbackUdp(portA);
    Fd b = BindLoopbackUdp(portB);
    ASSERT_TRUE(SendDatagram(a, port, "ping a"));
    std::string reply;
    std::uint16_t from = 0;
    ASSERT_TRUE(ReceiveDatagram(a, reply, &from));
    EXPECT_EQ(reply, "pong");
    EXPECT_EQ(from, port);
    ASSERT_TRUE(SendDatagram(b, port, "ping b"));
    ASSERT_TRUE(ReceiveDatagram(b, reply));
    EXPECT_EQ(reply, "pong");
    ASSERT_TRUE(window.WaitForData(12));
    EXPECT_EQ(window.DataBytes(), "ping aping b");
    EXPECT_EQ(PendingBytes(a), 0);
    lan.Disconnect();
}

TEST(LanData, AutoReplyWithNoTextOnlyReportsAndEmptyDatagramsDoNotSpin)
{
    CLan lan;
    WindowThread window;
    window.Attach(lan);
    const std::uint16_t port = UnusedUdpPort();
    ASSERT_TRUE(lan.AutoReply(port, ""));
    std::uint16_t own = 0;
    Fd peer = BindLoopbackUdp(own);
    ASSERT_TRUE(SendDatagram(peer, port, ""));
    ASSERT_TRUE(SendDatagram(peer, port, "one"));
    ASSERT_TRUE(window.WaitForData(3));
    EXPECT_EQ(window.DataBytes(), "one");
    EXPECT_EQ(PendingBytes(peer), 0);

    // An empty datagram on its own: consumed, not spun on.
    ASSERT_TRUE(SendDatagram(peer, port, ""));
    const long long before = ProcessCpuMs();
    EXPECT_FALSE(window.WaitForData(4, std::chrono::milliseconds(300)));
    EXPECT_LT(ProcessCpuMs() - before, 150);
    ASSERT_TRUE(SendDatagram(peer, port, "two"));
    ASSERT_TRUE(window.WaitForData(6));
    EXPECT_EQ(window.DataBytes(), "onetwo");
    lan.Disconnect();
}

// Records the datagrams the read hands to the hook after a refusal report.
class DatagramRecorder : public CLan {
public:
    void DatagramProcessing(BYTE* pData, DWORD dwLength, sockaddr& from) override
    {
        std::lock_guard<std::mutex> guard(lock);
        gathered.emplace_back(reinterpret_cast<const char*>(pData), dwLength);
        senders.push_back(ntohs(reinterpret_cast<sockaddr_in&>(from).sin_port));
    }
    std::mutex lock;
    std::vector<std::string> gathered;
    std::vector<std::uint16_t> senders;
};

TEST(LanData, RefusedReplyIsReportedAndTheNextDatagramsGoToTheHook)
{
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine's Winsock does not report an ICMP port-unreachable as WSAECONNRESET on the "
                        "next receive of a datagram socket, as Windows does";
    DatagramRecorder lan;
    WindowThread window;
    window.Attach(lan);
    const std::uint16_t port = UnusedUdpPort();
    ASSERT_TRUE(lan.AutoReply(port, "pong"));
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));

    // The first sender is gone by the time the answer comes back. Holding
    // the window keeps the device in its data cycle for "hold" while the
    // sender leaves.
    std::uint16_t portGone = 0, portB = 0;
    Fd gone = BindLoopbackUdp(portGone);
    Fd b = BindLoopbackUdp(portB);
    HANDLE resume = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE holding = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    window.SetHook([&](const Notice& notice) -> LRESULT {
        if (notice.index == DEVMSG_DATA && notice.bytes == "hold") {
            SetEvent(holding);
            WaitForSingleObject(resume, 10000);
        }
        return 0;
    });
    ASSERT_TRUE(SendDatagram(b, port, "hold"));
    ASSERT_EQ(WaitForSingleObject(holding, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(SendDatagram(gone, port, "from the gone"));
    gone.Reset();
    // Queued before the device reads on: the answer to the gone sender is
    // refused, the next receive says so (had nothing been waiting, the
    // report would have been read and dropped like an empty datagram), and
    // what is gathered then goes to the hook with its sender.
    ASSERT_TRUE(SendDatagram(b, port, "after"));
    SetEvent(resume);
    ASSERT_TRUE(window.WaitForData(4 + 13 + 5));
    EXPECT_EQ(window.DataBytes(), "holdfrom the goneafter");
    {
        std::lock_guard<std::mutex> guard(lan.lock);
        ASSERT_EQ(lan.gathered.size(), 1u);
        EXPECT_EQ(lan.gathered[0], "after");
        EXPECT_EQ(lan.senders[0], portB);
    }
    // The gathered datagram is answered too, to its sender: B has the
    // answers to "hold" and to "after".
    std::string reply;
    ASSERT_TRUE(ReceiveDatagram(b, reply));
    EXPECT_EQ(reply, "pong");
    ASSERT_TRUE(ReceiveDatagram(b, reply));
    EXPECT_EQ(reply, "pong");
    lan.Disconnect();
    CloseHandle(resume);
    CloseHandle(holding);
}

}  // namespace
