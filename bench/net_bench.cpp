// The network device on 127.0.0.1, each figure beside a baseline measured in
// the same run:
// - bytes per second from a peer that writes as fast as it can, through a
//   CLan client and through an accepted CLan, to the host's window procedure;
//   beside a plain loop of blocking 1024-byte recv calls on the same kind of
//   connection, and the loopback device's own rate for 1024-byte blocks;
// - the time from a 64-byte send at the peer to the handler, one message in
//   flight; beside the same message reaching a thread blocked in recv, and a
//   64-byte loopback Write reaching the handler;
// - what one accepted connection costs at 200 of them (resident memory,
//   threads, descriptors, memory mappings), beside 200 connected loopback
//   devices;
// - with --capacity[=N] (or TAVRIN_NET_CAPACITY=N): how many accepted
//   connections one process holds before a take-over or a client connect
//   fails, bounded by N connections (5000) and 60 seconds, and what gave out.
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <tavrin/Tavrin.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#define TAVRIN_BENCH_PROGRAM "net_bench"
#include "Watchdog.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kTransfer = 1024 * 1024;
constexpr size_t kBlock = 1024;
constexpr size_t kMessage = 64;
// The peer's own writes: large, so that the peer is never what limits a rate.
constexpr size_t kPeerWrite = 64 * 1024;
constexpr size_t kFootprintConnections = 200;
constexpr int kFootprintRounds = 4;
constexpr DWORD kWaitMs = 10000;

using tavrin::bench::Watchdog;

// ---------------------------------------------------------------------------
// Plain sockets: the peer, and the baselines.

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket() { Reset(); }
    Socket(Socket&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Socket& operator=(Socket&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    void Reset()
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A blocked send or recv of the peer gives up after this, so that a device
// that stops reading fails a benchmark instead of hanging it.
void BoundBlockingCalls(int fd)
{
    const timeval bound{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
}

// Small messages leave at once instead of waiting for the previous one's
// acknowledgement.
void SendAtOnce(int fd)
{
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

Socket ListenLoopback(std::uint16_t& port)
{
    Socket fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = Loopback(0);
    if (!fd.Valid() || bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.Get(), 512) != 0)
        return Socket();
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&bound), &length);
    port = ntohs(bound.sin_port);
    return fd;
}

// On failure the result is invalid and *error holds errno.
Socket ConnectLoopback(std::uint16_t port, int* error = nullptr)
{
    Socket fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        if (error)
            *error = errno;
        return fd;
    }
    BoundBlockingCalls(fd.Get());
    SendAtOnce(fd.Get());
    const sockaddr_in address = Loopback(port);
    if (connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (error)
            *error = errno;
        return Socket();
    }
    return fd;
}

Socket AcceptWithin(const Socket& listener, int timeoutMs)
{
    pollfd entry{listener.Get(), POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) != 1)
        return Socket();
    Socket fd(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (fd.Valid()) {
        BoundBlockingCalls(fd.Get());
        SendAtOnce(fd.Get());
    }
    return fd;
}

bool SendAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool ReceiveExactly(int fd, char* buffer, size_t size)
{
    while (size > 0) {
        const ssize_t n = recv(fd, buffer, size, 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return false;
        }
        buffer += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// A peer writing as fast as it can until it is stopped or its connection
// goes. Printable bytes only, here and in every message: a 0x01 would start
// a packet frame and hand the bytes to another worker.
class FloodingPeer {
public:
    explicit FloodingPeer(int fd)
    {
        m_thread = std::thread([this, fd] {
            const std::vector<char> chunk(kPeerWrite, 'n');
            while (!m_stop.load(std::memory_order_relaxed))
                if (!SendAll(fd, chunk.data(), chunk.size()))
                    break;
        });
    }
    ~FloodingPeer() { Stop(); }
    void Stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// ---------------------------------------------------------------------------
// Host windows, each on a thread of its own, as a host's would be.

class HostWindow {
public:
    using Procedure = std::function<void(UINT message, WPARAM wParam, LPARAM lParam)>;

    explicit HostWindow(Procedure procedure) : m_procedure(std::move(procedure))
    {
        m_thread = std::thread([this] {
            HWND hWnd = CreateMessageWindow([this](HWND, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
                if (message == kQuit)
                    PostQuitMessage(0);
                else
                    m_procedure(message, wParam, lParam);
                return 0;
            });
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_hWnd = hWnd;
            }
            m_ready.notify_all();
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0))
                DispatchMessageA(&msg);
            DestroyWindow(hWnd);
        });
        std::unique_lock<std::mutex> lock(m_lock);
        m_ready.wait(lock, [this] { return m_hWnd != nullptr; });
    }
    ~HostWindow()
    {
        PostMessageA(m_hWnd, kQuit, 0, 0);
        m_thread.join();
    }
    HWND Window() const { return m_hWnd; }

    static constexpr UINT kConnected = WM_APP + 1;
    static constexpr UINT kDisconnected = WM_APP + 2;
    static constexpr UINT kData = WM_APP + 3;
    static constexpr UINT kCall = WM_APP + 4;
    static constexpr UINT kQuit = WM_APP + 0x100;

    static void Attach(CDevice& device, HWND hWnd)
    {
        device.EnableNotify(hWnd);
        device.SetMessage(DEVMSG_CONNECTED, kConnected);
        device.SetMessage(DEVMSG_DISCONNECTED, kDisconnected);
        device.SetMessage(DEVMSG_DATA, kData);
        device.SetMessage(DEVMSG_CALL, kCall);
    }

private:
    Procedure m_procedure;
    std::mutex m_lock;
    std::condition_variable m_ready;
    HWND m_hWnd = nullptr;
    std::thread m_thread;
};

