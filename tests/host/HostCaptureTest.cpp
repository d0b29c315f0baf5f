// fastrak-host --capture and fastrak-sim --replay as processes: a round trip to the same records,
// commands at the speed they were written for and the real line given back as found, a differing
// command reported, and damaged captures refused with their offset.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "CaptureFile.h"
#include "HostProcess.h"

namespace {

using namespace std::chrono_literals;
using hosttest::Process;
using hosttest::Scratch;

// JSON lines without their host_time: what must come out the same from the same bytes.
std::vector<std::string> recordsOf(const std::string& path) {
    std::vector<std::string> out;
    for (const std::string& line : hosttest::lines(hosttest::readFile(path)))
        out.push_back(line.substr(line.find(",\"device\"")));
    return out;
}

std::string config(const std::string& port, const std::string& sensors) {
    return "[device left]\nport " + port + "\nsensors " + sensors + "\nstylus 2\nbaud 115200\n";
}

// The terminal's settings, after setting them to `set` when given.
termios lineOf(const std::string& path, const termios* set = nullptr) {
    termios line{};
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0 && set != nullptr) ::tcsetattr(fd, TCSANOW, set);
    if (fd >= 0) ::tcgetattr(fd, &line);
    if (fd >= 0) ::close(fd);
    return line;
}

int runHost(const Scratch& scratch, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {FASTRAK_HOST_PROGRAM, "--plain"};
    argv.insert(argv.end(), args.begin(), args.end());
    Process host;
    if (!host.start(argv, scratch.path("host.out"), scratch.path("host.err"))) return -1;
    return host.wait(60s);
}

// Returns fastrak-sim --replay's exit status once the host run is over; its standard error in `err`.
int replayTo(const Scratch& scratch, const std::string& capture, const std::string& sensors, size_t count,
             std::string& err) {
    Process replay;
    const std::string link = scratch.path("replay.pty");
    if (!replay.start({FASTRAK_SIM_PROGRAM, "--replay", capture, "--link", link}, scratch.path("replay.out"),
                      scratch.path("replay.err")) ||
        !hosttest::eventually([&] { return !hosttest::readFile(scratch.path("replay.out")).empty(); }, 5s)) {
        err = hosttest::readFile(scratch.path("replay.err"));
        return -1;
    }
    scratch.write("replay.conf", config(link, sensors));
    EXPECT_EQ(runHost(scratch, {"--config", scratch.path("replay.conf"), "--jsonl", scratch.path("second.jsonl"),
                                "--overwrite", "--count", std::to_string(count)}),
              0)
        << hosttest::readFile(scratch.path("host.out"));
    // Its last pieces follow the host's stop command; let them go out before the replay is ended.
    EXPECT_TRUE(hosttest::eventually(
        [&] {
            return hosttest::readFile(scratch.path("replay.err")).find("every captured byte played") !=
                   std::string::npos;
        },
        15s));
    replay.signal(SIGTERM);
    const int status = replay.wait(10s);
    err = hosttest::readFile(scratch.path("replay.err"));
    return status;
}

