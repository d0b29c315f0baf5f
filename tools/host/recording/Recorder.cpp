// Recorder: the CSV and JSON-lines writers.
#include "recording/Recorder.h"

#include <sys/stat.h>
#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace fastrakhost {
namespace {

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string number(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

const char* const Recorder::csvHeader =
    "host_time,measured_time,device,output,kind,x_ft,y_ft,z_ft,azimuth_deg,elevation_deg,roll_deg,buttons\n";

const char* kindName(Sample::Kind kind) { return kind == Sample::Kind::Tracker ? "tracker" : "controller"; }

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

#if defined(_WIN32)
int openFile(const char* path, bool create) {
    return _open(path, _O_WRONLY | _O_BINARY | (create ? _O_CREAT | _O_EXCL : 0), _S_IREAD | _S_IWRITE);
}
long writeSome(int fd, const char* data, size_t size) { return _write(fd, data, static_cast<unsigned>(size)); }
int cutFile(int fd, long long size) { return _chsize_s(fd, size) == 0 ? 0 : -1; }
int closeFile(int fd) { return _close(fd); }
#else
int openFile(const char* path, bool create) {
    return ::open(path, O_WRONLY | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0), 0666);
}
long writeSome(int fd, const char* data, size_t size) { return static_cast<long>(::write(fd, data, size)); }
int cutFile(int fd, long long size) { return ::ftruncate(fd, static_cast<off_t>(size)); }
int closeFile(int fd) { return ::close(fd); }
#endif

namespace {

namespace fs = std::filesystem;

// Where a path leads: its symbolic links followed, even to a file that is not there yet, and the
// folder's own name made absolute and free of links.
fs::path whereItLeads(fs::path path) {
    std::error_code error;
    for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(path, error)); ++hops) {
        const fs::path target = fs::read_symlink(path, error);
        if (error) break;
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    fs::path resolved = fs::weakly_canonical(fs::absolute(path, error), error);
    return error ? path.lexically_normal() : resolved;
}

}  // namespace

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code error;
    if (fs::exists(a, error) && fs::exists(b, error)) return fs::equivalent(a, b, error);  // hard links too
    std::string first = whereItLeads(a).string(), second = whereItLeads(b).string();
#if defined(_WIN32)
    // One file whatever the letters' case.
    for (std::string* name : {&first, &second})
        for (char& c : *name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
#endif
    return first == second;
}

std::string occupiedBy(const std::string& path) {
    struct stat info;
    if (path.empty() || ::stat(path.c_str(), &info) != 0) return "";
    if ((info.st_mode & S_IFMT) == S_IFDIR) return path + " is a folder";
    if (info.st_size > 0) return path + " exists and is not empty (--overwrite replaces it)";
    return "";
}

int openRecording(const std::string& path, bool& created) {
    int fd = openFile(path.c_str(), true);
    created = fd >= 0;
    if (fd < 0 && errno == EEXIST) fd = openFile(path.c_str(), false);
    return fd;
}

void dropRecording(int fd, const std::string& path, bool created) {
    closeFile(fd);
    if (created) std::remove(path.c_str());
}

std::FILE* openRecordingStream(const std::string& path, bool& created) {
    const int fd = openRecording(path, created);
    if (fd < 0) return nullptr;
#if defined(_WIN32)
    std::FILE* file = _fdopen(fd, "wb");
#else
    std::FILE* file = ::fdopen(fd, "wb");
#endif
    if (file == nullptr) {
        const int error = errno;
        dropRecording(fd, path, created);
        errno = error;
    }
    return file;
}

// A device, a pipe or a terminal (/dev/null, a FIFO, /dev/stdout) has nothing to empty or cut.
bool isRegularFile(int fd) {
    struct stat info;
    return ::fstat(fd, &info) == 0 && (info.st_mode & S_IFMT) == S_IFREG;
}

bool emptyRecordingStream(std::FILE* file) {
#if defined(_WIN32)
    const int fd = _fileno(file);
#else
    const int fd = ::fileno(file);
#endif
    return std::fflush(file) == 0 && (!isRegularFile(fd) || cutFile(fd, 0) == 0);
}

OutputFile::~OutputFile() { close(); }

bool OutputFile::open(const std::string& path) {
    path_ = path;
    fd_ = openRecording(path, created_);
    if (fd_ < 0) {
        error_ = path + ": " + std::strerror(errno);
        return false;
    }
    regular_ = isRegularFile(fd_);
    return true;
}

void OutputFile::fail(const std::string& reason) {
    error_ = path_ + ": " + reason;
    pending_.clear();
    closeFile(fd_);
    fd_ = -1;
}

bool OutputFile::flush() {
    if (fd_ < 0) return pending_.empty() && error_.empty();
    if (pending_.empty()) return true;
    if (!started_ && !created_ && regular_ && cutFile(fd_, 0) != 0) {
        fail(std::strerror(errno));
        return false;
    }
    started_ = true;
    size_t done = 0;
    while (done < pending_.size()) {
        const long wrote = writeSome(fd_, pending_.data() + done, pending_.size() - done);
        if (wrote > 0) {
            done += static_cast<size_t>(wrote);
            continue;
        }
        if (wrote < 0 && errno == EINTR) continue;
        const std::string reason = wrote == 0 ? std::string("the file takes no more") : std::strerror(errno);
        // Cut a half-written line off, so the file ends on the last record that fits whole.
        const size_t whole = pending_.rfind('\n', done == 0 ? 0 : done - 1);
        const long long keep =
            written_ + (done > 0 && whole != std::string::npos ? static_cast<long long>(whole + 1) : 0);
        if (regular_) cutFile(fd_, keep);
        if (keep > written_)
            lines_ += static_cast<uint64_t>(std::count(pending_.begin(), pending_.begin() + (keep - written_), '\n'));
        written_ = keep;
        fail(reason);
        return false;
    }
    written_ += static_cast<long long>(pending_.size());
    lines_ += static_cast<uint64_t>(std::count(pending_.begin(), pending_.end(), '\n'));
    pending_.clear();
    return true;
}

