// The driver's end of the emulator's pty in tests: plain POSIX open, raw mode, bounded reads.
#pragma once

#include <termios.h>

#include <chrono>
#include <string>

namespace simtest {

class PtyDriver {
public:
    explicit PtyDriver(const std::string& path, speed_t speed = B115200);
    ~PtyDriver();
    PtyDriver(const PtyDriver&) = delete;
    PtyDriver& operator=(const PtyDriver&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool send(const std::string& bytes);

    // Reads until `count` bytes have arrived or `timeout` has passed; returns what arrived.
    std::string read(size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // Everything that arrives within `window`.
    std::string readFor(std::chrono::milliseconds window);
    // Reads until the text ends with `suffix` or the timeout passes.
    std::string readUntil(const std::string& suffix,
                          std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

    // After the other side closed: true once a read reports the hang-up (0 bytes or EIO).
    // Bytes this driver has read so far, by any of the calls above.
    size_t totalRead() const { return totalRead_; }

    bool seesHangUp(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

private:
    int fd_ = -1;
    size_t totalRead_ = 0;
};

}  // namespace simtest
