// Interposes the terminal calls of the test program: counted, optionally failed, then passed on.
#include "SyscallHooks.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <mutex>
#include <string>

namespace {

std::atomic<int> readCount{0};
std::atomic<int> writeCount{0};
std::atomic<int> pollCount{0};
std::atomic<int> ioctlCount{0};
std::atomic<int> tcgetattrCount{0};
std::atomic<int> tcsetattrCount{0};
std::atomic<int> writesUntilFailure{0};
std::atomic<int> failureErrno{0};
std::atomic<int> writesUntilShort{0};
std::atomic<int> readsToMiss{0};
std::atomic<size_t> shortWriteBytes{0};
termios requestedLine{};
std::mutex orderMutex;
std::string order;

void note(char call) {
    std::lock_guard<std::mutex> hold(orderMutex);
    order += call;
}

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// A hung-up terminal fails the isatty() probe with EIO; it still counts as one.
bool terminal(int fd) {
    const int saved = errno;
    const bool result = isatty(fd) != 0 || errno == EIO;
    errno = saved;
    return result;
}

}  // namespace

namespace syscallhooks {

void resetCounts() {
    readCount = writeCount = pollCount = ioctlCount = tcgetattrCount = tcsetattrCount = 0;
    std::lock_guard<std::mutex> hold(orderMutex);
    order.clear();
}

std::string writesDrainsAndSettings() {
    std::lock_guard<std::mutex> hold(orderMutex);
    return order;
}

Counts counts() { return Counts{readCount, writeCount, pollCount, ioctlCount, tcgetattrCount, tcsetattrCount}; }

void failTerminalWrite(int nth, int error) {
    failureErrno = error;
    writesUntilFailure = nth;
}

void shortenTerminalWrite(int nth, size_t bytes) {
    shortWriteBytes = bytes;
    writesUntilShort = nth;
}

void missTerminalReads(int count) { readsToMiss = count; }

termios lastRequestedLine() { return requestedLine; }

}  // namespace syscallhooks

extern "C" {

ssize_t read(int fd, void* buffer, size_t count) {
    static const auto real = next<ssize_t (*)(int, void*, size_t)>("read");
    if (terminal(fd)) {
        ++readCount;
        if (readsToMiss > 0) {
            --readsToMiss;
            errno = EAGAIN;
            return -1;
        }
    }
    return real(fd, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    if (terminal(fd)) {
        ++writeCount;
        note('w');
        if (writesUntilFailure > 0 && --writesUntilFailure == 0) {
            errno = failureErrno;
            return -1;
        }
        if (writesUntilShort > 0 && --writesUntilShort == 0 && count > shortWriteBytes) count = shortWriteBytes;
    }
    return real(fd, buffer, count);
}

int poll(struct pollfd* fds, nfds_t count, int timeout) {
    static const auto real = next<int (*)(struct pollfd*, nfds_t, int)>("poll");
    if (count > 0 && terminal(fds[0].fd)) ++pollCount;
    return real(fds, count, timeout);
}

int ioctl(int fd, unsigned long request, ...) __THROW {
    static const auto real = next<int (*)(int, unsigned long, void*)>("ioctl");
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (terminal(fd)) ++ioctlCount;
    return real(fd, request, argument);
}

int tcgetattr(int fd, struct termios* line) __THROW {
    static const auto real = next<int (*)(int, struct termios*)>("tcgetattr");
    ++tcgetattrCount;
    return real(fd, line);
}

int tcsetattr(int fd, int when, const struct termios* line) __THROW {
    static const auto real = next<int (*)(int, int, const struct termios*)>("tcsetattr");
    ++tcsetattrCount;
    note('s');
    if (line != nullptr) requestedLine = *line;
    return real(fd, when, line);
}

int tcdrain(int fd) {
    static const auto real = next<int (*)(int)>("tcdrain");
    note('d');
    return real(fd);
}

}  // extern "C"
