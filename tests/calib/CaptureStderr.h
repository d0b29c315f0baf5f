// Captures standard error at the file-descriptor level, so a loaded library's messages are caught.
#pragma once

#include <string>

class CaptureStderr {
public:
    CaptureStderr();
    ~CaptureStderr();
    CaptureStderr(const CaptureStderr&) = delete;
    CaptureStderr& operator=(const CaptureStderr&) = delete;

    // Stops capturing (once) and returns what was written.
    std::string finish();

private:
    int savedFd_;
    std::string path_;
    bool finished_;
    std::string text_;
};
