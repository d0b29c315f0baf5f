// The emulator's output against the line speed the driver set: bytes per second over a saturated
// line, as a ratio to baud / 10; and how many records per second it writes unpaced.
#include <benchmark/benchmark.h>

#include <string>

#include "FastrakSim.h"
#include "PtyDriver.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

speed_t speedCode(int baud) {
    switch (baud) {
        case 2400:
            return B2400;
        case 9600:
            return B9600;
        case 38400:
            return B38400;
        default:
            return B115200;
    }
}

// Long records (five position/angle pairs, 125 bytes binary) at 120 solutions per second ask for
// more than any of these speeds carries, so the line is always busy and pacing sets the rate.
void BM_PacedLineRate(benchmark::State& state) {
    const int baud = static_cast<int>(state.range(0));
    fastraksim::SimOptions options;
    options.receivers = {true, false, false, false};
    options.resetSeconds = 0;
    options.latencySeconds = 0;  // no idle gap while a record waits for its latency
    fastraksim::FastrakSim sim(options);
    std::string error;
    if (!sim.start(error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    simtest::PtyDriver driver(sim.slavePath(), speedCode(baud));  // the speed comes from termios
    driver.send("O1,2,4,2,4,2,4,2,4,2,4,1\rfC");
    driver.readFor(300ms);  // settle into the steady state

    const size_t chunk = static_cast<size_t>(baud / 10 / 2);  // about half a second of bytes
    double bytes = 0, seconds = 0;
    for (auto _ : state) {
        const auto begin = Clock::now();
        const std::string got = driver.read(chunk, 10s);
        const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
        state.SetIterationTime(elapsed);
        bytes += static_cast<double>(got.size());
        seconds += elapsed;
    }
    driver.send("c");
    const double rate = bytes / seconds;
    state.counters["bytes_per_s"] = rate;
    state.counters["ratio_to_line"] = rate / (baud / 10.0);
    state.counters["dropped_solutions"] = static_cast<double>(sim.stats().solutionsDropped);
}
BENCHMARK(BM_PacedLineRate)
    ->Arg(2400)
    ->Arg(9600)
    ->Arg(38400)
    ->Arg(115200)
    ->UseManualTime()
    ->Iterations(4)
    ->Unit(benchmark::kMillisecond);

// Unpaced and free-running: records as fast as a reader takes them (the emulator as a load source).
void BM_UnpacedRecords(benchmark::State& state) {
    fastraksim::SimOptions options;
    options.receivers = {true, true, false, false};
    options.paced = false;
    options.solutionRate = 0;
    options.latencySeconds = 0;
    options.logCapacity = 1000;
    fastraksim::FastrakSim sim(options);
    std::string error;
    if (!sim.start(error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    simtest::PtyDriver driver(sim.slavePath());
    driver.send("fC");
    driver.readFor(100ms);
    const uint64_t before = sim.stats().records;
    size_t bytes = 0;
    for (auto _ : state) bytes += driver.read(29 * 1000, 10s).size();
    driver.send("c");
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["records_per_s"] =
        benchmark::Counter(static_cast<double>(sim.stats().records - before), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_UnpacedRecords)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
