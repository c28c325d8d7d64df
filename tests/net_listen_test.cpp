// A listening network device: callers announced and taken over inside the
// call notification, callers turned away with no host, the access check,
// a host that leaves a call pending, a listener destroyed under load, a
// record that calls an open listener unusable not keeping it open, and
// many concurrent callers carrying their bytes intact.
#include <gtest/gtest.h>

#include <tavrin/Tavrin.h>

#if !defined(_WIN32)
#include <arpa/inet.h>
#endif

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#if !defined(_WIN32)
#include <sys/resource.h>
#endif
#include <thread>
#include <vector>

#include "support/SocketPeer.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;

namespace {

// A listening device on a free port. The system picks ports for clients
// from a range that a listener might also draw, so a taken port is retried.
std::uint16_t ListenSomewhere(CLan& listener)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        const std::uint16_t port = UnusedTcpPort();
        if (listener.DoListening(port))
            return port;
    }
    return 0;
}

// Accepts every caller into a new CLan inside the call notification, as a
// server host does.
struct AcceptingHost {
    explicit AcceptingHost(CLan& listener) : listener(listener)
    {
        window.Attach(listener);
        window.SetHook([this](const Notice& notice) -> LRESULT {
            if (notice.index == DEVMSG_CALL && takeCalls) {
                auto lan = std::make_unique<CLan>();
                callers.Attach(*lan);
                sawListener = notice.lParam == reinterpret_cast<LPARAM>(static_cast<CDevice*>(&this->listener));
                if (lan->Connect(this->listener)) {
                    std::lock_guard<std::mutex> guard(lock);
                    accepted.push_back(std::move(lan));
                    changed.notify_all();
                }
            }
            return 0;
        });
    }
    ~AcceptingHost()
    {
        std::vector<std::unique_ptr<CLan>> all;
        {
            std::lock_guard<std::mutex> guard(lock);
            all.swap(accepted);
        }
        for (auto& lan : all)
            lan->Disconnect();
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return accepted.size();
    }
    // The accepted object is stored after its Connect returns, which may be
    // after its own connected notification has come.
    bool WaitForAccepted(size_t count)
    {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, kWait, [&] { return accepted.size() >= count; });
    }
    CLan* At(size_t i)
    {
        std::lock_guard<std::mutex> guard(lock);
        return i < accepted.size() ? accepted[i].get() : nullptr;
    }

    CLan& listener;
    WindowThread window;     // the listener's notifications
    WindowThread callers;    // the accepted objects' notifications
    std::atomic<bool> takeCalls{true};
    std::atomic<bool> sawListener{false};
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::unique_ptr<CLan>> accepted;
};

TEST(LanListen, CallerIsAnnouncedAndTakenOverInsideTheNotification)
{
    CLan listener;
    AcceptingHost host(listener);
    const std::uint16_t port = ListenSomewhere(listener);
    ASSERT_NE(port, 0);
    // Listening starts no workers but is announced.
    ASSERT_TRUE(host.window.WaitForIndex(DEVMSG_CONNECTED, 1));
    EXPECT_FALSE(listener.IsConnected());

    Fd client = ConnectLoopbackTcp(port);
    ASSERT_TRUE(client.Valid());
    ASSERT_TRUE(host.window.WaitForIndex(DEVMSG_CALL, 1));
    ASSERT_TRUE(host.callers.WaitForIndex(DEVMSG_CONNECTED, 1));
    ASSERT_TRUE(host.WaitForAccepted(1));
    EXPECT_TRUE(host.sawListener);
    ASSERT_EQ(host.Count(), 1u);
    CLan& taken = *host.At(0);
    EXPECT_TRUE(taken.IsConnected());
    EXPECT_EQ(taken.GetPort(), port);
    CString name;
    taken.GetName(name);
    EXPECT_EQ(std::string(name), "TCP/IP 127.0.0.1:" + std::to_string(port));

    ASSERT_TRUE(SendAll(client, "from the caller"));
    ASSERT_TRUE(host.callers.WaitForData(15));
    EXPECT_EQ(host.callers.DataBytes(), "from the caller");
    BYTE reply[] = {'o', 'k'};
    ASSERT_TRUE(taken.Write(reply, sizeof reply));
    EXPECT_EQ(ReceiveExactly(client, 2), "ok");
    // The listener itself never reads data.
    EXPECT_TRUE(host.window.NoticesOf(DEVMSG_DATA).empty());
    listener.Disconnect();
}