// Counts the data it is given, notes when an armed target was reached, and
// signals it.
class CountingWindow {
public:
    CountingWindow()
        : m_window([this](UINT message, WPARAM wParam, LPARAM) {
              if (message != HostWindow::kData)
                  return;
              m_blocks.fetch_add(1);
              const size_t total = m_received.fetch_add(wParam) + wParam;
              if (total >= m_target.load()) {
                  m_reachedAt.store(Clock::now().time_since_epoch().count());
                  m_target = ~size_t{0};
                  m_reached.SetEvent();
              }
          })
    {
    }
    void Attach(CDevice& device) { HostWindow::Attach(device, m_window.Window()); }
    HWND Window() const { return m_window.Window(); }
    // Arms the count: Wait() returns once `bytes` more have arrived.
    void Expect(size_t bytes)
    {
        m_reached.ResetEvent();
        m_target = m_received.load() + bytes;
    }
    bool Wait() { return WaitForSingleObject(m_reached, kWaitMs) == WAIT_OBJECT_0; }
    size_t Received() const { return m_received.load(); }
    size_t Blocks() const { return m_blocks.load(); }
    // When the handler saw the armed target reached.
    Clock::time_point ReachedAt() const { return Clock::time_point(Clock::duration(m_reachedAt.load())); }

private:
    std::atomic<size_t> m_received{0};
    std::atomic<size_t> m_blocks{0};
    std::atomic<size_t> m_target{~size_t{0}};
    std::atomic<Clock::rep> m_reachedAt{0};
    CEvent m_reached{FALSE, TRUE};
    HostWindow m_window;   // last: its thread uses the members above
};

// A listening CLan whose host takes every caller over inside DEVMSG_CALL,
// into a new CLan that reports to a second window.
class AcceptingHost {
public:
    AcceptingHost()
        : m_callers([this](UINT message, WPARAM, LPARAM) {
              if (message == HostWindow::kConnected)
                  Bump(m_connectedNotices);
          }),
          m_host([this](UINT message, WPARAM, LPARAM) {
              if (message == HostWindow::kConnected)
                  Bump(m_listening);
              if (message == HostWindow::kCall)
                  TakeCall();
          })
    {
        HostWindow::Attach(m_listener, m_host.Window());
    }
    ~AcceptingHost()
    {
        StopTaking();
        DisconnectAll();
        m_listener.Disconnect();
    }

    // A free port on every address, as DoListening binds; clients use
    // 127.0.0.1 only. A port the system hands a client meanwhile is retried.
    std::uint16_t Listen()
    {
        for (int attempt = 0; attempt < 20; ++attempt) {
            std::uint16_t port = 0;
            ListenLoopback(port);   // closed again at once: nothing listens there now
            if (port != 0 && m_listener.DoListening(port))
                return WaitFor(m_listening, 1, 5000) ? port : 0;
        }
        return 0;
    }
    bool WaitAccepted(size_t count, int timeoutMs) { return WaitFor(m_accepted, count, timeoutMs); }
    bool WaitConnectedNotices(size_t count, int timeoutMs) { return WaitFor(m_connectedNotices, count, timeoutMs); }
    size_t Accepted()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_accepted;
    }
    bool TakeOverFailed()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_failed;
    }
    // What the failed take-over left as this thread's last errors.
    void FailureCodes(DWORD& lastError, int& wsaError, int& error)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        lastError = m_failLastError;
        wsaError = m_failWsaError;
        error = m_failErrno;
    }
    CLan* FirstAccepted()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_devices.empty() ? nullptr : m_devices.front().get();
    }
    void AttachAcceptedTo(HWND hWnd) { m_dataWindow = hWnd; }
    size_t ConnectedNotices()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_connectedNotices;
    }
    // Callers from now on stay pending.
    void StopTaking()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopTaking = true;
    }
    void DisconnectAll()
    {
        std::vector<std::unique_ptr<CLan>> devices;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            devices.swap(m_devices);
        }
        for (auto& device : devices)
            device->Disconnect();
    }

