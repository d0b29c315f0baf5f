// What the fuzz targets share: option lines built from fuzz input, a host storage of each kind
// over a recursive mutex, and a scratch file that stands in for the serial line.
#pragma once

#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include "config/OptionText.h"
#include "fastrak/DataStorage.h"
#include "fastrak/DeviceConfig.h"
#include "fastrak/Records.h"

namespace fuzzhost {

// Option lines of blank-separated words (keyword first), one per text line. Lines whose keyword
// is in `refused` are left out: a calibration line loads whatever library it names, a port line
// opens whatever file it names.
class FuzzConfig {
public:
    void addText(const uint8_t* data, size_t size, std::initializer_list<const char*> refused, size_t maxLines) {
        const std::string text(reinterpret_cast<const char*>(data), size);
        size_t start = 0;
        while (start <= text.size() && count() < maxLines) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::vector<std::string> words;
            size_t at = start;
            while (at < end && words.size() <= kMaxOptionArgs) {
                const size_t stop = std::min(text.find(' ', at), end);
                if (stop > at) words.push_back(text.substr(at, stop - at));
                at = stop + 1;
            }
            bool keep = !words.empty();
            for (const char* keyword : refused) {
                if (keep && compareNoCase(words[0].c_str(), keyword) == 0) keep = false;
            }
            if (keep) add(words);
            start = end + 1;
        }
    }

    void add(const std::vector<std::string>& words) {
        if (count() >= kMaxOptionLines || words.empty()) return;
        OptionLine& entry = config_.entries[config_.lineCount];
        entry.lineNumber = config_.lineCount + 1;
        for (size_t w = 0; w < words.size() && w <= kMaxOptionArgs; ++w) {
            strings_.push_back(words[w]);
            char* word = &strings_.back()[0];
            if (w == 0) {
                entry.keyword = word;
            } else {
                entry.args[entry.argCount++] = word;
            }
        }
        ++config_.lineCount;
    }

    size_t count() const { return config_.lineCount; }
    DeviceConfig* get() { return &config_; }

private:
    std::deque<std::string> strings_;  // owns every string the record points to
    DeviceConfig config_{};
};

// One host storage with room for 32 records, its count and a recursive mutex.
class Storage {
public:
    explicit Storage(bool trackers) {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&mutex_, &attributes);
        pthread_mutexattr_destroy(&attributes);
        host_.handle = &mutex_;
        storage_.mutex = &host_;
        storage_.count = &count_;
        if (trackers) {
            storage_.trackerList = trackers_;
        } else {
            storage_.controllerList = controllers_;
        }
    }
    ~Storage() { pthread_mutex_destroy(&mutex_); }
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    CDataStorage* get() { return &storage_; }
    uint32_t count_ = 0;
    TrackerRecord trackers_[32];
    ControllerRecord controllers_[32];

private:
    pthread_mutex_t mutex_;
    CMutexH host_{};
    CDataStorage storage_{};
};

// A regular file the module reads as its line (through the device's test hook, since set-up refuses
// anything that is no serial line): reads return what the fuzzer put there, then 0.
class ScratchLine {
public:
    ScratchLine() {
        char name[] = "/tmp/fastrak-fuzz-line-XXXXXX";
        fd_ = mkstemp(name);
        if (fd_ >= 0) path_ = name;
    }
    ~ScratchLine() {
        if (fd_ >= 0) close(fd_);
        if (!path_.empty()) unlink(path_.c_str());
    }
    ScratchLine(const ScratchLine&) = delete;
    ScratchLine& operator=(const ScratchLine&) = delete;

    const std::string& path() const { return path_; }
    bool ok() const { return fd_ >= 0; }

    // Replaces the file's content.
    void fill(const uint8_t* data, size_t size) {
        if (ftruncate(fd_, 0) != 0) return;
        size_t done = 0;
        while (done < size) {
            const ssize_t put = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (put <= 0) return;
            done += static_cast<size_t>(put);
        }
    }

    // The descriptor another opener holds on this file (the module's port), or -1.
    int otherDescriptor() const {
        for (int fd = 3; fd < 1024; ++fd) {
            if (fd == fd_) continue;
            char link[64];
            char target[4096];
            snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
            const ssize_t length = readlink(link, target, sizeof target - 1);
            if (length <= 0) continue;
            target[length] = '\0';
            if (path_ == target) return fd;
        }
        return -1;
    }

private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace fuzzhost
