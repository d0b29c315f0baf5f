// CaptureWriter: the buffer the relays fill and the thread that empties it into the file.
#include "recording/CaptureWriter.h"

#include <cerrno>
#include <cstring>

#include "recording/Recorder.h"

namespace fastrakhost {

using fastrakcapture::ChunkKind;

CaptureWriter::~CaptureWriter() { close(); }

std::string CaptureWriter::error() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return error_;
}

bool CaptureWriter::failed() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return failed_;
}

bool CaptureWriter::open(const std::string& path) {
    // Made now, so an unwritable folder shows at start; its bytes go out with the first chunk.
    file_ = openRecordingStream(path, created_);
    if (file_ == nullptr) {
        error_ = path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    start_ = Clock::now();
    const auto wall =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch());
    head_ = std::string(fastrakcapture::kMagic) +
            fastrakcapture::encodeChunk(ChunkKind::Start, 0, 0, fastrakcapture::startPayload(wall.count()));
    thread_ = std::thread([this] { run(); });
    return true;
}

void CaptureWriter::add(ChunkKind kind, uint8_t stream, Clock::time_point at, const char* data, size_t size) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(at - start_).count();
    std::lock_guard<std::mutex> hold(mutex_);
    if (failed_ || closing_ || file_ == nullptr) return;
    if (buffered_ + size > kMaxBuffered) {
        failed_ = true;
        error_ = path_ + ": the disk did not keep up; the capture ends here";
        pending_.push_back({ChunkKind::LineLost, stream, static_cast<uint64_t>(micros < 0 ? 0 : micros), error_});
        wake_.notify_one();
        return;
    }
    pending_.push_back({kind, stream, static_cast<uint64_t>(micros < 0 ? 0 : micros), std::string(data, size)});
    buffered_ += size;
}

bool CaptureWriter::writeOut(std::vector<Pending>& batch) {
    std::string out;
    for (const Pending& p : batch) out += fastrakcapture::encodeChunk(p.kind, p.stream, p.micros, p.payload);
    batch.clear();
    if (out.empty()) return true;
    if (!started_) {
        // A file that was there (--overwrite) is emptied only now that the capture has something.
        if (!created_ && !emptyRecordingStream(file_)) return false;
        started_ = true;
        out = head_ + out;
    }
    return std::fwrite(out.data(), 1, out.size(), file_) == out.size() && std::fflush(file_) == 0;
}

// Wakes five times a second: a killed program loses at most that much of the capture.
void CaptureWriter::run() {
    std::vector<Pending> batch;
    bool writing = true;
    for (;;) {
        bool last;
        {
            std::unique_lock<std::mutex> hold(mutex_);
            wake_.wait_for(hold, std::chrono::milliseconds(200), [this] { return closing_; });
            batch.swap(pending_);
            buffered_ = 0;
            last = closing_;
        }
        if (writing && !writeOut(batch)) {
            writing = false;
            std::lock_guard<std::mutex> hold(mutex_);
            failed_ = true;
            error_ = path_ + ": " + std::strerror(errno);
        }
        batch.clear();
        if (last) break;
    }
}

bool CaptureWriter::close() {
    if (file_ == nullptr) return !failed_;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        closing_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    if (!started_) {
        // Nothing went into the file: no file left to block the next run, nor an end chunk.
        std::fclose(file_);
        file_ = nullptr;
        if (created_) std::remove(path_.c_str());
        return !failed_;
    }
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count();
    const std::string end = fastrakcapture::encodeChunk(ChunkKind::End, 0, static_cast<uint64_t>(micros), "");
    bool ok = std::fwrite(end.data(), 1, end.size(), file_) == end.size();
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (!ok && error_.empty()) error_ = path_ + ": " + std::strerror(errno);
    return ok && !failed_;
}

}  // namespace fastrakhost
