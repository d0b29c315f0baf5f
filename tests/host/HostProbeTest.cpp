// fastrak-host --probe against emulators at several speeds, quiet or left in continuous output, a
// pseudo-terminal where nobody answers, a missing port, a port a running host holds, and a probe
// stopped by a signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
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

TEST(HostProbe, FindsTheTrackerAtItsSpeedNamesItsStationsAndLeavesTheLineAsItWas) {
    const struct {
        const char* baud;
        const char* receivers;
        const char* output;  // what an earlier driver left it doing: "" quiet, "fC" binary, "FC" ASCII
        const char* how;
        const char* stations;
        const char* sensors;
    } cases[] = {{"9600", "3,4", "", "status reply", "stations 3, 4", "0 0 1 1"},
                 {"115200", "3,4", "fC", "continuous binary output", "stations 3, 4", "0 0 1 1"},
                 {"38400", "2", "FC", "continuous ASCII output", "station 2", "0 1 0 0"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.baud) + " " + c.output);
        Scratch scratch;
        Process sim;
        const std::string link = scratch.path("tracker");
        ASSERT_TRUE(
            hosttest::startSim(sim, link, scratch.path("sim.jsonl"), {"--baud", c.baud, "--receivers", c.receivers}));
        const speed_t before = speedOf(link);
        const size_t ours = std::strlen(c.output);
        if (ours > 0) {
            const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::write(fd, c.output, ours), static_cast<ssize_t>(ours));
            ::usleep(200 * 1000);
            ::close(fd);
        }
        Process host;
        ASSERT_TRUE(host.start({kHost, "--probe", link}, scratch.path("out"), scratch.path("err")));
        ASSERT_EQ(host.wait(60s), 0) << hosttest::readFile(scratch.path("out"))
                                     << hosttest::readFile(scratch.path("err"));
        const std::string out = hosttest::readFile(scratch.path("out"));
        EXPECT_NE(
            out.find(link + ": a tracker at " + c.baud + " baud (" + c.how + "); records from " + c.stations + ";"),
            std::string::npos)
            << out;
        EXPECT_NE(out.find("    port " + link + "\n    baud " + c.baud + "\n    sensors " + c.sensors + "\n"),
                  std::string::npos)
            << out;
        EXPECT_EQ(speedOf(link), before);
        // Only a quiet tracker was asked anything: status requests, then one single-record request.
        sim.signal(SIGTERM);
        sim.wait(10s);
        std::string asked;
        for (const std::string& line : hosttest::lines(hosttest::readFile(scratch.path("sim.jsonl")))) {
            const size_t text = line.find("\"text\":\"");
            if (line.find("\"type\":\"command\"") != std::string::npos && text != std::string::npos)
                asked += line[text + 8];
        }
        ASSERT_EQ(asked.compare(0, ours, c.output), 0) << asked;
        asked.erase(0, ours);
        if (ours > 0)
            EXPECT_EQ(asked, "");
        else
            EXPECT_TRUE(asked.size() >= 2 && asked.find_first_not_of('S') == asked.size() - 1 && asked.back() == 'P')
                << asked;
    }
}

// A port where nobody answers is named as such; one that does not exist gets what to check.
TEST(HostProbe, APortWithoutATrackerIsReportedAndTheStatusIsOne) {
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    Scratch scratch;
    const struct {
        std::string port;
        std::vector<std::string> said;
        bool advice;
    } cases[] = {
        {name, {std::string(name) + ": no tracker answered at 115200, 38400, 9600"}, false},
        {scratch.path("ttyUSB7"),
         {scratch.path("ttyUSB7") + ": cannot open it: No such file or directory", "no such port; check:\n",
          "  - the cable", "  - the USB-serial adapter's driver", "group dialout"},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        Process host;
        ASSERT_TRUE(host.start({kHost, "--probe", c.port}, scratch.path("out"), scratch.path("err")));
        EXPECT_EQ(host.wait(60s), 1);
        const std::string out = hosttest::readFile(scratch.path("out"));
        for (const std::string& said : c.said) EXPECT_NE(out.find(said), std::string::npos) << said << "\n" << out;
        EXPECT_EQ(out.find("dialout") != std::string::npos, c.advice) << out;
        EXPECT_NE(out.find("no tracker found"), std::string::npos) << out;
    }
    ::close(slave);
    ::close(master);
}

// A tracker whose records carry a built-in-test error letter where the blank goes ("01E") is found
// all the same, its station named.
TEST(HostProbe, RecordsWithAStatusLetterAreATracker) {
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    std::string record = "01E";
    for (float value : {10.0f, -5.0f, 3.0f, 20.0f, 0.0f, -45.0f})
        record.append(reinterpret_cast<const char*>(&value), sizeof value);
    record += "\r\n";
    std::atomic<bool> done{false};
    std::thread tracker([&] {
        while (!done) {
            if (::write(master, record.data(), record.size()) < 0) break;
            ::usleep(8000);
            tcflush(master, TCIFLUSH);  // what the probe asks goes unanswered
        }
    });
    Scratch scratch;
    Process host;
    ASSERT_TRUE(host.start({kHost, "--probe", name}, scratch.path("out"), scratch.path("err")));
    const int status = host.wait(60s);
    done = true;
    tracker.join();
    const std::string out = hosttest::readFile(scratch.path("out"));
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find(std::string(name) + ": a tracker at "), std::string::npos) << out;
    EXPECT_NE(out.find("(continuous binary output); records from station 1;"), std::string::npos) << out;
    EXPECT_NE(out.find("    sensors 1 0 0 0\n"), std::string::npos) << out;
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
        const std::string holder = "fastrak-host (process " + std::to_string(host.pid()) + ")";
        const std::string out = hosttest::readFile(scratch.path("out"));
        EXPECT_NE(out.find(link + ": in use by another program ("), std::string::npos) << out;
        EXPECT_NE(out.find(holder), std::string::npos) << out;
        // A second host on the port: its set-up failure names the holder and the probe.
        Process second;
        ASSERT_TRUE(second.start({kHost, "--plain", "--config", scratch.path("one.conf")}, scratch.path("second.out"),
                                 scratch.path("second.err")));
        EXPECT_EQ(second.wait(60s), 1);
        const std::string failed = hosttest::readFile(scratch.path("second.out"));
        EXPECT_NE(failed.find("t: set-up failed; its port " + link + " is in use by another program ("),
                  std::string::npos)
            << failed;
        EXPECT_NE(failed.find(holder), std::string::npos) << failed;
        EXPECT_NE(failed.find("(fastrak-host --probe lists the serial ports and speeds)"), std::string::npos) << failed;
        host.signal(SIGTERM);
        EXPECT_EQ(host.wait(15s), 0) << hosttest::readFile(scratch.path("host.out"));
        sim.signal(SIGTERM);
        sim.wait(10s);
        EXPECT_EQ(hosttest::readFile(scratch.path("sim.jsonl")).find("\"text\":\"S\""), std::string::npos);
    }
}

}  // namespace
