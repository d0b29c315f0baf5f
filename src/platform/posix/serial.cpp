// Serial ports for the POSIX shim: ttys behind Win32 handles, DCB and COMMTIMEOUTS on termios.
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
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/LastError.h"
#include "platform/posix/SerialPath.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;

// One open port. `original` is the line as it was found at open: a DCB does not describe every
// termios bit, so SetCommState starts from it and changes only what the DCB says.
struct Port {
    std::mutex io;  // synchronous handles run one I/O operation at a time, as on Windows
    int fd = -1;
    bool tty = false;
    bool exclusive = false;
    bool canonical = false;
    termios original{};
    COMMTIMEOUTS timeouts{};
    // VMIN/VTIME as the last SetCommState (or the open) left them, and as reads last programmed
    // them; reads reprogram only on a change, so a run of equal reads costs one read() each.
    cc_t baseVmin = 0;
    cc_t baseVtime = 0;
    cc_t vmin = 0;
    cc_t vtime = 0;
};

// Handles are small tagged numbers looked up in a table, so a stale or foreign handle is refused
// instead of being dereferenced.
class PortTable {
public:
    HANDLE add(const std::shared_ptr<Port>& port) {
        std::lock_guard<std::mutex> hold(lock_);
        size_t slot = 0;
        while (slot < slots_.size() && slots_[slot]) ++slot;
        if (slot == kMaxPorts) return nullptr;
        if (slot == slots_.size()) slots_.emplace_back();
        slots_[slot] = port;
        return reinterpret_cast<HANDLE>(kHandleBase + slot * kHandleStep);
    }

    std::shared_ptr<Port> find(HANDLE handle) {
        std::lock_guard<std::mutex> hold(lock_);
        const size_t slot = slotOf(handle);
        return slot < slots_.size() ? slots_[slot] : nullptr;
    }

    std::shared_ptr<Port> remove(HANDLE handle) {
        std::lock_guard<std::mutex> hold(lock_);
        const size_t slot = slotOf(handle);
        if (slot >= slots_.size()) return nullptr;
        std::shared_ptr<Port> port = std::move(slots_[slot]);
        slots_[slot].reset();
        return port;
    }

private:
    static constexpr uintptr_t kHandleBase = 0x5E10000;
    static constexpr uintptr_t kHandleStep = 4;
    static constexpr size_t kMaxPorts = 1024;

    size_t slotOf(HANDLE handle) const {
        const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
        if (value < kHandleBase || (value - kHandleBase) % kHandleStep != 0) return SIZE_MAX;
        const uintptr_t slot = (value - kHandleBase) / kHandleStep;
        return slot < kMaxPorts ? static_cast<size_t>(slot) : SIZE_MAX;
    }

    std::mutex lock_;
    std::vector<std::shared_ptr<Port>> slots_;
};

PortTable& ports() {
    static PortTable table;
    return table;
}

BOOL failErrno(int error) {
    platform::setLastErrorFromErrno(error);
    return FALSE;
}

BOOL failCode(DWORD code) {
    SetLastError(code);
    return FALSE;
}

uint64_t nowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

// ---- speeds ----------------------------------------------------------------------------------

struct Speed {
    speed_t code;
    DWORD rate;
};

