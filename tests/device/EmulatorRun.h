// A host run against the emulator: the loaded module set up on the emulator's pty, a reception
// thread that copies every record a call marked, and what the emulator sent, for comparison.
#pragma once

#include <arpa/inet.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "DeviceSession.h"
#include "FastrakSim.h"
#include "fastrak/fastrak.h"
#include "support/CaptureStdout.h"
#include "support/ConfigBuilder.h"
#include "support/ModuleLoader.h"

namespace emulatorrun {

struct Published {
    bool tracker;
    TrackerRecord pose;
    ControllerRecord buttons;
};

using Values = std::vector<double>;

inline double poseValue(int32_t netField) {
    return static_cast<int32_t>(ntohl(static_cast<uint32_t>(netField))) * 1e-5;
}

inline Values published(const TrackerRecord& r) {
    return {poseValue(r.x),       poseValue(r.y),         poseValue(r.z),
            poseValue(r.azimuth), poseValue(r.elevation), poseValue(r.roll)};
}

// What the module should publish for the six floats of a binary record as sent on the wire: feet,
// CAVE axes (x = Y, y = -Z, z = -X), azimuth and roll negated.
inline Values expectedFromWire(const std::string& bytes) {
    float v[6];
    for (int i = 0; i < 6; ++i) {
        uint32_t bits = 0;
        for (int b = 0; b < 4; ++b)
            bits |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[3 + 4 * i + b])) << (8 * b);
        std::memcpy(&v[i], &bits, sizeof bits);
    }
    const float toFeet = 1.0f / 12.0f;
    return {
        v[1] * toFeet, -v[2] * toFeet, -v[0] * toFeet, -static_cast<double>(v[3]), v[4], -static_cast<double>(v[5])};
}

inline bool samePose(const Values& a, const Values& b) {
    for (size_t i = 0; i < 6; ++i) {
        const double tolerance = i < 3 ? 2e-5 : 2e-4;  // a unit of the record plus float rounding
        if (!(std::fabs(a[i] - b[i]) <= tolerance)) return false;
    }
    return true;
}

inline bool isBinaryRecord(const fastraksim::LogEntry& e) {
    return e.kind == fastraksim::LogEntry::Kind::Record && (e.bytes.size() == 29 || e.bytes.size() == 31) &&
           e.bytes[0] == '0' && e.bytes.compare(e.bytes.size() - 2, 2, "\r\n") == 0;
}

// The emulator started, the module set up on it and read for `seconds` by a host thread.
struct HostRun {
    std::vector<Published> got;
    std::vector<int32_t> results;  // every recvData result, in order
    std::string log;               // the module's lines while reading
    bool setUp = false;
    uint32_t trackerCount = 0;
    uint32_t controllerCount = 0;
};

using Options = std::vector<std::pair<std::string, std::vector<std::string>>>;

inline HostRun runHost(fastraksim::FastrakSim& sim, unsigned baud, const Options& options, double seconds) {
    HostRun run;
    testsupport::ModuleLoader module(FASTRAK_MODULE_PATH);
    if (!module.loaded()) return run;
    testsupport::ConfigBuilder config("bench");
    config.add(1, "port", {sim.slavePath()});
    config.add(2, "baud", {std::to_string(baud)});
    uint32_t lineNumber = 3;
    for (const auto& option : options) {
        const uint32_t index = config.add(lineNumber++, option.first);
        OptionLine& line = config.line(index);
        for (const std::string& arg : option.second) line.args[line.argCount++] = const_cast<char*>(arg.c_str());
    }
    // Set up and read as a host does: the records of every marked output, under the storage's mutex.
    fastrakhost::DeviceSession session(module, config.get());
    testsupport::CaptureStdout capture;
    if (session.setUp() != 1) {
        session.release();
        run.log = capture.finish();
        return run;
    }
    run.setUp = true;
    std::thread reader([&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < until) {
            UpdateMask mask{};
            const int32_t result = session.receive(mask);
            run.results.push_back(result);
            if (result != 1) break;
            session.collect(
                mask,
                [&](uint32_t, const TrackerRecord& r) {
                    run.got.push_back({true, r, ControllerRecord()});
                },
                [&](uint32_t, const ControllerRecord& r) {
                    run.got.push_back({false, TrackerRecord(), r});
                });
        }
    });
    reader.join();
    session.release();
    run.log = capture.finish();
    run.trackerCount = session.trackers().count();
    run.controllerCount = session.controllers().count();
    return run;
}

// The published tracker records of output `id`, in order.
inline std::vector<Values> trackerPoses(const HostRun& run, uint32_t id) {
    std::vector<Values> poses;
    for (const Published& p : run.got) {
        if (p.tracker && ntohl(p.pose.id) == id) poses.push_back(published(p.pose));
    }
    return poses;
}

}  // namespace emulatorrun