private:
    void TakeCall()
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_stopTaking || m_failed)
                return;   // the caller stays pending; the listener announces it again later
        }
        auto device = std::make_unique<CLan>();
        const HWND dataWindow = m_dataWindow.load();
        HostWindow::Attach(*device, dataWindow ? dataWindow : m_callers.Window());
        errno = 0;
        SetLastError(0);
        WSASetLastError(0);
        const BOOL taken = device->Connect(m_listener);
        const int error = errno;
        const DWORD lastError = GetLastError();
        const int wsaError = WSAGetLastError();
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (taken) {
                m_devices.push_back(std::move(device));
                ++m_accepted;
            } else {
                m_failed = true;
                m_failErrno = error;
                m_failLastError = lastError;
                m_failWsaError = wsaError;
            }
        }
        m_changed.notify_all();
    }
    void Bump(size_t& counter)
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            ++counter;
        }
        m_changed.notify_all();
    }
    bool WaitFor(const size_t& counter, size_t count, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return counter >= count || m_failed; }) &&
               counter >= count;
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::unique_ptr<CLan>> m_devices;
    size_t m_accepted = 0;
    size_t m_connectedNotices = 0;
    size_t m_listening = 0;
    bool m_stopTaking = false;
    bool m_failed = false;
    int m_failErrno = 0;
    DWORD m_failLastError = 0;
    int m_failWsaError = 0;
    std::atomic<HWND> m_dataWindow{nullptr};
    HostWindow m_callers;
    CLan m_listener;
    HostWindow m_host;
};

// ---------------------------------------------------------------------------
// What the process holds, from /proc.

struct ProcessUsage {
    long rssKb = 0;
    long vmKb = 0;
    long threads = 0;
    long descriptors = 0;
    long mappings = 0;
};

long StatusField(const std::string& name)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            return std::strtol(line.c_str() + name.size() + 1, nullptr, 10);
    return -1;
}

long CountEntries(const char* directory)
{
    long count = 0;
    if (DIR* dir = opendir(directory)) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(dir);
    }
    return count - 1;   // the directory stream's own descriptor
}

long CountLines(const char* path)
{
    std::ifstream file(path);
    std::string line;
    long count = 0;
    while (std::getline(file, line))
        ++count;
    return count;
}

ProcessUsage ReadUsage()
{
    ProcessUsage usage;
    usage.rssKb = StatusField("VmRSS");
    usage.vmKb = StatusField("VmSize");
    usage.threads = StatusField("Threads");
    usage.descriptors = CountEntries("/proc/self/fd");
    usage.mappings = CountLines("/proc/self/maps");
    return usage;
}

double ProcessCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// CPU the whole process uses per second while nothing is sent: what the
// connections cost when they are idle.
double IdleCpuMsPerSecond(std::chrono::milliseconds span)
{
    const double cpu = ProcessCpuMs();
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(span);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return (ProcessCpuMs() - cpu) / seconds;
}

// Thread ends are seen in /proc a moment after the joins that waited for
// them return.
ProcessUsage ReadUsageOnceThreadsAreBackTo(long threads)
{
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    ProcessUsage usage = ReadUsage();
    while (usage.threads > threads && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        usage = ReadUsage();
    }
    return usage;
}

// ---------------------------------------------------------------------------
// 1. Throughput.

// CPU of the whole process per megabyte delivered (the in-process peer's
// sending included): steadier than the rate on a machine shared with other
// work, which takes turns on the CPUs but not CPU time.
void SetCpuPerMegabyte(benchmark::State& state, double cpuBefore)
{
    const double megabytes = static_cast<double>(state.iterations()) * static_cast<double>(kTransfer) / 1e6;
    if (megabytes > 0)
        state.counters["cpu_ms_per_MB"] = (ProcessCpuMs() - cpuBefore) / megabytes;
}

// The size of the blocks the handler was given: a device that reads less
// than it could per block pays a whole engine cycle for each piece.
void SetBytesPerBlock(benchmark::State& state, const CountingWindow& window, size_t bytesBefore, size_t blocksBefore)
{
    const size_t blocks = window.Blocks() - blocksBefore;
    if (blocks > 0)
        state.counters["bytes_per_block"] =
            static_cast<double>(window.Received() - bytesBefore) / static_cast<double>(blocks);
}

void BM_TcpRecvLoop(benchmark::State& state)
{
    Watchdog watchdog("BM_TcpRecvLoop", std::chrono::seconds(120));
    std::uint16_t port = 0;
    Socket listener = ListenLoopback(port);
    Socket writer = ConnectLoopback(port);
    Socket reader = AcceptWithin(listener, 5000);
    if (!writer.Valid() || !reader.Valid()) {
        state.SkipWithError("no connection");
        return;
    }
    FloodingPeer peer(writer.Get());
    char buffer[kBlock];
    const double cpu = ProcessCpuMs();
    for (auto _ : state) {
        size_t got = 0;
        while (got < kTransfer) {
            const ssize_t n = recv(reader.Get(), buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        if (got < kTransfer) {
            state.SkipWithError("the stream ended");
            break;
        }
    }
    SetCpuPerMegabyte(state, cpu);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransfer));
    // Unread bytes make the close a reset, which ends the peer's blocked send.
    reader.Reset();
    peer.Stop();
}
BENCHMARK(BM_TcpRecvLoop)->UseRealTime()->Unit(benchmark::kMillisecond);

