// PtyPair over openpty, or over the COM port pair that the Wine harness provides.
#include "support/PtyPair.h"

#if defined(_WIN32)
#include <windows.h>

#include <cstdlib>
#else
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#endif

namespace testsupport {

#if defined(_WIN32)

PtyPair::PtyPair() : master_(-1), slave_(-1), peer_(nullptr), hungUp_(false) {
    const char* port = std::getenv("FASTRAK_TEST_PORT");
    const char* peer = std::getenv("FASTRAK_TEST_PEER_PORT");
    if (port == nullptr || peer == nullptr) {
        error_ = "no serial line: run through the Wine serial harness, which sets FASTRAK_TEST_PORT";
        return;
    }
    slavePath_ = port;
    const std::string peerName = std::string("\\\\.\\") + peer;
    HANDLE handle = CreateFileA(peerName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error_ = "cannot open " + peerName + ", error " + std::to_string(GetLastError());
        return;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(handle, &dcb);
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fOutX = dcb.fInX = 0;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = 0;
    SetCommState(handle, &dcb);
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    peer_ = handle;
}

PtyPair::~PtyPair() {
    if (peer_ != nullptr) CloseHandle(static_cast<HANDLE>(peer_));
}

std::string PtyPair::read(size_t count, int timeoutMs) {
    std::string bytes;
    if (peer_ == nullptr) return bytes;
    const DWORD deadline = GetTickCount() + static_cast<DWORD>(timeoutMs);
    while (bytes.size() < count) {
        const long left = static_cast<long>(deadline - GetTickCount());
        if (left <= 0) break;
        // Return as soon as anything has arrived, or after what is left of the time.
        COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, static_cast<DWORD>(left), 0, 0};
        SetCommTimeouts(static_cast<HANDLE>(peer_), &timeouts);
        char chunk[4096];
        const DWORD want =
            static_cast<DWORD>(count - bytes.size() < sizeof chunk ? count - bytes.size() : sizeof chunk);
        DWORD got = 0;
        if (!ReadFile(static_cast<HANDLE>(peer_), chunk, want, &got, nullptr) || got == 0) break;
        bytes.append(chunk, got);
    }
    return bytes;
}

bool PtyPair::write(const std::string& bytes) {
    size_t done = 0;
    while (peer_ != nullptr && done < bytes.size()) {
        DWORD put = 0;
        if (!WriteFile(static_cast<HANDLE>(peer_), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &put,
                       nullptr)) {
            return false;
        }
        done += put;
    }
    return peer_ != nullptr;
}

void PtyPair::hangUp() {
    if (peer_ == nullptr) return;
    CloseHandle(static_cast<HANDLE>(peer_));
    peer_ = nullptr;
    hungUp_ = true;
}

#else

namespace {

long long nowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

PtyPair::PtyPair() : master_(-1), slave_(-1), peer_(nullptr), hungUp_(false) {
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

std::string PtyPair::readAll(int quietMs) {
    std::string bytes;
    for (;;) {
        std::string more = read(4096, quietMs);
        if (more.empty()) return bytes;
        bytes += more;
    }
}

}  // namespace testsupport