TEST(HostCapture, ReplayedCaptureGivesTheSameRecordsAndADifferentCommandIsReported) {
    Scratch scratch;
    Process sim;
    ASSERT_TRUE(hosttest::startSim(
        sim, scratch.path("sim.pty"), scratch.path("sim.log"),
        {"--receivers", "1,2", "--reset-time", "0.5", "--scene", "1=circle:x=12,y=-10,radius=4,period=2", "--scene",
         "2=walk:x=20,y=-12,speed=8", "--press", "2=0.7,0.2"}));
    scratch.write("first.conf", config(scratch.path("sim.pty"), "1 1 0 0"));
    // The line at a speed of its own, as another program may have left it.
    termios before = lineOf(scratch.path("sim.pty"));
    ::cfsetispeed(&before, B19200);
    ::cfsetospeed(&before, B19200);
    before = lineOf(scratch.path("sim.pty"), &before);
    ASSERT_EQ(runHost(scratch, {"--config", scratch.path("first.conf"), "--capture", scratch.path("run.cap"), "--jsonl",
                                scratch.path("first.jsonl"), "--count", "300"}),
              0)
        << hosttest::readFile(scratch.path("host.out"));
    // The real line is given back as the relay found it.
    const termios after = lineOf(scratch.path("sim.pty"));
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    // Every command, the closing stop command too, went out at the speed the module set for it.
    fastrakcapture::Capture capture;
    uint64_t offset = 0;
    std::string problem;
    ASSERT_TRUE(fastrakcapture::parseCapture(hosttest::readFile(scratch.path("run.cap")), capture, offset, problem))
        << problem;
    fastrakcapture::LineSettings line = capture.streams.at(0).settings;
    std::string sentAt115200;
    for (const fastrakcapture::Chunk& chunk : capture.chunks) {
        if (chunk.kind == fastrakcapture::ChunkKind::Settings) fastrakcapture::readSettings(chunk.payload, line);
        if (chunk.kind == fastrakcapture::ChunkKind::ToTracker) {
            EXPECT_EQ(line.baud, 115200u) << chunk.payload;
            if (line.baud == 115200u) sentAt115200 += chunk.payload;
        }
    }
    ASSERT_FALSE(sentAt115200.empty());
    EXPECT_EQ(sentAt115200.back(), 'c');
    sim.signal(SIGTERM);
    ASSERT_EQ(sim.wait(10s), 0);
    const auto first = recordsOf(scratch.path("first.jsonl"));
    ASSERT_EQ(first.size(), 300u);  // --count is exact, over several outputs and threads

    std::string err;
    EXPECT_EQ(replayTo(scratch, scratch.path("run.cap"), "1 1 0 0", first.size(), err), 0) << err;
    EXPECT_NE(err.find("bytes (all)"), std::string::npos) << err;
    const auto second = recordsOf(scratch.path("second.jsonl"));
    ASSERT_EQ(second.size(), first.size());
    for (size_t i = 0; i < first.size(); ++i) ASSERT_EQ(second[i], first[i]) << "record " << i;

    // One station fewer: the module programs the tracker differently, and the replay says where.
    EXPECT_EQ(replayTo(scratch, scratch.path("run.cap"), "1 0 0 0", 20, err), 3) << err;
    EXPECT_NE(err.find("replay: command byte "), std::string::npos) << err;
    EXPECT_NE(err.find("differs: the capture has"), std::string::npos) << err;
}

