// CRS232H over a real serial line on every platform: bytes both ways and the read timeout.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "SerialLineSetup.h"
#include "serial/CRS232H.h"
#include "support/CaptureStdout.h"
#include "support/PtyPair.h"

using testsupport::CaptureStdout;
using testsupport::PtyPair;

namespace {

class SerialLine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << pty.error();
        owner.setDefaults();
        owner.setName("Owner");
        owner.showDate = owner.showTime = owner.showThreadId = 0;
    }

    PtyPair pty;
    Logger owner;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST_F(SerialLine, ReadsDeliverBytesAndASilentLineTimesOutAfterTheReadTimeout) {
    CRS232H port(&owner);
    ASSERT_TRUE(port.openPort(pty.slavePath().c_str()));
    configureLikeTheDevice(port, 38400);
    ASSERT_TRUE(pty.write(std::string("0\r\n\x13\x11", 5)));  // CR, LF and XON/XOFF codes pass untouched
    std::string received;
    for (int i = 0; i < 5; ++i) {
        char one = 0;
        ASSERT_EQ(port.readPort(&one, 1), 1);
        received += one;
    }
    EXPECT_EQ(received, std::string("0\r\n\x13\x11", 5));

    char one = 0;
    const auto start = std::chrono::steady_clock::now();
    CaptureStdout capture;
    EXPECT_EQ(port.readPort(&one, 1), 0);
    EXPECT_EQ(capture.finish(), "");      // a timeout is not an error
    EXPECT_GT(secondsSince(start), 0.5);  // it waited for the timeout, not returned at once
}

TEST_F(SerialLine, WritesArriveWholeAtTheOtherEnd) {
    CRS232H port(&owner);
    ASSERT_TRUE(port.openPort(pty.slavePath().c_str()));
    configureLikeTheDevice(port, 115200);
    std::string bytes;
    for (int i = 0; i < 600; ++i) bytes += static_cast<char>(i % 256);  // every byte value, twice over
    EXPECT_EQ(port.writePort(bytes.data(), static_cast<uint32_t>(bytes.size())), bytes.size());
    EXPECT_EQ(pty.read(bytes.size(), 5000), bytes);
    EXPECT_TRUE(port.closePort());
}
