// OscOutput: fastrak-host's OSC destinations, each with its own queue, sender thread and socket.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "outputs/HostOutput.h"
#include "devices/PoseBoard.h"

namespace fastrakhost {

// Every published record goes to every destination as one OSC bundle time-tagged with its
// hostTime. The reception threads only queue it (publish); one sender thread per destination
// builds and sends, so a slow or stalled destination never holds up reception or the others.
class OscOutput final : public HostOutput {
public:
    enum class AddResult { Added, BadUrl, Unreachable };
    struct Totals {
        uint64_t sent = 0, replaced = 0, dropped = 0, errors = 0;
    };

    OscOutput();
    ~OscOutput();
    OscOutput(const OscOutput&) = delete;
    OscOutput& operator=(const OscOutput&) = delete;

    // False in a build without liblo: there add() always refuses.
    static bool available();
    // osc.udp://HOST:PORT (also a multicast group) or osc.tcp://HOST:PORT. Resolves the name and,
    // for TCP, connects; on failure message says why.
    AddResult add(const std::string& url, std::string& message);
    bool empty() const override { return destinations_.empty(); }

    void start() override;
    void publish(const Sample& sample) override;
    // Sends what still waits, for at most a second, then ends the senders.
    void stop() override;

    Totals totals() const;
    // "OSC 1200 sent, 3 replaced, 0 dropped, 0 errors", for the live view's head line.
    std::string summary() const override;
    // Called often; once a second logs each destination's new send errors and replaced poses.
    void report() override;

    // The OSC address of a record: /fastrak/<device>/tracker/<n> or /fastrak/<device>/controller/<n>;
    // characters that OSC addresses may not hold become '_'.
    static std::string address(const Sample& sample);

    class Destination;

private:
    std::vector<std::unique_ptr<Destination>> destinations_;
    SteadyTime lastReport_{};
};

}  // namespace fastrakhost