const Speed kSpeeds[] = {
    {B50, 50},           {B75, 75},       {B110, 110},     {B134, 134},     {B150, 150},       {B200, 200},
    {B300, 300},         {B600, 600},     {B1200, 1200},   {B1800, 1800},   {B2400, 2400},     {B4800, 4800},
    {B9600, 9600},       {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
#if defined(B460800)
    {B460800, 460800},
#endif
#if defined(B500000)
    {B500000, 500000},
#endif
#if defined(B576000)
    {B576000, 576000},
#endif
#if defined(B921600)
    {B921600, 921600},
#endif
#if defined(B1000000)
    {B1000000, 1000000},
#endif
#if defined(B1152000)
    {B1152000, 1152000},
#endif
#if defined(B1500000)
    {B1500000, 1500000},
#endif
#if defined(B2000000)
    {B2000000, 2000000},
#endif
#if defined(B2500000)
    {B2500000, 2500000},
#endif
#if defined(B3000000)
    {B3000000, 3000000},
#endif
#if defined(B3500000)
    {B3500000, 3500000},
#endif
#if defined(B4000000)
    {B4000000, 4000000},
#endif
};

// 0 for B0 (the hang-up speed) and for speeds this table does not know.
DWORD rateOf(speed_t code) {
    for (const Speed& speed : kSpeeds) {
        if (speed.code == code) return speed.rate;
    }
    return 0;
}

bool codeOf(DWORD rate, speed_t& code) {
    for (const Speed& speed : kSpeeds) {
        if (speed.rate == rate) {
            code = speed.code;
            return true;
        }
    }
    return false;
}

// ---- DCB <-> termios -------------------------------------------------------------------------

// What binary mode switches off: every translation and signal of the line discipline. Binary mode
// also ignores the modem status lines and enables the receiver, as a Win32 port does.
constexpr tcflag_t kCookedInput = BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL;
constexpr tcflag_t kCookedOutput = OPOST;
constexpr tcflag_t kCookedLocal = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
constexpr tcflag_t kBinaryControl = CLOCAL | CREAD;

bool isBinary(const termios& line) {
    return (line.c_iflag & kCookedInput) == 0 && (line.c_oflag & kCookedOutput) == 0 &&
           (line.c_lflag & kCookedLocal) == 0 && (line.c_cflag & kBinaryControl) == kBinaryControl;
}

BYTE byteSizeOf(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

tcflag_t csizeOf(BYTE size) {
    switch (size) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

BYTE parityOf(tcflag_t cflag) {
    if ((cflag & PARENB) == 0) return NOPARITY;
#if defined(CMSPAR)
    if (cflag & CMSPAR) return (cflag & PARODD) ? MARKPARITY : SPACEPARITY;
#endif
    return (cflag & PARODD) ? ODDPARITY : EVENPARITY;
}

void fillDcb(const termios& line, int modemLines, bool haveModemLines, DCB& dcb) {
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = rateOf(cfgetospeed(&line));
    dcb.fBinary = isBinary(line) ? 1 : 0;
    dcb.fParity = (line.c_iflag & INPCK) ? 1 : 0;
    const bool hardwareFlow = (line.c_cflag & CRTSCTS) != 0;
    dcb.fOutxCtsFlow = hardwareFlow ? 1 : 0;
    // A port without modem lines (a pseudo-terminal) reports them raised, as after a Win32 open.
    const bool dtr = !haveModemLines || (modemLines & TIOCM_DTR) != 0;
    const bool rts = !haveModemLines || (modemLines & TIOCM_RTS) != 0;
    dcb.fDtrControl = dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = hardwareFlow ? RTS_CONTROL_HANDSHAKE : (rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE);
    dcb.fOutX = (line.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (line.c_iflag & IXOFF) ? 1 : 0;
    dcb.ByteSize = byteSizeOf(line.c_cflag);
    dcb.Parity = parityOf(line.c_cflag);
    if (line.c_cflag & CSTOPB) {
        dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    } else {
        dcb.StopBits = ONESTOPBIT;
    }
    dcb.XonChar = static_cast<char>(line.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(line.c_cc[VSTOP]);
    dcb.EofChar = static_cast<char>(line.c_cc[VEOF]);
}

// Builds the termios that a DCB asks for on top of the line as found at open. A DCB read from
// that line gives that line back bit for bit, so restoring saved settings is exact. DSR flow
// control and sensitivity, fNull, fErrorChar, fAbortOnError and the XON/XOFF limits have no
// termios counterpart and are ignored.
bool applyDcb(const DCB& dcb, const termios& original, termios& line) {
    line = original;
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return false;
    if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) return false;
    if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) return false;
    if (dcb.StopBits > TWOSTOPBITS) return false;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) return false;  // no DTR/DSR flow control here
    if (dcb.fRtsControl == RTS_CONTROL_TOGGLE) return false;
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) return false;

    const speed_t originalSpeed = cfgetospeed(&original);
    if (dcb.BaudRate != rateOf(originalSpeed)) {
        speed_t code = B0;
        if (!codeOf(dcb.BaudRate, code)) return false;
        cfsetospeed(&line, code);
        cfsetispeed(&line, code);
    }

    line.c_cflag = (line.c_cflag & ~CSIZE) | csizeOf(dcb.ByteSize);
    switch (dcb.Parity) {
        case NOPARITY:
            line.c_cflag &= ~PARENB;
            break;
#if defined(CMSPAR)
        case ODDPARITY:
            line.c_cflag = (line.c_cflag & ~CMSPAR) | PARENB | PARODD;
            break;
        case EVENPARITY:
            line.c_cflag = (line.c_cflag & ~(CMSPAR | PARODD)) | PARENB;
            break;
        case MARKPARITY:
            line.c_cflag |= CMSPAR | PARENB | PARODD;
            break;
        case SPACEPARITY:
            line.c_cflag = (line.c_cflag & ~PARODD) | CMSPAR | PARENB;
            break;
#else
        case ODDPARITY:
            line.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            line.c_cflag = (line.c_cflag & ~PARODD) | PARENB;
            break;
#endif
        default:
            return false;
    }
    if (dcb.StopBits == ONESTOPBIT) {
        line.c_cflag &= ~CSTOPB;
    } else {
        line.c_cflag |= CSTOPB;
    }
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        line.c_cflag |= CRTSCTS;
    } else {
        line.c_cflag &= ~CRTSCTS;
    }
    line.c_iflag = dcb.fParity ? (line.c_iflag | INPCK) : (line.c_iflag & ~INPCK);
    line.c_iflag = dcb.fOutX ? (line.c_iflag | IXON) : (line.c_iflag & ~IXON);
    line.c_iflag = dcb.fInX ? (line.c_iflag | IXOFF) : (line.c_iflag & ~IXOFF);
    line.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    line.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    line.c_cc[VEOF] = static_cast<cc_t>(dcb.EofChar);
    // Without fBinary the line discipline stays as the port had it.
    if (dcb.fBinary) {
        line.c_iflag &= ~kCookedInput;
        line.c_oflag &= ~kCookedOutput;
        line.c_lflag &= ~kCookedLocal;
        line.c_cflag |= kBinaryControl;
    }
    return true;
}

