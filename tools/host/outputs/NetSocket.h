// NetSocket: the few socket calls fastrak-host's network outputs make, written once for POSIX and Winsock.
#pragma once

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

#include <cstddef>
#include <string>

// The names avoid poll, close and the like: the HTTP library's header makes some of them macros on Windows.
namespace fastrakhost::net {

#if defined(_WIN32)
using Socket = SOCKET;
using PollEntry = WSAPOLLFD;
constexpr Socket kNoSocket = INVALID_SOCKET;
#else
using Socket = int;
using PollEntry = pollfd;
constexpr Socket kNoSocket = -1;
#endif

// Makes the socket calls usable (Winsock's start-up, once per process); on failure reason says why.
// Every output calls it before its first resolve or socket.
bool startup(std::string& reason);

// A socket that child processes do not inherit, blocking or not; kNoSocket with lastError() set.
Socket openSocket(int family, int type, bool nonBlocking);
// The next connection on a listening socket, not inherited either; kNoSocket with lastError() set.
Socket acceptFrom(Socket listener, sockaddr_storage& from, socklen_t& length, bool nonBlocking);
void closeSocket(Socket s);
bool setNonBlocking(Socket s, bool on);
// An int option (setsockopt); Winsock wants it passed as chars.
bool setOption(Socket s, int level, int name, int value);
// For a listener: rebinding right after a restart, without letting another program take the port
// over (SO_REUSEADDR on POSIX, SO_EXCLUSIVEADDRUSE on Windows, where SO_REUSEADDR means the latter).
bool keepAddressOwn(Socket s);
// The error a non-blocking connect ended with (SO_ERROR), 0 when it connected.
int pendingError(Socket s);

// poll or WSAPoll: the number of entries with events, 0 on timeout, -1 on error.
int waitFor(PollEntry* entries, size_t count, int timeoutMs);
// send and recv; sending to a closed peer returns an error instead of raising SIGPIPE.
std::ptrdiff_t sendSome(Socket s, const void* data, size_t size);
std::ptrdiff_t receiveSome(Socket s, void* data, size_t size);
// Ends sending (the peer reads the end), keeps receiving.
void shutdownSending(Socket s);

// errno, or WSAGetLastError, right after a failed call.
int lastError();
// The error means try again later: nothing to read, no room to write, interrupted.
bool isRetry(int error);
// A non-blocking connect has started and goes on.
bool isConnecting(int error);
// The process or system has no descriptor or buffer for another socket.
bool isOutOfDescriptors(int error);
// Readable text for an error from lastError() or pendingError().
std::string errorText(int error);

// Wakes a thread waiting in waitFor from another thread: a pipe on POSIX, a loopback UDP socket on
// Windows (WSAPoll takes sockets only). Waking is never lost; many wakes before a drain are one.
class Waker {
public:
    Waker() = default;
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    bool open(std::string& reason);
    void close();
    // The entry to put in waitFor's list (events POLLIN).
    PollEntry entry() const;
    void wake();
    void drain();

private:
    Socket read_ = kNoSocket, write_ = kNoSocket;
};

}  // namespace fastrakhost::net
