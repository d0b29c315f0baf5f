// The emulated tracker on a pseudo-terminal: one I/O thread that reads commands, produces
// solutions at the tracker's rate, paces bytes at the line speed and injects faults.
#include "FastrakSim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace fastraksim {

namespace {

using Clock = FastrakSim::Clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

int64_t ns(Clock::time_point t) { return std::chrono::duration_cast<nanoseconds>(t.time_since_epoch()).count(); }

// Saturating, so no setting can overflow the clock: NaN and negatives are 0, at most 30 years.
Clock::duration seconds(double s) {
    if (!(s > 0)) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::min(s, 1e9)));
}

double within(double v, double low, double high, double otherwise) {
    if (!std::isfinite(v)) return otherwise;
    return std::clamp(v, low, high);
}

double solutionRateOf(double rate) { return rate > 0 ? within(rate, kMinRate, kMaxRate, 120.0) : 0.0; }

struct SpeedEntry {
    speed_t code;
    unsigned baud;
};

const SpeedEntry kSpeeds[] = {{B50, 50},           {B75, 75},           {B110, 110},        {B134, 134},
                              {B150, 150},         {B200, 200},         {B300, 300},        {B600, 600},
                              {B1200, 1200},       {B1800, 1800},       {B2400, 2400},      {B4800, 4800},
                              {B9600, 9600},       {B19200, 19200},     {B38400, 38400},    {B57600, 57600},
                              {B115200, 115200},   {B230400, 230400},   {B460800, 460800},  {B921600, 921600},
                              {B1000000, 1000000}, {B2000000, 2000000}, {B4000000, 4000000}};

constexpr size_t kUnpacedBacklog = 4096;  // bytes queued before solutions are dropped unpaced
constexpr size_t kUsbPacket = 62;         // payload of a full-speed USB-serial adapter's packet
constexpr size_t kUsbBacklog = 4096;      // bytes the adapter holds while the host reads nothing

// What a byte sent at one speed and sampled at another turns into: nearly always another byte, the same
// garbage for the same byte, as a receiver that keeps missing the bit edges sees.
char garbled(char c) {
    const auto b = static_cast<unsigned char>(c);
    return static_cast<char>(static_cast<unsigned char>((b << 3) | (b >> 5)) ^ 0xA5);
}

}  // namespace

FastrakSim::FastrakSim(const SimOptions& options) : options_(options), faultRandom_(options.seed ^ 0x6661756c74ull) {
    options_.solutionRate = solutionRateOf(options_.solutionRate);
    options_.latencySeconds = within(options_.latencySeconds, 0, kMaxLatency, 0);
    options_.usbSeconds = within(options_.usbSeconds, 0, 1, 0);
    options_.resetSeconds = within(options_.resetSeconds, 0, kMaxResetSeconds, 0);
    for (int i = 0; i < 4; ++i) model_.setReceiver(i + 1, options_.receivers[i]);
    model_.powerUp();
}

FastrakSim::~FastrakSim() { stop(); }

bool FastrakSim::start(std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_) {
        error = "already started";
        return false;
    }
    auto fail = [&](const char* what) {
        error = std::string(what) + ": " + std::strerror(errno);
        closeSides();
        for (int& fd : wakeFds_)
            if (fd >= 0) ::close(fd), fd = -1;
        return false;
    };
    masterFd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (masterFd_ < 0) return fail("posix_openpt");
    if (::grantpt(masterFd_) != 0 || ::unlockpt(masterFd_) != 0) return fail("unlockpt");
    char name[128];
    if (::ptsname_r(masterFd_, name, sizeof name) != 0) return fail("ptsname");
    slavePath_ = name;
    slaveFd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveFd_ < 0) return fail("open slave");
    // Raw from the start, so nothing is echoed back as a command before the driver sets the line up.
    termios tio{};
    if (::tcgetattr(slaveFd_, &tio) != 0) return fail("tcgetattr");
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    // The line starts at the tracker's own speed, so a reader that never sets one understands it.
    speed_t initial = B9600;
    for (const SpeedEntry& e : kSpeeds)
        if (options_.baud > 0 && e.baud == options_.baud) initial = e.code;
    ::cfsetispeed(&tio, initial);
    ::cfsetospeed(&tio, initial);
    if (::tcsetattr(slaveFd_, TCSANOW, &tio) != 0) return fail("tcsetattr");
    const int flags = ::fcntl(masterFd_, F_GETFL);
    if (flags < 0 || ::fcntl(masterFd_, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl");
    if (::pipe2(wakeFds_, O_NONBLOCK | O_CLOEXEC) != 0) return fail("pipe");
    // Without a watch the emulator cannot tell a closed port from an idle reader and assumes one.
    watchFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watchFd_ >= 0 && ::inotify_add_watch(watchFd_, name, IN_OPEN | IN_CLOSE) < 0) ::close(watchFd_), watchFd_ = -1;
    openers_ = 0;
    stats_.readerPresent = watchFd_ < 0;

    start_ = Clock::now();
    usbTimer_ = start_;
    nextSolution_ = start_;
    lineClock_ = start_;
    baudInUse_ = readBaud();
    stopRequested_ = false;
    try {
        thread_ = std::thread(&FastrakSim::run, this);
    } catch (const std::system_error& e) {
        errno = e.code().value();
        return fail("thread");
    }
    started_ = true;
    return true;
}

