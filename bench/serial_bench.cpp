// Bytes per second from the far end of a pseudo-terminal through CCom to the
// host's window procedure, beside a plain read loop on a pseudo-terminal and
// the loopback device's own block rate, in one run; and the latency from a
// 64-byte write at the far end to the handler. Prints both ratios and the
// latency percentiles. And what an open port costs in memory and threads at
// 50 of them on pseudo-terminals, beside as many connected loopback devices:
// the difference is the port's own (its event thread, and the backend's I/O
// thread and status watcher).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <tavrin/Tavrin.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kTransfer = 256 * 1024;
constexpr size_t kBlock = 1024;
constexpr size_t kFootprintPorts = 50;

struct Pty {
    Pty()
    {
        termios raw{};
        cfmakeraw(&raw);
        char name[128] = {};
        if (openpty(&master, &slave, name, &raw, nullptr) == 0)
            path = name;
    }
    ~Pty()
    {
        if (master >= 0)
            close(master);
        if (slave >= 0)
            close(slave);
    }
    void WriteAll(const char* data, size_t size) const
    {
        while (size > 0) {
            const ssize_t n = write(master, data, size);
            if (n <= 0)
                return;
            data += n;
            size -= static_cast<size_t>(n);
        }
    }
    int master = -1;
    int slave = -1;
    std::string path;
};

