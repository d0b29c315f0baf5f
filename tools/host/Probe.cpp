// Probe: each port at each of the tracker's speeds, listening before asking, left as it was found.
#include "Probe.h"

#include <algorithm>
#include <chrono>
#include <cctype>
#include <csignal>
#include <cstring>
#include <iostream>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#if defined(__linux__)
#include <linux/serial.h>
#endif
#endif

namespace fastrakhost {
namespace {

using Clock = std::chrono::steady_clock;

// The signal that ends the probe; the port in hand is put back before the program ends by it.
volatile std::sig_atomic_t stopSignal = 0;

extern "C" void onProbeSignal(int number) { stopSignal = number; }

bool stopping() { return stopSignal != 0; }

const char kInUse[] = "in use by another program";

// Long enough for three of the longest binary records at the speed, and never under 400 ms.
std::chrono::milliseconds listenTime(unsigned baud) {
    const auto lineMs = static_cast<long>(3 * 31 * 10 * 1000 / baud);
    return std::chrono::milliseconds(std::max(400L, lineMs + 150));
}

bool isStation(char c) { return c >= '1' && c <= '4'; }

// Two frames in a row of one of the binary lengths, each "0", a station digit, ..., CR LF.
bool binaryFrames(const std::string& b) {
    for (size_t i = 0; i + 1 < b.size(); ++i) {
        if (b[i] != '0' || !isStation(b[i + 1])) continue;
        for (size_t length : {29u, 31u, 7u}) {
            const size_t next = i + length;
            if (next + 1 >= b.size() || b.compare(next - 2, 2, "\r\n") != 0) continue;
            if (b[next] != '0' || !isStation(b[next + 1])) continue;
            if (next + length <= b.size() && b.compare(next + length - 2, 2, "\r\n") == 0) return true;
        }
    }
    return false;
}

// Two whole lines in a row that start "0" and a station digit: ASCII records.
bool asciiFrames(const std::string& b) {
    int inRow = 0;
    size_t start = b.find("\r\n");
    while (start != std::string::npos) {
        const size_t end = b.find("\r\n", start + 2);
        if (end == std::string::npos) break;
        const std::string line = b.substr(start + 2, end - start - 2);
        const bool record = line.size() >= 10 && line[0] == '0' && isStation(line[1]);
        inRow = record ? inRow + 1 : 0;
        if (inRow == 2) return true;
        start = end;
    }
    return false;
}

#if defined(_WIN32)

class Line {
public:
    explicit Line(const std::string& port) {
        const std::string path = port.rfind("\\\\.\\", 0) == 0 ? port : "\\\\.\\" + port;
        handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) {
            problem_ = GetLastError() == ERROR_ACCESS_DENIED
                           ? kInUse
                           : "cannot open it (error " + std::to_string(GetLastError()) + ")";
            return;
        }
        savedDcb_.DCBlength = sizeof savedDcb_;
        if (!GetCommState(handle_, &savedDcb_) || !GetCommTimeouts(handle_, &savedTimeouts_)) {
            problem_ = "not a serial line";
            CloseHandle(handle_);
            handle_ = INVALID_HANDLE_VALUE;
        }
    }
    ~Line() {
        if (handle_ == INVALID_HANDLE_VALUE) return;
        SetCommState(handle_, &savedDcb_);
        SetCommTimeouts(handle_, &savedTimeouts_);
        CloseHandle(handle_);
    }
    const std::string& problem() const { return problem_; }
    bool setSpeed(unsigned baud) {
        DCB dcb = savedDcb_;
        dcb.BaudRate = baud;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fAbortOnError = FALSE;
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = 50;
        if (!SetCommState(handle_, &dcb) || !SetCommTimeouts(handle_, &timeouts)) return false;
        PurgeComm(handle_, PURGE_RXCLEAR);
        return true;
    }
    void send(const std::string& bytes) {
        DWORD written = 0;
        WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
    std::string readFor(std::chrono::milliseconds window) {
        std::string got;
        const auto until = Clock::now() + window;
        char buffer[256];
        while (Clock::now() < until && !stopping()) {
            DWORD n = 0;
            if (!ReadFile(handle_, buffer, sizeof buffer, &n, nullptr)) break;
            got.append(buffer, n);
        }
        return got;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    DCB savedDcb_{};
    COMMTIMEOUTS savedTimeouts_{};
    std::string problem_;
};

#else

struct Speed {
    unsigned baud;
    speed_t code;
};
const Speed kCodes[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
                        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};

class Line {
public:
    explicit Line(const std::string& port) {
        const std::string path = port.find('/') == std::string::npos ? "/dev/" + port : port;
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            problem_ = errno == EBUSY ? kInUse : std::string("cannot open it: ") + std::strerror(errno);
            return;
        }
        // The lock that fastrak-host's devices and capture relays hold on their ports, taken before
        // anything is read or set: it keeps out root too, whom the exclusive mode lets in.
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            problem_ = errno == EWOULDBLOCK ? kInUse : std::string("cannot lock it: ") + std::strerror(errno);
            ::close(fd_);
            fd_ = -1;
            return;
        }
        if (::tcgetattr(fd_, &saved_) != 0) {
            problem_ = std::string("not a serial line: ") + std::strerror(errno);
            ::close(fd_);
            fd_ = -1;
            return;
        }
        // Held exclusively while probing, as the module holds it.
        ::ioctl(fd_, TIOCEXCL);
    }
    ~Line() {
        if (fd_ < 0) return;
        ::tcflush(fd_, TCOFLUSH);  // a status request still waiting goes nowhere
        ::tcsetattr(fd_, TCSANOW, &saved_);
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }
    const std::string& problem() const { return problem_; }
    bool setSpeed(unsigned baud) {
        termios tio = saved_;
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
        if (::tcsetattr(fd_, TCSANOW, &tio) != 0) return false;
        ::tcflush(fd_, TCIFLUSH);
        return true;
    }
    void send(const std::string& bytes) { (void)!::write(fd_, bytes.data(), bytes.size()); }
    std::string readFor(std::chrono::milliseconds window) {
        std::string got;
        const auto until = Clock::now() + window;
        char buffer[256];
        for (auto now = Clock::now(); now < until && !stopping(); now = Clock::now()) {
            pollfd p{fd_, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
            if (::poll(&p, 1, static_cast<int>(left) + 1) <= 0) continue;
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n > 0) got.append(buffer, static_cast<size_t>(n));
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;  // hung up
        }
        return got;
    }

private:
    int fd_ = -1;
    termios saved_{};
    std::string problem_;
};

bool answersAsTerminal(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY;  // held by another program: worth naming
    termios tio{};
    bool ok = ::tcgetattr(fd, &tio) == 0;
#if defined(__linux__)
    // Every ttyS node exists whether or not a UART stands behind it.
    serial_struct serial{};
    if (ok && path.compare(0, 9, "/dev/ttyS") == 0 && ::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        ok = serial.type != PORT_UNKNOWN;
    }
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

#endif

}  // namespace

const std::vector<unsigned>& trackerSpeeds() {
    static const std::vector<unsigned> speeds = {115200, 38400, 9600, 57600, 19200, 4800, 2400, 1200};
    return speeds;
}

std::string recognise(const std::string& bytes) {
    for (size_t i = 0; i + 5 < bytes.size(); ++i) {
        if (bytes[i] == '2' && isStation(bytes[i + 1]) && bytes[i + 2] == 'S' &&
            std::all_of(bytes.begin() + static_cast<long>(i) + 3, bytes.begin() + static_cast<long>(i) + 6,
                        [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; })) {
            return "status reply";
        }
    }
    if (bytes.find("2 E*ERROR*") != std::string::npos) return "error record";
    if (binaryFrames(bytes)) return "continuous binary output";
    if (asciiFrames(bytes)) return "continuous ASCII output";
    return "";
}

std::vector<std::string> serialPorts() {
    std::vector<std::string> ports;
#if defined(_WIN32)
    for (int n = 1; n <= 256; ++n) {
        const std::string name = "COM" + std::to_string(n);
        const HANDLE h = CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            ports.push_back(name);
        } else if (GetLastError() == ERROR_ACCESS_DENIED) {
            ports.push_back(name);  // held by another program: worth naming
        }
    }
#else
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
            if (answersAsTerminal(entry.second)) ports.push_back(entry.second);
        }
    }
