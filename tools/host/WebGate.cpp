// WebGate: one poll thread for accepting and reading request heads, a fixed pool answering them.
#include "WebGate.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace fastrakhost {
namespace {

void numeric(const sockaddr_storage& address, socklen_t length, std::string& ip, int& port) {
    char host[NI_MAXHOST] = "", service[NI_MAXSERV] = "0";
    getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, service, sizeof service,
                NI_NUMERICHOST | NI_NUMERICSERV);
    ip = host;
    port = std::atoi(service);
}

// The library reads the head the gate has checked from here, and writes its answer to the socket.
// It never reads the socket itself: a request the gate let through has no body.
class HeadStream : public httplib::Stream {
public:
    HeadStream(int fd, const std::string& head, const std::string& ip, int port, int writeSeconds)
        : fd_(fd), head_(head), ip_(ip), port_(port), writeMs_(writeSeconds * 1000) {}

    bool is_readable() const override { return at_ < head_.size(); }
    bool is_writable() const override {
        pollfd wait{fd_, POLLOUT, 0};
        return poll(&wait, 1, writeMs_) > 0 && (wait.revents & POLLOUT) != 0;
    }
    ssize_t read(char* ptr, size_t size) override {
        const size_t n = std::min(size, head_.size() - at_);
        std::memcpy(ptr, head_.data() + at_, n);
        at_ += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* ptr, size_t size) override {
        for (;;) {
            const ssize_t sent = send(fd_, ptr, size, MSG_NOSIGNAL);
            if (sent >= 0) return sent;
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
            if (!is_writable()) return -1;
        }
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = ip_;
        port = port_;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        numeric(local, length, ip, port);
    }
    socket_t socket() const override { return fd_; }

private:
    int fd_;
    const std::string& head_;
    size_t at_ = 0;
    std::string ip_;
    int port_;
    int writeMs_;
};

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trimmed(const std::string& text) {
    const size_t from = text.find_first_not_of(" \t");
    if (from == std::string::npos) return std::string();
    return text.substr(from, text.find_last_not_of(" \t") - from + 1);
}

}  // namespace

WebGate::WebGate(size_t workers, int writeSeconds) : workers_(workers), writeSeconds_(writeSeconds) {
    set_keep_alive_timeout(kHeadSeconds);
    set_keep_alive_max_count(kKeepAliveRequests);
    set_payload_max_length(0);
}

WebGate::~WebGate() { stop(); }

bool WebGate::open(const std::string& host, int port, int& bound, std::string& reason) {
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) {
        reason = "not an address of this machine";
        return false;
    }
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int on = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const bool listening =
        fd >= 0 && ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0;
    const int error = errno;
    freeaddrinfo(found);
    if (!listening || pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        reason = std::strerror(listening ? errno : error);
        if (fd >= 0) close(fd);
        return false;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    std::string ip;
    numeric(local, length, ip, bound);
    listener_ = fd;
    // Half the descriptors the host may have, so that connections never take the ones its devices,
    // files and other outputs need.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        limit_ = std::max<size_t>(16, std::min<size_t>(kMaxConnections, files.rlim_cur / 2));
    return true;
}

void WebGate::start() {
    if (listener_ < 0 || gate_.joinable()) return;
    svr_sock_ = listener_;  // the library's streams go on while this is valid
    gate_ = std::thread([this] { gate(); });
    for (size_t i = 0; i < workers_; ++i) pool_.emplace_back([this] { work(); });
}

void WebGate::stop() {
    if (listener_ < 0) return;
    svr_sock_ = INVALID_SOCKET;
    if (write(wake_[1], "x", 1) < 0) {
        // The pipe is full, so the gate wakes anyway.
    }
    if (gate_.joinable()) gate_.join();
    {
        std::lock_guard<std::mutex> hold(mutex_);
        ending_ = true;
        for (const Connection& c : queue_) close(c.fd);
        for (const Connection& c : back_) close(c.fd);
        queue_.clear();
        back_.clear();
    }
    ready_.notify_all();
    for (std::thread& worker : pool_) worker.join();
    pool_.clear();
    close(listener_);
    close(wake_[0]);
    close(wake_[1]);
    listener_ = -1;
}