TEST(LanListen, WithoutAHostWindowEveryCallerIsTurnedAway)
{
    for (int variant = 0; variant < 3; ++variant) {
        SCOPED_TRACE(variant);
        CLan listener;
        std::unique_ptr<WindowThread> window;
        if (variant == 1) {
            // A window that has gone since it was given.
            window = std::make_unique<WindowThread>();
            window->Attach(listener);
            window.reset();
        } else if (variant == 2) {
            // A window that never asked to hear of calls.
            window = std::make_unique<WindowThread>();
            window->Attach(listener);
            listener.SetMessage(DEVMSG_CALL, 0);
        }
        const std::uint16_t port = ListenSomewhere(listener);
        ASSERT_NE(port, 0);
        for (int i = 0; i < 3; ++i) {
            Fd client = ConnectLoopbackTcp(port);
            ASSERT_TRUE(client.Valid());
            EXPECT_TRUE(WaitForEndOfStream(client));
        }
        if (window)
            EXPECT_TRUE(window->NoticesOf(DEVMSG_CALL).empty());
        Within(std::chrono::seconds(10), [&] { listener.Disconnect(); }, "listener Disconnect");
    }
}

TEST(LanListen, AccessCheckComparesMaskedAddressesAndSaysSo)
{
    CLan listener;
    AcceptingHost host(listener);
    const std::uint16_t port = ListenSomewhere(listener);
    ASSERT_NE(port, 0);
    Fd client = ConnectLoopbackTcp(port);
    ASSERT_TRUE(host.callers.WaitForIndex(DEVMSG_CONNECTED, 1));
    ASSERT_TRUE(host.WaitForAccepted(1));
    CLan& taken = *host.At(0);

    CString text;
    EXPECT_TRUE(taken.IsAccessGranted(inet_addr("127.0.0.0"), inet_addr("255.0.0.0"), text));
    EXPECT_EQ(std::string(text), "Connection from 127.0.0.1. (Accepted)");
    EXPECT_TRUE(taken.IsAccessGranted(inet_addr("127.0.0.1"), inet_addr("255.255.255.255"), text));
    EXPECT_FALSE(taken.IsAccessGranted(inet_addr("10.0.0.0"), inet_addr("255.0.0.0"), text));
    EXPECT_EQ(std::string(text), "Connection from 127.0.0.1. (Forbidden)");
    EXPECT_FALSE(taken.IsAccessGranted(inet_addr("127.0.0.2"), inet_addr("255.255.255.255"), text));
    // A mask of 0 admits everyone.
    EXPECT_TRUE(taken.IsAccessGranted(inet_addr("10.1.2.3"), 0, text));
    // The check closes nothing.
    EXPECT_TRUE(taken.IsConnected());
    listener.Disconnect();
}

TEST(LanListen, ListenerRestartsOnItsPortWhileOldConnectionsWait)
{
    CLan listener;
    std::uint16_t port = 0;
    {
        AcceptingHost host(listener);
        port = ListenSomewhere(listener);
        ASSERT_NE(port, 0);
        Fd client = ConnectLoopbackTcp(port);
        ASSERT_TRUE(host.WaitForAccepted(1));
        // The server side closes first, so its end of the connection waits
        // in TIME_WAIT on the listening port.
        host.At(0)->Disconnect();
        EXPECT_TRUE(WaitForEndOfStream(client));
        listener.Disconnect();
    }
    CLan again;
    EXPECT_TRUE(again.DoListening(port));
    again.Disconnect();
}