// Modem lines are best effort: a pseudo-terminal has none and refuses the requests.
void setModemLine(int fd, int line, bool raised) {
    int bits = line;
    ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &bits);
}

// ---- reading ---------------------------------------------------------------------------------

struct Transfer {
    size_t count;
    int error;           // errno of the failure, 0 when the transfer ended normally
    bool taken = false;  // poll() reported a byte that the read then did not get
};

// A hung-up tty reads 0 at once; a silent one only after its timeout. Tell them apart.
bool hungUp(int fd) {
    pollfd probe{fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&probe, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready > 0 && (probe.revents & (POLLHUP | POLLERR | POLLNVAL))) return true;
    termios line{};
    return tcgetattr(fd, &line) != 0 && errno == EIO;
}

bool programTiming(Port& port, cc_t vmin, cc_t vtime) {
    if (port.vmin == vmin && port.vtime == vtime) return true;
    termios line{};
    if (tcgetattr(port.fd, &line) != 0) return false;
    line.c_cc[VMIN] = vmin;
    line.c_cc[VTIME] = vtime;
    if (tcsetattr(port.fd, TCSANOW, &line) != 0) return false;
    port.vmin = vmin;
    port.vtime = vtime;
    return true;
}

// Waits up to totalMs for the first byte and returns what has arrived, up to count bytes. The
// descriptor is non-blocking, so no read() can wait whatever another program sets on the line
// (`stty raw` makes VMIN 1 for every reader) or takes from it: a byte that is waiting costs one
// read(), which the record decoder's reads mostly are, and poll() does all waiting.
Transfer readWithin(Port& port, unsigned char* buffer, size_t count, uint64_t totalMs) {
    uint64_t deadline = 0;
    bool offered = false;  // poll() reported a byte
    Transfer result{0, 0, false};
    for (;;) {
        const ssize_t got = ::read(port.fd, buffer, count);
        if (got > 0) {
            result.count = static_cast<size_t>(got);
            return result;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno != EAGAIN) {
            result.error = errno;
            return result;
        }
        // EAGAIN, or 0: no byte under VMIN 0 and VTIME 0, or a hang-up.
        if (got == 0 && hungUp(port.fd)) {
            result.error = EIO;
            return result;
        }
        if (offered) result.taken = true;  // someone else read what poll() saw
        const uint64_t now = nowMs();
        if (deadline == 0) deadline = now + totalMs;
        if (now >= deadline) return result;
        pollfd ready{port.fd, POLLIN, 0};
        const int events = poll(&ready, 1, static_cast<int>(std::min<uint64_t>(deadline - now, INT_MAX)));
        if (events < 0 && errno != EINTR) {
            result.error = errno;
            return result;
        }
        if (events == 0) return result;
        if (events > 0 && (ready.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(ready.revents & POLLIN)) {
            result.error = EIO;
            return result;
        }
        offered = events > 0;
    }
}

// No timeout at all: wait until one byte arrives.
Transfer readOneBlocking(Port& port, unsigned char* buffer) {
    for (;;) {
        const ssize_t got = ::read(port.fd, buffer, 1);
        if (got > 0) return {1, 0};
        if (got < 0 && errno != EINTR && errno != EAGAIN) return {0, errno};
        if (got == 0 && hungUp(port.fd)) return {0, EIO};
        pollfd ready{port.fd, POLLIN, 0};
        if (poll(&ready, 1, -1) < 0 && errno != EINTR) return {0, errno};
    }
}

// Win32 timeouts in full through poll(): total, interval, "at once" and "first byte" reads, and
// canonical lines, where VMIN and VTIME mean nothing.
Transfer readPolled(Port& port, unsigned char* buffer, size_t count) {
    const COMMTIMEOUTS& timeouts = port.timeouts;
    const bool atOnce = timeouts.ReadIntervalTimeout == kMaxDword && timeouts.ReadTotalTimeoutMultiplier == 0 &&
                        timeouts.ReadTotalTimeoutConstant == 0;
    const bool firstByte = timeouts.ReadIntervalTimeout == kMaxDword &&
                           timeouts.ReadTotalTimeoutMultiplier == kMaxDword && timeouts.ReadTotalTimeoutConstant != 0 &&
                           timeouts.ReadTotalTimeoutConstant != kMaxDword;
    const bool totalUsed =
        !atOnce && (timeouts.ReadTotalTimeoutMultiplier != 0 || timeouts.ReadTotalTimeoutConstant != 0);
    const bool intervalUsed = timeouts.ReadIntervalTimeout != 0 && timeouts.ReadIntervalTimeout != kMaxDword;
    const uint64_t totalMs = firstByte ? timeouts.ReadTotalTimeoutConstant
                                       : static_cast<uint64_t>(timeouts.ReadTotalTimeoutMultiplier) * count +
                                             timeouts.ReadTotalTimeoutConstant;
    if (!port.canonical && !programTiming(port, 0, 0)) return {0, errno};
    const uint64_t deadline = nowMs() + totalMs;
    size_t done = 0;
    bool taken = false;
    for (;;) {
        int waitMs = -1;
        if (atOnce) {
            waitMs = 0;
        } else {
            uint64_t limit = UINT64_MAX;
            if (totalUsed) {
                const uint64_t now = nowMs();
                limit = deadline > now ? deadline - now : 0;
            }
            if (intervalUsed && done > 0) limit = std::min<uint64_t>(limit, timeouts.ReadIntervalTimeout);
            if (limit != UINT64_MAX) waitMs = static_cast<int>(std::min<uint64_t>(limit, INT_MAX));
        }
        pollfd ready{port.fd, POLLIN, 0};
        const int events = poll(&ready, 1, waitMs);
        if (events < 0) {
            if (errno == EINTR) continue;
            return {done, errno};
        }
        if (events == 0) return {done, 0, taken};
        if (ready.revents & POLLIN) {
            const ssize_t got = ::read(port.fd, buffer + done, count - done);
            if (got > 0) {
                done += static_cast<size_t>(got);
                if (done == count || atOnce || firstByte) return {done, 0};
                continue;
            }
            if (got < 0 && errno == EAGAIN) taken = true;
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (got < 0) return {done, errno};
            if (hungUp(port.fd)) return {done, EIO};
            continue;  // an end-of-file character on a canonical line
        }
        if (ready.revents & (POLLHUP | POLLERR | POLLNVAL)) return {done, EIO};
    }
}

Transfer readTty(Port& port, unsigned char* buffer, size_t count) {
    const COMMTIMEOUTS& timeouts = port.timeouts;
    if (port.canonical) return readPolled(port, buffer, count);
    const bool totalUsed = timeouts.ReadTotalTimeoutMultiplier != 0 || timeouts.ReadTotalTimeoutConstant != 0;
    if (timeouts.ReadIntervalTimeout == kMaxDword && timeouts.ReadTotalTimeoutMultiplier == kMaxDword &&
        timeouts.ReadTotalTimeoutConstant != 0 && timeouts.ReadTotalTimeoutConstant != kMaxDword) {
        return readWithin(port, buffer, count, timeouts.ReadTotalTimeoutConstant);
    }
    if (timeouts.ReadIntervalTimeout == kMaxDword && !totalUsed) return readPolled(port, buffer, count);
    if (count == 1) {
        if (!totalUsed) return readOneBlocking(port, buffer);
        // The interval timeout only starts after the first byte, so it plays no part here.
        return readWithin(
            port, buffer, 1,
            static_cast<uint64_t>(timeouts.ReadTotalTimeoutMultiplier) + timeouts.ReadTotalTimeoutConstant);
    }
    return readPolled(port, buffer, count);
}

// Files and other devices: no timeouts, read until the count or the end.
Transfer readPlain(int fd, unsigned char* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(fd, buffer + done, count - done);
        if (got > 0) {
            done += static_cast<size_t>(got);
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            return {done, errno};
        }
    }
    return {done, 0};
}

