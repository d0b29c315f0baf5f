// WebBench: the reception thread's cost of handing one record to the web view and to the statistics.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "devices/OutputStats.h"
#include "devices/PoseBoard.h"
#include "OutputBench.h"
#include "outputs/WebOutput.h"

namespace {

using namespace fastrakhost;
using namespace outputbench;

// A client on 127.0.0.1 that follows /events and reads everything, as a page does.
class Follower {
public:
    explicit Follower(int port) {
        thread_ = std::thread([this, port] {
            httplib::Client client("127.0.0.1", port);
            client.Get("/events", [this](const char*, size_t) { return !done_; });
        });
    }
    ~Follower() {
        done_ = true;
        thread_.join();
    }

private:
    std::thread thread_;
    std::atomic<bool> done_{false};
};

// The web view listening on a free port of 127.0.0.1 and serving; false with the reason given to
// the benchmark.
bool serve(benchmark::State& state, PoseBoard& board, OutputStats& stats, WebOutput& web) {
    std::string message;
    if (web.open("127.0.0.1:0", message) != OpenResult::Opened) {
        state.SkipWithError(message.c_str());
        return false;
    }
    web.attach(&board, &stats);
    web.start();
    return true;
}

// At tracker rates, with 0 or 1 page following /events.
void BM_PublishAtTrackerRate(benchmark::State& state) {
    PoseBoard board;
    OutputStats stats;
    WebOutput web;
    if (!serve(state, board, stats, web)) return;
    std::unique_ptr<Follower> follower;
    if (state.range(0) > 0) follower.reset(new Follower(portOf(web.url())));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    publishAtTrackerRate(state, web);
    follower.reset();
    const auto totals = web.totals();
    web.stop();
    state.counters["skipped"] = static_cast<double>(totals.skipped);
}
BENCHMARK(BM_PublishAtTrackerRate)->Arg(0)->Arg(1)->Iterations(3000)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Back to back with a page following: the ring's lock is contended by the client's reads.
void BM_PublishFlood(benchmark::State& state) {
    PoseBoard board;
    OutputStats stats;
    WebOutput web;
    if (!serve(state, board, stats, web)) return;
    Follower follower(portOf(web.url()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const Sample sample = pose(1);
    for (auto _ : state) web.publish(sample);
    web.stop();
}
BENCHMARK(BM_PublishFlood)->Unit(benchmark::kMicrosecond);

// The statistics every record feeds, web view or not: a moving receiver, four outputs in turn.
void BM_StatisticsAdd(benchmark::State& state) {
    OutputStats stats;
    uint32_t n = 0;
    for (auto _ : state) {
        Sample sample = pose(n % 4 + 1);
        sample.pose[0] += 0.001 * n++;
        stats.add(sample);
    }
}
BENCHMARK(BM_StatisticsAdd)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
