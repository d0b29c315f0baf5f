// IgtlOutput: fastrak-host's OpenIGTLink server; every client has its own queue, sender thread and socket.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "outputs/HostOutput.h"
#include "devices/PoseBoard.h"

namespace fastrakhost {

// Every published tracker record goes to every connected client as a TRANSFORM message, every
// controller record as a STRING ("pressed" or "released"). The reception threads only queue the
// record (publish); one sender thread per client packs and sends it, so a slow or stalled client
// never holds up reception or the other clients. Clients connect and leave at any time.
class IgtlOutput final : public HostOutput {
public:
    enum class ListenResult { Listening, BadAddress, CannotListen };
    struct Totals {
        uint64_t sent = 0, replaced = 0, dropped = 0, clients = 0;  // clients: connected now
    };

    static constexpr int kDefaultPort = 18944;
    static constexpr size_t kMaxClients = 32;
    static constexpr double kBehindSeconds = 10;  // a client that takes nothing this long is let go

    IgtlOutput();
    ~IgtlOutput();
    IgtlOutput(const IgtlOutput&) = delete;
    IgtlOutput& operator=(const IgtlOutput&) = delete;

    // False in a build without the OpenIGTLink library: there listen() refuses.
    static bool available();
    // [ADDR:]PORT; ADDR defaults to 127.0.0.1, an IPv6 address is written [ADDR]; ADDR alone
    // listens on kDefaultPort; port 0 takes a free one. Binds and listens; on failure message says why.
    ListenResult listen(const std::string& where, std::string& message);
    bool empty() const override { return address_.empty(); }
    // Where it listens, as ADDR:PORT with the port actually bound.
    const std::string& address() const { return address_; }

    // How a device's angles read (its cavecoord line): CAVE angles, the module's default, or the
    // tracker's own. Set before start().
    enum class Angles { Cave, Tracker };
    void setAngles(const std::string& device, Angles angles);

    // Starts accepting clients.
    void start() override;
    void publish(const Sample& sample) override;
    // Sends what still waits, for at most a second, then closes every client and the server.
    void stop() override;

    Totals totals() const;
    // "IGTL 1200 sent, 3 replaced, 0 dropped, 2 clients", for the live view's head line.
    std::string summary() const override;
    // Called often; once a second logs each client's newly replaced poses and dropped button events.
    void report() override;

    // The message's device name: <device>/T<n> for tracker output n, <device>/C<n> for controller
    // output n; the device part is cut to 16 bytes so that every name fits the protocol's 20.
    static std::string name(const Sample& sample);
    // The device part of name(), for a warning at start when a device name is cut.
    static std::string devicePart(const std::string& device);

    class Server;

private:
    std::unique_ptr<Server> server_;
    std::string address_;
};

}  // namespace fastrakhost