void FastrakSim::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!started_) return;
        stopRequested_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    closeSides();
    for (int& fd : wakeFds_)
        if (fd >= 0) ::close(fd), fd = -1;
    started_ = false;
    changed_.notify_all();
}

std::string FastrakSim::slavePath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slavePath_;
}

void FastrakSim::setMotion(int station, MotionPtr motion) {
    if (station < 1 || station > 4) return;
    std::lock_guard<std::mutex> lock(mutex_);
    motions_[station - 1] = std::move(motion);
}

void FastrakSim::setFaults(const FaultSettings& faults) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        faults_ = faults;
    }
    wake();
}

void FastrakSim::setPaced(bool paced) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        options_.paced = paced;
    }
    wake();
}

void FastrakSim::setBaud(unsigned baud) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        options_.baud = baud;
        baudInUse_ = readBaud();
    }
    wake();
}

void FastrakSim::setSolutionRate(double rate) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        options_.solutionRate = solutionRateOf(rate);
        nextSolution_ = Clock::now();
    }
    wake();
}

void FastrakSim::setResetSeconds(double s) {
    std::lock_guard<std::mutex> lock(mutex_);
    options_.resetSeconds = within(s, 0, kMaxResetSeconds, 0);
}

void FastrakSim::setLatency(double s) {
    std::lock_guard<std::mutex> lock(mutex_);
    options_.latencySeconds = within(s, 0, kMaxLatency, 0);
}

void FastrakSim::hangUp() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hangUpRequested_ = true;
    }
    wake();
}

unsigned FastrakSim::lineBaud() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return readBaud();
}

std::vector<LogEntry> FastrakSim::log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<LogEntry>(log_.begin(), log_.end());
}

std::vector<LogEntry> FastrakSim::entries(LogEntry::Kind kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<LogEntry> out;
    for (const LogEntry& e : log_)
        if (e.kind == kind) out.push_back(e);
    return out;
}

std::string FastrakSim::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void FastrakSim::clearLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
}

void FastrakSim::setLogSink(std::function<void(const LogEntry&)> sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    sink_ = std::move(sink);
}

SimStats FastrakSim::stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

TrackerState FastrakSim::trackerState() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.state();
}

bool FastrakSim::waitUntil(const std::function<bool(const SimStats&)>& done, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(stats_); });
}

bool FastrakSim::waitForRecords(uint64_t count, std::chrono::milliseconds timeout) const {
    return waitUntil([count](const SimStats& s) { return s.records >= count; }, timeout);
}

bool FastrakSim::waitForCommands(uint64_t count, std::chrono::milliseconds timeout) const {
    return waitUntil([count](const SimStats& s) { return s.commands >= count; }, timeout);
}

// ---- the I/O thread; everything below runs with mutex_ held ----