// ---- writing ---------------------------------------------------------------------------------

bool waitWritable(int fd, int waitMs) {
    pollfd ready{fd, POLLOUT, 0};
    int events;
    do {
        events = poll(&ready, 1, waitMs);
    } while (events < 0 && errno == EINTR);
    return events > 0;
}

// No write timeout: every byte goes out, over partial writes and interruptions.
Transfer writeAll(int fd, const unsigned char* bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t put = ::write(fd, bytes + done, count - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
        } else if (put == 0) {
            return {done, EIO};
        } else if (errno == EAGAIN) {
            waitWritable(fd, -1);
        } else if (errno != EINTR) {
            return {done, errno};
        }
    }
    return {done, 0};
}

// A write timeout: what has gone out when it expires is the result, as a Win32 port reports it.
Transfer writeWithin(int fd, const unsigned char* bytes, size_t count, uint64_t totalMs) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return {0, errno};
    const uint64_t deadline = nowMs() + totalMs;
    Transfer result{0, 0};
    while (result.count < count) {
        const ssize_t put = ::write(fd, bytes + result.count, count - result.count);
        if (put > 0) {
            result.count += static_cast<size_t>(put);
            continue;
        }
        if (put == 0) {
            result.error = EIO;
            break;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) {
            result.error = errno;
            break;
        }
        const uint64_t now = nowMs();
        if (now >= deadline) break;
        if (!waitWritable(fd, static_cast<int>(std::min<uint64_t>(deadline - now, INT_MAX))) && nowMs() >= deadline)
            break;
    }
    fcntl(fd, F_SETFL, flags);
    return result;
}

}  // namespace

