// DeviceSession: one device of the loaded module set up as a host sets it up (its storages, run
// flag, createDev and init), read with recvData, and stopped and deleted.
#pragma once

#include <cstdint>
#include <functional>

#include "ModuleLibrary.h"
#include "Storage.h"
#include "fastrak/fastrak.h"

namespace fastrakhost {

class DeviceSession {
public:
    // `runFlag` is the word recvData polls; null: the session's own, set to 1.
    DeviceSession(const ModuleLibrary& module, DeviceConfig* config, const Logger* logger = nullptr,
                  int32_t* runFlag = nullptr);
    ~DeviceSession();  // stops and deletes the device
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    // createDev, then init with both storages; init's result, or -1 when createDev gave nothing.
    int32_t setUp();
    CBase* device() const { return device_; }
    Storage& trackers() { return trackers_; }
    Storage& controllers() { return controllers_; }
    int32_t* runFlag() const { return runFlag_; }

    // One recvData; `mask` gets what the device marked.
    int32_t receive(UpdateMask& mask);
    // The records whose bits the mask carries, trackers then controllers, each by output number and
    // read under its storage's mutex; a bit beyond the storage's count is skipped.
    void collect(const UpdateMask& mask, const std::function<void(uint32_t, const TrackerRecord&)>& tracker,
                 const std::function<void(uint32_t, const ControllerRecord&)>& controller);

    // stop, then deleteDev; later calls do nothing. False when stop reported a failure.
    bool release();

private:
    const ModuleLibrary& module_;
    DeviceConfig* config_;
    const Logger* logger_;
    int32_t ownRunFlag_ = 1;
    int32_t* runFlag_;
    Storage trackers_;
    Storage controllers_;
    CBase* device_ = nullptr;
};

}  // namespace fastrakhost