void FastrakSim::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    char buffer[4096];
    while (!stopRequested_) {
        Clock::time_point now = Clock::now();
        if (hangUpRequested_ && !stats_.hungUp) {
            dropQueue("cut by hang-up");
            closeSides();
            stats_.hungUp = true;
            LogEntry e;
            e.kind = LogEntry::Kind::HangUp;
            e.time = ns(now);
            addLog(std::move(e));
        }
        if (!stats_.hungUp) step(now);

        pollfd fds[3] = {{wakeFds_[0], POLLIN, 0}, {masterFd_, POLLIN, 0}, {watchFd_, POLLIN, 0}};
        if (writeBlocked_) fds[1].events |= POLLOUT;
        const nfds_t count = stats_.hungUp ? 1 : 3;
        timespec timeout{};
        const timespec* timeoutPtr = nullptr;
        if (!stats_.hungUp) {
            const auto wait = std::max(Clock::duration::zero(), nextWake_ - Clock::now());
            const auto waitNs = std::chrono::duration_cast<nanoseconds>(wait).count();
            timeout.tv_sec = static_cast<time_t>(waitNs / 1000000000);
            timeout.tv_nsec = static_cast<long>(waitNs % 1000000000);
            timeoutPtr = &timeout;
        }
        lock.unlock();
        const int ready = ::ppoll(fds, count, timeoutPtr, nullptr);
        lock.lock();
        if (ready <= 0) continue;
        if (fds[0].revents & POLLIN)
            while (::read(wakeFds_[0], buffer, sizeof buffer) > 0) {
            }
        // Opens first: a driver's command comes after its open, and must find it counted.
        if (count == 3 && watchFd_ >= 0) readOpens();
        if (count == 3 && masterFd_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            // A few buffers at a time, so a driver that never stops writing cannot hold off the clock.
            for (int chunks = 0; chunks < 16;) {
                const ssize_t n = ::read(masterFd_, buffer, sizeof buffer);
                if (n > 0) {
                    handleInput(buffer, static_cast<size_t>(n), Clock::now());
                    ++chunks;
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                if (n < 0 && errno != EAGAIN) {
                    // Not expected while we hold the slave side open; do not spin on it.
                    lock.unlock();
                    ::usleep(10000);
                    lock.lock();
                }
                break;
            }
        }
    }
}

double FastrakSim::secondsSince(Clock::time_point t) const { return std::chrono::duration<double>(t - start_).count(); }

Sample FastrakSim::sampleAt(int station, Clock::time_point t) const {
    const MotionPtr& m = motions_[station - 1];
    if (m) return m->at(secondsSince(t));
    return Sample{defaultPose(station), false};
}

void FastrakSim::step(Clock::time_point now) {
    nextWake_ = now + milliseconds(200);
    const double elapsed = secondsSince(now);

    if (faults_.hangUpAt >= 0) {
        if (elapsed >= faults_.hangUpAt) {
            hangUpRequested_ = true;
            nextWake_ = now;
            return;
        }
        nextWake_ = std::min(nextWake_, start_ + seconds(faults_.hangUpAt));
    }

    if (stats_.resetting) {
        if (now >= resetUntil_) {
            stats_.resetting = false;
            ++stats_.resets;
            LogEntry e;
            e.kind = LogEntry::Kind::ResetDone;
            e.time = ns(now);
            addLog(std::move(e));
        } else {
            nextWake_ = std::min(nextWake_, resetUntil_);
        }
    }

    double boundary;
    const bool silent = silentAt(elapsed, boundary);
    if (boundary >= 0) nextWake_ = std::min(nextWake_, start_ + seconds(boundary));
    if (silent != stats_.silent) {
        stats_.silent = silent;
        LogEntry e;
        e.kind = silent ? LogEntry::Kind::SilenceStart : LogEntry::Kind::SilenceEnd;
        e.time = ns(now);
        addLog(std::move(e));
    }

    if (options_.solutionRate > 0) {
        const Clock::duration period = seconds(1.0 / options_.solutionRate);
        if (now - nextSolution_ > milliseconds(250)) {
            // The thread was held up; do not send a burst of stale solutions.
            const auto missed = (now - nextSolution_) / period;
            if (model_.state().continuous) stats_.solutionsDropped += static_cast<uint64_t>(missed);
            nextSolution_ += missed * period;
        }
        // At most 250 ms of solutions at no less than 10 us each: the loop is bounded.
        while (nextSolution_ <= now) {
            solution(nextSolution_);
            nextSolution_ += period;
        }
        nextWake_ = std::min(nextWake_, nextSolution_);
    } else if (queue_.empty() && stats_.readerPresent) {
        solution(now);
    }

    writeOutput(now);
    // Free-running: the next solution at once, as long as somebody reads them.
    if (options_.solutionRate <= 0 && queue_.empty() && model_.state().continuous && !stats_.resetting && !silent &&
        stats_.readerPresent)
        nextWake_ = now;
}

