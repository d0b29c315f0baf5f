// Replayer: captured tracker bytes paced by their time stamps, held back until the commands that
// preceded them in the capture have arrived, so the driver's own waits keep their place.
#include "Replay.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace fastraksim {
namespace {

using fastrakcapture::ChunkKind;

std::string describe(unsigned char c) {
    char text[24];
    if (c >= 0x20 && c < 0x7f) {
        std::snprintf(text, sizeof text, "0x%02x '%c'", c, c);
    } else {
        std::snprintf(text, sizeof text, "0x%02x", c);
    }
    return text;
}

}  // namespace

Replayer::Replayer(const fastrakcapture::Capture& capture, uint8_t stream, const ReplayOptions& options)
    : options_(options) {
    if (!(options_.speed > 0)) options_.speed = 1;
    for (const fastrakcapture::Chunk& chunk : capture.chunks) {
        if (chunk.stream != stream) continue;
        if (chunk.kind == ChunkKind::FromTracker) {
            steps_.push_back({true, false, chunk.micros, chunk.offset, chunk.payload});
        } else if (chunk.kind == ChunkKind::ToTracker) {
            steps_.push_back({false, false, chunk.micros, chunk.offset, chunk.payload});
            expected_ += chunk.payload;
            expectedOffset_.insert(expectedOffset_.end(), chunk.payload.size(), chunk.offset);
        } else if (chunk.kind == ChunkKind::LineLost) {
            steps_.push_back({false, true, chunk.micros, chunk.offset, chunk.payload});
            break;  // what came after the line returned is another session
        }
    }
    // The longest run of output without a command between: the continuous output to loop.
    size_t bestBytes = 0;
    for (size_t begin = 0; begin < steps_.size();) {
        size_t end = begin, bytes = 0;
        while (end < steps_.size() && steps_[end].toHost) bytes += steps_[end++].bytes.size();
        if (bytes > bestBytes) bestBytes = bytes, loopBegin_ = begin, loopEnd_ = end;
        begin = std::max(end, begin + 1);
    }
}

Replayer::~Replayer() { stop(); }

bool Replayer::start(std::string& error) {
    auto fail = [&](const char* what) {
        error = std::string(what) + ": " + std::strerror(errno);
        stop();
        return false;
    };
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0)
        return fail("posix_openpt");
    slavePath_ = name;
    // Held open and raw, as the emulator does: no echo, and no hang-up while the driver is away.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return fail("open slave");
    termios tio{};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    ::tcsetattr(slave_, TCSANOW, &tio);
    if (::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK) != 0) return fail("fcntl");
    if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) return fail("pipe");
    thread_ = std::thread([this] { run(); });
    return true;
}

void Replayer::stop() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    if (wake_[1] >= 0) {
        const char c = 0;
        if (::write(wake_[1], &c, 1) < 0) {
        }
    }
    if (thread_.joinable()) thread_.join();
    for (int* fd : {&master_, &slave_, &wake_[0], &wake_[1]})
        if (*fd >= 0) ::close(*fd), *fd = -1;
}

ReplayStatus Replayer::status() const {
    std::lock_guard<std::mutex> hold(mutex_);
    ReplayStatus s = status_;
    s.commandsMatched = matched_;
    s.commandsCaptured = expected_.size();
    return s;
}

void Replayer::receive(Clock::time_point now) {
    char buffer[1024];
    ssize_t got;
    while (master_ >= 0 && (got = ::read(master_, buffer, sizeof buffer)) > 0) {
        std::lock_guard<std::mutex> hold(mutex_);
        for (ssize_t k = 0; k < got; ++k) {
            const unsigned char c = static_cast<unsigned char>(buffer[k]);
            const uint64_t index = status_.commandBytes++;
            if (status_.differed) continue;
            if (matched_ < expected_.size() && c == static_cast<unsigned char>(expected_[matched_])) {
                ++matched_;
                matchedAt_ = now;
                continue;
            }
            status_.differed = true;
            char at[96];
            if (matched_ < expected_.size()) {
                std::snprintf(at, sizeof at, " (chunk at offset %llu)",
                              static_cast<unsigned long long>(expectedOffset_[matched_]));
                status_.difference = "command byte " + std::to_string(index) + " differs: the capture has " +
                                     describe(static_cast<unsigned char>(expected_[matched_])) + at + ", received " +
                                     describe(c);
            } else {
                status_.difference = "command byte " + std::to_string(index) + " (" + describe(c) +
                                     ") is more than the capture's " + std::to_string(expected_.size());
            }
        }
    }
}

