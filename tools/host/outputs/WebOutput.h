// WebOutput: fastrak-host's web view, an HTTP server for the page, /state and the /events stream.
#pragma once

#include <memory>
#include <string>

#include "devices/OutputStats.h"
#include "devices/PoseBoard.h"
#include "outputs/HostOutput.h"

namespace fastrakhost {

// The page and its data while the host runs; nothing served changes the tracker or the host.
// The reception threads only copy each record into one ring shared by every /events client
// (publish); each client's connection thread reads the ring at its own pace, so a slow client
// skips the records it was too slow for and never holds up reception or the other clients.
class WebOutput final : public HostOutput {
public:
    WebOutput();

    // http://ADDR:PORT/ with the port actually bound.
    const std::string& url() const { return url_; }

    // What /state reads; both outlive the server. Set before start().
    void attach(const PoseBoard* board, const OutputStats* stats) {
        sources_->board = board;
        sources_->stats = stats;
    }

    // A build with the library opens; one without refuses, saying so.
#if defined(FASTRAK_HOST_WEB)
    bool available() const override { return true; }
    // [ADDR:]PORT; ADDR defaults to 127.0.0.1, an IPv6 address is written [ADDR]; port 0 takes a
    // free one. Binds; from then on, the lines written to standard output are kept for the page.
    OpenResult open(const std::string& where, std::string& message) override;
#endif

    // What /state reads, shared with the server.
    struct Sources {
        const PoseBoard* board = nullptr;
        const OutputStats* stats = nullptr;
    };

private:
    std::shared_ptr<Sources> sources_ = std::make_shared<Sources>();
    std::string url_;
};

}  // namespace fastrakhost
