// Replayer: a captured stream played back on a pseudo-terminal, checking the commands it receives.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CaptureFile.h"

namespace fastraksim {

struct ReplayOptions {
    double speed = 1.0;  // captured gaps divided by this
    bool loop = false;   // repeat the longest command-free run of output until the next command comes
};

struct ReplayStatus {
    bool finished = false;   // every step played and every captured command received
    bool lineLost = false;   // the capture's line failed there; the replay hung up
    bool differed = false;   // a command byte differed from the capture
    std::string difference;  // the first difference, in words
    uint64_t bytesSent = 0;
    uint64_t commandBytes = 0;                           // received
    uint64_t passes = 0;                                 // extra passes of the looped run
    uint64_t commandsMatched = 0, commandsCaptured = 0;  // bytes of the captured commands received so far
};

class Replayer {
public:
    using Clock = std::chrono::steady_clock;

    // Plays `stream` of `capture`.
    Replayer(const fastrakcapture::Capture& capture, uint8_t stream, const ReplayOptions& options);
    ~Replayer();
    Replayer(const Replayer&) = delete;
    Replayer& operator=(const Replayer&) = delete;

    bool start(std::string& error);
    void stop();
    std::string slavePath() const { return slavePath_; }
    ReplayStatus status() const;

private:
    struct Step {
        bool toHost;  // tracker bytes to send; else commands to expect
        bool lost;    // the line failed here
        uint64_t micros;
        uint64_t offset;
        std::string bytes;
    };
    void run();
    void receive(Clock::time_point now);
    // Waits until `until` (or input arrives); false when stopping.
    bool waitFor(Clock::time_point until);

    ReplayOptions options_;
    std::vector<Step> steps_;
    std::string expected_;                  // every captured command byte, in order
    std::vector<uint64_t> expectedOffset_;  // the chunk offset of each
    size_t loopBegin_ = 0, loopEnd_ = 0;    // the looped run: steps [begin, end)
    int master_ = -1, slave_ = -1, wake_[2] = {-1, -1};
    std::string slavePath_;
    mutable std::mutex mutex_;
    ReplayStatus status_;
    size_t matched_ = 0;
    Clock::time_point matchedAt_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace fastraksim
