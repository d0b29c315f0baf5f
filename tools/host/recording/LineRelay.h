// LineRelay: a pseudo-terminal of the host's own between the module and the real serial line,
// copying bytes both ways and handing each piece to the capture.
#pragma once

#include <atomic>
#include <memory>
#include <cstdint>
#include <string>
#include <thread>

#include "CaptureFile.h"
#include "recording/CaptureWriter.h"

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

    // Opens the real port (locked, as the module locks its own) and a pseudo-terminal, links `link`
    // to the terminal and starts copying.
    bool start(const std::string& link, std::string& error);
    // Passes the module's last bytes on, then gives the real port back with the settings it had.
    void stop();

    uint64_t droppedToModule() const { return dropped_; }

private:
    bool openLine(std::string& error);
    bool openTerminal(std::string& error);
    void closeTerminal();
    void run();
    // The module's settings and bytes, in the order it made them (see the .cpp); false when the
    // line refused the bytes.
    bool relayFromModule();
    int forwardFromModule();  // one read of the terminal: 1 passed on, 0 nothing waiting, -1 the line refused it
    void mirrorSettings();    // the terminal's settings onto the line, after the bytes before them left
    bool relayFromLine();
    void lost(const std::string& why);

    CaptureWriter& writer_;
    uint8_t stream_;
    std::string device_, port_, path_, link_;
    int line_ = -1, master_ = -1, slave_ = -1;
    int wake_[2] = {-1, -1};
    bool declared_ = false;
    fastrakcapture::LineSettings settings_;
    struct Copied;  // the terminal settings last copied to the line, its resting ones, the line's own
    std::unique_ptr<Copied> copied_;
    bool found_ = false;  // the line's own settings are kept, to be put back at stop()
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> dropped_{0};
    std::thread thread_;
};

}  // namespace fastrakhost
