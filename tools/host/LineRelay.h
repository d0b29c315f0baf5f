// LineRelay: a pseudo-terminal of the host's own between the module and the real serial line,
// copying bytes both ways and handing each piece to the capture.
#pragma once

#include <atomic>
#include <memory>
#include <cstdint>
#include <string>
#include <thread>

#include "CaptureFile.h"
#include "CaptureWriter.h"

namespace fastrakhost {

// The path the module opens for a port name (comN is /dev/ttyS<N-1>, a name with '/' is a path,
// any other name lives under /dev/), as the module's own port layer resolves it.
std::string serialPathOf(const std::string& portName);

class LineRelay {
public:
    LineRelay(CaptureWriter& writer, uint8_t stream, const std::string& device, const std::string& port);
    ~LineRelay();
    LineRelay(const LineRelay&) = delete;
    LineRelay& operator=(const LineRelay&) = delete;

    // Opens the real port and a pseudo-terminal, links `link` to the terminal and starts copying.
    bool start(const std::string& link, std::string& error);
    void stop();

    uint64_t droppedToModule() const { return dropped_; }

private:
    bool openLine(std::string& error);
    bool openTerminal(std::string& error);
    void closeTerminal();
    void run();
    bool mirrorSettings();
    bool relayFromModule();
    bool relayFromLine();
    void lost(const std::string& why);

    CaptureWriter& writer_;
    uint8_t stream_;
    std::string device_, port_, path_, link_;
    int line_ = -1, master_ = -1, slave_ = -1;
    int wake_[2] = {-1, -1};
    bool declared_ = false;
    fastrakcapture::LineSettings settings_;
    struct Copied;  // the terminal settings last copied to the line
    std::unique_ptr<Copied> copied_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> dropped_{0};
    std::thread thread_;
};

}  // namespace fastrakhost
