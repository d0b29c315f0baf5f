// NetSocket: POSIX sockets on Linux, Winsock 2 on Windows, behind the same few calls.
#include "outputs/NetSocket.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <mutex>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fastrakhost::net {

#if defined(_WIN32)

namespace {

void notInherited(Socket s) {
    if (s != kNoSocket) SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

bool startup(std::string& reason) {
    static std::once_flag once;
    static int result = 0;
    std::call_once(once, [] {
        WSADATA data;
        result = WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (result == 0) return true;
    reason = "the network layer did not start: " + errorText(result);
    return false;
}

Socket openSocket(int family, int type, bool nonBlocking) {
    const Socket s = ::socket(family, type, 0);
    notInherited(s);
    if (s != kNoSocket && nonBlocking && !setNonBlocking(s, true)) {
        const int error = lastError();
        ::closesocket(s);
        WSASetLastError(error);
        return kNoSocket;
    }
    return s;
}

Socket acceptFrom(Socket listener, sockaddr_storage& from, socklen_t& length, bool nonBlocking) {
    const Socket s = ::accept(listener, reinterpret_cast<sockaddr*>(&from), &length);
    notInherited(s);
    // An accepted socket takes the listener's mode: set it either way.
    if (s != kNoSocket) setNonBlocking(s, nonBlocking);
    return s;
}

void closeSocket(Socket s) {
    if (s != kNoSocket) ::closesocket(s);
}

bool setNonBlocking(Socket s, bool on) {
    u_long mode = on ? 1 : 0;
    return ::ioctlsocket(s, FIONBIO, &mode) == 0;
}

bool setOption(Socket s, int level, int name, int value) {
    return ::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

bool keepAddressOwn(Socket s) { return setOption(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1); }

int pendingError(Socket s) {
    int error = 0;
    int size = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) return lastError();
    return error;
}

int waitFor(PollEntry* entries, size_t count, int timeoutMs) {
    if (count == 0) {
        // WSAPoll refuses an empty list.
        Sleep(static_cast<DWORD>(timeoutMs < 0 ? 0 : timeoutMs));
        return 0;
    }
    return ::WSAPoll(entries, static_cast<ULONG>(count), timeoutMs);
}

std::ptrdiff_t sendSome(Socket s, const void* data, size_t size) {
    return ::send(s, static_cast<const char*>(data), static_cast<int>(size), 0);
}

std::ptrdiff_t receiveSome(Socket s, void* data, size_t size) {
    return ::recv(s, static_cast<char*>(data), static_cast<int>(size), 0);
}

void shutdownSending(Socket s) { ::shutdown(s, SD_SEND); }

int lastError() { return WSAGetLastError(); }

bool isRetry(int error) { return error == WSAEWOULDBLOCK || error == WSAEINTR; }

bool isConnecting(int error) { return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS; }

bool isOutOfDescriptors(int error) { return error == WSAEMFILE || error == WSAENOBUFS; }

std::string errorText(int error) {
    // The errors a user meets, in the words the Linux build prints (Wine has no texts for them).
    static const struct {
        int code;
        const char* text;
    } kKnown[] = {{WSAEADDRINUSE, "Address already in use"},
                  {WSAEADDRNOTAVAIL, "Cannot assign requested address"},
                  {WSAEACCES, "Permission denied"},
                  {WSAECONNREFUSED, "Connection refused"},
                  {WSAECONNRESET, "Connection reset by peer"},
                  {WSAECONNABORTED, "Software caused connection abort"},
                  {WSAENETUNREACH, "Network is unreachable"},
                  {WSAEHOSTUNREACH, "No route to host"},
                  {WSAETIMEDOUT, "Connection timed out"},
                  {WSAEMFILE, "Too many open files"},
                  {WSAENOBUFS, "No buffer space available"}};
    for (const auto& known : kKnown) {
        if (known.code == error) return known.text;
    }
    char text[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
}

bool Waker::open(std::string& reason) {
    if (!startup(reason)) return false;
    // A UDP socket that sends to itself: its datagrams are the wakes.
    read_ = openSocket(AF_INET, SOCK_DGRAM, true);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof self;
    const bool ok = read_ != kNoSocket && ::bind(read_, reinterpret_cast<sockaddr*>(&self), length) == 0 &&
                    ::getsockname(read_, reinterpret_cast<sockaddr*>(&self), &length) == 0 &&
                    ::connect(read_, reinterpret_cast<sockaddr*>(&self), length) == 0;
    if (!ok) {
        reason = "cannot make a wake-up socket: " + errorText(lastError());
        close();
        return false;
    }
    write_ = read_;
    return true;
}

void Waker::close() {
    closeSocket(read_);
    read_ = write_ = kNoSocket;
}

#else

bool startup(std::string&) { return true; }

Socket openSocket(int family, int type, bool nonBlocking) {
    return ::socket(family, type | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
}

Socket acceptFrom(Socket listener, sockaddr_storage& from, socklen_t& length, bool nonBlocking) {
    return ::accept4(listener, reinterpret_cast<sockaddr*>(&from), &length,
                     SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0));
}

void closeSocket(Socket s) {
    if (s >= 0) ::close(s);
}

bool setNonBlocking(Socket s, bool on) {
    const int flags = ::fcntl(s, F_GETFL);
    return flags >= 0 && ::fcntl(s, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

bool setOption(Socket s, int level, int name, int value) {
    return ::setsockopt(s, level, name, &value, sizeof value) == 0;
}

bool keepAddressOwn(Socket s) { return setOption(s, SOL_SOCKET, SO_REUSEADDR, 1); }

int pendingError(Socket s) {
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    return error;
}

int waitFor(PollEntry* entries, size_t count, int timeoutMs) {
    return ::poll(entries, static_cast<nfds_t>(count), timeoutMs);
}

std::ptrdiff_t sendSome(Socket s, const void* data, size_t size) { return ::send(s, data, size, MSG_NOSIGNAL); }

std::ptrdiff_t receiveSome(Socket s, void* data, size_t size) { return ::recv(s, data, size, 0); }

void shutdownSending(Socket s) { ::shutdown(s, SHUT_WR); }

int lastError() { return errno; }

bool isRetry(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

bool isConnecting(int error) { return error == EINPROGRESS; }

bool isOutOfDescriptors(int error) { return error == EMFILE || error == ENFILE || error == ENOBUFS; }

std::string errorText(int error) { return std::strerror(error); }

bool Waker::open(std::string& reason) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        reason = "cannot make a wake-up pipe: " + errorText(errno);
        return false;
    }
    read_ = ends[0];
    write_ = ends[1];
    return true;
}

void Waker::close() {
    closeSocket(read_);
    closeSocket(write_);
    read_ = write_ = kNoSocket;
}

#endif

Waker::~Waker() { close(); }

PollEntry Waker::entry() const {
    PollEntry e{};
    e.fd = read_;
    e.events = POLLIN;
    return e;
}

void Waker::wake() {
    const char x = 'x';
    // With the buffer full the waiting thread wakes anyway.
#if defined(_WIN32)
    ::send(write_, &x, 1, 0);
#else
    if (::write(write_, &x, 1) < 0) {
    }
#endif
}

void Waker::drain() {
    char scrap[64];
#if defined(_WIN32)
    while (::recv(read_, scrap, sizeof scrap, 0) > 0) {
    }
#else
    while (::read(read_, scrap, sizeof scrap) > 0) {
    }
#endif
}

}  // namespace fastrakhost::net
