// The driver's end of the emulator's pty in tests: plain POSIX open, raw mode, bounded reads.
#include "PtyDriver.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace simtest {

using Clock = std::chrono::steady_clock;

PtyDriver::PtyDriver(const std::string& path, speed_t speed) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return;
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) return;
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    ::tcsetattr(fd_, TCSANOW, &tio);
}

PtyDriver::~PtyDriver() {
    if (fd_ >= 0) ::close(fd_);
}

bool PtyDriver::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

std::string PtyDriver::read(size_t count, std::chrono::milliseconds timeout) {
    std::string out;
    const auto end = Clock::now() + timeout;
    char buffer[4096];
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        const size_t want = std::min(sizeof buffer, count - out.size());
        const ssize_t n = ::read(fd_, buffer, want);
        if (n > 0)
            out.append(buffer, static_cast<size_t>(n)), totalRead_ += static_cast<size_t>(n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return out;
}

std::string PtyDriver::readFor(std::chrono::milliseconds window) {
    std::string out;
    const auto end = Clock::now() + window;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0)
            out.append(buffer, static_cast<size_t>(n)), totalRead_ += static_cast<size_t>(n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return out;
}

std::string PtyDriver::readUntil(const std::string& suffix, std::chrono::milliseconds timeout) {
    std::string out;
    const auto end = Clock::now() + timeout;
    while (out.size() < suffix.size() || out.compare(out.size() - suffix.size(), suffix.size(), suffix) != 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) break;
        const std::string more = read(1, left);
        if (more.empty()) break;
        out += more;
    }
    return out;
}

bool PtyDriver::seesHangUp(std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    char buffer[256];
    while (Clock::now() < end) {
        pollfd p{fd_, POLLIN, 0};
        ::poll(&p, 1, 50);
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno == EIO)) return true;
    }
    return false;
}

}  // namespace simtest
