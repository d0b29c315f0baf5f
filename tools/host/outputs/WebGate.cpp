// WebGate: one poll thread for accepting and reading request heads, a fixed pool answering them.
#include "outputs/WebGate.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <algorithm>
#include <cctype>
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
    HeadStream(const WebGate& gate, net::Socket fd, const std::string& head, const std::string& ip, int port,
               int writeSeconds)
        : gate_(gate), fd_(fd), head_(head), ip_(ip), port_(port), writeMs_(writeSeconds * 1000) {}

    bool is_readable() const override { return at_ < head_.size(); }
    bool is_writable() const override { return waitForRoom(Clock::now() + std::chrono::milliseconds(writeMs_)); }
    ssize_t read(char* ptr, size_t size) override {
        const size_t n = std::min(size, head_.size() - at_);
        std::memcpy(ptr, head_.data() + at_, n);
        at_ += n;
        return static_cast<ssize_t>(n);
    }
    // The whole piece (a head, a body, a batch of events) within the write limit, or nothing more:
    // a client that takes a byte now and then must not hold a worker, nor the host's stop.
    ssize_t write(const char* ptr, size_t size) override {
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(writeMs_);
        size_t done = 0;
        while (done < size) {
            const std::ptrdiff_t sent = net::sendSome(fd_, ptr + done, size - done);
            if (sent > 0) {
                done += static_cast<size_t>(sent);
                continue;
            }
            if (sent < 0 && !net::isRetry(net::lastError())) return -1;
            if (!waitForRoom(until)) return -1;
        }
        return static_cast<ssize_t>(size);
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
    using Clock = std::chrono::steady_clock;

    // Room to write before `until`; a tenth of a second at a time, so the server's stop ends the wait.
    bool waitForRoom(Clock::time_point until) const {
        for (;;) {
            if (gate_.stopping()) return false;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0) return false;
            net::PollEntry wait{};
            wait.fd = fd_;
            wait.events = POLLOUT;
            const int ready = net::waitFor(&wait, 1, static_cast<int>(std::min<long long>(left, 100)));
            if (ready < 0) return false;
            if (ready > 0) return (wait.revents & POLLOUT) != 0;
        }
    }

    const WebGate& gate_;
    net::Socket fd_;
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
    if (!net::startup(reason)) return false;
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) {
        reason = "not an address of this machine";
        return false;
    }
    const net::Socket fd = net::openSocket(found->ai_family, SOCK_STREAM, true);
    if (fd != net::kNoSocket) net::keepAddressOwn(fd);
    const bool listening = fd != net::kNoSocket &&
                           ::bind(fd, found->ai_addr, static_cast<socklen_t>(found->ai_addrlen)) == 0 &&
                           ::listen(fd, SOMAXCONN) == 0;
    const int error = net::lastError();
    freeaddrinfo(found);
    if (!listening || !wake_.open(reason)) {
        if (!listening) reason = net::errorText(error);
        net::closeSocket(fd);
        return false;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    std::string ip;
    numeric(local, length, ip, bound);
    listener_ = fd;
    listenName_ = host.find(':') != std::string::npos ? "[" + lower(host) + "]" : lower(host);
    anyAddress_ = host == "0.0.0.0" || host == "::";
#if !defined(_WIN32)
    // Half the descriptors the host may have, so that connections never take the ones its devices,
    // files and other outputs need. Windows has no such per-process limit on sockets.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        limit_ = std::max<size_t>(16, std::min<size_t>(kMaxConnections, files.rlim_cur / 2));
#endif
    return true;
}

void WebGate::start() {
    if (listener_ == net::kNoSocket || gate_.joinable()) return;
    svr_sock_ = listener_;  // the library's streams go on while this is valid
    gate_ = std::thread([this] { gate(); });
    for (size_t i = 0; i < workers_; ++i) pool_.emplace_back([this] { work(); });
}

void WebGate::stop() {
    if (listener_ == net::kNoSocket) return;
    svr_sock_ = INVALID_SOCKET;
    wake_.wake();
    if (gate_.joinable()) gate_.join();
    {
        std::lock_guard<std::mutex> hold(mutex_);
        ending_ = true;
        for (const Connection& c : queue_) net::closeSocket(c.fd);
        for (const Connection& c : back_) net::closeSocket(c.fd);
        queue_.clear();
        back_.clear();
    }
    ready_.notify_all();
    for (std::thread& worker : pool_) worker.join();
    pool_.clear();
    net::closeSocket(listener_);
    wake_.close();
    listener_ = net::kNoSocket;
}

