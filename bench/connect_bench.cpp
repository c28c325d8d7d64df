// Connect + Disconnect cycle time of a loopback device, alone in the process
// and beside 300 other connected devices, measured in one run. Starting and
// stopping a device creates and ends its worker threads; what a thread costs
// when it ends must not grow with the number of kernel objects other devices
// hold, so the two figures should be about equal. Prints their ratio.
#include <benchmark/benchmark.h>
#include <tavrin/Tavrin.h>

#include <cstdio>
#include <map>
#include <memory>
#include <vector>

namespace {

void BM_ConnectDisconnect(benchmark::State& state)
{
    std::vector<std::unique_ptr<CDevice>> others;
    for (int64_t i = 0; i < state.range(0); ++i) {
        others.push_back(std::make_unique<CDevice>());
        others.back()->Connect();
    }
    CDevice device;
    for (auto _ : state) {
        device.Connect();
        device.Disconnect();
    }
    for (auto& other : others)
        other->Disconnect();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConnectDisconnect)->Arg(0)->Arg(300)->UseRealTime()->Unit(benchmark::kMicrosecond);

class CycleCollector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && run.iterations > 0)
                microseconds[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> microseconds;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    CycleCollector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto alone = reporter.microseconds.find("BM_ConnectDisconnect/0/real_time");
    const auto crowded = reporter.microseconds.find("BM_ConnectDisconnect/300/real_time");
    if (alone != reporter.microseconds.end() && crowded != reporter.microseconds.end() && alone->second > 0)
        std::printf("\nconnect + disconnect: %.1f us alone, %.1f us beside 300 connected devices, ratio %.2f\n",
                    alone->second, crowded->second, crowded->second / alone->second);
    return 0;
}
