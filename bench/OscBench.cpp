// OscBench: the reception thread's cost of handing one record to the OSC sender.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "OutputBench.h"
#include "outputs/OscOutput.h"
#include "outputs/SenderQueue.h"

namespace {

using namespace fastrakhost;
using namespace outputbench;

// A UDP port on 127.0.0.1 that is bound but never read: sends succeed, the kernel drops the rest.
class Sink {
public:
    Sink() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        url_ = "osc.udp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    ~Sink() { close(fd_); }
    const std::string& url() const { return url_; }

private:
    int fd_;
    std::string url_;
};

// At tracker rates, to 1 or 4 destinations.
void BM_PublishAtTrackerRate(benchmark::State& state) {
    Sink sink;
    OscOutput osc;
    std::string message;
    for (int64_t i = 0; i < state.range(0); ++i) {
        if (osc.open(sink.url(), message) != OpenResult::Opened) state.SkipWithError(message.c_str());
    }
    osc.start();
    publishAtTrackerRate(state, osc);
    osc.stop();
    countSentAndReplaced(state, osc);
}
BENCHMARK(BM_PublishAtTrackerRate)->Arg(1)->Arg(4)->Iterations(3000)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Back to back, the sender sending as fast as it can: the lock is contended and, once the sender
// falls behind, poses are replaced.
void BM_PublishFlood(benchmark::State& state) {
    Sink sink;
    OscOutput osc;
    std::string message;
    if (osc.open(sink.url(), message) != OpenResult::Opened) state.SkipWithError(message.c_str());
    osc.start();
    const Sample sample = pose(1);
    for (auto _ : state) osc.publish(sample);
    osc.stop();
    countSentAndReplaced(state, osc);
}
BENCHMARK(BM_PublishFlood)->Unit(benchmark::kMicrosecond);

// A destination that has stopped taking records: every push replaces the output's oldest pose.
void BM_PushIntoFullQueue(benchmark::State& state) {
    SenderQueue queue;
    const Sample sample = pose(3);
    for (auto _ : state) queue.push(sample);
    state.counters["replaced"] = static_cast<double>(queue.replaced());
}
BENCHMARK(BM_PushIntoFullQueue)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