bool FastrakSim::silentAt(double elapsed, double& boundary) const {
    boundary = -1;
    if (faults_.silenceAt < 0 || faults_.silenceFor <= 0) return false;
    if (elapsed < faults_.silenceAt) {
        boundary = faults_.silenceAt;
        return false;
    }
    const double since = elapsed - faults_.silenceAt;
    const double phase = faults_.silenceEvery > 0 ? std::fmod(since, faults_.silenceEvery) : since;
    const double windowStart = faults_.silenceAt + since - phase;
    const bool silent = phase < faults_.silenceFor;
    if (silent)
        boundary = windowStart + faults_.silenceFor;
    else if (faults_.silenceEvery > 0)
        boundary = windowStart + faults_.silenceEvery;
    return silent;
}

void FastrakSim::solution(Clock::time_point t) {
    TrackerState& st = model_.state();
    for (int i = 0; i < 4; ++i) {
        if (!st.stations[i].receiver) continue;
        const bool pressed = sampleAt(i + 1, t).button;
        if (pressed && !lastButton_[i] && st.stations[i].stylusFunction == 1 && !stats_.resetting) {
            LogEntry e;
            e.kind = LogEntry::Kind::Stylus;
            e.time = ns(t);
            e.station = i + 1;
            ++stats_.stylusEvents;
            if (st.continuous) {
                st.continuous = false;
                e.note = "press stops continuous output";
                addLog(std::move(e));
            } else {
                e.note = "press sends one record per active station";
                addLog(std::move(e));
                if (!stats_.silent)
                    for (int s : model_.activeStations()) enqueueRecord(s, t, true);
            }
        }
        lastButton_[i] = pressed;
    }
    if (!st.continuous || stats_.resetting) return;
    const std::vector<int> active = model_.activeStations();
    if (active.empty()) return;
    if (active != lastActive_) {
        roundRobin_ = 0;
        lastActive_ = active;
    }
    double boundary;
    // Judged by the solution's own time, so a late wake-up cannot leak one out of the window.
    if (silentAt(secondsSince(t), boundary) || !lineHasRoom(t)) {
        // The solution is lost, not the station's turn: the next record is still this station's.
        ++stats_.solutionsDropped;
        return;
    }
    const int station = active[roundRobin_ % active.size()];
    ++roundRobin_;
    enqueueRecord(station, t, true);
}

bool FastrakSim::lineHasRoom(Clock::time_point t) const {
    size_t queued = 0;
    for (const Pending& p : queue_) queued += p.bytes.size() - p.sent;
    if (options_.solutionRate <= 0) return queued == 0;
    if (!options_.paced) return queued < kUnpacedBacklog;
    // The line is free for this record once what is ahead of it has gone out, each item no earlier
    // than its own time; a record waiting out its latency delays nothing but itself.
    const Clock::duration byteTime = seconds(10.0 / baudInUse_);
    const Clock::time_point wanted = t + seconds(options_.latencySeconds);
    Clock::time_point free = lineClock_;
    for (const Pending& p : queue_) {
        const Clock::time_point begin = p.sent > 0 ? free : std::max(free, p.notBefore);
        free = begin + byteTime * static_cast<Clock::rep>(p.bytes.size() - p.sent);
    }
    // A record that cannot start within its own cycle is dropped.
    return std::max(free, wanted) <= wanted + seconds(1.0 / options_.solutionRate);
}

std::string FastrakSim::randomBytes(size_t count, bool avoidLineEnd) {
    std::string out;
    std::uniform_int_distribution<int> byte(0, 255);
    while (out.size() < count) {
        const char c = static_cast<char>(byte(faultRandom_));
        if (avoidLineEnd && (c == '\r' || c == '\n')) continue;
        out.push_back(c);
    }
    return out;
}

