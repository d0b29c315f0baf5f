// CBase construction and destruction: the device's own Logger copy.
#include "fastrak/CBase.h"

#include "log/OwnedLogger.h"

CBase::CBase(const Logger* hostLogger)
    : reserved(0),
      ownsLogger(true),
      logger(newOwnedLogger(hostLogger, "CBase", 1)),
      inputConnector(true),
      configureCode(1) {}

CBase::~CBase() {
    if (ownsLogger) deleteOwnedLogger(logger);
}
