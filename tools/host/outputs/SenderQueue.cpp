// SenderQueue: per-output rings of poses and a list of controller records, drained in arrival order.
#include "outputs/SenderQueue.h"

#include "Storage.h"

namespace fastrakhost {

SenderQueue::SenderQueue(size_t posesPerOutput, size_t eventsWaiting)
    : poses_(kSlots), eventsWaiting_(eventsWaiting > 0 ? eventsWaiting : 1) {
    // Every slot is made now, so pushing a pose never allocates on the reception thread.
    for (Ring& ring : poses_) ring.slots.resize(posesPerOutput > 0 ? posesPerOutput : 1);
}

void SenderQueue::push(const Sample& sample) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (sample.kind == Sample::Kind::Controller) {
            if (controllers_.size() == eventsWaiting_) {
                controllers_.pop_front();
                --waiting_;
                ++dropped_;
            }
            controllers_.push_back({nextOrder_++, sample});
            ++waiting_;
        } else {
            if (sample.output < 1 || sample.output > kSlots) return;
            Ring& ring = poses_[sample.output - 1];
            const size_t size = ring.slots.size();
            if (ring.count == size) {  // full: the oldest pose of this output gives way
                ring.head = (ring.head + 1) % size;
                --ring.count;
                --waiting_;
                ++replaced_;
            }
            Entry& entry = ring.slots[(ring.head + ring.count) % size];
            entry.order = nextOrder_++;
            entry.sample = sample;
            ++ring.count;
            ++waiting_;
        }
        wake = senderAsleep_;
        senderAsleep_ = false;
    }
    if (wake) ready_.notify_one();
}

bool SenderQueue::pop(Sample& sample, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> hold(mutex_);
    const auto until = std::chrono::steady_clock::now() + wait;
    while (waiting_ == 0) {
        if (std::chrono::steady_clock::now() >= until) return false;
        senderAsleep_ = true;
        ready_.wait_until(hold, until);
    }
    senderAsleep_ = false;
    Ring* oldestRing = nullptr;
    uint64_t oldest = UINT64_MAX;
    for (Ring& ring : poses_) {
        if (ring.count > 0 && ring.slots[ring.head].order < oldest) {
            oldest = ring.slots[ring.head].order;
            oldestRing = &ring;
        }
    }
    if (!controllers_.empty() && controllers_.front().order < oldest) {
        sample = std::move(controllers_.front().sample);
        controllers_.pop_front();
    } else {
        sample = oldestRing->slots[oldestRing->head].sample;
        oldestRing->head = (oldestRing->head + 1) % oldestRing->slots.size();
        --oldestRing->count;
    }
    --waiting_;
    return true;
}

uint64_t SenderQueue::replaced() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return replaced_;
}

uint64_t SenderQueue::dropped() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return dropped_;
}

void SenderQueue::reportLines(const std::string& who, const char* noun, std::vector<std::string>& lines) {
    uint64_t replaced, dropped;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        replaced = replaced_;
        dropped = dropped_;
    }
    if (replaced > reportedReplaced_) {
        lines.push_back(who + ": " + std::to_string(replaced - reportedReplaced_) +
                        " poses replaced in the last second (the " + noun + " is slower than the tracker)");
    }
    if (dropped > reportedDropped_) {
        lines.push_back(who + ": " + std::to_string(dropped - reportedDropped_) +
                        " button events dropped in the last second (the " + noun + " has stopped reading)");
    }
    reportedReplaced_ = replaced;
    reportedDropped_ = dropped;
}

}  // namespace fastrakhost
