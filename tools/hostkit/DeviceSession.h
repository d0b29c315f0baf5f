// DeviceSession: one device of the loaded module set up as a host sets it up (its storages, run
// flag, createDev and init), read with recvData, and stopped and deleted.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ModuleLibrary.h"
#include "Storage.h"
#include "fastrak/fastrak.h"

namespace fastrakhost {

class DeviceSession {
public:
    // `logger`: the device's, also its storages' (null: the host's own); it must outlive the
    // session. `runFlag`: the word recvData polls (null: the session's own, set to 1).
    DeviceSession(const ModuleLibrary& module, DeviceConfig* config, const Logger* logger = nullptr,
                  int32_t* runFlag = nullptr);
    ~DeviceSession();  // stops and deletes the device
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    bool ready() const { return trackers_.ready() && controllers_.ready(); }  // the mutexes were made
    // createDev, then init with both storages emptied; init's result, or -1 when createDev gave
    // nothing (device() is null then).
    int32_t setUp();
    CBase* device() const { return device_; }
    Storage& trackers() { return trackers_; }
    Storage& controllers() { return controllers_; }

    // One recvData; `mask` gets what the device marked.
    int32_t receive(UpdateMask& mask);
    // The records whose bits the mask carries, trackers then controllers, by output number: each
    // copied under its storage's mutex, then handed on with the mutex free. A bit beyond the
    // storage's count is skipped.
    template <class OnTracker, class OnController>
    void collect(const UpdateMask& mask, OnTracker&& tracker, OnController&& controller);

    // stop, then deleteDev; later calls do nothing. False when stop reported a failure.
    bool release();

private:
    bool copySlot(Storage& storage, uint32_t n, void* to, size_t size);

    const ModuleLibrary& module_;
    DeviceConfig* config_;
    const Logger* logger_;
    int32_t ownRunFlag_ = 1;
    int32_t* runFlag_;
    Storage trackers_;
    Storage controllers_;
    CBase* device_ = nullptr;
};

template <class OnTracker, class OnController>
void DeviceSession::collect(const UpdateMask& mask, OnTracker&& tracker, OnController&& controller) {
    // Bytes rather than record objects: the records' constructors belong to the module.
    const uint32_t trackerBits = fromNetwork(mask.trackers), controllerBits = fromNetwork(mask.controllers);
    for (uint32_t n = 1; n <= kSlots; ++n) {
        alignas(TrackerRecord) unsigned char copy[sizeof(TrackerRecord)];
        if ((trackerBits >> (n - 1) & 1u) != 0 && copySlot(trackers_, n, copy, sizeof copy))
            tracker(n, *reinterpret_cast<const TrackerRecord*>(copy));
    }
    for (uint32_t n = 1; n <= kSlots; ++n) {
        alignas(ControllerRecord) unsigned char copy[sizeof(ControllerRecord)];
        if ((controllerBits >> (n - 1) & 1u) != 0 && copySlot(controllers_, n, copy, sizeof copy))
            controller(n, *reinterpret_cast<const ControllerRecord*>(copy));
    }
}

}  // namespace fastrakhost