namespace platform {

std::string serialDevicePath(const char* name) {
    std::string text(name != nullptr ? name : "");
    if (text.compare(0, 4, "\\\\.\\") == 0) text.erase(0, 4);
    if (text.empty()) return text;
    if (text.find('/') != std::string::npos) return text;
    const bool comPrefix = text.size() > 3 && std::tolower(static_cast<unsigned char>(text[0])) == 'c' &&
                           std::tolower(static_cast<unsigned char>(text[1])) == 'o' &&
                           std::tolower(static_cast<unsigned char>(text[2])) == 'm';
    if (comPrefix && text.size() <= 12) {
        unsigned long number = 0;
        bool digits = true;
        for (size_t i = 3; i < text.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
                digits = false;
                break;
            }
            number = number * 10 + static_cast<unsigned long>(text[i] - '0');
        }
        if (digits && number >= 1) return "/dev/ttyS" + std::to_string(number - 1);
    }
    return "/dev/" + text;
}

}  // namespace platform

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, void* /*security*/, DWORD disposition, DWORD /*flags*/,
                   HANDLE /*templateFile*/) {
    if (name == nullptr || disposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::string path = platform::serialDevicePath(name);
    if (path.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int mode = O_RDONLY;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) {
        mode = O_RDWR;
    } else if (access & GENERIC_WRITE) {
        mode = O_WRONLY;
    }
    // O_NONBLOCK: a modem port without carrier would otherwise block the open. O_NOCTTY: the port
    // never becomes the controlling terminal of the host process.
    int fd;
    do {
        fd = open(path.c_str(), mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == EISDIR) {
            SetLastError(ERROR_ACCESS_DENIED);
        } else {
            platform::setLastErrorFromErrno(errno);
        }
        return INVALID_HANDLE_VALUE;
    }
    auto port = std::make_shared<Port>();
    port->fd = fd;
    port->tty = isatty(fd) != 0;
    auto refuse = [&](int error) {
        close(fd);
        platform::setLastErrorFromErrno(error);
        return INVALID_HANDLE_VALUE;
    };
    // TIOCEXCL keeps other openers out, but not root; the lock also stops a second open through
    // this shim by any user. A port that another program opened first is not detected.
    if (flock(fd, (shareMode == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        return refuse(errno == EWOULDBLOCK ? EBUSY : errno);
    }
    if (shareMode == 0 && port->tty) {
        if (ioctl(fd, TIOCEXCL) != 0) return refuse(errno);
        port->exclusive = true;
    }
    // A tty stays non-blocking: every read waits in poll() with its timeout (readWithin).
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (!port->tty && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)) return refuse(errno);
    if (port->tty) {
        if (tcgetattr(fd, &port->original) != 0) return refuse(errno);
        port->canonical = (port->original.c_lflag & ICANON) != 0;
        port->baseVmin = port->vmin = port->original.c_cc[VMIN];
        port->baseVtime = port->vtime = port->original.c_cc[VTIME];
    }
    const HANDLE handle = ports().add(port);
    if (handle == nullptr) {
        if (port->exclusive) ioctl(fd, TIOCNXCL);
        close(fd);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

BOOL GetCommState(HANDLE file, DCB* dcb) {
    const std::shared_ptr<Port> port = ports().find(file);
    if (!port) return failCode(ERROR_INVALID_HANDLE);
    if (dcb == nullptr) return failCode(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> hold(port->io);
    if (port->fd < 0) return failCode(ERROR_INVALID_HANDLE);
    termios line{};
    if (tcgetattr(port->fd, &line) != 0) return failErrno(errno);
    int modemLines = 0;
    const bool haveModemLines = ioctl(port->fd, TIOCMGET, &modemLines) == 0;
    fillDcb(line, modemLines, haveModemLines, *dcb);
    return TRUE;
}

BOOL SetCommState(HANDLE file, DCB* dcb) {
    const std::shared_ptr<Port> port = ports().find(file);
    if (!port) return failCode(ERROR_INVALID_HANDLE);
    if (dcb == nullptr) return failCode(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> hold(port->io);
    if (port->fd < 0) return failCode(ERROR_INVALID_HANDLE);
    if (!port->tty) return failErrno(ENOTTY);
    termios line{};
    if (!applyDcb(*dcb, port->original, line)) return failCode(ERROR_INVALID_PARAMETER);
    if (tcsetattr(port->fd, TCSANOW, &line) != 0) return failErrno(errno);
    port->canonical = (line.c_lflag & ICANON) != 0;
    port->baseVmin = port->vmin = line.c_cc[VMIN];
    port->baseVtime = port->vtime = line.c_cc[VTIME];
    setModemLine(port->fd, TIOCM_DTR, dcb->fDtrControl == DTR_CONTROL_ENABLE);
    if ((line.c_cflag & CRTSCTS) == 0) setModemLine(port->fd, TIOCM_RTS, dcb->fRtsControl == RTS_CONTROL_ENABLE);
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
    const std::shared_ptr<Port> port = ports().find(file);
    if (!port) return failCode(ERROR_INVALID_HANDLE);
    if (timeouts == nullptr) return failCode(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> hold(port->io);
    if (!port->tty) return failErrno(ENOTTY);
    *timeouts = port->timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
    const std::shared_ptr<Port> port = ports().find(file);
    if (!port) return failCode(ERROR_INVALID_HANDLE);
    if (timeouts == nullptr) return failCode(ERROR_INVALID_PARAMETER);
    // The one combination a Win32 port refuses.
    if (timeouts->ReadIntervalTimeout == kMaxDword && timeouts->ReadTotalTimeoutMultiplier == kMaxDword &&
        timeouts->ReadTotalTimeoutConstant == kMaxDword) {
        return failCode(ERROR_INVALID_PARAMETER);
    }
    std::lock_guard<std::mutex> hold(port->io);
    if (!port->tty) return failErrno(ENOTTY);
    port->timeouts = *timeouts;
    return TRUE;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void* overlapped) {
    if (read != nullptr) *read = 0;
    const std::shared_ptr<Port> port = ports().find(file);
    if (!port) return failCode(ERROR_INVALID_HANDLE);
    if (overlapped != nullptr || (buffer == nullptr && toRead != 0)) return failCode(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> hold(port->io);
    if (port->fd < 0) return failCode(ERROR_INVALID_HANDLE);
    if (toRead == 0) return TRUE;
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    const Transfer result = port->tty ? readTty(*port, bytes, toRead) : readPlain(port->fd, bytes, toRead);
    if (read != nullptr) *read = static_cast<DWORD>(result.count);
    // Win32 has no word for it: a read that timed out empty while another program took the bytes
    // the line offered leaves ERROR_BUSY for the port's owner to name.
    if (result.error == 0 && result.count == 0 && result.taken) SetLastError(ERROR_BUSY);
    // Bytes that arrived before a hang-up are delivered; the next read reports the failure.
    if (result.error != 0 && result.count == 0) return failErrno(result.error);
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, void* overlapped) {
    if (written != nullptr) *written = 0;
    const std::shared_ptr<Port> port = ports().find(file);
    if (!port) return failCode(ERROR_INVALID_HANDLE);
    if (overlapped != nullptr || (buffer == nullptr && toWrite != 0)) return failCode(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> hold(port->io);
    if (port->fd < 0) return failCode(ERROR_INVALID_HANDLE);
    const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
    const uint64_t totalMs = static_cast<uint64_t>(port->timeouts.WriteTotalTimeoutMultiplier) * toWrite +
                             port->timeouts.WriteTotalTimeoutConstant;
    const Transfer result = (port->tty && totalMs != 0) ? writeWithin(port->fd, bytes, toWrite, totalMs)
                                                        : writeAll(port->fd, bytes, toWrite);
    if (written != nullptr) *written = static_cast<DWORD>(result.count);
    if (result.error != 0) return failErrno(result.error);
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
    const std::shared_ptr<Port> port = ports().find(file);
    if (!port) return failCode(ERROR_INVALID_HANDLE);
    std::lock_guard<std::mutex> hold(port->io);
    if (port->fd < 0) return failCode(ERROR_INVALID_HANDLE);
    if (!port->tty) return TRUE;  // nothing of ours waits: every write goes straight to the file
    while (tcdrain(port->fd) != 0) {
        if (errno != EINTR) return failErrno(errno);
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE object) {
    const std::shared_ptr<Port> port = ports().remove(object);
    if (!port) return failCode(ERROR_INVALID_HANDLE);
    std::lock_guard<std::mutex> hold(port->io);
    if (port->tty) {
        // Leave VMIN/VTIME as the owner's settings had them, not as the last read needed them.
        if (port->vmin != port->baseVmin || port->vtime != port->baseVtime) {
            termios line{};
            if (tcgetattr(port->fd, &line) == 0) {
                line.c_cc[VMIN] = port->baseVmin;
                line.c_cc[VTIME] = port->baseVtime;
                tcsetattr(port->fd, TCSANOW, &line);
            }
        }
        // Exclusive mode belongs to the tty, not to this descriptor: clear it for whoever is next.
        if (port->exclusive) ioctl(port->fd, TIOCNXCL);
    }
    const int result = close(port->fd);
    port->fd = -1;
    if (result != 0 && errno != EINTR) return failErrno(errno);
    return TRUE;
}
