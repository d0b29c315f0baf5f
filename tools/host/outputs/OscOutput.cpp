// OscOutput: destinations over UDP or TCP sockets, bundles built with liblo; refused in a build without liblo.
#include "outputs/OscOutput.h"

#include <cstring>

#include "HostLog.h"

#if defined(FASTRAK_HOST_OSC)
// The socket headers before liblo's, which brings in windows.h on Windows without NOMINMAX.
#include "outputs/NetSocket.h"
#include <lo/lo.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>

#include "outputs/SenderPart.h"
#endif

namespace fastrakhost {

OscOutput::OscOutput()
    : HostOutput("OSC output", "liblo", "OSC", {kSentCount, kReplacedCount, kDroppedCount, kErrorsCount}) {}

std::string OscOutput::address(const Sample& sample) {
    std::string device = sample.device;
    for (char& c : device) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f || std::strchr("#*,/?[]{}", c) != nullptr) c = '_';
    }
    return "/fastrak/" + device + (sample.kind == Sample::Kind::Tracker ? "/tracker/" : "/controller/") +
           std::to_string(sample.output);
}

#if defined(FASTRAK_HOST_OSC)

namespace {

// Seconds since 1970 to an OSC time tag: seconds since 1900 and a 32-bit fraction.
lo_timetag timeTag(double seconds) {
    const double whole = std::floor(seconds);
    lo_timetag tag;
    tag.sec = static_cast<uint32_t>(static_cast<uint64_t>(whole) + 2208988800u);
    tag.frac = static_cast<uint32_t>((seconds - whole) * 4294967296.0);
    return tag;
}

// Splits osc.udp://HOST:PORT; HOST may be [an IPv6 address].
bool splitUrl(const std::string& url, bool& tcp, std::string& host, std::string& port, std::string& problem) {
    const std::string udpScheme = "osc.udp://", tcpScheme = "osc.tcp://";
    std::string rest;
    if (url.compare(0, udpScheme.size(), udpScheme) == 0) {
        tcp = false;
        rest = url.substr(udpScheme.size());
    } else if (url.compare(0, tcpScheme.size(), tcpScheme) == 0) {
        tcp = true;
        rest = url.substr(tcpScheme.size());
    } else {
        problem = "a destination is osc.udp://HOST:PORT or osc.tcp://HOST:PORT";
        return false;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    size_t colon = std::string::npos;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close != std::string::npos && close + 1 < rest.size() && rest[close + 1] == ':') colon = close + 1;
        host = close == std::string::npos ? std::string() : rest.substr(1, close - 1);
    } else {
        colon = rest.rfind(':');
        host = rest.substr(0, colon);
    }
    if (colon == std::string::npos || host.empty() || host.find_first_of("/[]") != std::string::npos) {
        problem = "a destination needs a host and a port: osc.udp://HOST:PORT";
        return false;
    }
    port = rest.substr(colon + 1);
    const bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stol(port) < 1 || std::stol(port) > 65535) {
        problem = "the port is a number from 1 to 65535";
        return false;
    }
    return true;
}

// Connects a non-blocking TCP socket within timeoutMs; kNoSocket with problem set otherwise.
net::Socket connectStream(const sockaddr_storage& to, socklen_t length, int timeoutMs, std::string& problem) {
    const net::Socket fd = net::openSocket(to.ss_family, SOCK_STREAM, true);
    if (fd == net::kNoSocket) {
        problem = net::errorText(net::lastError());
        return fd;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), length) != 0) {
        const int error = net::lastError();
        int failure = 0;
        net::PollEntry wait{};
        wait.fd = fd;
        wait.events = POLLOUT;
        if (!net::isConnecting(error)) {
            problem = net::errorText(error);
        } else if (net::waitFor(&wait, 1, timeoutMs) != 1) {
            problem = "Connection timed out";
        } else if ((failure = net::pendingError(fd)) != 0) {
            problem = net::errorText(failure);
        }
        if (!problem.empty()) {
            net::closeSocket(fd);
            return net::kNoSocket;
        }
    }
    // A small send buffer keeps stale poses out of the kernel: when the receiver falls behind,
    // the sender waits and the queue replaces poses instead.
    net::setOption(fd, SOL_SOCKET, SO_SNDBUF, 16 * 1024);
    net::setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    return fd;
}

class Destination final : public SenderPart {
public:
    explicit Destination(const std::string& url) : url_(url) {}
    ~Destination() override {
        stop();
        net::closeSocket(fd_);
    }

