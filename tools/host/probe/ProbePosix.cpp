// ProbeLine on POSIX terminals: locked and exclusive while held, its termios put back after.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "probe/ProbeLine.h"
#if defined(__linux__)
#include <linux/serial.h>
#endif

namespace fastrakhost {
namespace {

using Clock = std::chrono::steady_clock;

const char kInUse[] = "in use by another program";

std::string inUseBy(const std::string& path) {
    const std::string holders = portHolders(path);
    return holders.empty() ? kInUse : std::string(kInUse) + " (" + holders + ")";
}

struct Speed {
    unsigned baud;
    speed_t code;
};
const Speed kCodes[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
                        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};

// Whether a ttyUSB/ttyACM/ttyS node is worth naming: it answers as a terminal, is held by another
// program, or (an adapter's node, which exists only while one is plugged in) refuses this user.
bool worthTrying(const std::string& path, bool adapter) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY || (adapter && errno == EACCES);
    termios tio{};
    bool ok = ::tcgetattr(fd, &tio) == 0;
#if defined(__linux__)
    // Every ttyS node exists whether or not a UART stands behind it.
    serial_struct serial{};
    if (ok && !adapter && ::ioctl(fd, TIOCGSERIAL, &serial) == 0) ok = serial.type != PORT_UNKNOWN;
#endif
    ::close(fd);
    return ok;
}

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        ::closedir(dir);
    }
    return names;
}

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

}  // namespace

std::string portHolders(const std::string& port) {
    const std::string path = port.find('/') == std::string::npos ? "/dev/" + port : port;
    const std::string device = realPath(path);
    const std::string self = std::to_string(::getpid());
    std::string holders;
    for (const std::string& pid : entries("/proc")) {
        if (pid == self || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string fds = "/proc/" + pid + "/fd";
        for (const std::string& fd : entries(fds)) {
            char target[PATH_MAX];
            const ssize_t n = ::readlink((fds + "/" + fd).c_str(), target, sizeof target - 1);
            if (n <= 0 || std::string(target, static_cast<size_t>(n)) != device) continue;
            std::string name;
            if (FILE* comm = std::fopen(("/proc/" + pid + "/comm").c_str(), "r")) {
                char text[64] = "";
                if (std::fgets(text, sizeof text, comm) != nullptr) name = text;
                std::fclose(comm);
            }
            while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) name.pop_back();
            holders += (holders.empty() ? "" : ", ") + (name.empty() ? "a program" : name) + " (process " + pid + ")";
            break;
        }
    }
    return holders;
}

struct ProbeLine::Held {
    int fd = -1;
    termios saved{};
};

ProbeLine::ProbeLine(const std::string& port) {
    const std::string path = port.find('/') == std::string::npos ? "/dev/" + port : port;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        missing_ = errno == ENOENT;
        denied_ = errno == EACCES;
        inUse_ = errno == EBUSY;
        problem_ = inUse_ ? inUseBy(path) : std::string("cannot open it: ") + std::strerror(errno);
        return;
    }
    // The lock that fastrak-host's devices and capture relays hold on their ports, taken before
    // anything is read or set: it keeps out root too, whom the exclusive mode lets in.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        inUse_ = errno == EWOULDBLOCK;
        problem_ = inUse_ ? inUseBy(path) : std::string("cannot lock it: ") + std::strerror(errno);
        ::close(fd);
        return;
    }
    termios saved{};
    if (::tcgetattr(fd, &saved) != 0) {
        problem_ = std::string("not a serial line: ") + std::strerror(errno);
        ::close(fd);
        return;
    }
    // Held exclusively while probing, as the module holds it.
    ::ioctl(fd, TIOCEXCL);
    held_.reset(new Held{fd, saved});
}

ProbeLine::~ProbeLine() {
    if (!held_) return;
    ::tcflush(held_->fd, TCOFLUSH);  // a request still waiting goes nowhere
    ::tcsetattr(held_->fd, TCSANOW, &held_->saved);
    ::ioctl(held_->fd, TIOCNXCL);
    ::close(held_->fd);
}

bool ProbeLine::setSpeed(unsigned baud) {
    termios tio = held_->saved;
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    for (const Speed& s : kCodes) {
        if (s.baud != baud) continue;
        ::cfsetispeed(&tio, s.code);
        ::cfsetospeed(&tio, s.code);
    }
    if (::tcsetattr(held_->fd, TCSANOW, &tio) != 0) return false;
    ::tcflush(held_->fd, TCIFLUSH);
    return true;
}

void ProbeLine::send(const std::string& bytes) { (void)!::write(held_->fd, bytes.data(), bytes.size()); }

std::string ProbeLine::readFor(std::chrono::milliseconds window) {
    std::string got;
    const auto until = Clock::now() + window;
    char buffer[256];
    for (auto now = Clock::now(); now < until && !probeStopping(); now = Clock::now()) {
        pollfd p{held_->fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
        if (::poll(&p, 1, static_cast<int>(left) + 1) <= 0) continue;
        const ssize_t n = ::read(held_->fd, buffer, sizeof buffer);
        if (n > 0) got.append(buffer, static_cast<size_t>(n));
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;  // hung up
    }
    return got;
}

std::vector<std::string> systemSerialPorts() {
    std::vector<std::string> ports;
    std::vector<std::string> named;
    std::vector<std::string> byId = entries("/dev/serial/by-id");
    std::sort(byId.begin(), byId.end());
    for (const std::string& name : byId) {
        ports.push_back("/dev/serial/by-id/" + name);
        named.push_back(realPath(ports.back()));
    }
    for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
        std::vector<std::pair<long, std::string> > found;
        for (const std::string& name : entries("/dev")) {
            const size_t length = std::strlen(prefix);
            if (name.compare(0, length, prefix) != 0 || name.size() == length) continue;
            if (!std::all_of(name.begin() + static_cast<long>(length), name.end(), ::isdigit)) continue;
            found.emplace_back(std::strtol(name.c_str() + length, nullptr, 10), "/dev/" + name);
        }
        std::sort(found.begin(), found.end());
        for (const auto& entry : found) {
            if (std::find(named.begin(), named.end(), entry.second) != named.end()) continue;
            if (worthTrying(entry.second, prefix[3] != 'S')) ports.push_back(entry.second);
        }
    }
    return ports;
}

std::string noPortAdvice() {
    return "  - the cable: plugged in at both ends, and the tracker switched on\n"
           "  - the USB-serial adapter's driver: plugged in, the adapter shows in `dmesg | tail` and as "
           "/dev/ttyUSB0 or /dev/ttyACM0\n"
           "  - your permission: serial ports belong to the group dialout; `sudo usermod -aG dialout \"$USER\"`, "
           "then log in again (`id` shows your groups)\n";
}

std::string permissionAdvice() {
    return "serial ports belong to the group dialout: `sudo usermod -aG dialout \"$USER\"`, then log in again";
}

}  // namespace fastrakhost