bool Replayer::waitFor(Clock::time_point until) {
    const auto now = Clock::now();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    pollfd fds[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    const int timeout = static_cast<int>(std::clamp<long long>(left + 1, 0, 100));
    if (::poll(fds, 2, timeout) > 0) {
        if (fds[1].revents != 0) return false;
        if (fds[0].revents & POLLIN) receive(Clock::now());
    }
    std::lock_guard<std::mutex> hold(mutex_);
    return !stopping_;
}

void Replayer::run() {
    auto gap = [this](uint64_t from, uint64_t to) {
        const double micros = (static_cast<double>(to) - static_cast<double>(from)) / options_.speed;
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::micro>(micros));
    };
    Clock::time_point anchor = Clock::now();
    uint64_t anchorMicros = steps_.empty() ? 0 : steps_.front().micros;
    size_t commandsThrough = 0;  // captured command bytes up to the current step
    size_t i = 0;
    while (i <= steps_.size()) {
        // The driver has not moved on past the looped output: play it again.
        if (options_.loop && i == loopEnd_ && loopEnd_ > loopBegin_) {
            const bool more = i < steps_.size();
            std::unique_lock<std::mutex> hold(mutex_);
            if (!more || (!status_.differed && matched_ < commandsThrough + steps_[i].bytes.size())) {
                const uint64_t first = steps_[loopBegin_].micros, last = steps_[loopEnd_ - 1].micros;
                const uint64_t step = loopEnd_ - loopBegin_ > 1 ? (last - first) / (loopEnd_ - loopBegin_ - 1) : 0;
                anchorMicros = first - std::min(first, step);
                ++status_.passes;
                i = loopBegin_;
                continue;
            }
        }
        if (i == steps_.size()) break;
        const Step& s = steps_[i];
        if (s.lost) {
            std::lock_guard<std::mutex> hold(mutex_);
            status_.lineLost = true;
            ::close(master_);  // the driver sees the hang-up the line gave
            ::close(slave_);
            master_ = slave_ = -1;
            return;
        }
        if (!s.toHost) {
            commandsThrough += s.bytes.size();
            for (;;) {
                {
                    std::lock_guard<std::mutex> hold(mutex_);
                    if (status_.differed || matched_ >= commandsThrough) break;
                }
                if (!waitFor(Clock::now() + std::chrono::milliseconds(100))) return;
            }
            // The command counts from its arrival, never from before its captured place.
            const Clock::time_point due = anchor + gap(anchorMicros, s.micros);
            {
                std::lock_guard<std::mutex> hold(mutex_);
                anchor = status_.differed ? due : std::max(due, matchedAt_);
            }
            anchorMicros = s.micros;
            ++i;
            continue;
        }
        const Clock::time_point due = anchor + gap(anchorMicros, s.micros);
        while (Clock::now() < due)
            if (!waitFor(due)) return;
        for (size_t done = 0; done < s.bytes.size();) {
            const ssize_t n = ::write(master_, s.bytes.data() + done, s.bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) break;
            pollfd out{master_, POLLOUT, 0};
            ::poll(&out, 1, 100);
            receive(Clock::now());
            std::lock_guard<std::mutex> hold(mutex_);
            if (stopping_) return;
        }
        {
            std::lock_guard<std::mutex> hold(mutex_);
            status_.bytesSent += s.bytes.size();
        }
        anchor = due;
        anchorMicros = s.micros;
        ++i;
    }
    {
        std::lock_guard<std::mutex> hold(mutex_);
        status_.finished = true;
    }
    // Played out: anything more the driver sends is still compared.
    while (waitFor(Clock::now() + std::chrono::milliseconds(100))) {
    }
}

}  // namespace fastraksim
