// fastrak-host --probe against emulators whose switches say 9600 and 115200 baud, one of them left in
// continuous output, a pseudo-terminal where nobody answers, a port a running host holds, and a
// probe stopped by a signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "HostProcess.h"

namespace {

using hosttest::Process;
using hosttest::Scratch;
using namespace std::chrono_literals;

const std::string kHost = FASTRAK_HOST_PROGRAM;
const std::string kSim = FASTRAK_SIM_PROGRAM;

speed_t speedOf(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    const bool read = fd >= 0 && ::tcgetattr(fd, &tio) == 0;
    if (fd >= 0) ::close(fd);
    return read ? ::cfgetospeed(&tio) : B0;
}

TEST(HostProbe, FindsTheTrackerAtItsSpeedAndLeavesTheLineAsItWas) {
    const struct {
        const char* baud;
        bool continuous;  // left streaming binary records by an earlier driver
        const char* how;
    } cases[] = {{"9600", false, "status reply"}, {"115200", true, "continuous binary output"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.baud);
        Scratch scratch;
        Process sim;
        const std::string link = scratch.path("tracker");
        ASSERT_TRUE(hosttest::startSim(sim, link, scratch.path("sim.jsonl"), {"--baud", c.baud, "--receivers", "1"}));
        const speed_t before = speedOf(link);
        if (c.continuous) {
            const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::write(fd, "fC", 2), 2);
            ::usleep(200 * 1000);
            ::close(fd);
        }
        Process host;
        ASSERT_TRUE(host.start({kHost, "--probe", link}, scratch.path("out"), scratch.path("err")));
        ASSERT_EQ(host.wait(60s), 0) << hosttest::readFile(scratch.path("out"))
                                     << hosttest::readFile(scratch.path("err"));
        const std::string out = hosttest::readFile(scratch.path("out"));
        EXPECT_NE(out.find(link + ": a tracker at " + c.baud + " baud (" + c.how + ")"), std::string::npos) << out;
        EXPECT_NE(out.find("    port " + link + "\n    baud " + c.baud + "\n"), std::string::npos) << out;
        EXPECT_EQ(speedOf(link), before);
        // Nothing but the status request reached the tracker, and only when it was quiet.
        sim.signal(SIGTERM);
        sim.wait(10s);
        size_t requests = 0, ours = c.continuous ? 2 : 0;  // the "f" and "C" sent above
        for (const std::string& line : hosttest::lines(hosttest::readFile(scratch.path("sim.jsonl")))) {
            if (line.find("\"type\":\"command\"") == std::string::npos) continue;
            if (ours > 0) {
                --ours;
                continue;
            }
            EXPECT_NE(line.find("\"text\":\"S\""), std::string::npos) << line;
            ++requests;
        }
        if (c.continuous)
            EXPECT_EQ(requests, 0u);
        else
            EXPECT_GT(requests, 0u);
    }
}

TEST(HostProbe, APortWhereNobodyAnswersIsReportedAndTheStatusIsOne) {
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    Scratch scratch;
    Process host;
    ASSERT_TRUE(host.start({kHost, "--probe", name}, scratch.path("out"), scratch.path("err")));
    EXPECT_EQ(host.wait(60s), 1);
    const std::string out = hosttest::readFile(scratch.path("out"));
    EXPECT_NE(out.find(std::string(name) + ": no tracker answered at 115200, 38400, 9600"), std::string::npos) << out;
    EXPECT_NE(out.find("no tracker found"), std::string::npos) << out;
    ::close(slave);
    ::close(master);
}

// Stopped by a signal mid-probe, the probe puts the port back before the signal ends it.
TEST(HostProbe, ASignalMidProbeLeavesThePortAsItWasFound) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        int master = -1, slave = -1;
        char name[128];
        ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
        termios before{}, now{};
        ASSERT_EQ(::tcgetattr(slave, &before), 0);
        Scratch scratch;
        Process host;
        ASSERT_TRUE(host.start({kHost, "--probe", name}, scratch.path("out"), scratch.path("err")));
        // Mid-probe: the port is raw, at one of the tracker's speeds.
        EXPECT_TRUE(
            hosttest::eventually([&] { return ::tcgetattr(slave, &now) == 0 && (now.c_lflag & ICANON) == 0; }, 10s));
        host.signal(signal);
        EXPECT_EQ(host.wait(10s), 128 + signal);
        ASSERT_EQ(::tcgetattr(slave, &now), 0);
        EXPECT_EQ(now.c_iflag, before.c_iflag);
        EXPECT_EQ(now.c_oflag, before.c_oflag);
        EXPECT_EQ(now.c_cflag, before.c_cflag);
        EXPECT_EQ(now.c_lflag, before.c_lflag);
        EXPECT_EQ(::cfgetospeed(&now), ::cfgetospeed(&before));
        ::close(slave);
        ::close(master);
    }
}

// A port a running host holds, through its device or its capture relay, is named as in use and
// left alone: also by root, whom the exclusive mode lets in.
TEST(HostProbe, APortARunningHostHoldsIsInUseAndLeftAlone) {
    for (bool capture : {false, true}) {
        SCOPED_TRACE(capture ? "capture relay" : "device");
        Scratch scratch;
        Process sim;
        const std::string link = scratch.path("tracker");
        ASSERT_TRUE(hosttest::startSim(sim, link, scratch.path("sim.jsonl"),
                                       {"--receivers", "1", "--scene", "1=walk:y=-12,speed=5"}));
        scratch.write("one.conf", "[device t]\nport " + link + "\nsensors 1 0 0 0\n");
        std::vector<std::string> args = {
            kHost, "--plain", "--config", scratch.path("one.conf"), "--jsonl", scratch.path("t.jsonl")};
        if (capture) args.insert(args.end(), {"--capture", scratch.path("t.cap")});
        Process host;
        ASSERT_TRUE(host.start(args, scratch.path("host.out"), scratch.path("host.err")));
        ASSERT_TRUE(hosttest::eventually(
            [&] { return hosttest::lines(hosttest::readFile(scratch.path("t.jsonl"))).size() > 10; }, 30s));
        Process probe;
        ASSERT_TRUE(probe.start({kHost, "--probe", link}, scratch.path("out"), scratch.path("err")));
        EXPECT_EQ(probe.wait(60s), 1);
        EXPECT_NE(hosttest::readFile(scratch.path("out")).find(link + ": in use by another program\n"),
                  std::string::npos)
            << hosttest::readFile(scratch.path("out"));
        host.signal(SIGTERM);
        EXPECT_EQ(host.wait(15s), 0) << hosttest::readFile(scratch.path("host.out"));
        sim.signal(SIGTERM);
        sim.wait(10s);
        EXPECT_EQ(hosttest::readFile(scratch.path("sim.jsonl")).find("\"text\":\"S\""), std::string::npos);
    }
}

}  // namespace
