// DeviceSession: the set-up and reading sequence of a host around one device.
#include "DeviceSession.h"

#include <cstring>

namespace fastrakhost {
namespace {

Logger hostLogger() {
    Logger logger;
    fillLogger(logger, "HOST");
    return logger;
}

}  // namespace

DeviceSession::DeviceSession(const ModuleLibrary& module, DeviceConfig* config, const Logger* logger, int32_t* runFlag)
    : module_(module),
      config_(config),
      logger_(logger),
      runFlag_(runFlag != nullptr ? runFlag : &ownRunFlag_),
      trackers_(Storage::Kind::Tracker, logger != nullptr ? *logger : hostLogger()),
      controllers_(Storage::Kind::Controller, logger != nullptr ? *logger : hostLogger()) {}

DeviceSession::~DeviceSession() { release(); }

int32_t DeviceSession::setUp() {
    release();
    // The module claims from the count it finds, so a new set-up starts from empty storages.
    for (Storage* storage : {&trackers_, &controllers_}) {
        storage->lock();
        storage->setCount(0);
        storage->unlock();
    }
    if (module_.createDev() == nullptr) return -1;
    device_ = module_.createDev()(config_, logger_);
    if (device_ == nullptr) return -1;
    InitInfo info{};
    info.trackerStorage = trackers_.storage();
    info.controllerStorage = controllers_.storage();
    info.runFlag = runFlag_;
    return device_->init(&info);
}

int32_t DeviceSession::receive(UpdateMask& mask) {
    mask = UpdateMask{};
    return device_ != nullptr ? device_->recvData(&mask, 0) : -1;
}

bool DeviceSession::copySlot(Storage& storage, uint32_t n, void* to, size_t size) {
    storage.lock();
    const bool there = n <= storage.count();
    if (there) {
        const void* slot = storage.kind() == Storage::Kind::Tracker ? static_cast<const void*>(storage.tracker(n))
                                                                    : static_cast<const void*>(storage.controller(n));
        std::memcpy(to, slot, size);
    }
    storage.unlock();
    return there;
}

bool DeviceSession::release() {
    if (device_ == nullptr) return true;
    const bool stopped = device_->stop();
    module_.deleteDev()(device_);
    device_ = nullptr;
    return stopped;
}

}  // namespace fastrakhost
