// recvData over a pseudo-terminal: records per second against a bare one-byte read loop, latency
// from the last byte written to the record in storage, and allocations and calls per record.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "device/CFastrak.h"
#include "platform/Sleeper.h"
#include "serial/SyscallHooks.h"
#include "support/ConfigBuilder.h"
#include "support/HostStorage.h"

#include "CountingAllocator.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<unsigned long long> clockCalls{0};

}  // namespace

// Clock readings: the record's time stamp needs one; anything more is a cost per byte.
extern "C" int clock_gettime(clockid_t id, struct timespec* now) noexcept {
    static const auto real = reinterpret_cast<int (*)(clockid_t, struct timespec*)>(dlsym(RTLD_NEXT, "clock_gettime"));
    clockCalls.fetch_add(1, std::memory_order_relaxed);
    return real(id, now);
}

namespace {

void noWait(uint32_t) {}

std::string floatBytes(float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
    return out;
}

// A station-1 record whose x carries n, so every record differs and can be told apart.
std::string record(uint32_t n) {
    std::string r = "01 ";
    for (float value : {12.0f, static_cast<float>(n % 100000) * 0.01f, 3.0f, 10.0f, 20.0f, 30.0f})
        r += floatBytes(value);
    return r + "\r\n";
}

uint32_t sequenceOf(const TrackerRecord& r) {
    // x of the record is y/12 of the tracker's frame: recover n from the fixed-point field.
    const int32_t units = static_cast<int32_t>(ntohl(static_cast<uint32_t>(r.x)));
    return static_cast<uint32_t>(std::lround(units * 1e-5 * 12.0 / 0.01));
}

// One tracker on station 1, set up on a fresh pseudo-terminal without waiting.
struct Bench {
    Bench() {
        platform::setSleeper(&noWait);
        char name[64] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
        path = name;
        config.add(1, "port", {path});
        config.add(2, "sensors", {"1", "0", "0", "0"});
        config.add(3, "baud", {"115200"});
        logger.setDefaults();
        logger.enabled = 0;
        info.trackerStorage = trackers.storage();
        info.runFlag = &runFlag;
        device = new CFastrak(config.get(), &logger);
        ready = device->init(&info) == 1;
        // Drain the set-up commands so the line's other direction never fills.
        char scratch[512];
        fcntl(master, F_SETFL, O_NONBLOCK);
        while (::read(master, scratch, sizeof scratch) > 0) {
        }
        fcntl(master, F_SETFL, 0);
    }
    ~Bench() {
        runFlag = 0;
        if (device != nullptr) {
            device->stop();
            delete device;
        }
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }

    int master = -1;
    int slave = -1;
    std::string path;
    testsupport::ConfigBuilder config;
    Logger logger;
    testsupport::HostStorage trackers{testsupport::StorageKind::Tracker};
    int32_t runFlag = 1;
    InitInfo info{};
    CFastrak* device = nullptr;
    bool ready = false;
};

// Writes records as fast as the pty takes them until told to stop.
class UnpacedWriter {
public:
    explicit UnpacedWriter(int fd) : fd_(fd) {
        for (uint32_t n = 0; n < 1000; ++n) stream_ += record(n);
        // Non-blocking with a short poll, so a writer facing a full line still notices the stop.
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
        thread_ = std::thread([this] {
            size_t at = 0;
            while (!stop_) {
                pollfd ready{fd_, POLLOUT, 0};
                if (poll(&ready, 1, 50) <= 0) continue;
                const ssize_t put = ::write(fd_, stream_.data() + at, stream_.size() - at);
                if (put < 0 && errno != EAGAIN) break;
                if (put > 0) at = (at + static_cast<size_t>(put)) % stream_.size();
            }
        });
    }
    ~UnpacedWriter() {
        stop_ = true;
        thread_.join();
    }

private:
    int fd_;
    std::string stream_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The reader a decoder cannot beat: one read call per byte, as the module reads, nothing else.
uint64_t bareRecords(int fd, uint64_t records) {
    termios line{};
    tcgetattr(fd, &line);
    cfmakeraw(&line);
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 10;
    tcsetattr(fd, TCSANOW, &line);
    uint64_t seen = 0;
    char previous = 0, c = 0;
    while (seen < records) {
        if (::read(fd, &c, 1) != 1) break;
        if (previous == '\r' && c == '\n') ++seen;
        previous = c;
    }
    return seen;
}

double perSecond(uint64_t count, Clock::duration elapsed) {
    return static_cast<double>(count) / std::chrono::duration<double>(elapsed).count();
}

void Throughput(benchmark::State& state) {
    const uint64_t records = 20000;
    double moduleRate = 0, bareRate = 0;
    for (auto _ : state) {
        {
            // The bare loop reads the same kind of stream from its own terminal.
            int master = -1, slave = -1;
            openpty(&master, &slave, nullptr, nullptr, nullptr);
            UnpacedWriter writer(master);
            const auto start = Clock::now();
            const uint64_t seen = bareRecords(slave, records);
            bareRate = perSecond(seen, Clock::now() - start);
            close(slave);
            close(master);
        }
        Bench bench;
        if (!bench.ready) {
            state.SkipWithError("set-up failed");
            return;
        }
        UnpacedWriter writer(bench.master);
        uint64_t published = 0;
        const auto start = Clock::now();
        for (uint64_t i = 0; i < records; ++i) {
            UpdateMask mask{};
            bench.device->recvData(&mask, 0);
            if (mask.trackers != 0) ++published;
        }
        moduleRate = perSecond(records, Clock::now() - start);
        state.counters["published"] = static_cast<double>(published);
        bench.runFlag = 0;
    }
    state.counters["module_records_per_s"] = moduleRate;
    state.counters["bare_records_per_s"] = bareRate;
    state.counters["bare_over_module"] = bareRate / moduleRate;
}
BENCHMARK(Throughput)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// Allocations, terminal calls and clock readings per record in the steady state.
void CostPerRecord(benchmark::State& state) {
    Bench bench;
    if (!bench.ready) {
        state.SkipWithError("set-up failed");
        return;
    }
    UnpacedWriter writer(bench.master);
    UpdateMask mask{};
    for (int i = 0; i < 2000; ++i) bench.device->recvData(&mask, 0);  // past any first-use work
    const unsigned long long allocationsBefore = allocationCount;
    const unsigned long long clocksBefore = clockCalls;
    syscallhooks::resetCounts();
    uint64_t records = 0;
    for (auto _ : state) {
        bench.device->recvData(&mask, 0);
        ++records;
    }
    const syscallhooks::Counts calls = syscallhooks::counts();
    const double n = static_cast<double>(records);
    state.counters["allocations"] = static_cast<double>(allocationCount - allocationsBefore) / n;
    state.counters["clock_calls"] = static_cast<double>(clockCalls - clocksBefore) / n;
    state.counters["reads"] = calls.read / n;
    state.counters["polls"] = calls.poll / n;
    state.counters["ioctls"] = calls.ioctl / n;
    state.counters["termios_calls"] = (calls.tcgetattr + calls.tcsetattr) / n;
    bench.runFlag = 0;
}
BENCHMARK(CostPerRecord)->Iterations(20000)->Unit(benchmark::kMicrosecond);

// From the writer's last byte of a record to the record in storage, paced at 115200 baud.
void Latency(benchmark::State& state) {
    const uint32_t records = static_cast<uint32_t>(state.range(0));
    const auto period = std::chrono::nanoseconds(29 * 10 * 1000000000LL / 115200);
    for (auto _ : state) {
        Bench bench;
        if (!bench.ready) {
            state.SkipWithError("set-up failed");
            return;
        }
        std::vector<Clock::time_point> written(records + 1);
        std::vector<double> latencies;
        latencies.reserve(records);
        std::thread writer([&] {
            auto next = Clock::now() + std::chrono::milliseconds(50);
            for (uint32_t n = 1; n <= records; ++n) {
                std::this_thread::sleep_until(next);
                const std::string bytes = record(n);
                if (::write(bench.master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) break;
                written[n] = Clock::now();
                next += period;
            }
        });
        while (latencies.size() < records) {
            UpdateMask mask{};
            if (bench.device->recvData(&mask, 0) != 1) break;
            if (mask.trackers == 0) continue;
            const auto arrived = Clock::now();
            const uint32_t n = sequenceOf(bench.trackers.trackers()[0]);
            if (n == 0 || n > records) continue;
            // The writer stamps after write() returns; a reader can be earlier than that stamp.
            const auto sent = written[n];
            latencies.push_back(sent == Clock::time_point{} || arrived < sent
                                    ? 0.0
                                    : std::chrono::duration<double, std::micro>(arrived - sent).count());
            if (n == records) break;
        }
        writer.join();
        std::sort(latencies.begin(), latencies.end());
        if (latencies.empty()) continue;
        auto at = [&](double q) {
            return latencies[std::min(latencies.size() - 1, static_cast<size_t>(q * latencies.size()))];
        };
        state.counters["records"] = static_cast<double>(latencies.size());
        state.counters["p50_us"] = at(0.50);
        state.counters["p99_us"] = at(0.99);
        state.counters["max_us"] = latencies.back();
        bench.runFlag = 0;
    }
}
BENCHMARK(Latency)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