void FastrakSim::enqueueRecord(int station, Clock::time_point solutionAt, bool withFaults) {
    const Sample truth = sampleAt(station, solutionAt);
    Sample sample = truth;
    sample.pose = distort(options_.distortion, truth.pose);
    std::string bytes = model_.record(station, sample);
    LogEntry e;
    e.kind = LogEntry::Kind::Record;
    e.station = station;
    e.solutionTime = ns(solutionAt);
    e.solutionWallTime = std::chrono::duration_cast<nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
                             .count() -
                         ns(Clock::now()) + e.solutionTime;
    e.pose = model_.reported(station, sample.pose);
    // What an undistorted field would have reported, to fit and check corrections against.
    e.hasTruePose = options_.distortion.enabled();
    if (e.hasTruePose) e.truePose = model_.reported(station, truth.pose);
    e.button = sample.button;
    const Clock::time_point notBefore = solutionAt + seconds(options_.latencySeconds);
    if (!stats_.readerPresent) return lose(std::move(e), bytes, "no reader");
    if (trackerBytesQueued() + bytes.size() > options_.outputBuffer)
        return lose(std::move(e), bytes, "output buffer full");
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    auto happens = [&](double rate) { return withFaults && rate > 0 && chance(faultRandom_) < rate; };

    if (happens(faults_.noiseRate)) {
        std::uniform_int_distribution<size_t> length(1, std::max<size_t>(1, faults_.noiseBytes));
        LogEntry n;
        n.kind = LogEntry::Kind::Noise;
        enqueue(randomBytes(length(faultRandom_), false), std::move(n), notBefore);
    }
    if (happens(faults_.longRunRate)) {
        LogEntry n;
        n.kind = LogEntry::Kind::LongRun;
        // Starts like a record so a reader is drawn into it.
        enqueue("0" + randomBytes(std::max<size_t>(1, faults_.longRunBytes) - 1, true), std::move(n), notBefore);
    }
    if (happens(faults_.corruptRate) && !bytes.empty()) {
        e.original = bytes;
        std::vector<size_t> positions(bytes.size());
        for (size_t i = 0; i < positions.size(); ++i) positions[i] = i;
        std::shuffle(positions.begin(), positions.end(), faultRandom_);
        positions.resize(std::min(positions.size(), std::max<size_t>(1, faults_.corruptBytes)));
        std::sort(positions.begin(), positions.end());
        std::uniform_int_distribution<int> mask(1, 255);
        e.note = "corrupted at";
        for (size_t p : positions) {
            bytes[p] = static_cast<char>(bytes[p] ^ mask(faultRandom_));
            e.note += " " + std::to_string(p);
        }
    }
    if (happens(faults_.dropRate) && !bytes.empty()) {
        if (e.original.empty()) e.original = bytes;
        std::vector<size_t> positions(bytes.size());
        for (size_t i = 0; i < positions.size(); ++i) positions[i] = i;
        std::shuffle(positions.begin(), positions.end(), faultRandom_);
        positions.resize(std::min(positions.size(), std::max<size_t>(1, faults_.dropBytes)));
        std::sort(positions.begin(), positions.end());
        if (!e.note.empty()) e.note += "; ";
        e.note += "dropped at";
        for (auto it = positions.rbegin(); it != positions.rend(); ++it) bytes.erase(*it, 1);
        for (size_t p : positions) e.note += " " + std::to_string(p);
        if (bytes.empty()) {
            // Nothing of it reaches the line, so it is no record sent.
            e.kind = LogEntry::Kind::Dropped;
            e.note += "; nothing left";
            e.time = ns(solutionAt);
            addLog(std::move(e));
            return;
        }
    }
    if (happens(faults_.overrunRate) && !bytes.empty()) {
        if (e.original.empty()) e.original = bytes;
        const size_t count = std::min(bytes.size(), std::max<size_t>(1, faults_.overrunBytes));
        std::uniform_int_distribution<size_t> start(0, bytes.size() - count);
        const size_t at = start(faultRandom_);
        bytes.erase(at, count);
        if (!e.note.empty()) e.note += "; ";
        e.note += "overrun lost " + std::to_string(count) + " at " + std::to_string(at);
        if (bytes.empty()) {
            e.kind = LogEntry::Kind::Dropped;
            e.note += "; nothing left";
            e.time = ns(solutionAt);
            addLog(std::move(e));
            return;
        }
    }
    enqueue(std::move(bytes), std::move(e), notBefore);
}

void FastrakSim::lose(LogEntry entry, const std::string& bytes, const std::string& why) {
    if (why == "no reader")
        ++stats_.lostNoReader;
    else if (why == "output buffer full")
        ++stats_.overflows;
    entry.note = entry.kind == LogEntry::Kind::Record ? "record: " + why : "reply: " + why;
    entry.kind = LogEntry::Kind::Dropped;
    entry.bytes = bytes;
    entry.original.clear();
    if (entry.time == 0) entry.time = ns(Clock::now());
    addLog(std::move(entry));
}

size_t FastrakSim::trackerBytesQueued() const {
    size_t queued = 0;
    for (const Pending& p : queue_)
        if (p.entry.kind == LogEntry::Kind::Record || p.entry.kind == LogEntry::Kind::Reply)
            queued += p.bytes.size() - p.sent;
    return queued;
}

