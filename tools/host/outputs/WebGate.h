// WebGate: the web view's connections, each request head read within bounds before the HTTP library answers it.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "outputs/NetSocket.h"

namespace fastrakhost {

// One thread accepts connections and reads request heads for all of them with poll, so a
// connection that sends nothing costs a descriptor and no worker; only a whole GET or HEAD request
// head within the limits below reaches a worker, which answers it with the library's routes. Anything
// else is answered here (405, 413, 414, 431) without reading further. The library's own accept
// loop and socket reading are not used: its limits are compiled into Debian's shared library.
class WebGate : public httplib::Server {
public:
    static constexpr size_t kHeadBytes = 8192;      // request line and header lines together
    static constexpr size_t kUriBytes = 2048;       // the request line
    static constexpr size_t kHeaderLines = 64;      // header lines
    static constexpr int kHeadSeconds = 5;          // from connecting, or from the last answer, to a whole head
    static constexpr size_t kMaxConnections = 512;  // at once; fewer when the open-file limit is low
    static constexpr size_t kKeepAliveRequests = 100;
    static constexpr size_t kLingerBytes = 1 << 20;  // let go after a refusal, for at most a second

    // workers: requests answered at once (an /events stream holds one for its life); a write that
    // cannot go on for writeSeconds ends the connection.
    WebGate(size_t workers, int writeSeconds);
    ~WebGate() override;

    // Binds and listens; on failure reason says why.
    bool open(const std::string& host, int port, int& bound, std::string& reason);
    void start();
    // Closes the listening socket and every waiting connection; requests being answered end
    // within the write limit (streams end when their provider sees the server stopping).
    void stop();
    bool stopping() const { return svr_sock_ == INVALID_SOCKET; }
    size_t limit() const { return limit_; }

private:
    using Clock = std::chrono::steady_clock;
    enum class Phase { Head, Linger };
    struct Connection {
        net::Socket fd = net::kNoSocket;
        std::string ip;
        int port = 0;
        std::string head;  // received and not yet answered
        Clock::time_point deadline;
        Phase phase = Phase::Head;
        size_t served = 0;      // requests answered on it
        size_t drained = 0;     // bytes let go after a refusal
        bool returned = false;  // back from a worker, perhaps with its next request already read
    };
    using Connections = std::list<Connection>;

    void gate();
    void work();
    void accept(Connections& waiting);
    // Reads what the connection has sent; false once it is closed or handed on.
    bool read(Connections& waiting, Connections::iterator it);
    // Looks at the head so far: answers a refused one, hands a whole one to a worker. False when
    // the connection left the waiting list.
    bool examine(Connections& waiting, Connections::iterator it);
    void refuse(Connection& c, int status, const char* text);
    // A Host header's value names this server: the listen address, localhost or 127.0.0.1.
    bool servesHost(const std::string& value) const;
    void closeConnection(const Connection& c);

    net::Socket listener_ = net::kNoSocket;
    std::string listenName_;   // lower case, an IPv6 address in brackets
    bool anyAddress_ = false;  // listening on every interface
    net::Waker wake_;
    size_t workers_, limit_ = kMaxConnections;
    int writeSeconds_;
    std::thread gate_;
    std::vector<std::thread> pool_;

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Connection> queue_;  // whole heads waiting for a worker
    std::vector<Connection> back_;  // kept alive after an answer, for the gate's next head
    size_t open_ = 0;               // connections in any phase, guarded by mutex_
    bool ending_ = false;
};

}  // namespace fastrakhost