// A host's device class that keeps a usable switch of its own at the head
// of its settings record and answers IsOK with it.
class SwitchedLan : public CLan {
public:
    BOOL IsOK() override { return usable; }
    void Serialize(CArchive& ar) override
    {
        if (ar.IsStoring())
            ar << usable;
        else
            ar >> usable;
        CLan::Serialize(ar);
    }
    BYTE usable = 1;
};

TEST(LanListen, ARecordLoadedIntoAnOpenObjectDoesNotDecideItsTeardown)
{
    WindowThread window;
    SwitchedLan listener;
    window.Attach(listener);
#if !defined(_WIN32)
    const int descriptors = CountOpenDescriptors();
#endif
    const std::uint16_t port = ListenSomewhere(listener);
    ASSERT_NE(port, 0);
    // Loaded once listening has begun (settings are not loaded into an
    // object that is connecting): unusable, another port, the device core's
    // defaults.
    ASSERT_TRUE(window.WaitForIndex(DEVMSG_CONNECTED, 1));
    BYTE record[] = {0x00, 0x00, 0x39, 0x30, 0, 0, 0, 0, 0};
    CMemFile file(record, sizeof record);
    CArchive archive(&file, CArchive::load);
    listener.Serialize(archive);
    ASSERT_FALSE(listener.IsOK());

    Within(std::chrono::seconds(10), [&] { listener.Disconnect(); }, "Disconnect");
    EXPECT_TRUE(window.WaitForIndex(DEVMSG_DISCONNECTED, 1));
#if !defined(_WIN32)
    EXPECT_EQ(CountOpenDescriptors(), descriptors);
#endif
    CLan again;
    EXPECT_TRUE(again.DoListening(port));
    again.Disconnect();
}

// The access check on addresses loopback cannot produce.
class PeerAt : public CLan {
public:
    explicit PeerAt(const char* address) { m_addrPeer.sin_addr.s_addr = inet_addr(address); }
};

TEST(LanListen, AccessCheckOnOtherNetworks)
{
    CString text;
    PeerAt inside("192.168.1.77");
    EXPECT_TRUE(inside.IsAccessGranted(inet_addr("192.168.1.0"), inet_addr("255.255.255.0"), text));
    EXPECT_EQ(std::string(text), "Connection from 192.168.1.77. (Accepted)");
    PeerAt outside("10.0.0.1");
    EXPECT_FALSE(outside.IsAccessGranted(inet_addr("192.168.1.0"), inet_addr("255.255.255.0"), text));
    EXPECT_EQ(std::string(text), "Connection from 10.0.0.1. (Forbidden)");
}

TEST(LanListen, ACallLeftPendingIsAnnouncedAgainWithoutFlooding)
{
    CLan listener;
    AcceptingHost host(listener);
    host.takeCalls = false;
    const std::uint16_t port = ListenSomewhere(listener);
    ASSERT_NE(port, 0);
    Fd client = ConnectLoopbackTcp(port);
    ASSERT_TRUE(client.Valid());
    ASSERT_TRUE(host.window.WaitForIndex(DEVMSG_CALL, 3));
    const long long cpuBefore = ProcessCpuMs();
    const size_t callsBefore = host.window.NoticesOf(DEVMSG_CALL).size();
    EXPECT_FALSE(host.window.WaitForIndex(DEVMSG_CALL, callsBefore + 1000, std::chrono::milliseconds(500)));
    const size_t calls = host.window.NoticesOf(DEVMSG_CALL).size() - callsBefore;
    EXPECT_GE(calls, 1u);
    EXPECT_LE(calls, 25u);
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 250);

    // Taken later, the same caller is still there.
    host.takeCalls = true;
    ASSERT_TRUE(host.callers.WaitForIndex(DEVMSG_CONNECTED, 1));
    ASSERT_TRUE(SendAll(client, "late"));
    EXPECT_TRUE(host.callers.WaitForData(4));
    listener.Disconnect();
}

