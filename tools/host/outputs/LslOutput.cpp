// LslOutput: outlets made and fed by liblsl on a sender thread; refused in a build without liblsl.
#include "outputs/LslOutput.h"

#if defined(FASTRAK_HOST_LSL)
#include <lsl_c.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "outputs/SenderPart.h"
#endif

namespace fastrakhost {

LslOutput::LslOutput()
    : HostOutput("LSL output", "liblsl; see README, Build", "LSL",
                 {kSentCount, kReplacedCount, kDroppedCount, kErrorsCount}) {}

void LslOutput::setDevice(const std::string& device, PoseAngles angles, size_t stations) {
    (*devices_)[device] = DeviceInfo{angles, 120.0 / static_cast<double>(stations > 0 ? stations : 1)};
}

std::vector<std::string> LslOutput::markers(uint32_t output, uint32_t before, const Sample& sample) {
    std::vector<std::string> texts;
    for (uint32_t n = 1; n <= sample.buttonCount && n <= 32; ++n) {
        const uint32_t bit = 1u << (n - 1);
        if (((before ^ sample.buttons) & bit) == 0) continue;
        texts.push_back("C" + std::to_string(output) + " " + std::to_string(n) +
                        ((sample.buttons & bit) != 0 ? " pressed" : " released"));
    }
    return texts;
}

#if defined(FASTRAK_HOST_LSL)

namespace {

// The channels after the XDF conventions for motion capture: position, then the quaternion.
struct Channel {
    const char* label;
    const char* type;
    const char* unit;
};
const Channel kChannels[7] = {{"X", "PositionX", "meters"},         {"Y", "PositionY", "meters"},
                              {"Z", "PositionZ", "meters"},         {"QW", "OrientationA", "normalized"},
                              {"QX", "OrientationB", "normalized"}, {"QY", "OrientationC", "normalized"},
                              {"QZ", "OrientationD", "normalized"}};

lsl_outlet poseOutlet(const std::string& name, const std::string& marker, double rate) {
    lsl_streaminfo info =
        lsl_create_streaminfo(name.c_str(), "MoCap", 7, rate, cft_float32, ("fastrak " + name).c_str());
    if (info == nullptr) return nullptr;
    lsl_xml_ptr desc = lsl_get_desc(info);
    lsl_xml_ptr channels = lsl_append_child(desc, "channels");
    for (const Channel& channel : kChannels) {
        lsl_xml_ptr element = lsl_append_child(channels, "channel");
        lsl_append_child_value(element, "label", (marker + "_" + channel.label).c_str());
        lsl_append_child_value(element, "marker", marker.c_str());
        lsl_append_child_value(element, "type", channel.type);
        lsl_append_child_value(element, "unit", channel.unit);
    }
    lsl_append_child_value(lsl_append_child(desc, "acquisition"), "model", "Fastrak");
    lsl_outlet outlet = lsl_create_outlet(info, 0, 360);
    lsl_destroy_streaminfo(info);
    return outlet;
}

lsl_outlet markerOutlet(const std::string& name) {
    lsl_streaminfo info =
        lsl_create_streaminfo(name.c_str(), "Markers", 1, LSL_IRREGULAR_RATE, cft_string, ("fastrak " + name).c_str());
    if (info == nullptr) return nullptr;
    lsl_append_child_value(lsl_append_child(lsl_get_desc(info), "acquisition"), "model", "Fastrak");
    lsl_outlet outlet = lsl_create_outlet(info, 0, 360);
    lsl_destroy_streaminfo(info);
    return outlet;
}

// The wall clock less LSL's clock, from the tightest of three readings: a thread preempted between
// two readings would put its pause into the stamps.
double clockOffset() {
    double offset = 0, span = 1e9;
    for (int i = 0; i < 3; ++i) {
        const double before = wallClockSeconds();
        const double lsl = lsl_local_clock();
        const double after = wallClockSeconds();
        if (after - before < span) {
            span = after - before;
            offset = (before + after) / 2 - lsl;
        }
    }
    return offset;
}

class Streams final : public SenderPart {
public:
    explicit Streams(std::shared_ptr<std::map<std::string, LslOutput::DeviceInfo>> devices)
        : devices_(std::move(devices)) {}
    ~Streams() override {
        stop();
        for (auto& entry : outlets_) lsl_destroy_outlet(entry.second);
    }

