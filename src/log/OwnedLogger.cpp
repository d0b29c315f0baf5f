// newOwnedLogger and deleteOwnedLogger.
#include "log/OwnedLogger.h"

#include <cstring>
#include <new>

Logger* newOwnedLogger(const Logger* creator, const char* className, int32_t objectDebugLevel) {
    Logger* logger = new (std::nothrow) Logger;
    if (logger == nullptr) return nullptr;
    if (creator != nullptr) {
        std::memcpy(logger, creator, sizeof(Logger));
    } else {
        logger->setDefaults();
        logger->setName(className);
    }
    logger->setObjectDebugLevel(objectDebugLevel);
    return logger;
}

void deleteOwnedLogger(Logger*& logger) {
    if (logger == nullptr) return;
    logger->release();
    delete logger;
    logger = nullptr;
}
