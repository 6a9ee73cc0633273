// SPDX-License-Identifier: MIT
// Device link throughput over the in-process transport: PutFile and GetFile of a 4 MiB file
// to and from the simulated machine, each chunk's frames handed to the IoWorker at once.
// Besides bytes per second it reports the CPU time of the whole process (requester, worker
// and machine together) per megabyte moved, which shows that waiting for a frame costs
// nothing.
#include <devicelink/device_link.h>
#include <devicelink/sim_machine.h>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kFileBytes = 4u << 20;

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::filesystem::path scratchCard() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vela-link-bench-XXXXXX");
    if (!mkdtemp(pattern.data())) std::abort();
    return pattern;
}

void runTransfers(benchmark::State& state, bool put) {
    const std::filesystem::path folder = scratchCard();
    {
        SimMachine sim(folder);
        sim.setRecording(false);
        DeviceLink link(makeSimTransport(sim));
        if (link.Connect() != LinkResult::Ok) state.SkipWithError("connect failed");
        std::vector<std::uint8_t> data(kFileBytes);
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = std::uint8_t(i * 131 + (i >> 9));
        if (link.PutFile(data.data(), kFileBytes, "vx:\\", "bench.bin") != LinkResult::Ok)
            state.SkipWithError("put failed");
        std::vector<std::uint8_t> got;

        const double cpuStart = processCpuSeconds();
        for (auto _ : state) {
            const LinkResult result =
                put ? link.PutFile(data.data(), kFileBytes, "vx:\\", "bench.bin")
                    : link.GetFile("vx:\\bench.bin", "bench.bin", got);
            if (result != LinkResult::Ok) state.SkipWithError("transfer failed");
            benchmark::DoNotOptimize(got.data());
        }
        const double megabytes = double(state.iterations()) * kFileBytes / 1e6;
        state.SetBytesProcessed(std::int64_t(state.iterations()) * kFileBytes);
        state.counters["cpu_s_per_MB"] = (processCpuSeconds() - cpuStart) / megabytes;
    }
    std::filesystem::remove_all(folder);
}

void BM_InProcessPutFile(benchmark::State& state) {
    runTransfers(state, true);
}
void BM_InProcessGetFile(benchmark::State& state) {
    runTransfers(state, false);
}

} // namespace

BENCHMARK(BM_InProcessPutFile)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_InProcessGetFile)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

BENCHMARK_MAIN();