void RunLanToHandler(benchmark::State& state, CLan& lan, CountingWindow& window, int peerFd)
{
    FloodingPeer peer(peerFd);
    const double cpu = ProcessCpuMs();
    const size_t bytes = window.Received();
    const size_t blocks = window.Blocks();
    for (auto _ : state) {
        window.Expect(kTransfer);
        if (!window.Wait()) {
            state.SkipWithError("data did not arrive");
            break;
        }
    }
    SetCpuPerMegabyte(state, cpu);
    SetBytesPerBlock(state, window, bytes, blocks);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransfer));
    // The device still reads, so the peer's last send completes.
    peer.Stop();
    lan.Disconnect();
}

void BM_LanClientToHandler(benchmark::State& state)
{
    Watchdog watchdog("BM_LanClientToHandler", std::chrono::seconds(120));
    std::uint16_t port = 0;
    Socket listener = ListenLoopback(port);
    CountingWindow window;
    CLan lan;
    window.Attach(lan);
    if (!lan.Connect("127.0.0.1", port)) {
        state.SkipWithError("the client did not connect");
        return;
    }
    Socket peer = AcceptWithin(listener, 5000);
    if (!peer.Valid()) {
        state.SkipWithError("no connection");
        return;
    }
    RunLanToHandler(state, lan, window, peer.Get());
}
BENCHMARK(BM_LanClientToHandler)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_LanAcceptedToHandler(benchmark::State& state)
{
    Watchdog watchdog("BM_LanAcceptedToHandler", std::chrono::seconds(120));
    CountingWindow window;
    AcceptingHost host;
    host.AttachAcceptedTo(window.Window());
    const std::uint16_t port = host.Listen();
    if (port == 0) {
        state.SkipWithError("no listening port");
        return;
    }
    Socket peer = ConnectLoopback(port);
    if (!peer.Valid() || !host.WaitAccepted(1, 5000)) {
        state.SkipWithError("the caller was not taken over");
        return;
    }
    CLan& lan = *host.FirstAccepted();
    RunLanToHandler(state, lan, window, peer.Get());
}
BENCHMARK(BM_LanAcceptedToHandler)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_LoopbackBlocks(benchmark::State& state)
{
    Watchdog watchdog("BM_LoopbackBlocks", std::chrono::seconds(120));
    CountingWindow window;
    CDevice device;
    window.Attach(device);
    device.Connect();
    std::vector<BYTE> block(kBlock, 'l');
    const double cpu = ProcessCpuMs();
    const size_t bytes = window.Received();
    const size_t blocks = window.Blocks();
    for (auto _ : state) {
        window.Expect(kTransfer);
        for (size_t sent = 0; sent < kTransfer; sent += kBlock)
            device.Write(block.data(), static_cast<DWORD>(kBlock));
        if (!window.Wait()) {
            state.SkipWithError("data did not arrive");
            break;
        }
    }
    SetCpuPerMegabyte(state, cpu);
    SetBytesPerBlock(state, window, bytes, blocks);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransfer));
    device.Disconnect();
}
BENCHMARK(BM_LoopbackBlocks)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// 2. Latency of one 64-byte message.

std::map<std::string, std::vector<double>> g_latencies;

double Microseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