TEST(LanListen, ListenerDestroyedWhileCallersConnect)
{
    for (int round = 0; round < 5; ++round) {
        auto listener = std::make_unique<CLan>();
        auto host = std::make_unique<AcceptingHost>(*listener);
        const std::uint16_t port = ListenSomewhere(*listener);
        ASSERT_NE(port, 0);
        std::atomic<bool> stop{false};
        std::atomic<int> connects{0};
        std::vector<std::thread> clients;
        for (int t = 0; t < 3; ++t) {
            clients.emplace_back([&] {
                while (!stop) {
                    Fd client = ConnectLoopbackTcp(port);
                    if (client.Valid()) {
                        ++connects;
                        SendAll(client, "x");
                    }
                }
            });
        }
        ASSERT_TRUE(host->window.WaitForIndex(DEVMSG_CALL, 3));
        Within(std::chrono::seconds(20), [&] { listener.reset(); }, "destroying a busy listener");
        stop = true;
        for (auto& client : clients)
            client.join();
        EXPECT_GT(connects.load(), 0);
        Within(std::chrono::seconds(20), [&] { host.reset(); }, "closing the accepted callers");
    }
}

#if defined(_WIN32)
// Under Wine every receive and every notice is a round trip to the
// wineserver: the two hundred callers together move a few hundred KB/s.
constexpr size_t kDefaultBytesPerClient = 32 * 1024;
#elif defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kDefaultBytesPerClient = 64 * 1024;
#else
constexpr size_t kDefaultBytesPerClient = 1024 * 1024;
#endif
constexpr int kDefaultClients = 200;

// TAVRIN_LOAD_CLIENTS and TAVRIN_LOAD_BYTES scale the load for experiments.
size_t FromEnvironment(const char* name, size_t fallback)
{
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}
const int kClients = static_cast<int>(FromEnvironment("TAVRIN_LOAD_CLIENTS", kDefaultClients));
const size_t kBytesPerClient = FromEnvironment("TAVRIN_LOAD_BYTES", kDefaultBytesPerClient);

// Random bytes, except SOH: outside packet mode the packet-link worker takes
// an SOH and the rest of its block off the plain data (a stray frame), so a
// stream of plain data carries none.
BYTE NextByte(std::mt19937& generator)
{
    const BYTE byte = static_cast<BYTE>(generator() & 0xFF);
    return byte == 0x01 ? 0x81 : byte;
}

// What one caller sends: its number (0x20202020 + n, no SOH in it), then bytes drawn from a generator
// seeded with that number, so the receiving side can check every byte
// without keeping them.
struct CallerStream {
    bool numbered = false;
    std::string number;
    std::mt19937 generator;
    size_t count = 0;
    size_t firstMismatch = SIZE_MAX;

    void Take(const BYTE* data, size_t length)
    {
        size_t i = 0;
        while (!numbered && i < length) {
            number.push_back(static_cast<char>(data[i++]));
            if (number.size() == 4) {
                numbered = true;
                generator.seed(Seed());
            }
        }
        for (; i < length; ++i, ++count) {
            const BYTE expected = NextByte(generator);
            if (data[i] != expected && firstMismatch == SIZE_MAX)
                firstMismatch = count;
        }
    }
    std::uint32_t Seed() const
    {
        std::uint32_t value = 0;
        std::memcpy(&value, number.data(), 4);
        return value;
    }
};

std::string CallerBytes(std::uint32_t number, size_t length)
{
    std::string bytes(reinterpret_cast<const char*>(&number), 4);
    std::mt19937 generator(number);
    bytes.reserve(length + 4);
    for (size_t i = 0; i < length; ++i)
        bytes.push_back(static_cast<char>(NextByte(generator)));
    return bytes;
}

TEST(LanListen, TwoHundredConcurrentCallersEachDeliverTheirBytesInOrder)
{
    // 200 callers, each with four library threads and two descriptors here
    // and one in the client. Windows sets no per-process limit on sockets.
#if !defined(_WIN32)
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < 4096) {
        files.rlim_cur = std::min<rlim_t>(4096, files.rlim_max);
        setrlimit(RLIMIT_NOFILE, &files);
    }
    if (files.rlim_cur < 1024)
        GTEST_SKIP() << "too few descriptors allowed: " << files.rlim_cur;
