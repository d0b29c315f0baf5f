// IgtlOutput: a TCP server and one sender per client, messages packed by the OpenIGTLink library; refused
// in a build without it.
#include "outputs/IgtlOutput.h"

#include <cstring>

#include "HostLog.h"

#if defined(FASTRAK_HOST_IGTL)
// The socket headers before the protocol library's, which brings in windows.h on Windows.
#include "outputs/NetSocket.h"
#include <igtlStringMessage.h>
#include <igtlTransformMessage.h>

#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <thread>

#include "outputs/ListenAddress.h"
#include "outputs/PoseFrame.h"
#include "outputs/SenderQueue.h"
#include "outputs/PeerLogLimit.h"
#endif

#if defined(FASTRAK_HOST_IGTL) && defined(__SANITIZE_ADDRESS__)
// The protocol library keeps its object factory until exit on purpose; that is not ours to report.
// The sanitizer runtime finds it by name, so it must be exported despite the hidden default.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:libOpenIGTLink\n";
}
#endif

namespace fastrakhost {

IgtlOutput::IgtlOutput()
    : HostOutput("OpenIGTLink output", "libopenigtlink", "IGTL",
                 {kSentCount, kReplacedCount, kDroppedCount, kClientsCount}) {}

namespace {
const size_t kDeviceBytes = 16;  // 20 bytes of name less "/T32"
}

std::string IgtlOutput::devicePart(const std::string& device) {
    if (device.size() <= kDeviceBytes) return device;
    size_t cut = kDeviceBytes;
    // Never half a UTF-8 character.
    while (cut > 0 && (static_cast<unsigned char>(device[cut]) & 0xC0) == 0x80) --cut;
    return device.substr(0, cut);
}

std::string IgtlOutput::name(const Sample& sample) {
    return devicePart(sample.device) + (sample.kind == Sample::Kind::Tracker ? "/T" : "/C") +
           std::to_string(sample.output);
}

#if defined(FASTRAK_HOST_IGTL)

namespace {

using Clock = std::chrono::steady_clock;

const int kDefaultPort = 18944;
const size_t kMaxClients = 32;
const double kBehindSeconds = 10;  // a client that takes nothing this long is let go

// ADDR:PORT, or [ADDR]:PORT for IPv6; hostOnly, when given, receives ADDR alone.
std::string peerText(const sockaddr_storage& address, std::string* hostOnly = nullptr) {
    char host[NI_MAXHOST] = "?", port[NI_MAXSERV] = "?";
    getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host, sizeof host, port, sizeof port,
                NI_NUMERICHOST | NI_NUMERICSERV);
    if (hostOnly != nullptr) *hostOnly = host;
    return address.ss_family == AF_INET6 ? "[" + std::string(host) + "]:" + port : std::string(host) + ":" + port;
}

// The attitude as PoseFrame gives it; position from feet to millimetres.
void poseMatrix(const double pose[6], IgtlOutput::Angles angles, igtl::Matrix4x4& m) {
    double r[3][3];
    attitudeMatrix(pose, angles, r);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) m[i][j] = static_cast<float>(r[i][j]);
        m[i][3] = static_cast<float>(pose[i] * 304.8);
        m[3][i] = 0;
    }
    m[3][3] = 1;
}

// One connected client: its queue, filled by publish, and the thread that empties it into the socket.
class Client {
public:
    Client(net::Socket fd, std::string peer, std::string address,
           const std::map<std::string, IgtlOutput::Angles>& angles, PeerLogLimit& log)
        : fd_(fd), peer_(std::move(peer)), address_(std::move(address)), angles_(angles), log_(log) {}
    ~Client() {
        stop(Clock::now());
        net::closeSocket(fd_);
    }

    void start() {
        thread_ = std::thread([this] { run(); });
    }
    void push(const Sample& sample) { queue_.push(sample); }
    // Lets the sender send what waits until drainUntil, then ends it.
    void stop(Clock::time_point drainUntil) {
        if (!thread_.joinable()) return;
        drainUntil_ = drainUntil;
        stopping_ = true;
        thread_.join();
    }

    bool finished() const { return finished_; }
    uint64_t sent() const { return sent_; }
    uint64_t replaced() const { return queue_.replaced(); }
    uint64_t dropped() const { return queue_.dropped(); }
    void reportLines(std::vector<std::string>& lines) {
        queue_.reportLines("OpenIGTLink client " + peer_, "client", lines);
    }

private:
    bool outOfTime() const { return stopping_ && Clock::now() >= drainUntil_; }

