// lsl-inlet: reads pose streams and the buttons stream of a running fastrak-host until the host
// closes them, then checks every sample against the host's JSON lines recording.
//
// Usage: lsl-inlet JSONL DEVICE OUTPUT[,OUTPUT...] cave|tracker RATE
// Prints PASS or FAIL lines; exits 0 only when every check holds.
#include <lsl_cpp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
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

// One stream of the host: its inlet, what came, and whether it is still open.
struct Stream {
    std::string output;  // "1" for "DEVICE T1"; empty for the buttons
    std::unique_ptr<lsl::stream_inlet> inlet;
    double correction = 0;  // from the host's clock to ours
    bool ready = false, open = true;
    std::vector<std::pair<double, std::vector<float>>> samples;
    std::vector<std::pair<double, std::string>> markers;
    std::vector<Record> records;
};

std::string child(const lsl::xml_element& parent, const char* name) { return parent.child_value(name); }

// The stream under NAME, its meta-data checked against what the host promises.
std::unique_ptr<lsl::stream_inlet> connect(const std::string& name) {
    const std::vector<lsl::stream_info> found = lsl::resolve_stream("name", name, 1, 60.0);
    if (found.empty()) {
        std::cout << "FAIL: no stream \"" << name << "\" within 60 s" << std::endl;
        std::exit(1);
    }
    check(found.size() == 1, std::to_string(found.size()) + " streams named \"" + name + "\"");
    check(found[0].source_id() == "fastrak " + name, "source id \"" + found[0].source_id() + "\"");
    return std::unique_ptr<lsl::stream_inlet>(new lsl::stream_inlet(found[0], 360, 0, false));
}

// The pose stream's description: seven channels after the XDF motion capture conventions.
void checkPoseInfo(lsl::stream_info info, const std::string& output, double rate) {
    check(info.type() == "MoCap" && info.channel_count() == 7 && info.channel_format() == lsl::cf_float32 &&
              info.nominal_srate() == rate,
          "T" + output + ": type " + info.type() + ", " + std::to_string(info.channel_count()) + " channels, rate " +
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
}

// How far a sample's values are from a record's: metres against feet, the quaternion against the
// angles (either sign).
double distance(const std::vector<float>& v, const Record& record, bool cave) {
    const Quaternion q = expected(record.pose, cave);
    const double sign = q.w * v[3] + q.x * v[4] + q.y * v[5] + q.z * v[6] < 0 ? -1 : 1;
    double worst = 0;
    for (int k = 0; k < 3; ++k) worst = std::max(worst, std::fabs(v[k] - record.pose[k] * 0.3048));
    const double parts[4] = {q.w, q.x, q.y, q.z};
    for (int k = 0; k < 4; ++k) worst = std::max(worst, std::fabs(sign * v[3 + k] - parts[k]));
    return worst;
}

// Every sample equals a record, in the recording's order, stamped within 1 ms of that record's
// time. Matched by values, not by time: records read in one burst have nearly the same time.
void checkPoses(Stream& stream, bool cave) {
    const std::vector<Record>& records = stream.records;
    auto& samples = stream.samples;
    // An outlet that closes wakes its sender with a sample of recycled values stamped "now", which
    // may still reach the inlet (liblsl 1.16): one such sample after the recording's end is passed over.
    if (!samples.empty() && !records.empty() && samples.back().first > records.back().time + 0.001) {
        std::cout << "T" << stream.output << ": passed over the closing sample, "
                  << samples.back().first - records.back().time << " s after the last record" << std::endl;
        samples.pop_back();
    }
    check(samples.size() >= 100, "T" + stream.output + ": " + std::to_string(samples.size()) + " samples");
    size_t unmatched = 0, offTime = 0, disorder = 0, next = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const double stamp = samples[i].first;
        const std::vector<float>& v = samples[i].second;
        if (i > 0 && stamp < samples[i - 1].first) ++disorder;
        // The first equal record on time, else the first equal one at all.
        size_t found = records.size();
        for (size_t k = next; k < records.size(); ++k) {
            if (distance(v, records[k], cave) > 2e-5) continue;
            if (found == records.size()) found = k;
            if (std::fabs(records[k].time - stamp) <= 0.001) {
                found = k;
                break;
            }
        }
        if (found == records.size()) {
            if (unmatched++ == 0)
                std::cout << std::fixed << "T" << stream.output << ": sample " << i << " (t " << stamp
                          << ") equals no record after the previous sample's" << std::endl;
            continue;
        }
        if (std::fabs(records[found].time - stamp) > 0.001 && offTime++ == 0)
            std::cout << std::fixed << "T" << stream.output << ": sample " << i << " stamped " << stamp
                      << ", its record " << records[found].time << std::endl;
        next = found + 1;
    }
    const std::string of = " of " + std::to_string(samples.size()) + " samples of T" + stream.output;
    check(unmatched == 0, std::to_string(unmatched) + of + " equal to no record, in order");
    check(offTime == 0, std::to_string(offTime) + of + " more than 1 ms from their record's measured time");
    check(disorder == 0, std::to_string(disorder) + of + " stamped earlier than the one before");
}

