// WebOutput: fastrak-host's web view, an HTTP server for the page, /state and the /events stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "outputs/HostOutput.h"
#include "devices/OutputStats.h"
#include "devices/PoseBoard.h"

namespace fastrakhost {

// The page and its data while the host runs; nothing served changes the tracker or the host.
// The reception threads only copy each record into one ring shared by every /events client
// (publish); each client's connection thread reads the ring at its own pace, so a slow client
// skips the records it was too slow for and never holds up reception or the other clients.
class WebOutput final : public HostOutput {
public:
    enum class ListenResult { Listening, BadAddress, CannotListen };
    struct Totals {
        uint64_t published = 0, skipped = 0, dropped = 0, clients = 0;  // clients: /events streams now
    };

    static constexpr size_t kRing = 4096;      // records a stream client may fall behind
    static constexpr size_t kMaxStreams = 8;   // /events clients at once; more are told to come back
    static constexpr size_t kLogLines = 200;   // log lines kept for the page
    static constexpr int kStalledSeconds = 5;  // a client whose socket takes nothing this long is dropped

    WebOutput();
    ~WebOutput();
    WebOutput(const WebOutput&) = delete;
    WebOutput& operator=(const WebOutput&) = delete;

    // False in a build without the HTTP library (the Windows one): there listen() refuses.
    static bool available();
    // [ADDR:]PORT; ADDR defaults to 127.0.0.1, an IPv6 address is written [ADDR]; port 0 takes a
    // free one. Binds; on failure message says why.
    ListenResult listen(const std::string& where, std::string& message);
    bool empty() const override { return address_.empty(); }
    // http://ADDR:PORT/ with the port actually bound.
    const std::string& url() const { return url_; }

    // What /state reads; both outlive the server.
    void attach(const PoseBoard* board, const OutputStats* stats);
    // Serves. From listen() on, the lines written to standard output are kept for the page.
    void start() override;
    void publish(const Sample& sample) override;
    // Ends every stream and the server.
    void stop() override;

    Totals totals() const;
    // "web 2 clients, 0 skipped, 0 dropped", for the live view's head line.
    std::string summary() const override;
    // Called often; once a second logs the records that streams skipped.
    void report() override;

    class Server;

private:
    std::unique_ptr<Server> server_;
    std::string address_, url_;
};

}  // namespace fastrakhost