// A host window on its own thread that counts the data it is given and
// signals when a target is reached.
class CountingWindow {
public:
    CountingWindow()
    {
        m_thread = std::thread([this] {
            HWND hWnd = CreateMessageWindow([this](HWND, UINT message, WPARAM wParam, LPARAM) -> LRESULT {
                if (message == kData) {
                    const size_t total = m_received.fetch_add(wParam) + wParam;
                    if (total >= m_target.load())
                        m_reached.SetEvent();
                }
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
        m_threadId = GetWindowThreadProcessId(m_hWnd, nullptr);
    }
    ~CountingWindow()
    {
        PostThreadMessageA(m_threadId, WM_QUIT, 0, 0);
        PostMessageA(m_hWnd, WM_NULL, 0, 0);
        m_thread.join();
    }
    void Attach(CDevice& device)
    {
        device.EnableNotify(m_hWnd);
        device.SetMessage(DEVMSG_DATA, kData);
    }
    // Arms the count: Wait() returns once `bytes` more have arrived.
    void Expect(size_t bytes)
    {
        m_reached.ResetEvent();
        m_target = m_received.load() + bytes;
    }
    bool Wait() { return WaitForSingleObject(m_reached, 10000) == WAIT_OBJECT_0; }

    static constexpr UINT kData = WM_APP + 1;

private:
    std::mutex m_lock;
    std::condition_variable m_ready;
    HWND m_hWnd = nullptr;
    DWORD m_threadId = 0;
    std::atomic<size_t> m_received{0};
    std::atomic<size_t> m_target{~size_t{0}};
    CEvent m_reached{FALSE, TRUE};
    std::thread m_thread;
};

long StatusField(const char* name)
{
    std::ifstream status("/proc/self/status");
    const std::string field = std::string(name) + ":";
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + field.size());
    return -1;
}

// Opens kFootprintPorts loopback devices, then as many serial ports on
// pseudo-terminals beside them, and reads the process's memory and threads
// after each step. It runs first, while no ended thread has left a stack in
// the C library's cache for the next ones to reuse. The virtual memory
// includes the malloc arenas of the new threads (64 MiB reserved each, up
// to eight per processor); MALLOC_ARENA_MAX=1 leaves the stacks alone.
void BM_Footprint(benchmark::State& state)
{
    for (auto _ : state) {
        std::vector<std::unique_ptr<CDevice>> devices;
        std::vector<std::unique_ptr<Pty>> ptys;
        std::vector<std::unique_ptr<CCom>> ports;
        const auto sample = [] {
            return std::array<long, 3>{StatusField("VmSize"), StatusField("VmRSS"), StatusField("Threads")};
        };
        const auto record = [&state](const char* what, const std::array<long, 3>& from,
                                     const std::array<long, 3>& to) {
            const double count = kFootprintPorts;
            state.counters[std::string(what) + "_vm_kB"] = static_cast<double>(to[0] - from[0]) / count;
            state.counters[std::string(what) + "_rss_kB"] = static_cast<double>(to[1] - from[1]) / count;
            state.counters[std::string(what) + "_threads"] = static_cast<double>(to[2] - from[2]) / count;
        };
        const auto start = sample();
        for (size_t i = 0; i < kFootprintPorts; ++i) {
            devices.push_back(std::make_unique<CDevice>());
            if (!devices.back()->Connect()) {
                state.SkipWithError("a loopback device did not connect");
                return;
            }
        }
        const auto withDevices = sample();
        for (size_t i = 0; i < kFootprintPorts; ++i) {
            ptys.push_back(std::make_unique<Pty>());
            ports.push_back(std::make_unique<CCom>());
            if (!ports.back()->Connect(ptys.back()->path.c_str(), nullptr)) {
                state.SkipWithError("a port did not open");
                return;
            }
        }
        record("device", start, withDevices);
        record("port", withDevices, sample());
        for (auto& port : ports)
            port->Disconnect();
        for (auto& device : devices)
            device->Disconnect();
    }
}
BENCHMARK(BM_Footprint)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_PtyReadLoop(benchmark::State& state)
{
    Pty pty;
    std::vector<char> block(kBlock, 'r');
    for (auto _ : state) {
        std::thread writer([&] {
            for (size_t sent = 0; sent < kTransfer; sent += kBlock)
                pty.WriteAll(block.data(), kBlock);
        });
        char buffer[kBlock];
        size_t got = 0;
        while (got < kTransfer) {
            const ssize_t n = read(pty.slave, buffer, sizeof buffer);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        writer.join();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransfer));
}
BENCHMARK(BM_PtyReadLoop)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ComToHandler(benchmark::State& state)
{
    Pty pty;
    CountingWindow window;
    CCom com;
    window.Attach(com);
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!com.Connect(pty.path.c_str(), &dcb)) {
        state.SkipWithError("the port did not open");
        return;
    }
    // Printable bytes only: no packet frame starts, no flow-control bytes.
    std::vector<char> block(kBlock, 'c');
    for (auto _ : state) {
        window.Expect(kTransfer);
        for (size_t sent = 0; sent < kTransfer; sent += kBlock)
            pty.WriteAll(block.data(), kBlock);
        if (!window.Wait()) {
            state.SkipWithError("data did not arrive");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransfer));
    com.Disconnect();
}
BENCHMARK(BM_ComToHandler)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_LoopbackBlocks(benchmark::State& state)
{
    CountingWindow window;
    CDevice device;
    window.Attach(device);
    device.Connect();
    std::vector<BYTE> block(kBlock, 'l');
    for (auto _ : state) {
        window.Expect(kTransfer);
        for (size_t sent = 0; sent < kTransfer; sent += kBlock)
            device.Write(block.data(), static_cast<DWORD>(kBlock));
        if (!window.Wait()) {
            state.SkipWithError("data did not arrive");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransfer));
    device.Disconnect();
}
BENCHMARK(BM_LoopbackBlocks)->UseRealTime()->Unit(benchmark::kMillisecond);

std::vector<double> g_latencies;

void BM_WriteToHandlerLatency(benchmark::State& state)
{
    Pty pty;
    CountingWindow window;
    CCom com;
    window.Attach(com);
    if (!com.Connect(pty.path.c_str(), nullptr)) {
        state.SkipWithError("the port did not open");
        return;
    }
    std::vector<char> message(64, 'm');
    for (auto _ : state) {
        window.Expect(message.size());
        const auto start = std::chrono::steady_clock::now();
        pty.WriteAll(message.data(), message.size());
        if (!window.Wait()) {
            state.SkipWithError("data did not arrive");
            break;
        }
        g_latencies.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    com.Disconnect();
}
BENCHMARK(BM_WriteToHandlerLatency)->UseRealTime()->Unit(benchmark::kMicrosecond);

class RateCollector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            auto bytes = run.counters.find("bytes_per_second");
            if (run.run_type == Run::RT_Iteration && bytes != run.counters.end())
                rates[run.benchmark_name()] = bytes->second;
            if (run.run_type == Run::RT_Iteration && run.counters.count("port_vm_kB"))
                footprint = run.counters;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;
    benchmark::UserCounters footprint;
};

double Percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<size_t>(p * static_cast<double>(samples.size() - 1))];
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RateCollector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double com = reporter.rates["BM_ComToHandler/real_time"];
    const double raw = reporter.rates["BM_PtyReadLoop/real_time"];
    const double loopback = reporter.rates["BM_LoopbackBlocks/real_time"];
    if (com > 0 && raw > 0 && loopback > 0)
        std::printf("\nCCom to handler %.1f MB/s; plain pty read loop %.1f MB/s (ratio %.2f); "
                    "loopback device %.1f MB/s (ratio %.2f)\n",
                    com / 1e6, raw / 1e6, com / raw, loopback / 1e6, com / loopback);
    if (!g_latencies.empty())
        std::printf("64-byte write to handler: p50 %.0f us, p99 %.0f us over %zu writes\n",
                    Percentile(g_latencies, 0.50), Percentile(g_latencies, 0.99), g_latencies.size());
    auto& f = reporter.footprint;
    if (!f.empty())
        std::printf("per open CCom on a pty at %zu: %.0f kB virtual, %.0f kB resident, %.2f threads; "
                    "per connected loopback device: %.0f kB virtual, %.0f kB resident, %.2f threads\n",
                    kFootprintPorts, double(f["port_vm_kB"]), double(f["port_rss_kB"]), double(f["port_threads"]),
                    double(f["device_vm_kB"]), double(f["device_rss_kB"]), double(f["device_threads"]));
    return 0;
}