void BM_TcpRecvLatency(benchmark::State& state)
{
    Watchdog watchdog("BM_TcpRecvLatency", std::chrono::seconds(120));
    std::vector<double>& samples = g_latencies["plain recv"];
    samples.clear();
    std::uint16_t port = 0;
    Socket listener = ListenLoopback(port);
    Socket writer = ConnectLoopback(port);
    Socket reader = AcceptWithin(listener, 5000);
    if (!writer.Valid() || !reader.Valid()) {
        state.SkipWithError("no connection");
        return;
    }
    std::mutex lock;
    std::condition_variable arrived;
    size_t count = 0;
    Clock::time_point arrivedAt;
    std::thread receiver([&] {
        char buffer[kMessage];
        while (ReceiveExactly(reader.Get(), buffer, sizeof buffer)) {
            const Clock::time_point now = Clock::now();
            {
                std::lock_guard<std::mutex> guard(lock);
                arrivedAt = now;
                ++count;
            }
            arrived.notify_one();
        }
    });
    const std::vector<char> message(kMessage, 'm');
    for (auto _ : state) {
        std::unique_lock<std::mutex> guard(lock);
        const size_t expected = count + 1;
        guard.unlock();
        const Clock::time_point start = Clock::now();
        if (!SendAll(writer.Get(), message.data(), message.size())) {
            state.SkipWithError("send failed");
            break;
        }
        guard.lock();
        if (!arrived.wait_for(guard, std::chrono::milliseconds(kWaitMs), [&] { return count >= expected; })) {
            state.SkipWithError("the message did not arrive");
            break;
        }
        samples.push_back(Microseconds(arrivedAt - start));
    }
    // Ends the receiver's blocked recv.
    shutdown(reader.Get(), SHUT_RDWR);
    receiver.join();
}
BENCHMARK(BM_TcpRecvLatency)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_LanWriteToHandlerLatency(benchmark::State& state)
{
    Watchdog watchdog("BM_LanWriteToHandlerLatency", std::chrono::seconds(120));
    std::vector<double>& samples = g_latencies["CLan client"];
    samples.clear();
    std::uint16_t port = 0;
    Socket listener = ListenLoopback(port);
    CountingWindow window;
    CLan lan;
    window.Attach(lan);
    if (!lan.Connect("127.0.0.1", port)) {
        state.SkipWithError("the client did not connect");
        return;
    }
    Socket peer = AcceptWithin(listener, 5000);
    if (!peer.Valid()) {
        state.SkipWithError("no connection");
        lan.Disconnect();
        return;
    }
    const std::vector<char> message(kMessage, 'm');
    for (auto _ : state) {
        window.Expect(message.size());
        const Clock::time_point start = Clock::now();
        if (!SendAll(peer.Get(), message.data(), message.size()) || !window.Wait()) {
            state.SkipWithError("the message did not arrive");
            break;
        }
        samples.push_back(Microseconds(window.ReachedAt() - start));
    }
    lan.Disconnect();
}
BENCHMARK(BM_LanWriteToHandlerLatency)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_LoopbackWriteToHandlerLatency(benchmark::State& state)
{
    Watchdog watchdog("BM_LoopbackWriteToHandlerLatency", std::chrono::seconds(120));
    std::vector<double>& samples = g_latencies["loopback"];
    samples.clear();
    CountingWindow window;
    CDevice device;
    window.Attach(device);
    device.Connect();
    std::vector<BYTE> message(kMessage, 'm');
    for (auto _ : state) {
        window.Expect(message.size());
        const Clock::time_point start = Clock::now();
        device.Write(message.data(), static_cast<DWORD>(message.size()));
        if (!window.Wait()) {
            state.SkipWithError("the message did not arrive");
            break;
        }
        samples.push_back(Microseconds(window.ReachedAt() - start));
    }
    device.Disconnect();
}
BENCHMARK(BM_LoopbackWriteToHandlerLatency)->UseRealTime()->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// 3. What a connection costs, at 200 of them.

// Reads the process once ended threads have left /proc and the allocator
// has handed its free pages back: what is still resident then is held, not
// cached.
ProcessUsage SettledUsage(long threads)
{
    ReadUsageOnceThreadsAreBackTo(threads);
    malloc_trim(0);
    return ReadUsage();
}

// Opens the connections with openAll, reads the process, closes them all
// with closeAll, and does it again: one round gives the cost per
// connection, the later rounds show whether closing gives everything back.
bool MeasureFootprint(benchmark::State& state, const std::function<bool()>& openAll,
                      const std::function<void()>& closeAll)
{
    const ProcessUsage before = SettledUsage(ReadUsage().threads);
    ProcessUsage full;
    double idleCpu = 0;
    ProcessUsage firstLeft;
    ProcessUsage lastLeft;
    for (int round = 0; round < kFootprintRounds; ++round) {
        if (!openAll())
            return false;
        if (round == 0) {
            full = ReadUsage();
            idleCpu = IdleCpuMsPerSecond(std::chrono::milliseconds(1000));
        }
        closeAll();
        lastLeft = SettledUsage(before.threads);
        if (round == 0)
            firstLeft = lastLeft;
    }
    const double count = kFootprintConnections;
    state.counters["rss_kB_per_conn"] = static_cast<double>(full.rssKb - before.rssKb) / count;
    state.counters["vm_kB_per_conn"] = static_cast<double>(full.vmKb - before.vmKb) / count;
    state.counters["threads_per_conn"] = static_cast<double>(full.threads - before.threads) / count;
    state.counters["fds_per_conn"] = static_cast<double>(full.descriptors - before.descriptors) / count;
    state.counters["maps_per_conn"] = static_cast<double>(full.mappings - before.mappings) / count;
    state.counters["idle_cpu_ms_per_s"] = idleCpu;
    state.counters["rss_kB_left"] = static_cast<double>(firstLeft.rssKb - before.rssKb);
    state.counters["rss_kB_growth_per_round"] =
        static_cast<double>(lastLeft.rssKb - firstLeft.rssKb) / (kFootprintRounds - 1);
    state.counters["threads_left"] = static_cast<double>(lastLeft.threads - before.threads);
    state.counters["fds_left"] = static_cast<double>(lastLeft.descriptors - before.descriptors);
    return true;
}