#endif
    return ports;
}

ProbeResult probePort(const std::string& port) {
    ProbeResult result;
    result.port = port;
    Line line(port);
    if (!line.problem().empty()) {
        result.problem = line.problem();
        return result;
    }
    for (unsigned baud : trackerSpeeds()) {
        if (stopping()) break;
        if (!line.setSpeed(baud)) continue;
        const std::string heard = line.readFor(listenTime(baud));
        std::string how = recognise(heard);
        // Only a quiet line is asked: bytes heard but not understood are a tracker talking at
        // another speed, and what we send would reach it garbled.
        if (how.empty() && heard.empty()) {
            line.send("S");
            how = recognise(line.readFor(listenTime(baud)));
        }
        if (!how.empty()) {
            result.baud = baud;
            result.how = how;
            break;
        }
    }
    return result;
}

namespace {

int probeAll(const std::vector<std::string>& given) {
    const std::vector<std::string> ports = given.empty() ? serialPorts() : given;
    if (ports.empty()) {
        std::cout << "no serial ports found" << std::endl;
        return 1;
    }
    std::string speeds;
    for (unsigned baud : trackerSpeeds()) speeds += (speeds.empty() ? "" : ", ") + std::to_string(baud);
    int found = 0;
    for (const std::string& port : ports) {
        if (stopping()) return 1;
        std::cout << port << ": " << std::flush;
        const ProbeResult r = probePort(port);
        if (stopping()) return 1;
        if (!r.problem.empty()) {
            std::cout << r.problem << std::endl;
        } else if (r.baud == 0) {
            std::cout << "no tracker answered at " << speeds << " baud" << std::endl;
        } else {
            ++found;
            std::cout << "a tracker at " << r.baud << " baud (" << r.how << "); in a [device] section:\n"
                      << "    port " << port << "\n    baud " << r.baud << std::endl;
        }
    }
    if (found == 0) std::cout << "no tracker found; docs/troubleshooting.md lists what to check" << std::endl;
    return found > 0 ? 0 : 1;
}

}  // namespace

int runProbe(const std::vector<std::string>& given) {
    // Every way out puts the port in hand back first: the signal only ends the current try.
    for (int number : {SIGINT, SIGTERM}) std::signal(number, onProbeSignal);
#if defined(SIGHUP)
    std::signal(SIGHUP, onProbeSignal);
#endif
    const int status = probeAll(given);
    if (stopping()) {
        std::cout << "stopped by a signal; the port in hand was left as it was found" << std::endl;
        std::signal(stopSignal, SIG_DFL);
        std::raise(stopSignal);
    }
    return status;
}

}  // namespace fastrakhost