void WebGate::gate() {
    Connections waiting;
    std::vector<pollfd> fds;
    std::vector<Connections::iterator> polled;
    while (!stopping()) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            for (Connection& c : back_) waiting.push_back(std::move(c));
            back_.clear();
        }
        fds.assign({pollfd{listener_, POLLIN, 0}, pollfd{wake_[0], POLLIN, 0}});
        polled.clear();
        Clock::time_point next = Clock::now() + std::chrono::seconds(1);
        for (auto it = waiting.begin(); it != waiting.end(); ++it) {
            fds.push_back(pollfd{it->fd, POLLIN, 0});
            polled.push_back(it);
            next = std::min(next, it->deadline);
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait)) + 1);
        if ((fds[1].revents & POLLIN) != 0) {
            char scrap[64];
            while (::read(wake_[0], scrap, sizeof scrap) > 0) {
            }
        }
        for (size_t i = 0; i < polled.size(); ++i) {
            // A kept-alive connection may hold its next request already.
            if (fds[i + 2].revents != 0 || polled[i]->returned) read(waiting, polled[i]);
        }
        const Clock::time_point now = Clock::now();
        for (auto it = waiting.begin(); it != waiting.end();) {
            if (it->deadline > now) {
                ++it;
                continue;
            }
            closeConnection(*it);  // no whole head in time: an idle or a slow client
            it = waiting.erase(it);
        }
        if ((fds[0].revents & POLLIN) != 0) accept(waiting);
    }
    for (const Connection& c : waiting) closeConnection(c);
}

void WebGate::accept(Connections& waiting) {
    for (int i = 0; i < 64; ++i) {
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors: the oldest waiting connection makes room, or the next round does.
                auto oldest = waiting.begin();
                if (oldest == waiting.end()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // not spinning on the listener
                    return;
                }
                closeConnection(*oldest);
                waiting.erase(oldest);
                continue;
            }
            return;  // EAGAIN: all taken
        }
        size_t open;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            open = ++open_;
        }
        if (open > limit_) {
            // Full: the connection that has waited longest for its head gives way, so idle
            // connections cannot keep a real request out.
            if (waiting.empty()) {
                Connection refused;
                refused.fd = fd;
                closeConnection(refused);
                continue;
            }
            closeConnection(waiting.front());
            waiting.pop_front();
        }
        const int buffer = 32 * 1024, on = 1;
        // A fixed send buffer (the kernel's grows to megabytes) holds a stalled client's backlog to
        // seconds, so the write limit finds it.
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Connection c;
        c.fd = fd;
        numeric(from, length, c.ip, c.port);
        c.deadline = Clock::now() + std::chrono::seconds(kHeadSeconds);
        waiting.push_back(std::move(c));
    }
}