void BM_AcceptedFootprint(benchmark::State& state)
{
    Watchdog watchdog("BM_AcceptedFootprint", std::chrono::seconds(180));
    for (auto _ : state) {
        AcceptingHost host;
        const std::uint16_t port = host.Listen();
        if (port == 0) {
            state.SkipWithError("no listening port");
            return;
        }
        std::vector<Socket> clients;
        const auto openAll = [&] {
            const size_t accepted = host.Accepted();
            const size_t notices = host.ConnectedNotices();
            // One caller at a time: the listener's backlog is short, and a
            // caller beyond it waits for the system's SYN retry (a second).
            for (size_t i = 1; i <= kFootprintConnections; ++i) {
                clients.push_back(ConnectLoopback(port));
                if (!clients.back().Valid() || !host.WaitAccepted(accepted + i, 10000))
                    return false;
            }
            // Each watch thread has started once its device has said so.
            return host.WaitConnectedNotices(notices + kFootprintConnections, 10000);
        };
        const auto closeAll = [&] {
            host.DisconnectAll();
            clients.clear();
        };
        if (!MeasureFootprint(state, openAll, closeAll))
            state.SkipWithError("a caller was not taken over");
    }
}
BENCHMARK(BM_AcceptedFootprint)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_LoopbackFootprint(benchmark::State& state)
{
    Watchdog watchdog("BM_LoopbackFootprint", std::chrono::seconds(180));
    for (auto _ : state) {
        HostWindow window([](UINT, WPARAM, LPARAM) {});
        std::vector<std::unique_ptr<CDevice>> devices;
        const auto openAll = [&] {
            for (size_t i = 0; i < kFootprintConnections; ++i) {
                devices.push_back(std::make_unique<CDevice>());
                HostWindow::Attach(*devices.back(), window.Window());
                devices.back()->Connect();
                if (!devices.back()->IsConnected())
                    return false;
            }
            return true;
        };
        const auto closeAll = [&] {
            for (auto& device : devices)
                device->Disconnect();
            devices.clear();
        };
        if (!MeasureFootprint(state, openAll, closeAll))
            state.SkipWithError("a device did not connect");
    }
}
BENCHMARK(BM_LoopbackFootprint)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// 4. Capacity (opt-in).

long ReadNumber(const char* path)
{
    std::ifstream file(path);
    long value = -1;
    file >> value;
    return value;
}

std::string Limit(rlim_t value)
{
    return value == RLIM_INFINITY ? "unlimited" : std::to_string(static_cast<unsigned long long>(value));
}

