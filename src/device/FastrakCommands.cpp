// CFastrak's command protocol: the ASCII commands that put the tracker into continuous binary output.
#include <cstring>
#include <iostream>

#include "device/CFastrak.h"
#include "fastrak/Logger.h"
#include "platform/Sleeper.h"
#include "serial/CRS232H.h"

namespace {

const char kReset[] = "\x19";
const char kResetAlignment[] = "R1\rR2\rR3\rR4\r";
const char kAlignment[] =
    "A1,0,0,0,0,0,-200,200,0,0\rA2,0,0,0,0,0,-200,200,0,0\r"
    "A3,0,0,0,0,0,-200,200,0,0\rA4,0,0,0,0,0,-200,200,0,0\r";
const char kStylusButton[] = "e1,0\r";
const char kTrackerAndStylusList[] = "O1,2,4,16,1\r";
const char kTrackerList[] = "O1,2,4,1\r";
const char kStylusList[] = "O1,16,1\r";
const char kBinaryMode[] = "f";
const char kStartContinuous[] = "C";
const char kStopContinuous[] = "c";

// The tracker restarts after a reset; alignment and hemisphere need a moment to settle.
const uint32_t kResetWaitMs = 20000;
const uint32_t kSettleWaitMs = 1000;

// Station-numbered commands are stored for station 1; the digit after the command letter names
// the station.
const size_t kCommandCapacity = 16;

bool validStation(int32_t station) { return station >= 1 && station <= 4; }

// The whole command went out; no port counts as nothing sent.
bool send(CRS232H* port, const char* bytes, size_t length) {
    return port != nullptr && port->writePort(bytes, static_cast<uint32_t>(length)) == length;
}

// Sends a station-1 command with the station's digit in place; false when nothing can be sent.
bool sendForStation(CRS232H* port, const char* command, int32_t station) {
    if (command == nullptr || !validStation(station)) return false;
    char copy[kCommandCapacity] = {};
    size_t length = 0;
    while (length < kCommandCapacity - 1 && command[length] != '\0') ++length;
    if (length < 2) return false;
    std::memcpy(copy, command, length);
    copy[1] = static_cast<char>('0' + station);
    return send(port, copy, length);
}

// The lines of a single-letter command: before it, on a short write (error, then debug), after it.
struct CommandLines {
    const char* sending;
    const char* couldNot;
    const char* failed;
    const char* done;
};

bool sendOneLetter(const Logger& logger, CRS232H* port, const char (&command)[2], const CommandLines& lines) {
    logger.debug(lines.sending, true);
    if (!send(port, command, 1)) {
        logger.error(lines.couldNot, true);
        logger.debug(lines.failed, true);
        return false;
    }
    logger.debug(lines.done, true);
    return true;
}

}  // namespace

bool CFastrak::resetDevice() {
    logger->debug("CFastrak: Resetting.", true);
    if (!send(serialPort, kReset, sizeof kReset - 1)) {
        logger->error("CFastrak: Resetting failed.", true);
        return false;
    }
    platform::sleepMs(kResetWaitMs);
    logger->debug("CFastrak: Reset done.", true);
    return true;
}

bool CFastrak::setAlignment() {
    logger->debug("CFastrak: Setting alignment.", true);
    if (!send(serialPort, kResetAlignment, sizeof kResetAlignment - 1)) return false;
    if (!send(serialPort, kAlignment, sizeof kAlignment - 1)) {
        logger->error("CFastrak: Could not set alignment.", true);
        logger->debug("CFastrak: Setting alignment failed.", true);
        return false;
    }
    platform::sleepMs(kSettleWaitMs);
    logger->debug("CFastrak: Setting alignment done.", true);
    return true;
}

bool CFastrak::setHemisphere(int32_t station, const char* hemisphere) {
    logger->debug("CFastrak: Setting hemisphere.", true);
    if (!sendForStation(serialPort, hemisphere, station)) {
        logger->error("CFastrak: Could not set hemisphere.", true);
        logger->debug("CFastrak: Setting hemisphere failed.", true);
        return false;
    }
    platform::sleepMs(kSettleWaitMs);
    logger->debug("CFastrak: Setting hemisphere done.", true);
    return true;
}

bool CFastrak::setStylusButton(int32_t station) {
    logger->debug("CFastrak: Setting stylus button.", true);
    if (!validStation(station) || !stylusStation[station - 1]) return false;
    if (logger->isDebugOn()) {
        logger->debug("CFastrak: Setting stylus Button for station ", false);
        std::cout << station << "." << std::endl;
    }
    if (!sendForStation(serialPort, kStylusButton, station)) {
        logger->error("CFastrak: Could not set stylus button.", true);
        logger->debug("CFastrak: Setting stylus button failed.", true);
        return false;
    }
    return true;
}

bool CFastrak::setDataFormat(int32_t station, bool tracker, bool stylus) {
    const char* list = kTrackerList;
    const char* kind = " (Tracker).";
    if (tracker && stylus) {
        list = kTrackerAndStylusList;
        kind = " (Tracker and Controller).";
    } else if (stylus) {
        list = kStylusList;
        kind = " (Controller).";
    }
    if (logger->isDebugOn()) {
        logger->debug("CFastrak: Setting data format for station ", false);
        std::cout << station << kind << std::endl;
    }
    if (!sendForStation(serialPort, list, station)) {
        logger->error("CFastrak: Could not set data format.", true);
        logger->debug("CFastrak: Setting data format failed.", true);
        return false;
    }
    logger->debug("CFastrak: Setting data format done.", true);
    return true;
}

bool CFastrak::setBinaryMode() {
    return sendOneLetter(*logger, serialPort, kBinaryMode,
                         {"CFastrak: Setting BINARY mode.", "CFastrak: Could not set BINARY mode.",
                          "CFastrak: Setting BINARY mode failed.", "CFastrak: Setting BINARY mode done."});
}

bool CFastrak::startContinuous() {
    return sendOneLetter(*logger, serialPort, kStartContinuous,
                         {"CFastrak: Starting continuous mode.", "CFastrak: Could not start continuous mode.",
                          "CFastrak: Starting continuous mode failed.", "CFastrak: Starting continuous mode done."});
}

bool CFastrak::stopContinuous() {
    return sendOneLetter(*logger, serialPort, kStopContinuous,
                         {"CFastrak: Stopping continuous mode.", "CFastrak: Could not stop continuous mode.",
                          "CFastrak: Stopping continuous mode failed.", "CFastrak: Stopping continuous mode done."});
}
