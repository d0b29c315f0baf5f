// LslOutput: fastrak-host's Lab Streaming Layer outlets, fed by one sender thread.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "devices/PoseBoard.h"
#include "outputs/HostOutput.h"
#include "outputs/PoseFrame.h"

namespace fastrakhost {

// One MoCap outlet per tracker output, "DEVICE Tn": x, y, z in metres and the attitude as a unit
// quaternion w, x, y, z, time-stamped with the record's measured time on LSL's clock; one marker
// outlet per device, "DEVICE buttons", with a string per button change ("C1 1 pressed"). The
// reception threads only queue the record (publish); the sender thread makes each outlet on its
// output's first record and pushes, so LSL's sockets never hold up reception.
class LslOutput final : public HostOutput {
public:
    LslOutput();

    // How a device's angles read and how many stations it has in use (the tracker measures 120
    // times a second in turn over them: the streams' nominal rate). Set before start().
    void setDevice(const std::string& device, PoseAngles angles, size_t stations);

    static std::string streamName(const Sample& sample) { return sample.device + " T" + std::to_string(sample.output); }
    static std::string buttonsName(const std::string& device) { return device + " buttons"; }
    // The markers of a controller record after the one before it: "C1 1 pressed", one per button
    // that changed, in button order.
    static std::vector<std::string> markers(uint32_t output, uint32_t before, const Sample& sample);

#if defined(FASTRAK_HOST_LSL)
    bool available() const override { return true; }
    // The one set of outlets; WHERE only names the option in messages.
    OpenResult open(const std::string& where, std::string& message) override;
#endif

    struct DeviceInfo {
        PoseAngles angles = PoseAngles::Cave;
        double rate = 0;
    };

private:
    // Shared with the sender, which reads it once started.
    std::shared_ptr<std::map<std::string, DeviceInfo>> devices_ = std::make_shared<std::map<std::string, DeviceInfo>>();
};

}  // namespace fastrakhost