void RunCapacity(size_t bound, std::chrono::seconds timeBound)
{
    std::printf("\ncapacity: accepted connections held at once (bound %zu connections, %lld s)\n", bound,
                static_cast<long long>(timeBound.count()));
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    getrlimit(RLIMIT_NOFILE, &files);
    rlimit processes{};
    getrlimit(RLIMIT_NPROC, &processes);
    rlimit stack{};
    getrlimit(RLIMIT_STACK, &stack);
    std::printf("  limits: descriptors %s (hard %s), ulimit -u %s, threads-max %ld, pid_max %ld, "
                "max_map_count %ld, stack %s bytes per thread\n",
                Limit(files.rlim_cur).c_str(), Limit(files.rlim_max).c_str(), Limit(processes.rlim_cur).c_str(),
                ReadNumber("/proc/sys/kernel/threads-max"), ReadNumber("/proc/sys/kernel/pid_max"),
                ReadNumber("/proc/sys/vm/max_map_count"), Limit(stack.rlim_cur).c_str());
    std::printf("  machine: MemAvailable %ld kB, %ld threads on the machine before\n",
                [] {
                    std::ifstream meminfo("/proc/meminfo");
                    std::string line;
                    while (std::getline(meminfo, line))
                        if (line.rfind("MemAvailable:", 0) == 0)
                            return std::strtol(line.c_str() + 13, nullptr, 10);
                    return -1L;
                }(),
                [] {
                    long threads = 0;
                    if (DIR* dir = opendir("/proc")) {
                        while (const dirent* entry = readdir(dir)) {
                            if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
                                continue;
                            const std::string path = std::string("/proc/") + entry->d_name + "/status";
                            std::ifstream status(path);
                            std::string line;
                            while (std::getline(status, line))
                                if (line.rfind("Threads:", 0) == 0)
                                    threads += std::strtol(line.c_str() + 8, nullptr, 10);
                        }
                        closedir(dir);
                    }
                    return threads;
                }());

    const ProcessUsage empty = SettledUsage(ReadUsage().threads);
    auto host = std::make_unique<AcceptingHost>();
    std::uint16_t port = 0;
    {
        Watchdog watchdog("capacity: listening", std::chrono::seconds(30));
        port = host->Listen();
    }
    if (port == 0) {
        std::printf("  no listening port\n");
        return;
    }
    // Reading /proc takes a descriptor; when descriptors are what gave out,
    // this one is given back for it.
    Socket spare(open("/dev/null", O_RDONLY | O_CLOEXEC));
    const ProcessUsage before = ReadUsage();
    std::vector<Socket> clients;
    clients.reserve(bound);
    std::string gaveOut = "nothing: the connection bound was reached";
    const Clock::time_point start = Clock::now();
    Clock::time_point lastProgress = start;
    {
        Watchdog watchdog("capacity: accepting", timeBound + std::chrono::seconds(60));
        while (clients.size() < bound) {
            if (Clock::now() - start > timeBound) {
                gaveOut = "nothing: the time bound was reached";
                break;
            }
            int error = 0;
            Socket client = ConnectLoopback(port, &error);
            if (!client.Valid()) {
                gaveOut = std::string("a client connect: ") + std::strerror(error) + " (errno " +
                          std::to_string(error) + ")";
                break;
            }
            clients.push_back(std::move(client));
            if (!host->WaitAccepted(clients.size(), 10000)) {
                if (host->TakeOverFailed()) {
                    DWORD lastError = 0;
                    int wsaError = 0;
                    int sysError = 0;
                    host->FailureCodes(lastError, wsaError, sysError);
                    gaveOut = "Connect(listener) returned FALSE: GetLastError " + std::to_string(lastError) +
                              ", WSAGetLastError " + std::to_string(wsaError) + ", errno " +
                              std::to_string(sysError) + (sysError ? std::string(" (") + std::strerror(sysError) + ")" : "");
                } else {
                    gaveOut = "the listener did not take a caller over within 10 s";
                }
                break;
            }
            if (clients.size() % 500 == 0) {
                const Clock::time_point now = Clock::now();
                std::printf("  %zu accepted after %.1f s (%.1f ms per caller over the last 500)\n", clients.size(),
                            std::chrono::duration<double>(now - start).count(),
                            std::chrono::duration<double, std::milli>(now - lastProgress).count() / 500);
                std::fflush(stdout);
                lastProgress = now;
            }
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    spare.Reset();
    ProcessUsage at = ReadUsage();
    ++at.descriptors;   // the spare, held when `before` was read
    const double idleCpu = IdleCpuMsPerSecond(std::chrono::milliseconds(3000));
    const size_t held = host->Accepted();
    std::printf("  held %zu accepted connections (%zu client sockets) after %.1f s; what gave out: %s\n", held,
                clients.size(), seconds, gaveOut.c_str());
    std::printf("  process at that point: threads %ld, descriptors %ld, mappings %ld, VmRSS %ld kB, VmSize %ld kB\n",
                at.threads, at.descriptors, at.mappings, at.rssKb, at.vmKb);
    if (held > 0)
        std::printf("  per accepted connection: %.2f threads, %.2f descriptors (client's included), %.2f mappings, "
                    "%.1f kB resident, %.0f kB virtual\n",
                    static_cast<double>(at.threads - before.threads) / static_cast<double>(held),
                    static_cast<double>(at.descriptors - before.descriptors) / static_cast<double>(held),
                    static_cast<double>(at.mappings - before.mappings) / static_cast<double>(held),
                    static_cast<double>(at.rssKb - before.rssKb) / static_cast<double>(held),
                    static_cast<double>(at.vmKb - before.vmKb) / static_cast<double>(held));
    std::printf("  idle, the process then uses %.0f ms of CPU per second\n", idleCpu);

    const Clock::time_point teardown = Clock::now();
    {
        Watchdog watchdog("capacity: disconnecting", std::chrono::seconds(180));
        host->StopTaking();
        host->DisconnectAll();
        clients.clear();
        host.reset();
    }
    const double teardownSeconds = std::chrono::duration<double>(Clock::now() - teardown).count();
    const ProcessUsage left = SettledUsage(empty.threads);
    std::printf("  disconnecting all and closing the listener took %.1f s; afterwards %+ld threads, %+ld descriptors, "
                "%+ld kB resident against before the listener\n",
                teardownSeconds, left.threads - empty.threads, left.descriptors - empty.descriptors,
                left.rssKb - empty.rssKb);
}

// Takes --capacity or --capacity=N out of the arguments (the benchmark
// library refuses flags it does not know); TAVRIN_NET_CAPACITY=N does the
// same. 0 means no capacity run.
size_t TakeCapacityFlag(int& argc, char** argv)
{
    constexpr size_t kDefaultBound = 5000;
    size_t bound = 0;
    // A number is the bound (0: no capacity run); any other word asks for
    // the default bound.
    if (const char* env = std::getenv("TAVRIN_NET_CAPACITY"); env && *env)
        bound = (*env >= '0' && *env <= '9') ? std::strtoul(env, nullptr, 10) : kDefaultBound;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--capacity") == 0) {
            bound = kDefaultBound;
        } else if (std::strncmp(argv[i], "--capacity=", 11) == 0) {
            const unsigned long value = std::strtoul(argv[i] + 11, nullptr, 10);
            bound = value > 0 ? value : kDefaultBound;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    return bound;
}

// ---------------------------------------------------------------------------

class Collector : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal: the figures are often kept in a file.
    Collector() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            for (const auto& [name, counter] : run.counters)
                counters[run.benchmark_name()][name] = counter.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double Get(const std::string& benchmark, const std::string& counter)
    {
        auto found = counters.find(benchmark + "/real_time");
        if (found == counters.end())
            found = counters.find(benchmark + "/iterations:1/real_time");
        if (found == counters.end())
            return 0;
        auto value = found->second.find(counter);
        return value == found->second.end() ? 0 : value->second;
    }
    std::map<std::string, std::map<std::string, double>> counters;
};

double Percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<size_t>(p * static_cast<double>(samples.size() - 1))];
}

