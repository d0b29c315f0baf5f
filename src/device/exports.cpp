// createDev and deleteDev: the module's only exports.
#include <new>

#include "device/CFastrak.h"
#include "fastrak/fastrak.h"

extern "C" FASTRAK_EXPORT CBase* createDev(DeviceConfig* config, const Logger* logger) {
    CFastrak* device = new (std::nothrow) CFastrak(config, logger);
    if (device != nullptr && !device->valid()) {
        delete device;
        device = nullptr;
    }
    return device;
}

extern "C" FASTRAK_EXPORT bool deleteDev(CBase* device) {
    if (device == nullptr) return false;
    delete static_cast<CFastrak*>(device);
    return true;
}