    void run() {
        transform_ = igtl::TransformMessage::New();
        text_ = igtl::StringMessage::New();
        std::vector<unsigned char> pending;
        size_t done = 0;
        Clock::time_point lastProgress = Clock::now(), lastRead = lastProgress;
        const char* why = nullptr;
        std::string reason;
        for (;;) {
            if (done == pending.size()) {
                if (!pending.empty()) ++sent_;
                pending.clear();
                done = 0;
                const Clock::time_point now = Clock::now();
                // What the client sends is read and let go, so its end never blocks; this also
                // notices a client that has left while nothing is sent.
                if (now - lastRead >= std::chrono::milliseconds(100)) {
                    lastRead = now;
                    if (!readIncoming(reason)) break;
                }
                if (outOfTime()) break;
                Sample sample;
                if (!queue_.pop(sample, std::chrono::milliseconds(20))) {
                    if (stopping_) break;
                    continue;
                }
                encode(sample, pending);
                lastProgress = Clock::now();  // the client had taken everything before this
            }
            const std::ptrdiff_t wrote = net::sendSome(fd_, pending.data() + done, pending.size() - done);
            if (wrote > 0) {
                done += static_cast<size_t>(wrote);
                lastProgress = Clock::now();
                continue;
            }
            const int error = wrote < 0 ? net::lastError() : 0;
            if (wrote < 0 && !net::isRetry(error)) {
                reason = net::errorText(error);
                break;
            }
            if (outOfTime()) break;
            net::PollEntry wait{};
            wait.fd = fd_;
            wait.events = POLLOUT | POLLIN;
            net::waitFor(&wait, 1, 100);
            if ((wait.revents & POLLIN) != 0 && !readIncoming(reason)) break;
            if ((wait.revents & (POLLERR | POLLHUP)) != 0 && (wait.revents & POLLOUT) == 0) {
                reason = "connection lost";
                break;
            }
            if (Clock::now() - lastProgress >= std::chrono::duration<double>(kBehindSeconds)) {
                why = "behind";
                break;
            }
        }
        if (why != nullptr) {
            hostWarning("OpenIGTLink client " + peer_ + " has taken nothing for " +
                        std::to_string(static_cast<int>(kBehindSeconds)) + " s; disconnected");
        } else if (!stopping_) {
            const std::string line = log_.pass(
                address_, "OpenIGTLink client " + peer_ + " left" + (reason.empty() ? "" : " (" + reason + ")"));
            if (!line.empty()) hostInfo(line);
        }
        net::shutdownSending(fd_);
        finished_ = true;
    }

    // False when the client has closed its end or the connection failed.
    bool readIncoming(std::string& reason) {
        unsigned char scrap[4096];
        for (;;) {
            const std::ptrdiff_t got = net::receiveSome(fd_, scrap, sizeof scrap);
            if (got > 0) continue;
            if (got == 0) return false;
            const int error = net::lastError();
            if (net::isRetry(error)) return true;
            reason = net::errorText(error);
            return false;
        }
    }

    void encode(const Sample& sample, std::vector<unsigned char>& bytes) {
        const double whole = std::floor(sample.measuredTime);
        const unsigned int seconds = static_cast<unsigned int>(whole);
        const unsigned int fraction =
            static_cast<unsigned int>(std::fmin((sample.measuredTime - whole) * 4294967296.0, 4294967295.0));
        igtl::MessageBase* message;
        const std::string name = IgtlOutput::name(sample);
        if (sample.kind == Sample::Kind::Tracker) {
            igtl::Matrix4x4 matrix;
            const auto found = angles_.find(sample.device);
            poseMatrix(sample.pose, found == angles_.end() ? IgtlOutput::Angles::Cave : found->second, matrix);
            transform_->SetMatrix(matrix);
            message = transform_;
        } else {
            text_->SetString(sample.buttons != 0 ? "pressed" : "released");
            message = text_;
        }
        message->SetDeviceName(name.c_str());
        message->SetTimeStamp(seconds, fraction);
        message->Pack();
        const unsigned char* packed = static_cast<const unsigned char*>(message->GetPackPointer());
        bytes.assign(packed, packed + message->GetPackSize());
    }

    net::Socket fd_;  // does not block
    std::string peer_, address_;
    const std::map<std::string, IgtlOutput::Angles>& angles_;  // fixed before the first client
    PeerLogLimit& log_;  // the server's: a client reconnecting in a loop logs a line per address now and then
    SenderQueue queue_;  // poses coalesce per output, button events are bounded
    std::thread thread_;
    std::atomic<bool> stopping_{false}, finished_{false};
    Clock::time_point drainUntil_{};
    std::atomic<uint64_t> sent_{0};
    igtl::TransformMessage::Pointer transform_;
    igtl::StringMessage::Pointer text_;
};

class Server final : public HostOutput::Part {
public:
    using Angles = IgtlOutput::Angles;

    Server(net::Socket fd, std::shared_ptr<const std::map<std::string, Angles>> angles)
        : fd_(fd), angles_(std::move(angles)) {}
    ~Server() override {
        stop();
        net::closeSocket(fd_);
    }

    void start() override {
        thread_ = std::thread([this] { run(); });
    }

    void publish(const Sample& sample) override {
        std::lock_guard<std::mutex> hold(mutex_);
        for (auto& client : clients_) client->push(sample);
    }

