// DeviceSession: the set-up and reading sequence of a host around one device.
#include "DeviceSession.h"

namespace fastrakhost {

DeviceSession::DeviceSession(const ModuleLibrary& module, DeviceConfig* config, const Logger* logger, int32_t* runFlag)
    : module_(module),
      config_(config),
      logger_(logger),
      runFlag_(runFlag != nullptr ? runFlag : &ownRunFlag_),
      trackers_(Storage::Kind::Tracker),
      controllers_(Storage::Kind::Controller) {}

DeviceSession::~DeviceSession() { release(); }

int32_t DeviceSession::setUp() {
    release();
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

void DeviceSession::collect(const UpdateMask& mask, const std::function<void(uint32_t, const TrackerRecord&)>& tracker,
                            const std::function<void(uint32_t, const ControllerRecord&)>& controller) {
    const uint32_t words[2] = {fromNetwork(mask.trackers), fromNetwork(mask.controllers)};
    Storage* storages[2] = {&trackers_, &controllers_};
    for (int k = 0; k < 2; ++k) {
        for (uint32_t n = 1; n <= kSlots; ++n) {
            if ((words[k] & (1u << (n - 1))) == 0) continue;
            storages[k]->lock();
            if (n <= storages[k]->count()) {
                if (k == 0 && tracker) tracker(n, *storages[k]->tracker(n));
                if (k == 1 && controller) controller(n, *storages[k]->controller(n));
            }
            storages[k]->unlock();
        }
    }
}

bool DeviceSession::release() {
    if (device_ == nullptr) return true;
    const bool stopped = device_->stop();
    module_.deleteDev()(device_);
    device_ = nullptr;
    return stopped;
}

}  // namespace fastrakhost