void PrintSummary(Collector& reporter)
{
    const double client = reporter.Get("BM_LanClientToHandler", "bytes_per_second");
    const double accepted = reporter.Get("BM_LanAcceptedToHandler", "bytes_per_second");
    const double plain = reporter.Get("BM_TcpRecvLoop", "bytes_per_second");
    const double loopback = reporter.Get("BM_LoopbackBlocks", "bytes_per_second");
    std::printf("\n");
    if (plain > 0 && loopback > 0) {
        std::printf("plain 1024-byte recv loop %.1f MB/s; loopback device, 1024-byte blocks %.1f MB/s\n", plain / 1e6,
                    loopback / 1e6);
        for (const auto& [name, rate] : {std::pair{"CLan client", client}, std::pair{"accepted CLan", accepted}})
            if (rate > 0)
                std::printf("%s to handler %.1f MB/s: ratio %.3f to the recv loop, %.2f to the loopback device\n",
                            name, rate / 1e6, rate / plain, rate / loopback);
        std::printf("process CPU per MB: recv loop %.1f ms, loopback %.1f ms, CLan client %.1f ms, accepted CLan "
                    "%.1f ms\n",
                    reporter.Get("BM_TcpRecvLoop", "cpu_ms_per_MB"), reporter.Get("BM_LoopbackBlocks", "cpu_ms_per_MB"),
                    reporter.Get("BM_LanClientToHandler", "cpu_ms_per_MB"),
                    reporter.Get("BM_LanAcceptedToHandler", "cpu_ms_per_MB"));
    }
    const auto& lan = g_latencies["CLan client"];
    const auto& recvOnly = g_latencies["plain recv"];
    const auto& device = g_latencies["loopback"];
    if (!lan.empty()) {
        const double p50 = Percentile(lan, 0.50);
        const double p99 = Percentile(lan, 0.99);
        std::printf("64 bytes, peer send to handler: p50 %.0f us, p99 %.0f us over %zu messages\n", p50, p99,
                    lan.size());
        if (!recvOnly.empty())
            std::printf("  to a thread blocked in recv: p50 %.0f us, p99 %.0f us over %zu (CLan ratio %.2f / %.2f)\n",
                        Percentile(recvOnly, 0.50), Percentile(recvOnly, 0.99), recvOnly.size(),
                        p50 / Percentile(recvOnly, 0.50), p99 / Percentile(recvOnly, 0.99));
        if (!device.empty())
            std::printf("  loopback Write to handler: p50 %.0f us, p99 %.0f us over %zu (CLan ratio %.2f / %.2f)\n",
                        Percentile(device, 0.50), Percentile(device, 0.99), device.size(),
                        p50 / Percentile(device, 0.50), p99 / Percentile(device, 0.99));
    }
    for (const auto& [name, label] : {std::pair{"BM_AcceptedFootprint", "accepted CLan"},
                                      std::pair{"BM_LoopbackFootprint", "connected loopback device"}}) {
        auto found = reporter.counters.find(std::string(name) + "/iterations:1/real_time");
        if (found == reporter.counters.end())
            continue;
        auto& c = found->second;
        std::printf("per %s at %zu: %.1f kB resident, %.0f kB virtual, %.2f threads, %.2f descriptors, "
                    "%.2f mappings\n",
                    label, kFootprintConnections, c["rss_kB_per_conn"], c["vm_kB_per_conn"], c["threads_per_conn"],
                    c["fds_per_conn"], c["maps_per_conn"]);
        std::printf("  idle, the process uses %.1f ms of CPU per second with all %zu open\n", c["idle_cpu_ms_per_s"],
                    kFootprintConnections);
        std::printf("  after closing all %zu: %+.0f kB resident, then %+.0f kB per further round of %zu; "
                    "%+.0f threads, %+.0f descriptors after %d rounds\n",
                    kFootprintConnections, c["rss_kB_left"], c["rss_kB_growth_per_round"], kFootprintConnections,
                    c["threads_left"], c["fds_left"], kFootprintRounds);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const size_t capacityBound = TakeCapacityFlag(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Collector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    PrintSummary(reporter);
    if (capacityBound > 0)
        RunCapacity(capacityBound, std::chrono::seconds(60));
    return 0;
}
