// PtyPair over openpty; where there are no pseudo-terminals it reports that and does nothing.
#include "support/PtyPair.h"

#if !defined(_WIN32)
#  include <fcntl.h>
#  include <poll.h>
#  include <pty.h>
#  include <unistd.h>

#  include <cerrno>
#  include <cstring>
#  include <ctime>
#endif

namespace testsupport {

#if defined(_WIN32)

PtyPair::PtyPair() : master_(-1), slave_(-1), hungUp_(false), error_("no pseudo-terminals on this platform") {}
PtyPair::~PtyPair() {}
std::string PtyPair::read(size_t, int) { return std::string(); }
std::string PtyPair::readAll(int) { return std::string(); }
bool PtyPair::write(const std::string&) { return false; }
void PtyPair::hangUp() {}

#else

namespace {

long long nowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

PtyPair::PtyPair() : master_(-1), slave_(-1), hungUp_(false) {
    char name[128] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        error_ = std::string("openpty: ") + std::strerror(errno);
        master_ = slave_ = -1;
        return;
    }
    slavePath_ = name;
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
}

std::string PtyPair::read(size_t count, int timeoutMs) {
    std::string bytes;
    if (master_ < 0) return bytes;
    const long long deadline = nowMs() + timeoutMs;
    while (bytes.size() < count) {
        const long long left = deadline - nowMs();
        if (left <= 0) break;
        pollfd ready{master_, POLLIN, 0};
        const int events = poll(&ready, 1, static_cast<int>(left));
        if (events < 0 && errno == EINTR) continue;
        if (events <= 0 || (ready.revents & POLLIN) == 0) break;
        char chunk[4096];
        const size_t want = count - bytes.size() < sizeof chunk ? count - bytes.size() : sizeof chunk;
        const ssize_t got = ::read(master_, chunk, want);
        if (got > 0) {
            bytes.append(chunk, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    return bytes;
}

std::string PtyPair::readAll(int quietMs) {
    std::string bytes;
    for (;;) {
        std::string more = read(4096, quietMs);
        if (more.empty()) return bytes;
        bytes += more;
    }
}

bool PtyPair::write(const std::string& bytes) {
    size_t done = 0;
    while (master_ >= 0 && done < bytes.size()) {
        const ssize_t put = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
        } else if (put < 0 && errno != EINTR) {
            return false;
        }
    }
    return master_ >= 0;
}

void PtyPair::hangUp() {
    if (master_ < 0) return;
    close(master_);
    master_ = -1;
    hungUp_ = true;
}

#endif

}  // namespace testsupport