    OpenResult open(std::string& message) {
        std::string host, port, problem;
        if (!splitUrl(url_, tcp_, host, port, problem)) {
            message = url_ + ": " + problem;
            return OpenResult::BadAddress;
        }
        if (!net::startup(problem)) {
            message = url_ + ": " + problem;
            return OpenResult::CannotOpen;
        }
        addrinfo hints{}, *found = nullptr;
        hints.ai_socktype = tcp_ ? SOCK_STREAM : SOCK_DGRAM;
        const int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
        if (resolved != 0 || found == nullptr) {
            message = url_ + ": cannot resolve \"" + host + "\": " + gai_strerror(resolved);
            return OpenResult::BadAddress;
        }
        // IPv4 first where a name has both: many OSC programs listen on IPv4 only ("localhost").
        const addrinfo* chosen = found;
        for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
            if (entry->ai_family == AF_INET) {
                chosen = entry;
                break;
            }
        }
        std::memcpy(&to_, chosen->ai_addr, chosen->ai_addrlen);
        toLength_ = chosen->ai_addrlen;
        freeaddrinfo(found);
        if (tcp_) {
            fd_ = connectStream(to_, toLength_, 2000, problem);
        } else {
            // A connected UDP socket: no route shows now, and a port nobody listens on shows as an
            // error of a later send instead of vanishing.
            fd_ = net::openSocket(to_.ss_family, SOCK_DGRAM, false);
            if (fd_ == net::kNoSocket || connect(fd_, reinterpret_cast<const sockaddr*>(&to_), toLength_) != 0) {
                problem = net::errorText(net::lastError());
                net::closeSocket(fd_);
                fd_ = net::kNoSocket;
            }
        }
        if (fd_ == net::kNoSocket) {
            message = url_ + ": cannot reach it: " + problem;
            return OpenResult::CannotOpen;
        }
        lastConnect_ = std::chrono::steady_clock::now();
        return OpenResult::Opened;
    }

    void reportLines(std::vector<std::string>& lines) override {
        const uint64_t errors = errors_;
        if (errors > reportedErrors_) {
            std::lock_guard<std::mutex> hold(errorMutex_);
            lines.push_back(url_ + ": " + std::to_string(errors - reportedErrors_) +
                            " send errors in the last second (" + lastError_ + ")");
        }
        reportedErrors_ = errors;
        queue_.reportLines(url_, "destination", lines);
    }

private:
    void fail(const std::string& text) {
        ++errors_;
        std::lock_guard<std::mutex> hold(errorMutex_);
        lastError_ = text;
    }

    void run() override {
        Sample sample;
        std::vector<unsigned char> bytes;
        for (;;) {
            if (!queue_.pop(sample, std::chrono::milliseconds(100))) {
                if (stopping_) return;
                continue;
            }
            if (outOfTime()) return;
            encode(sample, bytes);
            if (tcp_ ? sendStream(bytes) : sendDatagram(bytes)) ++sent_;
        }
    }

    // One bundle holding one message; over TCP with the 4-byte length in front.
    void encode(const Sample& sample, std::vector<unsigned char>& bytes) const {
        lo_bundle bundle = lo_bundle_new(timeTag(sample.measuredTime));
        lo_message message = lo_message_new();
        if (sample.kind == Sample::Kind::Tracker) {
            for (double value : sample.pose) lo_message_add_float(message, static_cast<float>(value));
        } else {
            for (uint32_t n = 1; n <= sample.buttonCount; ++n) {
                lo_message_add_int32(message, static_cast<int32_t>((sample.buttons >> (n - 1)) & 1u));
            }
        }
        lo_bundle_add_message(bundle, OscOutput::address(sample).c_str(), message);
        size_t length = lo_bundle_length(bundle);
        const size_t prefix = tcp_ ? 4 : 0;
        bytes.resize(prefix + length);
        lo_bundle_serialise(bundle, bytes.data() + prefix, &length);
        lo_bundle_free_recursive(bundle);
        for (size_t i = 0; i < prefix; ++i) bytes[i] = static_cast<unsigned char>(length >> (8 * (3 - i)));
    }

    bool sendDatagram(const std::vector<unsigned char>& bytes) {
        if (net::sendSome(fd_, bytes.data(), bytes.size()) == static_cast<std::ptrdiff_t>(bytes.size())) return true;
        fail(net::errorText(net::lastError()));
        return false;
    }

    // Waits for a slow receiver (the queue replaces poses meanwhile); a lost connection is tried
    // again at most once a second, and what comes before that counts as send errors.
    bool sendStream(const std::vector<unsigned char>& bytes) {
        if (fd_ == net::kNoSocket) {
            const auto now = std::chrono::steady_clock::now();
            // Until the next try, the error that ended the connection or the last try, as the system gave it.
            if (now - lastConnect_ < std::chrono::seconds(1)) {
                fail(lostBy_);
                return false;
            }
            lastConnect_ = now;
            std::string problem;
            fd_ = connectStream(to_, toLength_, 1000, problem);
            if (fd_ == net::kNoSocket) {
                lostBy_ = problem;
                fail(problem);
                return false;
            }
        }
        size_t done = 0;
        while (done < bytes.size()) {
            const std::ptrdiff_t wrote = net::sendSome(fd_, bytes.data() + done, bytes.size() - done);
            if (wrote > 0) {
                done += static_cast<size_t>(wrote);
                continue;
            }
            const int error = wrote < 0 ? net::lastError() : 0;
            if (wrote < 0 && net::isRetry(error) && !outOfTime()) {
                // The socket does not block: wait for room a little at a time, so stop is noticed.
                net::PollEntry wait{};
                wait.fd = fd_;
                wait.events = POLLOUT;
                net::waitFor(&wait, 1, 100);
                continue;
            }
            // A frame cut short breaks the stream: start a new connection.
            lostBy_ = wrote < 0 ? net::errorText(error) : "Broken pipe";
            fail(lostBy_);
            net::closeSocket(fd_);
            fd_ = net::kNoSocket;
            return false;
        }
        return true;
    }

    std::string url_;
    bool tcp_ = false;
    sockaddr_storage to_{};
    socklen_t toLength_ = 0;
    net::Socket fd_ = net::kNoSocket;
    SteadyTime lastConnect_{};
    std::string lostBy_;  // why the connection is down; the sender thread's
    uint64_t reportedErrors_ = 0;
    mutable std::mutex errorMutex_;
    std::string lastError_;
};

}  // namespace

OpenResult OscOutput::open(const std::string& url, std::string& message) {
    std::unique_ptr<Destination> destination(new Destination(url));
    const OpenResult result = destination->open(message);
    if (result == OpenResult::Opened) addPart(std::move(destination));
    return result;
}

#endif

}  // namespace fastrakhost
