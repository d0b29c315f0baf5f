// SenderPart: an output's part whose records one thread of its own sends, from a SenderQueue.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "outputs/HostOutput.h"
#include "outputs/SenderQueue.h"

namespace fastrakhost {

// The reception threads only queue (publish); run() sends on the part's thread. At the stop it may
// send what still waits for a second (outOfTime() says when that is up). A subclass calls stop()
// in its own destructor, before its members go.
class SenderPart : public HostOutput::Part {
public:
    void start() override {
        thread_ = std::thread([this] { run(); });
    }
    void publish(const Sample& sample) override { queue_.push(sample); }
    void stop() override {
        if (!thread_.joinable()) return;
        drainUntil_ = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        stopping_ = true;
        thread_.join();
    }
    void count(OutputTotals& totals) const override {
        totals.sent += sent_;
        totals.replaced += queue_.replaced();
        totals.dropped += queue_.dropped();
        totals.errors += errors_;
    }

protected:
    virtual void run() = 0;
    bool outOfTime() const { return stopping_ && std::chrono::steady_clock::now() >= drainUntil_; }

    SenderQueue queue_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> sent_{0}, errors_{0};

private:
    std::thread thread_;
    SteadyTime drainUntil_{};
};

}  // namespace fastrakhost
