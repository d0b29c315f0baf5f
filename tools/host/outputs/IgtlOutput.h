// IgtlOutput: fastrak-host's OpenIGTLink server; every client has its own queue, sender thread and socket.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "devices/PoseBoard.h"
#include "outputs/HostOutput.h"
#include "outputs/PoseFrame.h"

namespace fastrakhost {

// Every published tracker record goes to every connected client as a TRANSFORM message, every
// controller record as a STRING ("pressed" or "released"). The reception threads only queue the
// record (publish); one sender thread per client packs and sends it, so a slow or stalled client
// never holds up reception or the other clients. Clients connect and leave at any time.
class IgtlOutput final : public HostOutput {
public:
    IgtlOutput();

    // Where it listens, as ADDR:PORT with the port actually bound.
    const std::string& address() const { return address_; }

    // How a device's angles read (its cavecoord line). Set before start().
    using Angles = PoseAngles;
    void setAngles(const std::string& device, Angles angles) { (*angles_)[device] = angles; }

    // The message's device name: <device>/T<n> for tracker output n, <device>/C<n> for controller
    // output n; the device part is cut to 16 bytes so that every name fits the protocol's 20.
    static std::string name(const Sample& sample);
    // The device part of name(), for a warning at start when a device name is cut.
    static std::string devicePart(const std::string& device);

    // A build with the library opens; one without refuses, saying so.
#if defined(FASTRAK_HOST_IGTL)
    bool available() const override { return true; }
    // [ADDR:]PORT; ADDR defaults to 127.0.0.1, an IPv6 address is written [ADDR]; ADDR alone
    // listens on the usual port, 18944; port 0 takes a free one. Binds and listens.
    OpenResult open(const std::string& where, std::string& message) override;
#endif

private:
    // Shared with the server, whose senders read it once started.
    std::shared_ptr<std::map<std::string, Angles>> angles_ = std::make_shared<std::map<std::string, Angles>>();
    std::string address_;
};

}  // namespace fastrakhost
