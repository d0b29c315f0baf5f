// OutputQueue: a bounded queue and the thread that empties it into the output.
#include "view/OutputQueue.h"

#include <condition_variable>
#include <mutex>

namespace fastrakhost {

using Clock = std::chrono::steady_clock;

// Shared with the thread, which may outlive the queue when the output never takes its last write.
struct OutputQueue::Shared {
    Writer write;
    size_t limit;
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::string queued;
    size_t queuedLines = 0, writingLines = 0;
    bool writing = false, gone = false, finishing = false, abandoned = false;
    Clock::time_point waitingSince;  // when the output last took something, or text began to wait
    uint64_t dropped = 0;

    bool idle() const { return queued.empty() && !writing; }
};

OutputQueue::OutputQueue(Writer write, size_t limit) : shared_(std::make_shared<Shared>()) {
    shared_->write = std::move(write);
    shared_->limit = limit;
    std::shared_ptr<Shared> shared = shared_;
    thread_ = std::thread([shared] {
        std::unique_lock<std::mutex> lock(shared->mutex);
        for (;;) {
            shared->wake.wait(lock, [&] { return !shared->queued.empty() || shared->finishing; });
            if (shared->abandoned || (shared->queued.empty() && shared->finishing)) return;
            std::string batch;
            batch.swap(shared->queued);
            shared->writingLines = shared->queuedLines;
            shared->queuedLines = 0;
            shared->writing = true;
            lock.unlock();
            const bool took = shared->write(batch);
            lock.lock();
            shared->writing = false;
            shared->writingLines = 0;
            shared->waitingSince = Clock::now();
            if (!took) {
                shared->gone = true;
                shared->queued.clear();
                shared->queuedLines = 0;
            }
            shared->wake.notify_all();
        }
    });
}

OutputQueue::~OutputQueue() { finish(std::chrono::milliseconds(0)); }

void OutputQueue::push(std::string text, size_t lines) {
    if (text.empty()) return;
    std::lock_guard<std::mutex> hold(shared_->mutex);
    if (shared_->gone || shared_->finishing) return;
    if (shared_->queued.size() + text.size() > shared_->limit) {
        shared_->dropped += lines;
        return;
    }
    if (shared_->idle()) shared_->waitingSince = Clock::now();
    shared_->queued += text;
    shared_->queuedLines += lines;
    shared_->wake.notify_all();
}

bool OutputQueue::stalled(std::chrono::milliseconds patience) const {
    std::lock_guard<std::mutex> hold(shared_->mutex);
    return !shared_->idle() && Clock::now() - shared_->waitingSince > patience;
}

bool OutputQueue::finish(std::chrono::milliseconds patience) {
    if (!thread_.joinable()) return true;
    std::unique_lock<std::mutex> lock(shared_->mutex);
    shared_->finishing = true;
    shared_->wake.notify_all();
    while (!shared_->idle() && !shared_->gone) {
        if (Clock::now() - shared_->waitingSince > patience) {
            shared_->dropped += shared_->queuedLines + shared_->writingLines;
            shared_->queued.clear();
            shared_->queuedLines = 0;
            shared_->abandoned = true;
            lock.unlock();
            thread_.detach();  // blocked in a write that may never return; it owns what it uses
            return false;
        }
        shared_->wake.wait_for(lock, std::chrono::milliseconds(50));
    }
    shared_->wake.notify_all();
    lock.unlock();
    thread_.join();
    return true;
}

uint64_t OutputQueue::droppedLines() const {
    std::lock_guard<std::mutex> hold(shared_->mutex);
    return shared_->dropped;
}

}  // namespace fastrakhost