bool WebGate::read(Connections& waiting, Connections::iterator it) {
    Connection& c = *it;
    c.returned = false;
    if (c.phase == Phase::Linger) {
        // After a refusal: what the client still sends is let go for a while, so that closing does
        // not reset the connection before the client has read the answer. A bounded piece at a
        // time, and a bounded amount, so that a client sending without end holds up nobody.
        char scrap[16384];
        ssize_t got = -1;
        errno = EAGAIN;
        for (int i = 0; i < 4 && (got = recv(c.fd, scrap, sizeof scrap, 0)) > 0; ++i)
            c.drained += static_cast<size_t>(got);
        if (got == 0 || c.drained > kLingerBytes ||
            (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            closeConnection(c);
            waiting.erase(it);
            return false;
        }
        return true;
    }
    // Up to the limit of what is being read: the request line first, then the whole head.
    const size_t limit = c.head.find("\r\n") == std::string::npos ? kUriBytes + 2 : kHeadBytes;
    if (c.head.size() < limit) {
        char buffer[kHeadBytes];
        const ssize_t got = recv(c.fd, buffer, limit - c.head.size(), 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            closeConnection(c);
            waiting.erase(it);
            return false;
        }
        if (got > 0) c.head.append(buffer, static_cast<size_t>(got));
    }
    return examine(waiting, it);
}

bool WebGate::examine(Connections& waiting, Connections::iterator it) {
    Connection& c = *it;
    const std::string& h = c.head;
    const size_t line = h.find("\r\n");
    if (line == std::string::npos) {
        if (h.size() > kUriBytes) refuse(c, 414, "URI Too Long");
        return true;
    }
    if (line > kUriBytes) {
        refuse(c, 414, "URI Too Long");
        return true;
    }
    const std::string method = h.substr(0, std::min(line, h.find(' ')));
    if (method != "GET" && method != "HEAD") {
        refuse(c, 405, "Method Not Allowed");
        return true;
    }
    const size_t end = h.find("\r\n\r\n");
    size_t lines = 0;
    for (size_t at = line + 2; at < std::min(end, h.size()) && (at = h.find("\r\n", at)) != std::string::npos; at += 2)
        ++lines;
    if (lines > kHeaderLines) {
        refuse(c, 431, "Request Header Fields Too Large");
        return true;
    }
    if (end == std::string::npos) {
        if (h.size() >= kHeadBytes) refuse(c, 431, "Request Header Fields Too Large");
        return true;
    }
    // The page and its data take no body; one announced is refused rather than read.
    for (size_t at = line + 2; at < end;) {
        const size_t stop = h.find("\r\n", at);
        const std::string field = h.substr(at, stop - at);
        at = stop + 2;
        const size_t colon = field.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = lower(trimmed(field.substr(0, colon)));
        const std::string value = trimmed(field.substr(colon + 1));
        if (name == "transfer-encoding" ||
            (name == "content-length" && value.find_first_not_of('0') != std::string::npos)) {
            refuse(c, 413, "Payload Too Large");
            return true;
        }
    }
    Connection ready = std::move(c);
    waiting.erase(it);
    {
        std::lock_guard<std::mutex> hold(mutex_);
        queue_.push_back(std::move(ready));
    }
    ready_.notify_one();
    return false;
}

void WebGate::refuse(Connection& c, int status, const char* text) {
    const bool head = c.head.compare(0, 5, "HEAD ") == 0;
    const std::string body = std::to_string(status) + " " + text + "\n";
    std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + text +
                         "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                         "\r\nConnection: close\r\n" + (status == 405 ? "Allow: GET, HEAD\r\n" : "") + "\r\n";
    if (!head) answer += body;
    if (send(c.fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        // The client is gone or not reading: the connection is closed soon either way.
    }
    shutdown(c.fd, SHUT_WR);
    c.head.clear();
    c.head.shrink_to_fit();
    c.phase = Phase::Linger;
    c.deadline = Clock::now() + std::chrono::seconds(1);
}

void WebGate::closeConnection(const Connection& c) {
    close(c.fd);
    std::lock_guard<std::mutex> hold(mutex_);
    --open_;
}

void WebGate::work() {
    for (;;) {
        Connection c;
        {
            std::unique_lock<std::mutex> hold(mutex_);
            ready_.wait(hold, [&] { return ending_ || !queue_.empty(); });
            if (queue_.empty()) return;
            c = std::move(queue_.front());
            queue_.pop_front();
        }
        // The request's head, and after it what the client has sent on (a pipelined request).
        const size_t end = c.head.find("\r\n\r\n") + 4;
        const std::string head = c.head.substr(0, end);
        std::string rest = c.head.substr(end);
        HeadStream stream(c.fd, head, c.ip, c.port, writeSeconds_);
        const bool last = stopping() || ++c.served >= kKeepAliveRequests;
        bool closed = false;
        const bool ok = process_request(stream, last, closed, nullptr);
        if (!ok || closed || last || stopping()) {
            closeConnection(c);
            continue;
        }
        c.head = std::move(rest);
        c.returned = true;
        c.deadline = Clock::now() + std::chrono::seconds(kHeadSeconds);
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (!ending_) {
                back_.push_back(std::move(c));
                c.fd = -1;
            }
        }
        if (c.fd >= 0) {
            closeConnection(c);
        } else if (::write(wake_[1], "x", 1) < 0) {
            // A full pipe wakes the gate as well.
        }
    }
}

}  // namespace fastrakhost
