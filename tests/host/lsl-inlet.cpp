// lsl-inlet: reads one pose stream and the buttons stream of a running fastrak-host until the host
// closes them, then checks every sample against the host's JSON lines recording.
//
// Usage: lsl-inlet JSONL DEVICE OUTPUT cave|tracker RATE
// Prints PASS or FAIL lines; exits 0 only when every check holds.
#include <lsl_cpp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    if (!ok) {
        ++failures;
        std::cout << "FAIL: " << what << std::endl;
    }
}

struct Quaternion {
    double w, x, y, z;
};

Quaternion operator*(const Quaternion& a, const Quaternion& b) {
    return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
            a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x, a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

// A turn of DEGREES about axis 0 (x), 1 (y) or 2 (z).
Quaternion turn(int axis, double degrees) {
    const double half = degrees * 3.14159265358979323846 / 360;
    Quaternion q{std::cos(half), 0, 0, 0};
    (axis == 0 ? q.x : axis == 1 ? q.y : q.z) = std::sin(half);
    return q;
}

// The attitude of azimuth, elevation, roll, built from turns rather than from a matrix: the
// tracker's angles turn about z, y, x; CAVE angles about y, x, z, and the receiver's axes are
// relabelled (x = y, y = -z, z = -x), which is a third of a turn about (1, 1, -1).
Quaternion expected(const std::vector<double>& pose, bool cave) {
    if (!cave) return turn(2, pose[3]) * turn(1, pose[4]) * turn(0, pose[5]);
    return turn(1, pose[3]) * turn(0, pose[4]) * turn(2, pose[5]) * Quaternion{0.5, 0.5, 0.5, -0.5};
}

struct Record {
    double time;  // on LSL's clock
    std::vector<double> pose;
    std::vector<int> buttons;
};

std::string child(const lsl::xml_element& parent, const char* name) { return parent.child_value(name); }

// The stream under NAME, its meta-data checked against what the host promises.
lsl::stream_info resolve(const std::string& name) {
    const std::vector<lsl::stream_info> found = lsl::resolve_stream("name", name, 1, 60.0);
    if (found.empty()) {
        std::cout << "FAIL: no stream \"" << name << "\" within 60 s" << std::endl;
        std::exit(1);
    }
    check(found.size() == 1, std::to_string(found.size()) + " streams named \"" + name + "\"");
    check(found[0].source_id() == "fastrak " + name, "source id \"" + found[0].source_id() + "\"");
    return found[0];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::cerr << "usage: lsl-inlet JSONL DEVICE OUTPUT cave|tracker RATE\n";
        return 2;
    }
    const std::string jsonl = argv[1], device = argv[2], output = argv[3];
    const bool cave = std::string(argv[4]) == "cave";
    const double rate = std::atof(argv[5]);

    const lsl::stream_info poses = resolve(device + " T" + output);
    const lsl::stream_info buttons = resolve(device + " buttons");
    lsl::stream_inlet poseInlet(poses, 360, 0, false), buttonInlet(buttons, 360, 0, false);
    // The full description comes with the inlet's info.
    lsl::stream_info info = poseInlet.info(10.0);
    check(info.type() == "MoCap" && info.channel_count() == 7 && info.channel_format() == lsl::cf_float32 &&
              info.nominal_srate() == rate,
          "pose stream: type " + info.type() + ", " + std::to_string(info.channel_count()) + " channels, rate " +
              std::to_string(info.nominal_srate()));
    const char* types[7] = {"PositionX",    "PositionY",    "PositionZ",   "OrientationA",
                            "OrientationB", "OrientationC", "OrientationD"};
    lsl::xml_element channel = info.desc().child("channels").child("channel");
    for (const char* type : types) {
        check(child(channel, "type") == type && child(channel, "marker") == "T" + output &&
                  !child(channel, "unit").empty() && !child(channel, "label").empty(),
              std::string("channel ") + type + ": type " + child(channel, "type") + ", marker " +
                  child(channel, "marker") + ", unit " + child(channel, "unit"));
        channel = channel.next_sibling();
    }
    check(child(info.desc().child("acquisition"), "model") == "Fastrak", "no acquisition model Fastrak");
    check(buttonInlet.info(10.0).type() == "Markers", "buttons stream type " + buttons.type());
    poseInlet.open_stream(10.0);
    buttonInlet.open_stream(10.0);
    const double poseCorrection = poseInlet.time_correction(10.0);
    const double buttonCorrection = buttonInlet.time_correction(10.0);

    // Until the host closes both outlets (a lost stream) or two minutes pass.
    std::vector<std::pair<double, std::vector<float>>> samples;
    std::vector<std::pair<double, std::string>> markers;
    bool poseOpen = true, buttonOpen = true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while ((poseOpen || buttonOpen) && std::chrono::steady_clock::now() < until) {
        try {
            std::vector<float> values;
            if (poseOpen) {
                const double stamp = poseInlet.pull_sample(values, 0.05);
                if (stamp != 0) samples.emplace_back(stamp + poseCorrection, values);
            }
        } catch (const lsl::lost_error&) {
            poseOpen = false;
        }
        try {
            std::vector<std::string> text;
            if (buttonOpen) {
                const double stamp = buttonInlet.pull_sample(text, poseOpen ? 0.0 : 0.05);
                if (stamp != 0) markers.emplace_back(stamp + buttonCorrection, text.at(0));
            }
        } catch (const lsl::lost_error&) {
            buttonOpen = false;
        }
    }
    check(!poseOpen && !buttonOpen, "the host's streams were still open after two minutes");

    // The recording, on LSL's clock: its measured_time (the arrival where it has none) less the
    // offset of the wall clock to LSL's clock, both read now.
    const double offset = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
                          lsl::local_clock();
    std::vector<Record> records, presses;
    std::ifstream file(jsonl);
    std::string line;
    std::vector<int> lastButtons;
    while (std::getline(file, line)) {
        const nlohmann::json record = nlohmann::json::parse(line);
        if (record["device"] != device || std::to_string(record["output"].get<int>()) != output) continue;
        const double time = record.value("measured_time", record["host_time"].get<double>()) - offset;
        if (record["kind"] == "tracker") {
            records.push_back({time, record["pose"].get<std::vector<double>>(), {}});
        } else {
            presses.push_back({time, {}, record["buttons"].get<std::vector<int>>()});
        }
    }

    // An outlet that closes wakes its sender with a sample of recycled values stamped "now", which
    // may still reach the inlet (liblsl 1.16): one such sample after the recording's end is passed over.
    if (!samples.empty() && !records.empty() && samples.back().first > records.back().time + 0.001) {
        std::cout << "passed over the closing sample, " << samples.back().first - records.back().time
                  << " s after the last record" << std::endl;
        samples.pop_back();
    }
    if (!markers.empty() && !presses.empty() && markers.back().first > presses.back().time + 0.001) {
        std::cout << "passed over the closing marker \"" << markers.back().second << "\"" << std::endl;
        markers.pop_back();
    }
    check(samples.size() >= 100, std::to_string(samples.size()) + " pose samples");
    size_t unmatched = 0, offTime = 0, offPose = 0, disorder = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const double stamp = samples[i].first;
        const std::vector<float>& v = samples[i].second;
        if (i > 0 && stamp < samples[i - 1].first) ++disorder;
        // The record nearest in time; records come 1 / RATE apart.
        const auto next = std::lower_bound(records.begin(), records.end(), stamp,
                                           [](const Record& r, double t) { return r.time < t; });
        const Record* nearest = nullptr;
        if (next != records.end()) nearest = &*next;
        if (next != records.begin() && (nearest == nullptr || stamp - (next - 1)->time < nearest->time - stamp))
            nearest = &*(next - 1);
        if (nearest == nullptr) {
            ++unmatched;
            continue;
        }
        if (std::fabs(nearest->time - stamp) > 0.001) ++offTime;
        const Quaternion q = expected(nearest->pose, cave);
        const double sign = q.w * v[3] + q.x * v[4] + q.y * v[5] + q.z * v[6] < 0 ? -1 : 1;
        double worst = 0;
        for (int k = 0; k < 3; ++k) worst = std::max(worst, std::fabs(v[k] - nearest->pose[k] * 0.3048));
        const double parts[4] = {q.w, q.x, q.y, q.z};
        for (int k = 0; k < 4; ++k) worst = std::max(worst, std::fabs(sign * v[3 + k] - parts[k]));
        if (worst > 2e-5) {
            if (offPose++ == 0)
                std::cout << std::fixed << "sample " << i << " of " << samples.size() << " off its record by "
                          << worst << " (t " << stamp << ", record " << nearest->time << ")" << std::endl;
        }
    }
    check(unmatched == 0 && offPose == 0, std::to_string(offPose + unmatched) + " of " +
                                              std::to_string(samples.size()) + " samples unlike the nearest record");
    check(offTime == 0, std::to_string(offTime) + " samples more than 1 ms from their record's measured time");
    check(disorder == 0, std::to_string(disorder) + " time stamps earlier than the one before");

    // Each marker is a change of the recording's controller record at its time.
    size_t pressed = 0, released = 0, unlike = 0;
    for (const auto& marker : markers) {
        const bool down = marker.second == "C" + output + " 1 pressed";
        pressed += down;
        released += marker.second == "C" + output + " 1 released";
        const auto found = std::find_if(presses.begin(), presses.end(), [&](const Record& r) {
            return std::fabs(r.time - marker.first) <= 0.001 && !r.buttons.empty() && r.buttons[0] == (down ? 1 : 0);
        });
        if (found == presses.end()) {
            if (unlike++ == 0) std::cout << "marker \"" << marker.second << "\" at " << marker.first << std::endl;
        }
    }
    check(pressed > 0 && released > 0, std::to_string(pressed) + " presses and " + std::to_string(released) +
                                           " releases among " + std::to_string(markers.size()) + " markers");
    check(unlike == 0, std::to_string(unlike) + " markers without a controller record of that state at their time");
    if (failures > 0) return 1;
    std::cout << "PASS: " << samples.size() << " samples and " << markers.size()
              << " markers equal to the recording, stamped with its times" << std::endl;
    return 0;
}
