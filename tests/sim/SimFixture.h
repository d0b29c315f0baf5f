// An emulator started in-process with quick settings, and the driver's end of its pty.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "FastrakSim.h"
#include "PtyDriver.h"

namespace simtest {

using namespace std::chrono_literals;
using fastraksim::FastrakSim;
using fastraksim::LogEntry;

// Short reset, no pacing, no latency, one receiver on station 1.
inline fastraksim::SimOptions quickOptions() {
    fastraksim::SimOptions o;
    o.resetSeconds = 0.05;
    o.paced = false;
    o.latencySeconds = 0;
    o.receivers = {true, false, false, false};
    return o;
}

inline fastraksim::MotionPtr stillAt(double x, double y, double z, double az, double el, double roll) {
    fastraksim::SceneParams p;
    p.centre = fastraksim::Pose{x, y, z, az, el, roll};
    return fastraksim::makeScene("still", p);
}

// Seconds of motion time now.
inline double motionNow(const FastrakSim& sim) {
    return std::chrono::duration<double>(FastrakSim::Clock::now() - sim.startTime()).count();
}

class SimFixture : public ::testing::Test {
protected:
    void startSim(const fastraksim::SimOptions& options = quickOptions(), speed_t speed = B115200) {
        sim = std::make_unique<FastrakSim>(options);
        std::string error;
        ASSERT_TRUE(sim->start(error)) << error;
        driver = std::make_unique<PtyDriver>(sim->slavePath(), speed);
        ASSERT_TRUE(driver->isOpen());
    }

    // Sends P and returns the next `bytes` bytes.
    std::string point(size_t bytes) {
        driver->send("P");
        return driver->read(bytes);
    }

    // Sends a command that is answered by nothing, and waits until the emulator has run it.
    void command(const std::string& text, uint64_t pieces = 1) {
        const uint64_t before = sim->stats().commands;
        ASSERT_TRUE(driver->send(text));
        ASSERT_TRUE(sim->waitForCommands(before + pieces, 5000ms)) << "not handled: " << text;
    }

    // Stops continuous output and returns what the driver had not read yet, once all has arrived.
    std::string stopAndCollect() {
        command("c");
        std::string got;
        for (int round = 0; round < 20; ++round) {
            const uint64_t sent = sim->stats().bytesSent;
            if (driver->totalRead() < sent) got += driver->read(sent - driver->totalRead());
            if (driver->totalRead() >= sent && sim->stats().bytesSent == sent) break;
        }
        return got;
    }

    std::unique_ptr<FastrakSim> sim;
    std::unique_ptr<PtyDriver> driver;
};

}  // namespace simtest
