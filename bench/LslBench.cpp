// LslBench: the reception thread's cost of handing one record to the LSL sender, outlets included.
// Run it with LSLAPICFG naming a file with ResolveScope = machine to keep LSL on this machine.
#include <benchmark/benchmark.h>

#include <string>

#include "OutputBench.h"
#include "outputs/LslOutput.h"

namespace {

using namespace fastrakhost;
using namespace outputbench;

// At tracker rates over four outputs: the sender makes their outlets and pushes every sample.
void BM_PublishAtTrackerRate(benchmark::State& state) {
    LslOutput lsl;
    std::string message;
    if (lsl.open("--lsl", message) != OpenResult::Opened) state.SkipWithError(message.c_str());
    lsl.setDevice("sim", PoseAngles::Cave, 4);
    lsl.start();
    publishAtTrackerRate(state, lsl);
    lsl.stop();
    countSentAndReplaced(state, lsl);
}
BENCHMARK(BM_PublishAtTrackerRate)->Iterations(3000)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Back to back: the lock is contended and, once the sender falls behind, poses are replaced.
void BM_PublishFlood(benchmark::State& state) {
    LslOutput lsl;
    std::string message;
    if (lsl.open("--lsl", message) != OpenResult::Opened) state.SkipWithError(message.c_str());
    lsl.start();
    const Sample sample = pose(1);
    for (auto _ : state) lsl.publish(sample);
    lsl.stop();
    countSentAndReplaced(state, lsl);
}
BENCHMARK(BM_PublishFlood)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
