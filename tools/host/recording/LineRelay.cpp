// LineRelay: the pseudo-terminal relay behind fastrak-host --capture (POSIX; refused on Windows).
#include "recording/LineRelay.h"

#include <cctype>
#include <cerrno>
#include <cstring>

#include "HostLog.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace fastrakhost {

using fastrakcapture::ChunkKind;

std::string serialPathOf(const std::string& portName) {
    std::string name = portName;
    if (name.compare(0, 4, "\\\\.\\") == 0) name.erase(0, 4);
    if (name.find('/') != std::string::npos) return name;
    if (name.size() > 3 && std::tolower(static_cast<unsigned char>(name[0])) == 'c' &&
        std::tolower(static_cast<unsigned char>(name[1])) == 'o' &&
        std::tolower(static_cast<unsigned char>(name[2])) == 'm' &&
        name.find_first_not_of("0123456789", 3) == std::string::npos && name.size() < 8) {
        const long n = std::stol(name.substr(3));
        if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
    }
    return "/dev/" + name;
}

#if defined(_WIN32)

struct LineRelay::Copied {};

bool LineRelay::start(const std::string&, std::string& error) {
    error =
        "--capture relays the line through a pseudo-terminal, which this Windows build does not have; "
        "capture on Linux";
    return false;
}
void LineRelay::stop() {}
bool LineRelay::openLine(std::string&) { return false; }
bool LineRelay::openTerminal(std::string&) { return false; }
void LineRelay::closeTerminal() {}
void LineRelay::run() {}
void LineRelay::mirrorSettings() {}
bool LineRelay::relayFromModule() { return false; }
int LineRelay::forwardFromModule() { return -1; }
bool LineRelay::relayFromLine() { return false; }
void LineRelay::lost(const std::string&) {}

#else

