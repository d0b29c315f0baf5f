// A 31-byte record from the line to the reader: straight from the port, through the capture relay
// with nothing captured, and through the relay capturing to a file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "recording/CaptureWriter.h"
#include "recording/LineRelay.h"

namespace {

int openRaw(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetospeed(&t, B115200);
    cfsetispeed(&t, B115200);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// The record goes in at the tracker's end; the time runs until the reader has all of it.
void passRecords(benchmark::State& state, int tracker, int reader) {
    char record[31] = "01 ";
    char buffer[64];
    for (auto _ : state) {
        if (write(tracker, record, sizeof record) != static_cast<ssize_t>(sizeof record)) state.SkipWithError("write");
        size_t got = 0;
        while (got < sizeof record) {
            pollfd in{reader, POLLIN, 0};
            if (poll(&in, 1, 1000) <= 0) {
                state.SkipWithError("no record within a second");
                return;
            }
            const ssize_t n = read(reader, buffer, sizeof buffer);
            if (n > 0) got += static_cast<size_t>(n);
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Direct(benchmark::State& state) {
    int tracker, port;
    char name[128];
    openpty(&tracker, &port, name, nullptr, nullptr);
    const int reader = openRaw(name);
    passRecords(state, tracker, reader);
    close(reader);
    close(port);
    close(tracker);
}

// capture: 0 relays only (the writer never opened), 1 also writes every chunk to a file.
void BM_Relay(benchmark::State& state) {
    int tracker, port;
    char name[128];
    openpty(&tracker, &port, name, nullptr, nullptr);
    char folder[] = "/tmp/capture-bench-XXXXXX";
    const std::string dir = mkdtemp(folder);
    fastrakhost::CaptureWriter writer;
    if (state.range(0) != 0 && !writer.open(dir + "/bench.cap")) state.SkipWithError("cannot write the capture");
    {
        fastrakhost::LineRelay relay(writer, 0, "bench", name);
        std::string error;
        if (!relay.start(dir + "/relay.pty", error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        const int reader = openRaw(dir + "/relay.pty");
        passRecords(state, tracker, reader);
        close(reader);
        relay.stop();
    }
    writer.close();
    std::remove((dir + "/bench.cap").c_str());
    rmdir(dir.c_str());
    close(port);
    close(tracker);
}

}  // namespace

BENCHMARK(BM_Direct)->UseRealTime();
BENCHMARK(BM_Relay)->Arg(0)->Arg(1)->ArgName("capture")->UseRealTime();
BENCHMARK_MAIN();