// Killed mid-run, the host leaves a capture without its end chunk; the replay plays it up to the cut
// and says where that is, and a second host records the first run's records of that span.
TEST(HostCapture, CaptureOfAKilledHostReplaysUpToItsCut) {
    Scratch scratch;
    Process sim;
    ASSERT_TRUE(hosttest::startSim(
        sim, scratch.path("sim.pty"), scratch.path("sim.log"),
        {"--receivers", "1", "--reset-time", "0.5", "--scene", "1=circle:x=12,y=-10,radius=4,period=2"}));
    scratch.write("first.conf", config(scratch.path("sim.pty"), "1 0 0 0"));
    Process host;
    ASSERT_TRUE(host.start({FASTRAK_HOST_PROGRAM, "--plain", "--config", scratch.path("first.conf"), "--capture",
                            scratch.path("run.cap"), "--jsonl", scratch.path("first.jsonl")},
                           scratch.path("host.out"), scratch.path("host.err")));
    ASSERT_TRUE(hosttest::eventually(
        [&] { return hosttest::lines(hosttest::readFile(scratch.path("first.jsonl"))).size() > 250; }, 30s));
    host.signal(SIGKILL);
    host.wait(5s);
    sim.signal(SIGTERM);
    ASSERT_EQ(sim.wait(10s), 0);
    const auto first = recordsOf(scratch.path("first.jsonl"));
    // The capture is written at least every 200 ms, as the records file is: it holds all but the
    // last moments of the records, and the relay sees each byte before the module does.
    const size_t span = first.size() - 60;

    std::string err;
    // The killed host never sent its stop command; the second one's is the only difference.
    EXPECT_EQ(replayTo(scratch, scratch.path("run.cap"), "1 0 0 0", span, err), 3) << err;
    EXPECT_NE(err.find("without its end chunk (truncated: the capture was not closed); played up to here"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("(0x63 'c') is more than the capture's"), std::string::npos) << err;
    const auto second = recordsOf(scratch.path("second.jsonl"));
    ASSERT_EQ(second.size(), span);
    for (size_t i = 0; i < span; ++i) ASSERT_EQ(second[i], first[i]) << "record " << i;
}

TEST(HostCapture, DamagedOrTruncatedCaptureIsRefusedWithItsOffset) {
    Scratch scratch;
    const std::string intact = hosttest::readFile(FASTRAK_TEST_DATA "/capture-two-stations.cap");
    fastrakcapture::Capture capture;
    uint64_t offset = 0;
    std::string error;
    ASSERT_TRUE(fastrakcapture::parseCapture(intact, capture, offset, error)) << error;
    // A chunk of tracker bytes well inside the file, and where the one after it starts.
    size_t pick = 0;
    while (capture.chunks[pick].kind != fastrakcapture::ChunkKind::FromTracker || pick < 20) ++pick;
    const uint64_t at = capture.chunks[pick].offset, next = capture.chunks[pick + 1].offset;

    std::string flipped = intact, badKind = intact;
    flipped[next - 6] ^= 0x20;  // inside the payload
    badKind[at] = 'Q';
    size_t lengthAt = at + 2;  // past the kind, the stream and the time's varint
    while (static_cast<unsigned char>(intact[lengthAt]) & 0x80) ++lengthAt;
    std::string overLength = intact;
    overLength.replace(lengthAt + 1, 1, "\xff\xff\xff\x7f");  // a one-byte length made 2^28 - 1
    // A cut (what a crash leaves) plays up to it; damage before the end refuses the file.
    const struct {
        const char* what;
        std::string bytes;
        uint64_t offset;
        const char* message;
        bool plays;
    } cases[] = {
        {"cut inside a chunk", intact.substr(0, next - 3), at, "truncated); played up to here", true},
        {"cut between chunks", intact.substr(0, next), next,
         "without its end chunk (truncated: the capture was not closed); played up to here", true},
        {"zeros after a cut", intact.substr(0, next) + std::string(4096, '\0'), next, "zero bytes to the end", true},
        {"a changed byte", flipped, at, "checksum mismatch", false},
        {"an unknown chunk kind", badKind, at, "unknown chunk kind", false},
        {"a length past the file", overLength, at, "bad chunk length", false},
        {"no magic", "PK\x03\x04" + intact.substr(4), 0, "not a capture file", false},
        {"a later version", "fastrak-capture 2\n" + intact.substr(18), 16, "unsupported format version", false},
        {"data after the end", intact + "x", intact.size(), "data after the end chunk", false},
        {"cut inside the start chunk", intact.substr(0, 22), 18, "truncated", false},
    };
    for (const auto& c : cases) {
        scratch.write("bad.cap", c.bytes);
        Process replay;
        ASSERT_TRUE(replay.start({FASTRAK_SIM_PROGRAM, "--replay", scratch.path("bad.cap")}, scratch.path("out"),
                                 scratch.path("err")));
        if (c.plays) {
            EXPECT_TRUE(hosttest::eventually([&] { return !hosttest::readFile(scratch.path("out")).empty(); }, 5s))
                << c.what;
            replay.signal(SIGTERM);
            replay.wait(10s);
        } else {
            EXPECT_EQ(replay.wait(10s), 2) << c.what;
            EXPECT_TRUE(hosttest::readFile(scratch.path("out")).empty()) << c.what << ": a terminal was opened";
        }
        const std::string err = hosttest::readFile(scratch.path("err"));
        EXPECT_NE(err.find("offset " + std::to_string(c.offset) + ": "), std::string::npos) << c.what << ": " << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.what << ": " << err;
    }
}

}  // namespace

