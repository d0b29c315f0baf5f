// Captures everything written to standard output or standard error (C++ streams, stdio, and
// other modules) at the file-descriptor level, so text from a loaded library is caught as well.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace testsupport {

class CaptureStream {
public:
    // stream: stdout or stderr.
    explicit CaptureStream(FILE* stream);
    ~CaptureStream();
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;

    // Stops capturing (once) and returns what was written.
    std::string finish();

private:
    FILE* stream_;
    int savedFd_;
    std::string path_;
    bool finished_;
    std::string text_;
};

class CaptureStdout : public CaptureStream {
public:
    CaptureStdout() : CaptureStream(stdout) {}
};

class CaptureStderr : public CaptureStream {
public:
    CaptureStderr() : CaptureStream(stderr) {}
};

// The captured text cut into lines, without their line breaks.
std::vector<std::string> splitLines(const std::string& text);

// The last line of captured text, without its line break.
std::string lastLine(const std::string& text);

}  // namespace testsupport
