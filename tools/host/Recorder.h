// Recorder: every published record into CSV and JSON-lines files as it arrives.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "PoseBoard.h"

namespace fastrakhost {

class Recorder {
public:
    Recorder() = default;
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Empty paths record nothing; false with error() when a file cannot be made.
    bool open(const std::string& csvPath, const std::string& jsonlPath);
    const std::string& error() const { return error_; }

    void write(const Sample& sample);
    // Called at least twice a second, so a killed program loses under a second of records.
    void flushIfDue();
    void close();

    static std::string csvLine(const Sample& sample);
    static std::string jsonLine(const Sample& sample);

private:
    std::mutex mutex_;
    std::FILE* csv_ = nullptr;
    std::FILE* jsonl_ = nullptr;
    SteadyTime lastFlush_{};
    std::string error_;
};

}  // namespace fastrakhost
