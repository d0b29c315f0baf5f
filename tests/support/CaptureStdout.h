// Captures everything written to standard output (C++ streams, stdio, and other modules) at the
// file-descriptor level, so text from a loaded library is caught as well.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

class CaptureStdout {
public:
    CaptureStdout();
    ~CaptureStdout();
    CaptureStdout(const CaptureStdout&) = delete;
    CaptureStdout& operator=(const CaptureStdout&) = delete;

    // Stops capturing (once) and returns what was written.
    std::string finish();

private:
    int savedFd_;
    std::string path_;
    bool finished_;
    std::string text_;
};

// The captured text cut into lines, without their line breaks.
std::vector<std::string> splitLines(const std::string& text);

// The last line of captured text, without its line break.
std::string lastLine(const std::string& text);

}  // namespace testsupport