void FastrakSim::readOpens() {
    alignas(inotify_event) char events[4096];
    const int before = openers_;
    bool lostTrack = false;
    for (;;) {
        const ssize_t n = ::read(watchFd_, events, sizeof events);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(events + at);
            if (e->mask & IN_OPEN) ++openers_;
            if ((e->mask & IN_CLOSE) && openers_ > 0) --openers_;
            if (e->mask & (IN_Q_OVERFLOW | IN_IGNORED)) lostTrack = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    if (lostTrack) {
        // The count can no longer be trusted: assume a reader, as without a watch.
        ::close(watchFd_);
        watchFd_ = -1;
        stats_.readerPresent = true;
        return;
    }
    stats_.readerPresent = openers_ > 0;
    if (before > 0 && openers_ == 0) noReader();
}

void FastrakSim::noReader() {
    // A closed port takes nothing in: what waits is lost, and what the terminal holds is stale.
    dropQueue("no reader");
    int pending = 0;
    if (slaveFd_ >= 0 && ::ioctl(slaveFd_, FIONREAD, &pending) == 0 && pending > 0) {
        ::tcflush(slaveFd_, TCIFLUSH);
        LogEntry e;
        e.kind = LogEntry::Kind::Dropped;
        e.time = ns(Clock::now());
        e.note = "no reader: " + std::to_string(pending) + " unread bytes cleared from the terminal";
        addLog(std::move(e));
    }
    lineClock_ = Clock::now();
}

void FastrakSim::enqueue(std::string bytes, LogEntry entry, Clock::time_point notBefore) {
    if (bytes.empty()) return;
    Pending p;
    p.bytes = std::move(bytes);
    p.entry = std::move(entry);
    p.notBefore = notBefore;
    queue_.push_back(std::move(p));
    stats_.queuedBytes = trackerBytesQueued();
}

unsigned FastrakSim::readBaud() const {
    if (options_.baud > 0) return options_.baud;
    const unsigned baud = terminalBaud();
    return baud > 0 ? baud : 9600;
}

unsigned FastrakSim::terminalBaud() const {
    termios tio{};
    if (slaveFd_ < 0 || ::tcgetattr(slaveFd_, &tio) != 0) return 0;
    const speed_t code = ::cfgetospeed(&tio);
    for (const SpeedEntry& s : kSpeeds)
        if (s.code == code) return s.baud;
    return 0;
}

bool FastrakSim::speedMismatch(Clock::time_point now) {
    const unsigned line = options_.baud > 0 ? terminalBaud() : 0;
    const bool mismatched = line > 0 && line != options_.baud;
    if (mismatched != mismatched_) {
        mismatched_ = mismatched;
        LogEntry e;
        e.kind = LogEntry::Kind::LineSpeed;
        e.time = ns(now);
        e.note = mismatched ? "the driver set " + std::to_string(line) + " baud, the tracker runs at " +
                                  std::to_string(options_.baud) + ": garbled both ways"
                            : "the driver's speed matches the tracker's again";
        addLog(std::move(e));
    }
    return mismatched;
}

void FastrakSim::writeOutput(Clock::time_point now) {
    writeLine(now);
    if (options_.usbSeconds > 0) deliverUsb(now);
}

ssize_t FastrakSim::emit(const char* bytes, size_t count) {
    if (options_.usbSeconds <= 0) return ::write(masterFd_, bytes, count);
    if (usbHeld_.size() >= kUsbBacklog) {
        errno = EAGAIN;
        return -1;
    }
    if (usbHeld_.empty()) {
        // The timer ran on while nothing waited: these bytes wait for its next expiry.
        const Clock::duration timer = std::chrono::duration_cast<Clock::duration>(seconds(options_.usbSeconds));
        const Clock::time_point now = Clock::now();
        if (now >= usbTimer_ + timer) usbTimer_ += timer * ((now - usbTimer_) / timer);
    }
    usbHeld_.append(bytes, count);
    return static_cast<ssize_t>(count);
}

// As a USB-serial adapter does: a packet goes to the host when 62 bytes wait or when the latency
// timer expires; the timer restarts at every packet, and an expiry with nothing to send counts as
// one (the adapter sends its status then).
void FastrakSim::deliverUsb(Clock::time_point now) {
    const Clock::duration timer = std::chrono::duration_cast<Clock::duration>(seconds(options_.usbSeconds));
    while (!usbHeld_.empty() && (usbHeld_.size() >= kUsbPacket || now >= usbTimer_ + timer)) {
        const size_t want = std::min(usbHeld_.size(), kUsbPacket);
        const ssize_t n = ::write(masterFd_, usbHeld_.data(), want);
        if (n <= 0) {
            if (n < 0 && errno != EAGAIN && errno != EINTR) usbHeld_.clear();
            writeBlocked_ = n < 0 && (errno == EAGAIN || errno == EINTR);
            return;
        }
        usbHeld_.erase(0, static_cast<size_t>(n));
        usbTimer_ = now;
    }
    if (!usbHeld_.empty()) nextWake_ = std::min(nextWake_, usbTimer_ + timer);
}

void FastrakSim::writeLine(Clock::time_point now) {
    writeBlocked_ = false;
    while (!queue_.empty() && masterFd_ >= 0) {
        Pending& p = queue_.front();
        if (p.sent == 0) {
            if (now < p.notBefore) {
                nextWake_ = std::min(nextWake_, p.notBefore);
                return;
            }
            if (speedMismatch(now)) {
                if (p.entry.original.empty()) p.entry.original = p.bytes;
                for (char& c : p.bytes) c = garbled(c);
                p.entry.note = "garbled: the driver's speed differs from the tracker's";
            }
            if (options_.paced) {
                baudInUse_ = readBaud();
                // An idle line starts at the record; a late wake-up may catch up a little.
                lineClock_ = std::max({lineClock_, p.notBefore, now - milliseconds(20)});
            }
        }
        size_t want = p.bytes.size() - p.sent;
        const double byteNs = 1e10 / baudInUse_;  // ten bits a byte
        if (options_.paced) {
            // A byte is written once its ten bits would have left the line.
            const double behind =
                static_cast<double>(std::chrono::duration_cast<nanoseconds>(now - lineClock_).count());
            const size_t completed = behind > 0 ? static_cast<size_t>(behind / byteNs) : 0;
            if (completed == 0) {
                // About a millisecond's worth, but no later than the record's last byte.
                const double chunk = std::min(static_cast<double>(want), std::max(1.0, std::floor(1e6 / byteNs)));
                nextWake_ =
                    std::min(nextWake_, lineClock_ + std::chrono::duration_cast<Clock::duration>(
                                                         std::chrono::duration<double, std::nano>(chunk * byteNs)));
                return;
            }
            want = std::min(want, completed);
        }
        const ssize_t n = emit(p.bytes.data() + p.sent, want);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                writeBlocked_ = true;
                return;
            }
            dropQueue("write failed");
            return;
        }
        const Clock::time_point written = Clock::now();
        if (n > 0 && p.sent == 0) p.entry.time = ns(written);
        p.sent += static_cast<size_t>(n);
        stats_.bytesSent += static_cast<uint64_t>(n);
        stats_.queuedBytes = trackerBytesQueued();
        if (options_.paced)
            lineClock_ += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double, std::nano>(static_cast<double>(n) * byteNs));
        if (p.sent == p.bytes.size()) {
            p.entry.endTime = ns(written);
            p.entry.bytes = std::move(p.bytes);
            addLog(std::move(p.entry));
            queue_.pop_front();
            continue;
        }
        if (static_cast<size_t>(n) < want) {
            writeBlocked_ = true;
            return;
        }
    }
}

