// CFastrak lifecycle and the small operations: construction, start, configure, stop, sendData.
#include "device/CFastrak.h"

#include <cstdlib>

#include "serial/CRS232H.h"

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
      runFlag(nullptr),
      config(configuration) {
    if (logger == nullptr) return;
    logger->debug("CFastrak: \"constructor\" called.", true);
    if (hostLogger == nullptr) logger->setName("CFastrak");
}

CFastrak::~CFastrak() {
    if (logger != nullptr) logger->debug("CFastrak: \"destructor\" called.", true);
    std::free(deviceName);
    std::free(serialPortName);
    // The port goes last, after the processors; it restores the line if it is still open.
    delete serialPort;
}

int32_t CFastrak::init(InitInfo* /*info*/) {
    logger->debug("CFastrak: \"init\" called.", true);
    logger->error("CFastrak: Set-up is not available in this build.", true);
    return -1;
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
    if (serialPort != nullptr) {
        stopContinuous();
        serialPort->closePort();
    }
    return true;
}

bool CFastrak::printSummary() {
    logger->debug("CFastrak: \"printSummary\" called.", true);
    return true;
}

int32_t CFastrak::recvData(UpdateMask* /*mask*/, int32_t /*unused*/) {
    logger->debug("CFastrak: \"recvData\" called.", true);
    logger->error("CFastrak: Reading is not available in this build.", true);
    return -1;
}

int32_t CFastrak::sendData(void* /*data*/, int32_t /*size*/) {
    logger->warning("CFastrak: Can not send any data.", true);
    return -1;
}
