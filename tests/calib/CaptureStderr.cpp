// CaptureStderr over dup/dup2 of descriptor 2 into a file of the test's scratch folder.
#include "CaptureStderr.h"

#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

CaptureStderr::CaptureStderr() : savedFd_(-1), finished_(false) {
    static std::atomic<int> counter{0};
    std::filesystem::create_directories(CALIB_SCRATCH_DIR);
    path_ = std::string(CALIB_SCRATCH_DIR) + "/stderr-" + std::to_string(counter++) + ".txt";
    std::cerr.flush();
    std::fflush(stderr);
    savedFd_ = dup(fileno(stderr));
    FILE* file = std::fopen(path_.c_str(), "wb");
    if (file != nullptr) {
        dup2(fileno(file), fileno(stderr));
        std::fclose(file);
    }
}

CaptureStderr::~CaptureStderr() { finish(); }

std::string CaptureStderr::finish() {
    if (finished_) return text_;
    finished_ = true;
    std::cerr.flush();
    std::fflush(stderr);
    if (savedFd_ >= 0) {
        dup2(savedFd_, fileno(stderr));
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
