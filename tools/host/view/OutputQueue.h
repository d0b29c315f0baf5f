// OutputQueue: text on its way to the real standard output, written by a thread of its own, so that
// an output that takes nothing (a pipe nobody reads, `| less`, a paused console) holds up only that
// thread, never reception or the main loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace fastrakhost {

class OutputQueue {
public:
    // Writes text whole, waiting as long as the output makes it wait; false once the output is gone
    // (a closed pipe): nothing more is written then.
    using Writer = std::function<bool(const std::string&)>;
    // At most `limit` bytes wait; what comes beyond is dropped and its lines counted.
    explicit OutputQueue(Writer write, size_t limit = size_t(1) << 20);
    ~OutputQueue();
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    // Never waits for the output. `lines`: the log lines the text holds, counted if it is dropped.
    void push(std::string text, size_t lines);
    // Text has waited longer than `patience` without the output taking any.
    bool stalled(std::chrono::milliseconds patience) const;
    // Waits while the output takes what is queued; gives up when it takes nothing for `patience`,
    // counting what is left as dropped and leaving the thread to its write. True: all went out (or
    // the output is gone).
    bool finish(std::chrono::milliseconds patience);
    uint64_t droppedLines() const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace fastrakhost
