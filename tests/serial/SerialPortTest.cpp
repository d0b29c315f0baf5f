// CRS232H without a device: its logger, the name limit, a missing port, baud rates and bad pointers.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "platform/SystemMessage.h"
#include "serial/CRS232H.h"
#include "support/CaptureStdout.h"

using testsupport::CaptureStdout;
using testsupport::splitLines;

namespace {

// Lines without date, time or thread id, so they compare exactly.
Logger ownerLogger(const char* name, int32_t debugLevel) {
    Logger logger;
    logger.setDefaults();
    logger.setName(name);
    logger.showDate = logger.showTime = logger.showThreadId = 0;
    logger.debugLevel = debugLevel;
    return logger;
}

bool sameAttribute(const PortAttribute& a, const PortAttribute& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST(SerialPort, FreshLoggerIsNamedAfterThePortWithTheFullPrefix) {
    CaptureStdout capture;
    {
        CRS232H port;
        EXPECT_FALSE(port.setBaudRate(600));
    }
    const auto lines = splitLines(capture.finish());
    ASSERT_EQ(lines.size(), 1u);  // debugLevel 0: no DEBUG lines at all
    const std::regex shape(
        R"(^[A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d CRS232H\[\d+\]: ERROR: CRS232H: Could not set the baud rate 600$)");
    EXPECT_TRUE(std::regex_match(lines[0], shape)) << lines[0];
}

TEST(SerialPort, CopiedLoggerKeepsTheOwnersNameAndTakesObjectLevelThree) {
    // Host level 3 below the threshold: only objects whose own level is 3 trace.
    Logger owner = ownerLogger("Owner", 3);
    owner.debugThreshold = 5;
    owner.objectDebugLevel = 1;
    CaptureStdout capture;
    { CRS232H port(&owner); }
    // Level 1 below the threshold: the port (level 3) stays silent.
    owner.debugLevel = 1;
    { CRS232H port(&owner); }
    const auto lines = splitLines(capture.finish());
    const std::vector<std::string> expected = {
        "Owner: DEBUG: CRS232H: \"constructor\" called.",
        "Owner: DEBUG: CRS232H: \"destructor\" called.",
    };
    EXPECT_EQ(lines, expected);
}

TEST(SerialPort, NameLimitIs255Characters) {
    Logger owner = ownerLogger("Owner", 0);
    CRS232H port(&owner);
    const std::string tooLong(256, 'p');
    const std::string longest(255, 'p');
    CaptureStdout capture;
    EXPECT_FALSE(port.openPort(tooLong.c_str()));
    EXPECT_FALSE(port.closePort());                // the refused name left the port closed
    EXPECT_FALSE(port.openPort(longest.c_str()));  // accepted, but there is no such device
    const auto lines = splitLines(capture.finish());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Owner: ERROR: CRS232H: Port name is too long. 255 256");
    // The whole 255-character name reached the open.
    EXPECT_EQ(lines[1].rfind("Owner: ERROR: CRS232H: Opening port " + longest + ": ", 0), 0u) << lines[1];
}

TEST(SerialPort, MissingDeviceIsReportedWithTheSystemTextAndLeavesNothingToClose) {
    Logger owner = ownerLogger("Owner", 0);
    const std::string name = "/nonexistent/fastrak-port";
    CaptureStdout capture;
    {
        CRS232H port(&owner);
        EXPECT_FALSE(port.openPort(name.c_str()));
        EXPECT_FALSE(port.closePort());
    }  // the destructor finds nothing to close either
    const auto lines = splitLines(capture.finish());
    ASSERT_EQ(lines.size(), 1u);
    const std::string prefix = "Owner: ERROR: CRS232H: Opening port " + name + ": ";
    ASSERT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
#if !defined(_WIN32)
    EXPECT_EQ(lines[0], prefix + platform::systemMessage(ERROR_FILE_NOT_FOUND));
#else
    EXPECT_GT(lines[0].size(), prefix.size());
#endif
}

TEST(SerialPort, OnlyTheListedBaudRatesAreAcceptedAndOnlyIntoThePendingCopy) {
    Logger owner = ownerLogger("Owner", 0);
    CRS232H port(&owner);
    PortAttribute pending;
    for (const int32_t rate : {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}) {
        EXPECT_TRUE(port.setBaudRate(rate)) << rate;
        ASSERT_TRUE(port.fetchAttribute(&pending));
        EXPECT_EQ(pending.dcb.BaudRate, static_cast<DWORD>(rate));
    }
    CaptureStdout capture;
    for (const int32_t rate : {600, 0, -9600, 230400, 38401}) EXPECT_FALSE(port.setBaudRate(rate)) << rate;
    const auto lines = splitLines(capture.finish());
    const std::vector<std::string> expected = {
        "Owner: ERROR: CRS232H: Could not set the baud rate 600",
        "Owner: ERROR: CRS232H: Could not set the baud rate 0",
        "Owner: ERROR: CRS232H: Could not set the baud rate -9600",
        "Owner: ERROR: CRS232H: Could not set the baud rate 230400",
        "Owner: ERROR: CRS232H: Could not set the baud rate 38401",
    };
    EXPECT_EQ(lines, expected);
    ASSERT_TRUE(port.fetchAttribute(&pending));
    EXPECT_EQ(pending.dcb.BaudRate, 115200u);  // refused rates changed nothing
}

TEST(SerialPort, NullPointersAreRefusedSilentlyAndPendingCopiesRoundTrip) {
    Logger owner = ownerLogger("Owner", 0);
    CRS232H port(&owner);
    CaptureStdout capture;
    EXPECT_FALSE(port.getAttribute(nullptr));
    EXPECT_FALSE(port.storeAttribute(nullptr));
    EXPECT_FALSE(port.fetchAttribute(nullptr));
    EXPECT_EQ(capture.finish(), "");

    PortAttribute value;
    std::memset(&value, 0, sizeof value);
    value.dcb.BaudRate = 4800;
    value.timeouts.ReadTotalTimeoutConstant = 77;
    ASSERT_TRUE(port.storeAttribute(&value));
    PortAttribute back;
    ASSERT_TRUE(port.fetchAttribute(&back));
    EXPECT_TRUE(sameAttribute(value, back));
}

TEST(SerialPort, AttributesNeedAnOpenPortAndAFailedSetKeepsThePendingCopy) {
    Logger owner = ownerLogger("Owner", 0);
    CRS232H port(&owner);
    PortAttribute before;
    ASSERT_TRUE(port.fetchAttribute(&before));
    PortAttribute value = before;
    value.dcb.BaudRate = 9600;
    PortAttribute read;
    CaptureStdout capture;
    EXPECT_FALSE(port.getAttribute(&read));
    EXPECT_FALSE(port.setAttribute(&value));
    EXPECT_FALSE(port.setAttribute());
    const auto lines = splitLines(capture.finish());
    const std::string invalid = platform::systemMessage(ERROR_INVALID_HANDLE);
    const std::vector<std::string> expected = {
        "Owner: ERROR: CRS232H: Getting attribute(DCB) from : " + invalid,
        "Owner: ERROR: CRS232H: Setting attribute(DCB) to : " + invalid,
        "Owner: ERROR: CRS232H: Setting attribute(DCB) to : " + invalid,
    };
    EXPECT_EQ(lines, expected);
    PortAttribute after;
    ASSERT_TRUE(port.fetchAttribute(&after));
    EXPECT_TRUE(sameAttribute(before, after));
}

// Every setting a port may have been left with, on at once: makeRaw switches each off (or holds
// the line on) and leaves parity, speed and timeouts alone. Lines that cannot hold some of these
// (a pseudo-terminal, Wine's COM ports) are covered here, the device's real port in its own tests.
TEST(SerialPort, MakeRawLeavesNoHandshakeOn) {
    PortAttribute attribute;
    std::memset(&attribute, 0, sizeof attribute);
    DCB& dcb = attribute.dcb;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = 1;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = dcb.fAbortOnError = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    attribute.timeouts.ReadTotalTimeoutConstant = 77;
    CRS232H::makeRaw(attribute);
    const struct {
        const char* name;
        unsigned value;
        unsigned expected;
    } fields[] = {
        {"fBinary", dcb.fBinary, 1},
        {"ByteSize", dcb.ByteSize, 8},
        {"StopBits", dcb.StopBits, ONESTOPBIT},
        {"fOutX", dcb.fOutX, 0},
        {"fInX", dcb.fInX, 0},
        {"fErrorChar", dcb.fErrorChar, 0},
        {"fNull", dcb.fNull, 0},
        {"fOutxCtsFlow", dcb.fOutxCtsFlow, 0},
        {"fOutxDsrFlow", dcb.fOutxDsrFlow, 0},
        {"fDsrSensitivity", dcb.fDsrSensitivity, 0},
        {"fAbortOnError", dcb.fAbortOnError, 0},
        {"fRtsControl", dcb.fRtsControl, RTS_CONTROL_ENABLE},
        {"fDtrControl", dcb.fDtrControl, DTR_CONTROL_ENABLE},
        {"Parity", dcb.Parity, EVENPARITY},
        {"BaudRate", dcb.BaudRate, 9600},
        {"ReadTotalTimeoutConstant", attribute.timeouts.ReadTotalTimeoutConstant, 77},
    };
    for (const auto& field : fields) EXPECT_EQ(field.value, field.expected) << field.name;
}
