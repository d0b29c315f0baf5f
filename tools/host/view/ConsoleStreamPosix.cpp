// ConsoleStream on POSIX: a pipe on file descriptor 1, the terminal's size from its driver.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "view/ConsoleStream.h"

namespace fastrakhost {
namespace {
volatile int signalTerminal = -1;
}

bool ConsoleStream::canShowTable() { return isatty(STDOUT_FILENO) != 0; }

bool ConsoleStream::take() {
    int ends[2];
    kept_ = dup(STDOUT_FILENO);
    if (kept_ < 0) return false;
    if (pipe(ends) != 0) {
        ::close(kept_);
        kept_ = -1;
        return false;
    }
    dup2(ends[1], STDOUT_FILENO);
    ::close(ends[1]);
    pipeRead_ = ends[0];
    return true;
}

long ConsoleStream::read(char* buffer, size_t size) { return static_cast<long>(::read(pipeRead_, buffer, size)); }

bool ConsoleStream::write(const std::string& text) const {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(kept_, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

bool ConsoleStream::size(size_t& rows, size_t& columns) const {
    winsize size{};
    if (ioctl(kept_, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0) return false;
    rows = size.ws_row;
    columns = size.ws_col;
    return true;
}

void ConsoleStream::giveBack(bool toNowhere) {
    const int nowhere = toNowhere ? ::open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
    dup2(nowhere >= 0 ? nowhere : kept_, STDOUT_FILENO);
    if (nowhere >= 0) ::close(nowhere);
}

void ConsoleStream::close(bool keepOutput) {
    ::close(pipeRead_);
    if (!keepOutput) ::close(kept_);
    pipeRead_ = kept_ = -1;
}

void ConsoleStream::tellOnError(const std::string& text) {
    pollfd ready{STDERR_FILENO, POLLOUT, 0};
    if (poll(&ready, 1, 0) == 1 && (ready.revents & POLLOUT) != 0 &&
        ::write(STDERR_FILENO, text.data(), text.size()) < 0)
        return;
}

void ConsoleStream::reachFromSignal(bool reach) const { signalTerminal = reach ? kept_ : -1; }

void ConsoleStream::writeFromSignal(const char* text, size_t size) {
    if (signalTerminal >= 0 && ::write(signalTerminal, text, size) < 0) return;
}

}  // namespace fastrakhost
