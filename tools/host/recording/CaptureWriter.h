// CaptureWriter: chunks of the relayed lines buffered in memory and written by a thread of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CaptureFile.h"

namespace fastrakhost {

class CaptureWriter {
public:
    using Clock = std::chrono::steady_clock;

    CaptureWriter() = default;
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Opens the file (see openRecording) and starts the writer thread; false with error() otherwise.
    // The header goes out with the first chunk; a capture that got none is removed by close() if
    // the run made its file.
    bool open(const std::string& path);
    std::string error() const;
    // True once the capture could not be written (the disk full or too slow); error() says why.
    bool failed() const;

    // Cheap: appends to the buffer under a lock; the file is written by the thread.
    void add(fastrakcapture::ChunkKind kind, uint8_t stream, Clock::time_point at, const char* data, size_t size);
    void add(fastrakcapture::ChunkKind kind, uint8_t stream, Clock::time_point at, const std::string& payload) {
        add(kind, stream, at, payload.data(), payload.size());
    }
    // Writes what is buffered and the end chunk; returns false if anything was lost.
    bool close();
    bool wroteAny() const { return started_; }  // after close: false when no file was left

    // More than this waiting in memory (the disk stalled) ends the capture rather than the run.
    static constexpr size_t kMaxBuffered = 64u << 20;

private:
    struct Pending {
        fastrakcapture::ChunkKind kind;
        uint8_t stream;
        uint64_t micros;
        std::string payload;
    };
    void run();
    bool writeOut(std::vector<Pending>& batch);

    std::FILE* file_ = nullptr;
    std::string path_, error_, head_;
    bool created_ = false;  // the run made the file
    bool started_ = false;  // the head is in the file (the writer thread's, then close's)
    Clock::time_point start_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Pending> pending_;
    size_t buffered_ = 0;
    bool closing_ = false;
    bool failed_ = false;  // the capture ended early; the reason is in error_
    std::thread thread_;
};

}  // namespace fastrakhost