#endif

    constexpr UINT kDataBase = WM_APP + 0x2000;
    CLan listener;
    WindowThread listenerWindow;
    WindowThread dataWindow;
    listenerWindow.Attach(listener);
    std::mutex lock;
    std::vector<std::unique_ptr<CLan>> accepted;
    std::condition_variable acceptedChanged;
    std::vector<CallerStream> streams(kClients + 16);   // touched only on the data window's thread
    std::atomic<size_t> total{0};
    const size_t expected = kClients * (kBytesPerClient + 4);
    HANDLE allReceived = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    listenerWindow.SetHook([&](const Notice& notice) -> LRESULT {
        if (notice.index != DEVMSG_CALL)
            return 0;
        auto lan = std::make_unique<CLan>();
        std::lock_guard<std::mutex> guard(lock);
        if (accepted.size() >= streams.size())
            return 0;
        lan->EnableNotify(dataWindow.Window());
        lan->SetMessage(DEVMSG_DATA, kDataBase + static_cast<UINT>(accepted.size()));
        if (lan->Connect(listener)) {
            accepted.push_back(std::move(lan));
            acceptedChanged.notify_all();
        }
        return 0;
    });
    dataWindow.SetHook([&](const Notice& notice) -> LRESULT {
        if (notice.message >= kDataBase && notice.message < kDataBase + streams.size()) {
            streams[notice.message - kDataBase].Take(reinterpret_cast<const BYTE*>(notice.lParam), notice.wParam);
            if ((total += notice.wParam) == expected)
                SetEvent(allReceived);
        }
        return 0;
    });
    const std::uint16_t port = ListenSomewhere(listener);
    ASSERT_NE(port, 0);

    // All callers connect first, one after the other, each taken before the
    // next calls: the listener's backlog of five would otherwise drop the
    // burst's connection requests and the system would retry them seconds
    // later. Then all of them send at once.
    std::vector<Fd> callers;
    for (int i = 0; i < kClients; ++i) {
        callers.push_back(ConnectLoopbackTcp(port));
        ASSERT_TRUE(callers.back().Valid()) << "caller " << i;
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(acceptedChanged.wait_for(guard, kWait, [&] { return accepted.size() > static_cast<size_t>(i); }))
            << "caller " << i << " was not taken";
    }
    Stopwatch watch;
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            const std::string bytes = CallerBytes(static_cast<std::uint32_t>(0x20202020 + i), kBytesPerClient);
            if (!SendAll(callers[static_cast<size_t>(i)], bytes))
                ++failures;
            // Closing at once is safe: the device reads what is pending
            // before it takes the end of the stream for the peer's leaving.
            callers[static_cast<size_t>(i)].Reset();
        });
    }
    WaitForSingleObject(allReceived, 150000);
    const long long elapsed = watch.Ms();
    for (auto& client : clients)
        client.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(total.load(), expected) << "after " << elapsed << " ms";
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(accepted.size(), static_cast<size_t>(kClients));
    std::set<std::uint32_t> seen;
    dataWindow.RunOnWindowThread([&] {
        for (size_t i = 0; i < accepted.size(); ++i) {
            const CallerStream& stream = streams[i];
            EXPECT_TRUE(stream.numbered) << "caller " << i;
            EXPECT_EQ(stream.count, kBytesPerClient) << "caller " << i;
            EXPECT_EQ(stream.firstMismatch, SIZE_MAX) << "caller " << i;
            seen.insert(stream.Seed());
        }
    });
    EXPECT_EQ(seen.size(), static_cast<size_t>(kClients));
    std::printf("%d callers x %zu bytes in %lld ms\n", kClients, kBytesPerClient, elapsed);
    for (auto& lan : accepted)
        lan->Disconnect();
    listener.Disconnect();
    CloseHandle(allReceived);
}

}  // namespace
