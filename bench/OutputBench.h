// OutputBench: what the benchmarks of fastrak-host's outputs share: the record they publish, the
// timed loop at tracker rates and the port of the address an output is bound to.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "devices/PoseBoard.h"
#include "outputs/HostOutput.h"

namespace outputbench {

// A tracker record of `output`, stamped now.
inline fastrakhost::Sample pose(uint32_t output) {
    fastrakhost::Sample sample;
    sample.device = "sim";
    sample.output = output;
    sample.hostTime = fastrakhost::wallClockSeconds();
    sample.measuredTime = sample.hostTime;
    sample.arrived = std::chrono::steady_clock::now();
    for (int i = 0; i < 6; ++i) sample.pose[i] = 1.25 * (i + 1);
    return sample;
}

// What the output sent and replaced while it was timed, as the benchmark's counters.
inline void countSentAndReplaced(benchmark::State& state, const fastrakhost::HostOutput& output) {
    const fastrakhost::OutputTotals totals = output.totals();
    state.counters["sent"] = static_cast<double>(totals.sent);
    state.counters["replaced"] = static_cast<double>(totals.replaced);
}

// At tracker rates: a record every millisecond, the output's threads asleep in between, as in a run.
// Only publish() is timed, wake-up of any sender thread included; the longest goes to "longest_us".
template <class Output>
void publishAtTrackerRate(benchmark::State& state, Output& output) {
    uint32_t next = 0;
    double longest = 0;
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const fastrakhost::Sample sample = pose(next++ % 4 + 1);
        const auto start = std::chrono::steady_clock::now();
        output.publish(sample);
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(took);
        if (took > longest) longest = took;
    }
    state.counters["longest_us"] = longest * 1e6;
}

// The port of ADDR:PORT, also at the end of a URL (http://ADDR:PORT/).
inline int portOf(const std::string& address) { return std::stoi(address.substr(address.rfind(':') + 1)); }

}  // namespace outputbench