namespace {

struct Speed {
    speed_t code;
    uint32_t baud;
};
const Speed kSpeeds[] = {{B1200, 1200},     {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
                         {B19200, 19200},   {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
                         {B230400, 230400}, {B300, 300},     {B600, 600}};

uint32_t baudOf(speed_t code) {
    for (const Speed& s : kSpeeds)
        if (s.code == code) return s.baud;
    return 0;
}

fastrakcapture::LineSettings settingsOf(const termios& t) {
    fastrakcapture::LineSettings s;
    s.baud = baudOf(cfgetospeed(&t));
    const tcflag_t size = t.c_cflag & CSIZE;
    s.dataBits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    s.parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 'O' : 'E') : 'N';
    s.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    return s;
}

// What of the module's settings the real line needs: speed, frame, flow control.
constexpr tcflag_t kControlBits = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
constexpr tcflag_t kInputBits = IXON | IXOFF;

bool sameLine(const termios& a, const termios& b) {
    return cfgetospeed(&a) == cfgetospeed(&b) && cfgetispeed(&a) == cfgetispeed(&b) &&
           (a.c_cflag & kControlBits) == (b.c_cflag & kControlBits) &&
           (a.c_iflag & kInputBits) == (b.c_iflag & kInputBits);
}

}  // namespace

struct LineRelay::Copied {
    termios settings{};  // last copied to the line
    termios resting{};   // the terminal's own, which the module puts back when it closes the port
    termios found{};     // the real line's before the relay set it
};

bool LineRelay::start(const std::string& link, std::string& error) {
    link_ = link;
    if (pipe(wake_) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    if (!openLine(error) || !openTerminal(error)) {
        if (line_ >= 0) close(line_), line_ = -1;
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void LineRelay::stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        const char c = 0;
        if (write(wake_[1], &c, 1) < 0) {
        }
        thread_.join();
    }
    closeTerminal();
    if (line_ >= 0) {
        tcdrain(line_);
        tcsetattr(line_, TCSANOW, &copied_->found);
        ioctl(line_, TIOCNXCL);
        close(line_);
        line_ = -1;
    }
    for (int& fd : wake_)
        if (fd >= 0) close(fd), fd = -1;
}

bool LineRelay::openLine(std::string& error) {
    line_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line_ < 0) {
        error = port_ + " (" + path_ +
                "): " + (errno == EBUSY ? std::string("in use by another program") : std::strerror(errno));
        return false;
    }
    // The module's lock on its own ports, so a probe (even root's) keeps off this one too.
    termios t{};
    const bool locked = flock(line_, LOCK_EX | LOCK_NB) == 0;
    if (!locked || tcgetattr(line_, &t) != 0) {
        error = port_ + " (" + path_ + ") " +
                (!locked ? std::string("is in use by another program")
                         : std::string("is not a serial line: ") + std::strerror(errno));
        close(line_);
        line_ = -1;
        return false;
    }
    if (!found_) copied_->found = t;
    found_ = true;
    ioctl(line_, TIOCEXCL);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(line_, TCSANOW, &t);
    tcflush(line_, TCIOFLUSH);
    return true;
}

bool LineRelay::openTerminal(std::string& error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0 ||
        (slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
        error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
        closeTerminal();
        return false;
    }
    // Raw and held open by us: nothing echoes, and the master never sees a hang-up while the
    // module has the port closed.
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(slave_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    struct stat st {};
    if (lstat(link_.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = link_ + " exists and is not a symbolic link";
        closeTerminal();
        return false;
    }
    unlink(link_.c_str());
    if (symlink(name, link_.c_str()) != 0) {
        error = "cannot link " + link_ + ": " + std::strerror(errno);
        closeTerminal();
        return false;
    }
    // The line starts with the terminal's settings, so it matches whatever the module leaves alone.
    termios line{};
    tcgetattr(line_, &line);
    cfsetispeed(&line, cfgetispeed(&t));
    cfsetospeed(&line, cfgetospeed(&t));
    line.c_cflag = (line.c_cflag & ~kControlBits) | (t.c_cflag & kControlBits);
    line.c_iflag = (line.c_iflag & ~kInputBits) | (t.c_iflag & kInputBits);
    tcsetattr(line_, TCSANOW, &line);
    copied_->settings = copied_->resting = t;
    return true;
}

void LineRelay::closeTerminal() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    master_ = slave_ = -1;
    if (!link_.empty()) unlink(link_.c_str());
}

// A pseudo-terminal does not say whether bytes waiting in it were written before or after a
// settings change that is also waiting. The module sets the line up before its commands, and
// after its stop command puts back the settings it found, which are the terminal's resting ones:
// so a change back to those follows the bytes waiting with it, and any other change comes first.
bool LineRelay::relayFromModule() {
    termios t{};
    if (tcgetattr(slave_, &t) != 0) return true;
    const bool changed = !sameLine(t, copied_->settings);
    const bool restore = changed && sameLine(t, copied_->resting);
    if (changed && !restore) mirrorSettings();
    for (int reads = 0, passed = 1; passed > 0 && reads < 64; ++reads) {
        passed = forwardFromModule();
        if (passed < 0) return false;
    }
    if (restore) mirrorSettings();
    return true;
}

void LineRelay::mirrorSettings() {
    termios t{};
    if (tcgetattr(slave_, &t) != 0 || sameLine(t, copied_->settings)) return;
    termios line{};
    if (tcgetattr(line_, &line) != 0) return;
    // What was written at the old settings leaves the line before they change.
    tcdrain(line_);
    cfsetispeed(&line, cfgetispeed(&t));
    cfsetospeed(&line, cfgetospeed(&t));
    line.c_cflag = (line.c_cflag & ~kControlBits) | (t.c_cflag & kControlBits);
    line.c_iflag = (line.c_iflag & ~kInputBits) | (t.c_iflag & kInputBits);
    if (tcsetattr(line_, TCSANOW, &line) != 0) {
        hostWarning(device_ + ": capture relay cannot set " + port_ + ": " + std::strerror(errno));
    }
    copied_->settings = t;
    settings_ = settingsOf(t);
    const auto now = CaptureWriter::Clock::now();
    if (!declared_) {
        declared_ = true;
        writer_.add(ChunkKind::Device, stream_, now, fastrakcapture::devicePayload(settings_, device_, port_));
    } else {
        writer_.add(ChunkKind::Settings, stream_, now, fastrakcapture::settingsPayload(settings_));
    }
}

int LineRelay::forwardFromModule() {
    char buffer[4096];
    const ssize_t got = read(master_, buffer, sizeof buffer);
    if (got <= 0) return 0;  // nothing (more), or the module has the port closed
    const auto now = CaptureWriter::Clock::now();
    if (!declared_) {
        declared_ = true;
        writer_.add(ChunkKind::Device, stream_, now,
                    fastrakcapture::devicePayload(settingsOf(copied_->settings), device_, port_));
    }
    writer_.add(ChunkKind::ToTracker, stream_, now, buffer, static_cast<size_t>(got));
    for (ssize_t done = 0; done < got;) {
        const ssize_t n = write(line_, buffer + done, static_cast<size_t>(got - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd out{line_, POLLOUT, 0};
            if (poll(&out, 1, 100) == 0 && stopping_) return -1;  // a stuck line does not hold the stop
        } else {
            return -1;
        }
    }
    return 1;
}

bool LineRelay::relayFromLine() {
    char buffer[4096];
    errno = 0;
    const ssize_t got = read(line_, buffer, sizeof buffer);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (got <= 0) return false;
    const auto now = CaptureWriter::Clock::now();
    if (!declared_) {
        declared_ = true;
        writer_.add(ChunkKind::Device, stream_, now,
                    fastrakcapture::devicePayload(settingsOf(copied_->settings), device_, port_));
    }
    writer_.add(ChunkKind::FromTracker, stream_, now, buffer, static_cast<size_t>(got));
    const ssize_t n = write(master_, buffer, static_cast<size_t>(got));
    // A module that does not read (the port closed) loses bytes as a real line would.
    if (n < got) dropped_ += static_cast<uint64_t>(got - (n > 0 ? n : 0));
    return true;
}

void LineRelay::lost(const std::string& why) {
    writer_.add(ChunkKind::LineLost, stream_, CaptureWriter::Clock::now(), why);
    hostWarning(device_ + ": capture relay lost " + port_ + " (" + why + "); trying it again every second");
    ioctl(line_, TIOCNXCL);
    close(line_);
    line_ = -1;
    closeTerminal();  // the module sees the hang-up it would have seen on the line itself
}

void LineRelay::run() {
    while (!stopping_) {
        if (line_ < 0) {
            pollfd w{wake_[0], POLLIN, 0};
            if (poll(&w, 1, 1000) > 0) break;
            std::string error;
            if (openLine(error)) {
                if (openTerminal(error)) {
                    hostInfo(device_ + ": capture relay has " + port_ + " again");
                } else {
                    close(line_);
                    line_ = -1;
                }
            }
            continue;
        }
        pollfd fds[3] = {{line_, POLLIN, 0}, {master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 3, 200) < 0 && errno != EINTR) break;
        if (fds[2].revents != 0) break;
        if (!relayFromModule()) {
            lost(std::string("write failed: ") + std::strerror(errno));
            continue;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !relayFromLine()) {
            lost(std::string("read failed: ") + (errno != 0 ? std::strerror(errno) : "hang-up"));
        }
    }
    // The module's last words (its stop command) may still wait in the terminal.
    if (line_ >= 0 && master_ >= 0) relayFromModule();
}

#endif

LineRelay::LineRelay(CaptureWriter& writer, uint8_t stream, const std::string& device, const std::string& port)
    : writer_(writer), stream_(stream), device_(device), port_(port), path_(serialPathOf(port)), copied_(new Copied) {}

LineRelay::~LineRelay() { stop(); }

}  // namespace fastrakhost