namespace {

// The line lost mid-run: the relay hands the module the hang-up, has the line again once the
// emulator is back, and the capture marks the loss; its replay hangs up at the same place.
TEST(HostCapture, LostLineIsPassedOnRecoveredAndReplayedAsAHangUp) {
    Scratch scratch;
    Process sim, host;
    const std::vector<std::string> simArgs = {"--receivers", "1",       "--reset-time",
                                              "0.5",         "--scene", "1=circle:x=12,y=-10,radius=4,period=2"};
    ASSERT_TRUE(hosttest::startSim(sim, scratch.path("t.pty"), scratch.path("sim1.log"), simArgs));
    scratch.write("t.conf", "[device t]\nport " + scratch.path("t.pty") + "\nsensors 1 0 0 0\n");
    ASSERT_TRUE(host.start({FASTRAK_HOST_PROGRAM, "--plain", "--config", scratch.path("t.conf"), "--capture",
                            scratch.path("t.cap"), "--jsonl", scratch.path("t.jsonl")},
                           scratch.path("host.out"), scratch.path("host.err")));
    auto said = [&](const char* text) {
        return hosttest::readFile(scratch.path("host.out")).find(text) != std::string::npos;
    };
    ASSERT_TRUE(hosttest::eventually(
        [&] { return hosttest::lines(hosttest::readFile(scratch.path("t.jsonl"))).size() > 50; }, 30s));
    sim.signal(SIGKILL);
    sim.wait(5s);
    ASSERT_TRUE(hosttest::eventually([&] { return said("t: reading failed"); }, 10s))
        << hosttest::readFile(scratch.path("host.out"));
    ASSERT_TRUE(hosttest::startSim(sim, scratch.path("t.pty"), scratch.path("sim2.log"), simArgs));
    EXPECT_TRUE(hosttest::eventually([&] { return said("t: the device is back"); }, 40s))
        << hosttest::readFile(scratch.path("host.out"));
    host.signal(SIGTERM);
    ASSERT_EQ(host.wait(15s), 0);
    sim.signal(SIGTERM);
    sim.wait(10s);

    fastrakcapture::Capture capture;
    uint64_t offset = 0;
    std::string error;
    ASSERT_TRUE(fastrakcapture::parseCapture(hosttest::readFile(scratch.path("t.cap")), capture, offset, error))
        << error;
    size_t lost = 0, sentAfter = 0;
    for (const auto& chunk : capture.chunks) {
        lost += chunk.kind == fastrakcapture::ChunkKind::LineLost;
        sentAfter += lost > 0 && chunk.kind == fastrakcapture::ChunkKind::ToTracker;
    }
    EXPECT_EQ(lost, 1u);
    EXPECT_GT(sentAfter, 0u) << "the set-up on the line that came back is in the capture";

    Process replay;
    ASSERT_TRUE(replay.start({FASTRAK_SIM_PROGRAM, "--replay", scratch.path("t.cap"), "--link", scratch.path("r.pty")},
                             scratch.path("replay.out"), scratch.path("replay.err")));
    ASSERT_TRUE(hosttest::eventually([&] { return !hosttest::readFile(scratch.path("replay.out")).empty(); }, 5s));
    scratch.write("r.conf", "[device t]\nport " + scratch.path("r.pty") + "\nsensors 1 0 0 0\n");
    ASSERT_TRUE(host.start({FASTRAK_HOST_PROGRAM, "--plain", "--config", scratch.path("r.conf")},
                           scratch.path("host.out"), scratch.path("host.err")));
    EXPECT_EQ(replay.wait(60s), 0);
    EXPECT_NE(hosttest::readFile(scratch.path("replay.err")).find("the captured line was lost here; hung up"),
              std::string::npos);
    EXPECT_TRUE(hosttest::eventually([&] { return said("t: reading failed"); }, 10s))
        << hosttest::readFile(scratch.path("host.out"));
    host.signal(SIGTERM);
    // The line is not back when the run ends: the run failed.
    EXPECT_EQ(host.wait(15s), 1);
    EXPECT_TRUE(said("not delivering: t")) << hosttest::readFile(scratch.path("host.out"));
}

}  // namespace