// Each marker is a change of the recording's controller record at its time; presses and releases both came.
void checkMarkers(Stream& stream) {
    auto& markers = stream.markers;
    const std::vector<Record>& presses = stream.records;
    if (!markers.empty() && !presses.empty() && markers.back().first > presses.back().time + 0.001) {
        std::cout << "passed over the closing marker \"" << markers.back().second << "\"" << std::endl;
        markers.pop_back();
    }
    size_t pressed = 0, released = 0, unlike = 0;
    for (const auto& marker : markers) {
        const bool down = marker.second == "C1 1 pressed";
        pressed += down;
        released += marker.second == "C1 1 released";
        const auto found = std::find_if(presses.begin(), presses.end(), [&](const Record& r) {
            return std::fabs(r.time - marker.first) <= 0.001 && !r.buttons.empty() && r.buttons[0] == (down ? 1 : 0);
        });
        if (found == presses.end() && unlike++ == 0)
            std::cout << "marker \"" << marker.second << "\" at " << marker.first << std::endl;
    }
    check(pressed > 0 && released > 0, std::to_string(pressed) + " presses and " + std::to_string(released) +
                                           " releases among " + std::to_string(markers.size()) + " markers");
    check(unlike == 0, std::to_string(unlike) + " markers without a controller record of that state at their time");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::cerr << "usage: lsl-inlet JSONL DEVICE OUTPUT[,OUTPUT...] cave|tracker RATE\n";
        return 2;
    }
    const std::string jsonl = argv[1], device = argv[2];
    const bool cave = std::string(argv[4]) == "cave";
    const double rate = std::atof(argv[5]);

    // The pose streams, then the buttons (controller output 1) last.
    std::vector<Stream> streams;
    std::istringstream outputs(argv[3]);
    for (std::string output; std::getline(outputs, output, ',');) {
        streams.emplace_back();
        streams.back().output = output;
        streams.back().inlet = connect(device + " T" + output);
        // The full description comes with the inlet's info.
        checkPoseInfo(streams.back().inlet->info(10.0), output, rate);
    }
    streams.emplace_back();
    Stream& buttons = streams.back();
    buttons.inlet = connect(device + " buttons");
    check(buttons.inlet->info(10.0).type() == "Markers", "the buttons stream's type is not Markers");

    // Until the host closes every outlet (a lost stream) or two minutes pass.
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    for (size_t open = streams.size(); open > 0 && std::chrono::steady_clock::now() < until;) {
        for (Stream& stream : streams) {
            if (!stream.open) continue;
            try {
                if (!stream.ready) {
                    stream.inlet->open_stream(10.0);
                    stream.correction = stream.inlet->time_correction(10.0);
                    stream.ready = true;
                } else if (stream.output.empty()) {
                    std::vector<std::string> text;
                    const double stamp = stream.inlet->pull_sample(text, 0.01);
                    if (stamp != 0) stream.markers.emplace_back(stamp + stream.correction, text.at(0));
                } else {
                    std::vector<float> values;
                    const double stamp = stream.inlet->pull_sample(values, 0.01);
                    if (stamp != 0) stream.samples.emplace_back(stamp + stream.correction, values);
                }
            } catch (const lsl::lost_error&) {
                stream.open = false;
                --open;
            } catch (const lsl::timeout_error&) {
                check(false, "the inlet could not open a stream or learn its clock within 10 s");
                return 1;
            }
        }
    }
    for (const Stream& stream : streams) {
        check(!stream.open, "a stream was still open after two minutes");
        check(stream.ready, "a stream closed before the inlet had opened it");
    }

    // The recording, on LSL's clock: its measured_time (the arrival where it has none) less the
    // offset of the wall clock to LSL's clock, from the tightest of ten readings of both.
    const auto wall = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    };
    double offset = 0, span = 1;
    for (int i = 0; i < 10; ++i) {
        const double before = wall(), lsl = lsl::local_clock(), after = wall();
        if (after - before < span) {
            span = after - before;
            offset = (before + after) / 2 - lsl;
        }
    }
    std::ifstream file(jsonl);
    for (std::string line; std::getline(file, line);) {
        const nlohmann::json record = nlohmann::json::parse(line);
        if (record["device"] != device) continue;
        const std::string output = std::to_string(record["output"].get<int>());
        const double time = record.value("measured_time", record["host_time"].get<double>()) - offset;
        for (Stream& stream : streams) {
            if (record["kind"] == "tracker" && stream.output == output) {
                stream.records.push_back({time, record["pose"].get<std::vector<double>>(), {}});
            } else if (record["kind"] == "controller" && stream.output.empty() && output == "1") {
                stream.records.push_back({time, {}, record["buttons"].get<std::vector<int>>()});
            }
        }
    }

    size_t samples = 0;
    for (Stream& stream : streams) {
        if (stream.output.empty()) continue;
        checkPoses(stream, cave);
        samples += stream.samples.size();
    }
    checkMarkers(buttons);
    if (failures > 0) return 1;
    std::cout << "PASS: " << samples << " samples and " << buttons.markers.size()
              << " markers equal to the recording, stamped with its times" << std::endl;
    return 0;
}
