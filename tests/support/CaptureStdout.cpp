// CaptureStdout over dup/dup2 of descriptor 1 into a temporary file.
#include "support/CaptureStdout.h"

#include <fcntl.h>
#include <stdio.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace testsupport {
namespace {

std::string temporaryPath() {
    static std::atomic<int> counter{0};
    const char* dir = std::getenv("TMPDIR");
#if defined(_WIN32)
    if (dir == nullptr) dir = std::getenv("TEMP");
    if (dir == nullptr) dir = ".";
#else
    if (dir == nullptr) dir = "/tmp";
#endif
    std::ostringstream name;
    name << dir << "/fastrak-capture-" << reinterpret_cast<uintptr_t>(&counter) % 100000 << '-' << std::rand() << '-'
         << counter++ << ".txt";
    return name.str();
}

}  // namespace

CaptureStream::CaptureStream(FILE* stream) : stream_(stream), savedFd_(-1), path_(temporaryPath()), finished_(false) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(stream_);
    savedFd_ = dup(fileno(stream_));
    FILE* file = std::fopen(path_.c_str(), "wb");
    if (file != nullptr) {
        dup2(fileno(file), fileno(stream_));
        std::fclose(file);
    }
}

CaptureStream::~CaptureStream() { finish(); }

std::string CaptureStream::finish() {
    if (finished_) return text_;
    finished_ = true;
    std::cout.flush();
    std::cerr.flush();
    std::fflush(stream_);
    if (savedFd_ >= 0) {
        dup2(savedFd_, fileno(stream_));
        close(savedFd_);
    }
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    in.close();
    std::remove(path_.c_str());
    text_ = content.str();
    return text_;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string lastLine(const std::string& text) {
    std::string trimmed = text;
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r')) trimmed.pop_back();
    const size_t start = trimmed.find_last_of('\n');
    return start == std::string::npos ? trimmed : trimmed.substr(start + 1);
}

}  // namespace testsupport