void FastrakSim::dropQueue(const char* why) {
    if (!queue_.empty() && queue_.front().sent > 0) {
        Pending& p = queue_.front();
        p.entry.endTime = ns(Clock::now());
        if (p.entry.original.empty()) p.entry.original = p.bytes;
        p.entry.bytes = p.bytes.substr(0, p.sent);
        p.entry.note += p.entry.note.empty() ? why : std::string("; ") + why;
        addLog(std::move(p.entry));
        queue_.pop_front();
    }
    for (Pending& p : queue_)
        if (p.entry.kind == LogEntry::Kind::Record || p.entry.kind == LogEntry::Kind::Reply)
            lose(std::move(p.entry), p.bytes, why);
    queue_.clear();
    usbHeld_.clear();
    stats_.queuedBytes = 0;
    writeBlocked_ = false;
}

void FastrakSim::handleInput(const char* data, size_t n, Clock::time_point now) {
    // Only the latest bytes are kept; the log holds every command.
    if (options_.receivedCapacity > 0) {
        const size_t keep = std::min(n, options_.receivedCapacity);
        received_.append(data + (n - keep), keep);
        if (received_.size() > options_.receivedCapacity)
            received_.erase(0, received_.size() - options_.receivedCapacity);
    }
    stats_.bytesReceived += n;
    if (speedMismatch(now)) {
        // Sampled at the wrong speed, the driver's commands are noise to the tracker.
        LogEntry e;
        e.kind = LogEntry::Kind::Command;
        e.time = ns(now);
        e.bytes.assign(data, n);
        e.note = "ignored: the driver's speed differs from the tracker's";
        addLog(std::move(e));
        framer_.clear();
        writeOutput(now);
        return;
    }
    std::string ignored;
    auto logIgnored = [&] {
        if (ignored.empty()) return;
        LogEntry e;
        e.kind = LogEntry::Kind::Command;
        e.time = ns(now);
        e.bytes = std::move(ignored);
        e.note = "ignored: restarting";
        ignored.clear();
        addLog(std::move(e));
    };
    std::vector<CommandPiece> pieces;
    for (size_t i = 0; i < n; ++i) {
        const char c = data[i];
        if (stats_.resetting && c != 0x19) {
            ignored.push_back(c);
            continue;
        }
        logIgnored();
        pieces.clear();
        framer_.feed(c, pieces);
        for (const CommandPiece& piece : pieces) {
            const CommandOutcome outcome = model_.execute(piece);
            LogEntry e;
            e.kind = LogEntry::Kind::Command;
            e.time = ns(now);
            e.bytes = piece.bytes;
            e.note = outcome.note;
            e.errorCode = outcome.errorCode;
            addLog(std::move(e));
            switch (outcome.effect) {
                case CommandOutcome::Effect::Reset:
                    // The power-up state holds from here; the line stays silent while it restarts.
                    dropQueue("cut by reset");
                    framer_.clear();
                    model_.powerUp();
                    stats_.resetting = true;
                    resetUntil_ = now + seconds(options_.resetSeconds);
                    roundRobin_ = 0;
                    break;
                case CommandOutcome::Effect::Point:
                    if (!stats_.silent)
                        for (int s : model_.activeStations()) enqueueRecord(s, now, true);
                    break;
                case CommandOutcome::Effect::Continuous:
                    if (model_.state().continuous) roundRobin_ = 0;
                    break;
                default:
                    break;
            }
            if (!outcome.reply.empty() && !stats_.silent) {
                LogEntry r;
                r.kind = LogEntry::Kind::Reply;
                r.note = outcome.ok ? "status" : "error";
                r.errorCode = outcome.errorCode;
                if (!stats_.readerPresent)
                    lose(std::move(r), outcome.reply, "no reader");
                else if (trackerBytesQueued() + outcome.reply.size() > options_.outputBuffer)
                    lose(std::move(r), outcome.reply, "output buffer full");
                else
                    enqueue(outcome.reply, std::move(r), now);
            }
        }
    }
    logIgnored();
    writeOutput(now);
}