void WebGate::gate() {
    Connections waiting;
    std::vector<net::PollEntry> fds;
    net::PollEntry listening{};
    listening.fd = listener_;
    listening.events = POLLIN;
    std::vector<Connections::iterator> polled;
    while (!stopping()) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            for (Connection& c : back_) waiting.push_back(std::move(c));
            back_.clear();
        }
        fds.assign({listening, wake_.entry()});
        polled.clear();
        Clock::time_point next = Clock::now() + std::chrono::seconds(1);
        for (auto it = waiting.begin(); it != waiting.end(); ++it) {
            net::PollEntry entry{};
            entry.fd = it->fd;
            entry.events = POLLIN;
            fds.push_back(entry);
            polled.push_back(it);
            next = std::min(next, it->deadline);
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        net::waitFor(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait)) + 1);
        if ((fds[1].revents & POLLIN) != 0) wake_.drain();
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
        const net::Socket fd = net::acceptFrom(listener_, from, length, true);
        if (fd == net::kNoSocket) {
            if (net::isOutOfDescriptors(net::lastError())) {
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
        // A fixed send buffer (the kernel's grows to megabytes) holds a stalled client's backlog to
        // seconds, so the write limit finds it.
        net::setOption(fd, SOL_SOCKET, SO_SNDBUF, 32 * 1024);
        net::setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
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
        std::ptrdiff_t got = -1;
        for (int i = 0; i < 4 && (got = net::receiveSome(c.fd, scrap, sizeof scrap)) > 0; ++i)
            c.drained += static_cast<size_t>(got);
        if (got == 0 || c.drained > kLingerBytes || (got < 0 && !net::isRetry(net::lastError()))) {
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
        const std::ptrdiff_t got = net::receiveSome(c.fd, buffer, limit - c.head.size());
        if (got == 0 || (got < 0 && !net::isRetry(net::lastError()))) {
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
    size_t ranges = 0;
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
        // A page of another site (a name rebound to this machine) must not read the view.
        if (name == "host" && !servesHost(value)) {
            refuse(c, 421, "Misdirected Request");
            return true;
        }
        if (name == "range") ranges += 1 + static_cast<size_t>(std::count(value.begin(), value.end(), ','));
    }
    // Each range of a request is a copy of the answer: more than one and the whole answer goes once.
    if (ranges > 1) {
        std::string kept = h.substr(0, line + 2);
        for (size_t at = line + 2; at < end;) {
            const size_t stop = h.find("\r\n", at);
            if (lower(h.substr(at, 6)) != "range:") kept += h.substr(at, stop + 2 - at);
            at = stop + 2;
        }
        c.head = kept + h.substr(end);
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

bool WebGate::servesHost(const std::string& value) const {
    // The name without its port; an IPv6 address keeps its brackets.
    std::string name = lower(value);
    const size_t bracket = name.find(']'), colon = name.rfind(':');
    if (colon != std::string::npos && (bracket == std::string::npos ? name.find(':') == colon : colon > bracket))
        name.erase(colon);
    if (name == "localhost" || name == "127.0.0.1" || name == "[::1]" || name == listenName_) return true;
    // On every interface the machine's own addresses are not known here; an address written out
    // cannot be a name rebound, so any is taken.
    if (!anyAddress_) return false;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    addrinfo hints{}, *found = nullptr;
    hints.ai_flags = AI_NUMERICHOST;
    const bool address = getaddrinfo(name.c_str(), nullptr, &hints, &found) == 0;
    if (found != nullptr) freeaddrinfo(found);
    return address;
}

void WebGate::refuse(Connection& c, int status, const char* text) {
    const bool head = c.head.compare(0, 5, "HEAD ") == 0;
    const std::string body = std::to_string(status) + " " + text + "\n";
    std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + text +
                         "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                         "\r\nConnection: close\r\n" + (status == 405 ? "Allow: GET, HEAD\r\n" : "") + "\r\n";
    if (!head) answer += body;
    // The socket does not block here; a client that is gone or not reading is closed soon either way.
    net::sendSome(c.fd, answer.data(), answer.size());
    net::shutdownSending(c.fd);
    c.head.clear();
    c.head.shrink_to_fit();
    c.phase = Phase::Linger;
    c.deadline = Clock::now() + std::chrono::seconds(1);
}

void WebGate::closeConnection(const Connection& c) {
    net::closeSocket(c.fd);
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
        HeadStream stream(*this, c.fd, head, c.ip, c.port, writeSeconds_);
        const bool last = stopping() || ++c.served >= kKeepAliveRequests;
        bool closed = false;
        bool ok = false;
        try {
            ok = process_request(stream, last, closed, nullptr);
        } catch (...) {
            ok = false;  // a failed allocation (a 32-bit host) ends this request, never the host
        }
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
                c.fd = net::kNoSocket;
            }
        }
        if (c.fd != net::kNoSocket) {
            closeConnection(c);
        } else {
            wake_.wake();
        }
    }
}

}  // namespace fastrakhost
