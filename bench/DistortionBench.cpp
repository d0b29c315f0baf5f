// Cost per sample of the fastrak_distortion library, called through the module's calibration path,
// for models of each degree.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "CorrectionModel.h"
#include "calib/CCalibH.h"

namespace {

// A model of this degree with coefficients of a realistic size (inches of offset, a degree or so
// of turn), written where the library can read it.
std::string writeModel(int degree) {
    distortion::CorrectionModel model;
    model.low = {-5, -5, -6};
    model.high = {5, 3, 0};
    model.centre = {0, -1, -3};
    model.scale = {5, 4, 3};
    std::mt19937_64 random(degree);
    std::uniform_real_distribution<double> size(-0.05, 0.05);
    for (distortion::Polynomial* poly : {&model.position, &model.orientation}) {
        poly->degree = degree;
        poly->terms = distortion::monomials(degree);
        for (auto& list : poly->coefficients) {
            for (size_t t = 0; t < poly->terms.size(); ++t) list.push_back(size(random));
        }
    }
    const std::string path = std::string(DISTORTION_BENCH_DIR) + "/model-" + std::to_string(degree) + ".json";
    std::ofstream(path) << model.toJson();
    return path;
}

void Evaluate(benchmark::State& state) {
    const std::string path = writeModel(static_cast<int>(state.range(0)));
    CCalibH calib(DISTORTION_PLUGIN_PATH, nullptr);
    const char* args[] = {path.c_str()};
    if (!calib.init(args, 1) || calib.handle() == nullptr) {
        state.SkipWithError("the library did not load the model");
        return;
    }
    // Samples spread over the model's volume and over all attitudes.
    std::mt19937 random(1);
    std::uniform_real_distribution<float> x(-5, 5), y(-5, 3), z(-6, 0), angle(-180, 180), tilt(-85, 85);
    float samples[256][6];
    for (auto& s : samples) {
        const float values[6] = {x(random), y(random), z(random), angle(random), tilt(random), angle(random)};
        std::copy(values, values + 6, s);
    }
    size_t next = 0;
    for (auto _ : state) {
        float sample[6];
        std::copy(samples[next], samples[next] + 6, sample);
        next = (next + 1) & 255;
        calib.evaluate(sample);
        benchmark::DoNotOptimize(sample);
    }
    calib.exit();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Evaluate)->DenseRange(1, distortion::kMaxDegree);

}  // namespace

BENCHMARK_MAIN();