bool OutputFile::close() {
    if (fd_ < 0) return error_.empty();
    if (!started_ && pending_.empty()) {
        dropRecording(fd_, path_, created_);
        fd_ = -1;
        return true;
    }
    const bool flushed = flush();
    if (fd_ < 0) return false;
    const int closed = closeFile(fd_);
    fd_ = -1;
    if (closed != 0) {
        error_ = path_ + ": " + std::strerror(errno);
        return false;
    }
    return flushed;
}

Recorder::~Recorder() { close(); }

bool Recorder::open(const std::string& csvPath, const std::string& jsonlPath) {
    if (!csvPath.empty()) {
        if (!csv_.open(csvPath)) {
            error_ = csv_.error();
            return false;
        }
        csvHeaderDue_ = true;
    }
    if (!jsonlPath.empty() && !jsonl_.open(jsonlPath)) {
        error_ = jsonl_.error();
        return false;
    }
    csvOn_ = csv_.isOpen();
    jsonOn_ = jsonl_.isOpen();
    if (csvOn_ || jsonOn_) writer_ = std::thread([this] { run(); });
    return true;
}

std::string Recorder::csvLine(const Sample& sample) {
    std::string line = number("%.6f", sample.hostTime) + "," + number("%.6f", sample.measuredTime) + "," +
                       csvField(sample.device) + "," +
                       std::to_string(sample.output) + "," + kindName(sample.kind);
    if (sample.kind == Sample::Kind::Tracker) {
        for (double value : sample.pose) line += "," + number("%.5f", value);
        line += ",";
    } else {
        line += ",,,,,,," + std::to_string(sample.buttons);
    }
    return line + "\n";
}

std::string Recorder::jsonLine(const Sample& sample) {
    std::string line = "{\"host_time\":" + number("%.6f", sample.hostTime) +
                       ",\"measured_time\":" + number("%.6f", sample.measuredTime) +
                       ",\"device\":" + jsonString(sample.device) + ",\"output\":" + std::to_string(sample.output) +
                       ",\"kind\":\"" + kindName(sample.kind) + "\"";
    if (sample.kind == Sample::Kind::Tracker) {
        line += ",\"pose\":[";
        for (int i = 0; i < 6; ++i) line += (i ? "," : "") + number("%.5f", sample.pose[i]);
        line += "]";
    } else {
        line += ",\"buttons\":[";
        for (uint32_t n = 1; n <= sample.buttonCount; ++n)
            line += (n > 1 ? "," : "") + std::string((sample.buttons >> (n - 1)) & 1u ? "1" : "0");
        line += "]";
    }
    return line + "}\n";
}

void Recorder::write(const Sample& sample) {
    if (!csvOn_ && !jsonOn_) return;
    // Formatted before the lock, which every reception thread takes for every record.
    const std::string csv = csvOn_ ? csvLine(sample) : std::string();
    const std::string json = jsonOn_ ? jsonLine(sample) : std::string();
    std::lock_guard<std::mutex> hold(mutex_);
    ++received_;
    if (failed_) return;
    if (csvHeaderDue_) csvLines_ += csvHeader;
    csvHeaderDue_ = false;
    csvLines_ += csv;
    jsonLines_ += json;
}

std::string Recorder::error() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return error_;
}

bool Recorder::failed() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return failed_;
}

bool Recorder::flushFile(OutputFile& file) {
    if (file.flush()) return true;
    std::lock_guard<std::mutex> hold(mutex_);
    if (!failed_) error_ = file.error();
    failed_ = true;
    return false;
}

void Recorder::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!failed_) {
        if (wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stopping_; })) return;
        csv_.append(csvLines_);
        jsonl_.append(jsonLines_);
        csvLines_.clear();
        jsonLines_.clear();
        lock.unlock();
        if (flushFile(csv_)) flushFile(jsonl_);
        lock.lock();
    }
}

bool Recorder::close() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (writer_.joinable()) writer_.join();
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (!failed_) {
            csv_.append(csvLines_);
            jsonl_.append(jsonLines_);
        }
        csvLines_.clear();
        jsonLines_.clear();
    }
    OutputFile* files[2] = {&csv_, &jsonl_};
    for (OutputFile* file : files) {
        if (!file->isOpen()) continue;
        if (!file->close()) {
            std::lock_guard<std::mutex> hold(mutex_);
            if (!failed_) error_ = file->error();
            failed_ = true;
        }
    }
    return !failed();
}

uint64_t Recorder::notWritten() const {
    std::lock_guard<std::mutex> hold(mutex_);
    uint64_t written = received_;
    if (csvOn_) written = std::min(written, csv_.linesWritten() > 0 ? csv_.linesWritten() - 1 : 0);  // the header
    if (jsonOn_) written = std::min(written, jsonl_.linesWritten());
    return received_ - written;
}

}  // namespace fastrakhost
