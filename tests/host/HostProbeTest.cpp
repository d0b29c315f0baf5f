// fastrak-host --probe against emulators whose switches say 9600 and 115200 baud, one of them left in
// continuous output, and a pseudo-terminal where nobody answers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

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

}  // namespace
