// SenderQueue: the records waiting for one receiver (an OSC destination, an OpenIGTLink client); poses of
// an output coalesce, button events are bounded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "devices/PoseBoard.h"

namespace fastrakhost {

// Filled by the reception threads, emptied by one sender thread. A push wakes the sender only when
// it sleeps for want of records (one wake-up, a few microseconds); while it is still sending, a push
// only adds. Polling instead would add up to a poll's period to every record. A pose is state: when an output
// already has posesPerOutput poses waiting, its oldest gives way to the newest (counted as
// replaced), so a slow receiver gets fresh poses instead of old ones. A controller record is
// an event: it waits its turn, and is dropped only when eventsWaiting of them already wait (a
// receiver that stopped reading; people press a few times a second), the oldest first and counted,
// so memory stays bounded. Records leave in the order they came.
class SenderQueue {
public:
    explicit SenderQueue(size_t posesPerOutput = 64, size_t eventsWaiting = 1024);

    // Never waits but for the lock, which the sender holds only to copy one record out.
    // Thread-safe; any number of reception threads.
    void push(const Sample& sample);
    // The oldest waiting record; false when none came within wait.
    bool pop(Sample& sample, std::chrono::milliseconds wait);
    uint64_t replaced() const;
    uint64_t dropped() const;
    // The log lines about what was replaced and dropped since the last call, for WHO, a NOUN
    // ("client", "destination"). One thread calls it.
    void reportLines(const std::string& who, const char* noun, std::vector<std::string>& lines);

private:
    struct Entry {
        uint64_t order = 0;
        Sample sample;
    };
    struct Ring {  // the poses of one tracker output, oldest at head
        std::vector<Entry> slots;
        size_t head = 0, count = 0;
    };

    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<Ring> poses_;  // index: output number - 1
    std::deque<Entry> controllers_;
    size_t eventsWaiting_;
    size_t waiting_ = 0;
    bool senderAsleep_ = false;
    uint64_t nextOrder_ = 0;
    uint64_t replaced_ = 0;
    uint64_t dropped_ = 0;
    uint64_t reportedReplaced_ = 0, reportedDropped_ = 0;
};

}  // namespace fastrakhost