    void reportLines(std::vector<std::string>& lines) override {
        {
            std::lock_guard<std::mutex> hold(failedMutex_);
            for (const std::string& name : failed_) lines.push_back("LSL: cannot make the outlet " + name);
            failed_.clear();
        }
        queue_.reportLines("LSL", "outlet", lines);
    }

private:
    void run() override {
        Sample sample;
        for (;;) {
            if (!queue_.pop(sample, std::chrono::milliseconds(100))) {
                if (stopping_) return;
                continue;
            }
            if (outOfTime()) return;
            send(sample);
        }
    }

    // The outlet under NAME, made on first use; nullptr when liblsl could not make it (said once).
    lsl_outlet outlet(const std::string& name, const Sample& sample) {
        const auto found = outlets_.find(name);
        if (found != outlets_.end()) return found->second;
        lsl_outlet made = nullptr;
        if (sample.kind == Sample::Kind::Tracker) {
            const auto device = devices_->find(sample.device);
            const double rate = device == devices_->end() ? 120.0 : device->second.rate;
            made = poseOutlet(name, "T" + std::to_string(sample.output), rate);
        } else {
            made = markerOutlet(name);
        }
        if (made == nullptr) {
            std::lock_guard<std::mutex> hold(failedMutex_);
            failed_.push_back(name);
        }
        outlets_[name] = made;
        return made;
    }

    void send(const Sample& sample) {
        const bool tracker = sample.kind == Sample::Kind::Tracker;
        lsl_outlet target =
            outlet(tracker ? LslOutput::streamName(sample) : LslOutput::buttonsName(sample.device), sample);
        if (target == nullptr) {
            ++errors_;
            return;
        }
        // The measured time on LSL's clock.
        const double stamp = sample.measuredTime - clockOffset();
        if (tracker) {
            const auto device = devices_->find(sample.device);
            double q[4];
            attitudeQuaternion(sample.pose, device == devices_->end() ? PoseAngles::Cave : device->second.angles, q);
            const float values[7] = {static_cast<float>(sample.pose[0] * 0.3048),
                                     static_cast<float>(sample.pose[1] * 0.3048),
                                     static_cast<float>(sample.pose[2] * 0.3048),
                                     static_cast<float>(q[0]),
                                     static_cast<float>(q[1]),
                                     static_cast<float>(q[2]),
                                     static_cast<float>(q[3])};
            if (lsl_push_sample_ftp(target, values, stamp, 1) == 0) ++sent_;
            return;
        }
        uint32_t& before = buttons_[{sample.device, sample.output}];
        for (const std::string& text : LslOutput::markers(sample.output, before, sample)) {
            const char* value = text.c_str();
            lsl_push_sample_strtp(target, &value, stamp, 1);
        }
        before = sample.buttons;
        ++sent_;
    }

    std::shared_ptr<std::map<std::string, LslOutput::DeviceInfo>> devices_;
    std::map<std::string, lsl_outlet> outlets_;                     // the sender thread's
    std::map<std::pair<std::string, uint32_t>, uint32_t> buttons_;  // the last buttons of each controller
    std::mutex failedMutex_;
    std::vector<std::string> failed_;
};

}  // namespace

OpenResult LslOutput::open(const std::string& where, std::string& message) {
    if (!empty()) {
        message = where + ": the outlets are open already";
        return OpenResult::BadAddress;
    }
    addPart(std::unique_ptr<Part>(new Streams(devices_)));
    return OpenResult::Opened;
}

#endif

}  // namespace fastrakhost