void FastrakSim::closeSides() {
    if (masterFd_ >= 0) ::close(masterFd_);
    if (slaveFd_ >= 0) ::close(slaveFd_);
    if (watchFd_ >= 0) ::close(watchFd_);
    masterFd_ = slaveFd_ = watchFd_ = -1;
}

void FastrakSim::addLog(LogEntry entry) {
    entry.index = nextIndex_++;
    switch (entry.kind) {
        case LogEntry::Kind::Command:
            ++stats_.commands;
            if (entry.errorCode != 0) ++stats_.errors;
            break;
        case LogEntry::Kind::Record:
            entry.seq = nextSeq_++;
            ++stats_.records;
            break;
        case LogEntry::Kind::Reply:
            ++stats_.replies;
            break;
        case LogEntry::Kind::Noise:
            ++stats_.noiseBursts;
            break;
        case LogEntry::Kind::LongRun:
            ++stats_.longRuns;
            break;
        default:
            break;
    }
    if (sink_) sink_(entry);
    if (options_.logCapacity > 0) {
        log_.push_back(std::move(entry));
        while (log_.size() > options_.logCapacity) log_.pop_front();
    }
    changed_.notify_all();
}

void FastrakSim::wake() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (wakeFds_[1] >= 0) {
        const char b = 1;
        (void)!::write(wakeFds_[1], &b, 1);
    }
}

}  // namespace fastraksim
