// CFastrak lifecycle and the small operations: construction, release, start, configure, stop, sendData.
#include "device/CFastrak.h"

#include <cstdlib>

#include "calib/CCalibH.h"
#include "controller/CConCommonH.h"
#include "serial/CRS232H.h"
#include "tracker/CTraCommonH.h"

CFastrak::CFastrak(DeviceConfig* configuration, const Logger* hostLogger)
    : CBase(hostLogger),
      serialPort(nullptr),
      deviceName(nullptr),
      serialPortName(nullptr),
      resetAtInit(false),
      baudRate(0),
      trackerStation(),
      stylusStation(),
      hemisphereCommand(),
      initInfo(),
      trackerSlot(nullptr),
      controllerSlot(nullptr),
      numTrackers(0),
      numControllers(0),
      carry(),
      carryCount(0),
      inStep(false),
      inDamage(false),
      leading(true),
      damagedSinceReport(0),
      receivedSinceReport(0),
      lastDamageReportMs(-kDamageReportMs),
      outsideSinceReport(),
      lastOutsideReportMs(-kDamageReportMs),
      callStartMs(-1),
      follower(),
      newFollower(),
      lastGoodStation(0),
      stationPose(),
      runFlag(nullptr),
      config(configuration),
      trackerProc(nullptr),
      controllerProc(nullptr),
      calibStarted(false),
      acceptsPlainFile(false) {
    if (logger == nullptr) return;
    logger->debug("CFastrak: \"constructor\" called.", true);
    if (hostLogger == nullptr) logger->setName("CFastrak");
}

CFastrak::~CFastrak() {
    if (logger != nullptr) logger->debug("CFastrak: \"destructor\" called.", true);
    std::free(deviceName);
    std::free(serialPortName);
    // The processors go first, then the port, which restores the line if it is still open.
    delete trackerProc;
    delete controllerProc;
    delete serialPort;
}

// What an earlier init made: the tracker stops sending, the port is given back, the calibration
// library ends and the processors go, so a second init neither leaks nor holds the port twice.
void CFastrak::release() {
    if (serialPort != nullptr && serialPort->isOpen()) {
        stopContinuous();
        serialPort->closePort();
    }
    delete serialPort;
    serialPort = nullptr;
    exitCalibration();
    delete trackerProc;
    trackerProc = nullptr;
    delete controllerProc;
    controllerProc = nullptr;
    trackerSlot = nullptr;
    controllerSlot = nullptr;
    for (uint32_t i = 0; i < kStations; ++i) {
        lastTracker[i] = TrackerRecord();
        lastController[i] = ControllerRecord();
    }
    resetReception();
}

bool CFastrak::start() {
    logger->debug("CFastrak: \"start\" called.", true);
    return true;
}

int32_t CFastrak::configure() {
    logger->debug("CFastrak: \"configure\" called.", true);
    return configureCode;
}

bool CFastrak::stop() {
    logger->debug("CFastrak: \"stop\" called.", true);
    // A port that never opened, or that an earlier stop closed, has nothing to stop: writing to it
    // would only add failures after the one that mattered.
    if (serialPort != nullptr && serialPort->isOpen()) {
        stopContinuous();
        serialPort->closePort();
    }
    reportDamage(true);  // the host's count of damaged frames is whole
    return exitCalibration();
}

// The library's exit step runs once per start: a second call would hand it a handle it freed, and
// one after a set-up that failed before the start would hand it a handle it never made.
bool CFastrak::exitCalibration() {
    if (trackerProc == nullptr || trackerProc->calib == nullptr || !calibStarted) return true;
    calibStarted = false;
    return trackerProc->calib->exit();
}

int32_t CFastrak::sendData(void* /*data*/, int32_t /*size*/) {
    logger->warning("CFastrak: Can not send any data.", true);
    return -1;
}