    void stop() override {
        if (!thread_.joinable()) return;
        stopping_ = true;
        thread_.join();
        std::vector<std::unique_ptr<Client>> all;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            all.swap(clients_);
        }
        const Clock::time_point until = Clock::now() + std::chrono::seconds(1);
        for (auto& client : all) client->stop(until);
        for (auto& client : all) retire(*client);
    }

    void count(OutputTotals& totals) const override {
        std::lock_guard<std::mutex> hold(mutex_);
        totals.sent += gone_.sent;
        totals.replaced += gone_.replaced;
        totals.dropped += gone_.dropped;
        for (const auto& client : clients_) {
            totals.sent += client->sent();
            totals.replaced += client->replaced();
            totals.dropped += client->dropped();
        }
        totals.clients += clients_.size();
    }

    void reportLines(std::vector<std::string>& lines) override {
        std::lock_guard<std::mutex> hold(mutex_);
        for (auto& client : clients_) client->reportLines(lines);
    }

private:
    void retire(const Client& client) {
        std::lock_guard<std::mutex> hold(mutex_);
        gone_.sent += client.sent();
        gone_.replaced += client.replaced();
        gone_.dropped += client.dropped();
    }

    void run() {
        while (!stopping_) {
            net::PollEntry wait{};
            wait.fd = fd_;
            wait.events = POLLIN;
            net::waitFor(&wait, 1, 100);
            reap();
            if ((wait.revents & POLLIN) == 0) continue;
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            const net::Socket fd = net::acceptFrom(fd_, from, length, true);
            if (fd == net::kNoSocket) {
                // Out of descriptors, say: the connection stays pending, so wait instead of spinning.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            std::string address;
            const std::string peer = peerText(from, &address);
            size_t count;
            {
                std::lock_guard<std::mutex> hold(mutex_);
                count = clients_.size();
            }
            if (count >= kMaxClients) {
                const std::string line =
                    log_.pass(address, "OpenIGTLink client " + peer + " refused: " + std::to_string(kMaxClients) +
                                           " clients are connected");
                if (!line.empty()) hostWarning(line);
                net::closeSocket(fd);
                continue;
            }
            // A small send buffer keeps stale poses out of the kernel: a slow client makes the
            // queue replace poses instead, and a stalled one shows within the time limit.
            net::setOption(fd, SOL_SOCKET, SO_SNDBUF, 16 * 1024);
            net::setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
            std::unique_ptr<Client> client(new Client(fd, peer, address, *angles_, log_));
            client->start();
            {
                std::lock_guard<std::mutex> hold(mutex_);
                clients_.push_back(std::move(client));
                count = clients_.size();
            }
            const std::string line =
                log_.pass(address, "OpenIGTLink client " + peer + " connected (" + std::to_string(count) +
                                       (count == 1 ? " client)" : " clients)"));
            if (!line.empty()) hostInfo(line);
        }
    }

    // Clients whose sender has ended leave the list; they are joined outside the lock.
    void reap() {
        std::vector<std::unique_ptr<Client>> ended;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            for (auto it = clients_.begin(); it != clients_.end();) {
                if ((*it)->finished()) {
                    ended.push_back(std::move(*it));
                    it = clients_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& client : ended) {
            client->stop(Clock::now());
            retire(*client);
        }
    }

    net::Socket fd_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    PeerLogLimit log_;  // before the clients, which log through it, so it outlives them
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Client>> clients_;
    std::shared_ptr<const std::map<std::string, Angles>> angles_;
    OutputTotals gone_;  // what clients that have left sent, replaced and dropped
};

}  // namespace

OpenResult IgtlOutput::open(const std::string& where, std::string& message) {
    std::string host, port, problem;
    if (!splitListenAddress(where, kDefaultPort, host, port, message)) return OpenResult::BadAddress;
    if (!net::startup(problem)) {
        message = where + ": " + problem;
        return OpenResult::CannotOpen;
    }
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    const int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (resolved != 0 || found == nullptr) {
        message = where + ": cannot resolve \"" + host + "\": " + gai_strerror(resolved);
        return OpenResult::BadAddress;
    }
    const net::Socket fd = net::openSocket(found->ai_family, SOCK_STREAM, false);
    if (fd != net::kNoSocket) net::keepAddressOwn(fd);
    const bool bound = fd != net::kNoSocket &&
                       bind(fd, found->ai_addr, static_cast<socklen_t>(found->ai_addrlen)) == 0 &&
                       ::listen(fd, SOMAXCONN) == 0;
    const int error = net::lastError();
    freeaddrinfo(found);
    if (!bound) {
        message = where + ": cannot listen there: " + net::errorText(error);
        net::closeSocket(fd);
        return OpenResult::CannotOpen;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    address_ = peerText(local);
    addPart(std::unique_ptr<Part>(new Server(fd, angles_)));
    return OpenResult::Opened;
}

#endif

}  // namespace fastrakhost
