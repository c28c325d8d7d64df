// Files over the packet frames between two serial ports on a socat pty
// pair, beside the baseline of the same pair: the bytes written at one end
// and read at the other by plain read and write loops, in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <tavrin/Tavrin.h>

#include <filesystem>
#include <string>
#include <thread>

#include "support/Ser2netPeer.h"
#include "support/TransferEnd.h"

namespace {

constexpr std::size_t kFileSize = 2u << 20;

void BM_PtyPairPlainCopy(benchmark::State& state)
{
    tavrin::test::TempDir dir;
    tavrin::test::SocatPtyPair pair(dir.Path());
    const int a = open(pair.PathA().c_str(), O_RDWR | O_NOCTTY);
    const int b = open(pair.PathB().c_str(), O_RDWR | O_NOCTTY);
    if (!pair.Ready() || a < 0 || b < 0) {
        state.SkipWithError("no pty pair");
        return;
    }
    const std::string block(4096, 'x');
    for (auto _ : state) {
        std::thread writer([&] {
            for (std::size_t sent = 0; sent < kFileSize;) {
                const ssize_t n = write(a, block.data(), std::min(block.size(), kFileSize - sent));
                if (n <= 0)
                    return;
                sent += static_cast<std::size_t>(n);
            }
        });
        char buffer[65536];
        for (std::size_t got = 0; got < kFileSize;) {
            const ssize_t n = read(b, buffer, sizeof buffer);
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        writer.join();
    }
    close(a);
    close(b);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_PtyPairPlainCopy)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_PacketFiles(benchmark::State& state)
{
    tavrin::test::TempDir dir;
    tavrin::test::SocatPtyPair pair(dir.Path());
    if (!pair.Ready()) {
        state.SkipWithError("no pty pair");
        return;
    }
    const std::string in = dir.Path() + "/in";
    std::filesystem::create_directory(in);
    const std::string file = tavrin::test::MakeTransferFiles(dir.Path(), {kFileSize})[0];
    tavrin::test::TransferEnd sender(pair.PathA()), receiver(pair.PathB());
    XferReceiveOptions options;
    options.overwrite = true;
    for (auto _ : state) {
        receiver.Transfer().Receive(XFER_PACKET, in, options);
        sender.Transfer().Send(XFER_PACKET, {file});
        if (!sender.Finish() || !receiver.Finish() || !receiver.Transfer().Succeeded()) {
            state.SkipWithError(("transfer failed: " + receiver.Transfer().GetError()).c_str());
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_PacketFiles)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
