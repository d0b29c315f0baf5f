// processPose per record with every transform set and with none, counting heap allocations.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>

#include "tracker/CTraCommonH.h"

#include "CountingAllocator.h"

namespace {

constexpr unsigned kPoses = 64;

void processPose(benchmark::State& state, bool everyTransform) {
    const unsigned long long setupStart = allocationCount.load();
    CTraCommonH processor(nullptr);
    processor.allocateStations(4);
    processor.setStation(1, 1, nullptr, nullptr, nullptr);
    if (everyTransform) {
        processor.transmitterOffset = offsetMatrix(1.0f, -2.0f, 0.5f);
        processor.transmitterRotation = axisAngleMatrix(0.3f, 1.0f, -0.2f, 37.0f);
        processor.transmitterTransform = composeTransform(processor.transmitterRotation, processor.transmitterOffset);
        processor.transmitterOffsetSet = processor.transmitterRotationSet = true;
        const Matrix4 offset = offsetMatrix(0.0f, 0.1f, 0.25f);
        const Matrix4 rotation = axisAngleMatrix(1.0f, 0.0f, 1.0f, -20.0f);
        const float translation[3] = {0.5f, 0.0f, -0.5f};
        processor.setStation(1, 1, &offset, &rotation, &translation);
    }

    // Varied samples, so the trigonometry does not see the same argument every time.
    Pose poses[kPoses];
    std::mt19937 generator(7u);
    std::uniform_real_distribution<float> position(-5.0f, 5.0f), angle(-180.0f, 180.0f), elevation(-89.0f, 89.0f);
    for (Pose& pose : poses)
        pose = Pose{position(generator), position(generator),  position(generator),
                    angle(generator),    elevation(generator), angle(generator)};

    // The processor's Logger and station table: shows that the counter does see the module's allocations.
    state.counters["setup_allocations"] = static_cast<double>(allocationCount.load() - setupStart);

    unsigned next = 0;
    bool allAccepted = true;
    const unsigned long long before = allocationCount.load();
    for (auto _ : state) {
        Pose pose = poses[next++ % kPoses];
        allAccepted &= processor.processPose(1, pose);
        benchmark::DoNotOptimize(pose);
    }
    const unsigned long long allocations = allocationCount.load() - before;
    state.counters["allocations"] = static_cast<double>(allocations);
    if (!allAccepted) state.SkipWithError("processPose refused a sample");
    if (allocations != 0) state.SkipWithError("processPose allocated");
}

}  // namespace

BENCHMARK_CAPTURE(processPose, every_transform, true);
BENCHMARK_CAPTURE(processPose, no_transform, false);

BENCHMARK_MAIN();
