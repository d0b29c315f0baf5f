// IgtlBench: the reception thread's cost of handing one record to the OpenIGTLink clients' senders.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "OutputBench.h"
#include "outputs/IgtlOutput.h"

namespace {

using namespace fastrakhost;
using namespace outputbench;

// A client on 127.0.0.1 that reads everything and throws it away.
class Reader {
public:
    explicit Reader(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // A failed connect shows as a client missing in the server's count, which serve() waits for.
        (void)connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to);
        thread_ = std::thread([this] {
            char scrap[65536];
            while (recv(fd_, scrap, sizeof scrap, 0) > 0) continue;
        });
    }
    ~Reader() {
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
    }

private:
    int fd_;
    std::thread thread_;
};

// Listens on a free port of 127.0.0.1 with `clients` readers connected; false with a reason if not.
bool serve(IgtlOutput& igtl, std::vector<std::unique_ptr<Reader>>& readers, int64_t clients, std::string& problem) {
    if (igtl.open("0", problem) != OpenResult::Opened) return false;
    igtl.start();
    const int port = portOf(igtl.address());
    for (int64_t i = 0; i < clients; ++i) readers.emplace_back(new Reader(port));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (igtl.totals().clients < static_cast<uint64_t>(clients) && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    problem = "the clients were not accepted";
    return igtl.totals().clients == static_cast<uint64_t>(clients);
}

// At tracker rates, to 0, 1 or 3 clients.
void BM_PublishAtTrackerRate(benchmark::State& state) {
    IgtlOutput igtl;
    std::vector<std::unique_ptr<Reader>> readers;
    std::string problem;
    if (!serve(igtl, readers, state.range(0), problem)) state.SkipWithError(problem.c_str());
    publishAtTrackerRate(state, igtl);
    igtl.stop();
    countSentAndReplaced(state, igtl);
}
BENCHMARK(BM_PublishAtTrackerRate)
    ->Arg(0)
    ->Arg(1)
    ->Arg(3)
    ->Iterations(3000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// Back to back, one client, its sender packing and sending as fast as it can: the queue's lock is
// contended and, once the sender falls behind, poses are replaced.
void BM_PublishFlood(benchmark::State& state) {
    IgtlOutput igtl;
    std::vector<std::unique_ptr<Reader>> readers;
    std::string problem;
    if (!serve(igtl, readers, 1, problem)) state.SkipWithError(problem.c_str());
    const Sample sample = pose(1);
    for (auto _ : state) igtl.publish(sample);
    igtl.stop();
    countSentAndReplaced(state, igtl);
}
BENCHMARK(BM_PublishFlood)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
