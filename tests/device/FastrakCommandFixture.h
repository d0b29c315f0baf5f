// The command-test fixture: a device with an open port on a real serial line and a recording sleeper.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "device/CFastrak.h"
#include "platform/Sleeper.h"
#include "serial/CRS232H.h"
#include "support/CaptureStdout.h"
#include "support/PtyPair.h"

// The device's test hook: attach a port and set station flags as set-up would.
struct FastrakTestAccess {
    static void attachPort(CFastrak& device, CRS232H* port) { device.serialPort = port; }
    static void setStylus(CFastrak& device, int station, bool on) { device.stylusStation[station - 1] = on; }
};

namespace commandtest {

inline std::mutex waitsLock;
inline std::vector<uint32_t> recordedWaits;

inline void recordWait(uint32_t milliseconds) {
    std::lock_guard<std::mutex> hold(waitsLock);
    recordedWaits.push_back(milliseconds);
}

inline const char kAlignmentBytes[] =
    "R1\rR2\rR3\rR4\r"
    "A1,0,0,0,0,0,-200,200,0,0\rA2,0,0,0,0,0,-200,200,0,0\r"
    "A3,0,0,0,0,0,-200,200,0,0\rA4,0,0,0,0,0,-200,200,0,0\r";

class FastrakCommands : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << pty.error();
        previousSleeper = platform::setSleeper(&recordWait);
        recordedWaits.clear();
        logger.setDefaults();
        logger.setName("Lab");
        logger.showDate = logger.showTime = logger.showThreadId = 0;
        logger.debugLevel = 1;
        device = new CFastrak(nullptr, &logger);
        port = new CRS232H(&logger);
        ASSERT_TRUE(port->openPort(pty.slavePath().c_str()));
        // As set-up leaves the line: binary, 8N1, no software flow control, 1 s read timeout.
        PortAttribute attribute;
        ASSERT_TRUE(port->fetchAttribute(&attribute));
        attribute.dcb.fBinary = 1;
        attribute.dcb.ByteSize = 8;
        attribute.dcb.StopBits = ONESTOPBIT;
        attribute.dcb.fOutX = 0;
        attribute.dcb.fInX = 0;
        attribute.timeouts = COMMTIMEOUTS{0, 0, 1000, 0, 0};
        ASSERT_TRUE(port->storeAttribute(&attribute));
        ASSERT_TRUE(port->setBaudRate(38400));
        ASSERT_TRUE(port->setAttribute());
        FastrakTestAccess::attachPort(*device, port);
    }

    void TearDown() override {
        delete device;
        platform::setSleeper(previousSleeper);
    }

    std::vector<uint32_t> waits() {
        std::lock_guard<std::mutex> hold(waitsLock);
        return recordedWaits;
    }

    // Exactly these bytes arrived at the tracker's end, and nothing after them.
    void expectSent(const std::string& expected) {
        EXPECT_EQ(pty.read(expected.size(), 5000), expected);
        EXPECT_EQ(pty.readAll(50), "");
    }

    std::string writeFailure() const {
        return "Lab: ERROR: CRS232H: Writing to " + pty.slavePath() + ": Input/output error";
    }

    testsupport::PtyPair pty;
    Logger logger;
    CFastrak* device = nullptr;
    CRS232H* port = nullptr;
    platform::SleepFunction previousSleeper = nullptr;
};

}  // namespace commandtest
