// OscOutput: fastrak-host's OSC destinations, each with its own queue, sender thread and socket.
#pragma once

#include <string>

#include "devices/PoseBoard.h"
#include "outputs/HostOutput.h"

namespace fastrakhost {

// Every published record goes to every destination as one OSC bundle time-tagged with when it was
// measured (measuredTime). The reception threads only queue it (publish); one sender thread per destination
// builds and sends, so a slow or stalled destination never holds up reception or the others.
class OscOutput final : public HostOutput {
public:
    OscOutput();

    // The OSC address of a record: /fastrak/<device>/tracker/<n> or /fastrak/<device>/controller/<n>;
    // characters that OSC addresses may not hold become '_'.
    static std::string address(const Sample& sample);

    // A build with the library opens; one without refuses, saying so.
#if defined(FASTRAK_HOST_OSC)
    bool available() const override { return true; }
    // Adds a destination, osc.udp://HOST:PORT (also a multicast group) or osc.tcp://HOST:PORT:
    // resolves the name and, for TCP, connects. Once for each destination.
    OpenResult open(const std::string& url, std::string& message) override;
#endif
};

}  // namespace fastrakhost
