// CBase construction and destruction: the device's own Logger copy.
#include "fastrak/CBase.h"

#include <cstring>
#include <new>

CBase::CBase(const Logger* hostLogger)
    : reserved(0), ownsLogger(true), logger(new (std::nothrow) Logger), inputConnector(true), configureCode(1) {
    if (logger == nullptr) return;
    if (hostLogger != nullptr) {
        std::memcpy(logger, hostLogger, sizeof(Logger));
    } else {
        logger->setDefaults();
        logger->setName("CBase");
    }
    logger->setObjectDebugLevel(1);
}

CBase::~CBase() {
    if (ownsLogger && logger != nullptr) {
        logger->release();
        delete logger;
    }
}
