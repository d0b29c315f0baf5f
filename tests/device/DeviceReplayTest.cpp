// The checked-in capture of a host run on the emulator, replayed through the loaded module: the
// records it publishes are those the original run recorded, in order, value for value.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "DeviceSession.h"
#include "Replay.h"
#include "fastrak/fastrak.h"
#include "support/CaptureStdout.h"
#include "support/ConfigBuilder.h"
#include "support/ModuleLoader.h"

using namespace std::chrono_literals;

namespace {

std::string fixed(int32_t netField) {
    char text[32];
    std::snprintf(text, sizeof text, "%.5f", static_cast<int32_t>(ntohl(static_cast<uint32_t>(netField))) * 1e-5);
    return text;
}

// A record as fastrak-host's JSON lines give it, from "output" on.
std::string trackerText(const TrackerRecord& r) {
    return "\"output\":" + std::to_string(ntohl(r.id)) + ",\"kind\":\"tracker\",\"pose\":[" + fixed(r.x) + "," +
           fixed(r.y) + "," + fixed(r.z) + "," + fixed(r.azimuth) + "," + fixed(r.elevation) + "," + fixed(r.roll) +
           "]}";
}

std::string controllerText(const ControllerRecord& r) {
    std::string buttons;
    for (uint32_t n = 0; n < ntohl(r.numButtons); ++n)
        buttons += (n ? "," : "") + std::to_string(r.buttons[n / 8] >> (n % 8) & 1);
    return "\"output\":" + std::to_string(ntohl(r.id)) + ",\"kind\":\"controller\",\"buttons\":[" + buttons + "]}";
}

TEST(DeviceReplay, CheckedInCaptureGivesTheOriginalRunsRecords) {
    std::ifstream file(FASTRAK_TEST_DATA "/capture-two-stations.cap", std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    fastrakcapture::Capture capture;
    uint64_t offset = 0;
    std::string error;
    ASSERT_TRUE(fastrakcapture::parseCapture(bytes.str(), capture, offset, error)) << offset << ": " << error;
    ASSERT_EQ(capture.streams.size(), 1u);

    std::vector<std::string> original;
    std::ifstream jsonl(FASTRAK_TEST_DATA "/capture-two-stations.jsonl");
    for (std::string line; std::getline(jsonl, line);) original.push_back(line.substr(line.find("\"output\":")));
    ASSERT_GT(original.size(), 200u);

    fastraksim::Replayer replay(capture, capture.streams[0].id, fastraksim::ReplayOptions{});
    ASSERT_TRUE(replay.start(error)) << error;
    testsupport::ModuleLoader module(FASTRAK_MODULE_PATH);
    ASSERT_TRUE(module.loaded()) << module.error();
    // The options of the captured run (tests/data/README.md).
    testsupport::ConfigBuilder config("left");
    config.add(1, "port", {replay.slavePath()});
    config.add(2, "sensors", {"1", "1", "0", "0"});
    config.add(3, "stylus", {"2"});
    config.add(4, "baud", {"115200"});
    fastrakhost::DeviceSession session(module, config.get());
    testsupport::CaptureStdout quiet;
    ASSERT_EQ(session.setUp(), 1) << quiet.finish();
    quiet.finish();

    // Collected as the host collects them: trackers, then controllers, by output number.
    std::vector<std::string> got;
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (got.size() < original.size() && std::chrono::steady_clock::now() < until) {
        UpdateMask mask{};
        ASSERT_EQ(session.receive(mask), 1);
        session.collect(
            mask, [&](uint32_t, const TrackerRecord& r) { got.push_back(trackerText(r)); },
            [&](uint32_t, const ControllerRecord& r) { got.push_back(controllerText(r)); });
    }
    EXPECT_TRUE(session.release());
    const fastraksim::ReplayStatus status = replay.status();
    replay.stop();

    ASSERT_GE(got.size(), original.size());  // the last call may publish one more
    for (size_t i = 0; i < original.size(); ++i) ASSERT_EQ(got[i], original[i]) << "record " << i;
    EXPECT_FALSE(status.differed) << status.difference;
    EXPECT_GT(status.commandsMatched, 0u);
}

}  // namespace
