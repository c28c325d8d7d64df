// Files over the packet frames between two serial ports on a socat pty
// pair, beside the baseline of the same pair: the bytes written at one end
// and read at the other by plain read and write loops, in the same run.
// And ZMODEM and YMODEM-1K against lrzsz over a socat pty and loopback TCP,
// beside lrzsz against itself on the same kind of line (sz to rz, sb to rb).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <tavrin/Tavrin.h>

#include <filesystem>
#include <string>
#include <thread>

#include "support/LrzszPeer.h"
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


// ---- against lrzsz --------------------------------------------------------------

using tavrin::test::LrzszPeer;
using Via = LrzszPeer::Via;

constexpr std::size_t kLrzszFileSize = 8u << 20;

enum Who { kOursSend, kOursReceive, kLrzszBoth };

// One transfer of file with protocol (XFER_ZMODEM or XFER_YMODEM) over via;
// false, with the reason in state, when it did not arrive whole.
bool OneTransfer(benchmark::State& state, XferProtocol protocol, Via via, Who who, const std::string& file)
{
    const bool zmodem = protocol == XFER_ZMODEM;
    tavrin::test::TempDir to;
    const std::string from = file.substr(0, file.rfind('/'));
    const std::string name = file.substr(file.rfind('/') + 1);
    if (who == kLrzszBoth) {
        LrzszPeer receiver(via, {zmodem ? "rz" : "rb"}, to.Path());
        LrzszPeer sender(via == Via::Pty ? Via::Open : Via::Dial,
                         {zmodem ? "sz" : "sb", zmodem ? "-q" : "-k", file}, from, receiver.Port(),
                         receiver.PtyPath());
        if (sender.WaitForExit(120000) != 0 || receiver.WaitForExit(120000) != 0) {
            state.SkipWithError(("lrzsz failed: " + sender.Log() + receiver.Log()).c_str());
            return false;
        }
    } else {
        const bool weSend = who == kOursSend;
        std::vector<std::string> command = {weSend ? (zmodem ? "rz" : "rb") : (zmodem ? "sz" : "sb")};
        if (!weSend) {
            if (!zmodem)
                command.push_back("-k");
            command.push_back(file);
        }
        LrzszPeer peer(via, command, weSend ? to.Path() : from);
        tavrin::test::TransferEnd end;
        if (!peer.Ready() || !(via == Via::Pty ? end.OpenSerial(peer.PtyPath()) : end.OpenTcp(peer.Port()))) {
            state.SkipWithError(("cannot reach lrzsz: " + peer.Error() + end.Error()).c_str());
            return false;
        }
        const BOOL started = weSend ? end.Transfer().Send(protocol, {file}) : end.Transfer().Receive(protocol, to.Path());
        if (!started || !end.Finish(120000) || !end.Transfer().Succeeded() || peer.WaitForExit(20000) != 0) {
            state.SkipWithError(("transfer failed: " + end.Transfer().GetError() + " / " + peer.Log()).c_str());
            return false;
        }
    }
    if (tavrin::test::ReadWholeFile(to.Path() + "/" + name) != tavrin::test::ReadWholeFile(file)) {
        state.SkipWithError("the file arrived damaged");
        return false;
    }
    return true;
}

// Arguments: protocol, line (0 pty, 1 TCP), who.
void BM_Lrzsz(benchmark::State& state)
{
    const auto protocol = static_cast<XferProtocol>(state.range(0));
    const Via via = state.range(1) == 0 ? Via::Pty : Via::Tcp;
    const Who who = static_cast<Who>(state.range(2));
    if (!LrzszPeer::Available()) {
        state.SkipWithError("lrzsz or socat is not installed");
        return;
    }
    tavrin::test::TempDir dir;
    const std::size_t size = protocol == XFER_ZMODEM ? kLrzszFileSize : kLrzszFileSize / 2;
    const std::string file = tavrin::test::MakeTransferFiles(dir.Path(), {size})[0];
    static const char* const kWho[] = {"ours->lrzsz", "lrzsz->ours", "lrzsz->lrzsz (baseline)"};
    state.SetLabel(std::string(protocol == XFER_ZMODEM ? "ZMODEM " : "YMODEM-1K ") +
                   (via == Via::Pty ? "socat pty " : "TCP ") + kWho[who]);
    for (auto _ : state) {
        if (!OneTransfer(state, protocol, via, who, file))
            return;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_Lrzsz)
    ->ArgsProduct({{XFER_ZMODEM}, {0, 1}, {kLrzszBoth, kOursSend, kOursReceive}})
    ->ArgsProduct({{XFER_YMODEM}, {0}, {kLrzszBoth, kOursSend}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
