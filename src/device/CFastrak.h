// CFastrak: the device object that drives one tracker for the host.
#pragma once

#include <cstdint>

#include "fastrak/CBase.h"
#include "fastrak/DeviceConfig.h"
#include "fastrak/InitInfo.h"
#include "fastrak/Records.h"

class CFastrak final : public CBase {
public:
    enum : uint32_t { kStations = 4 };

    CFastrak(DeviceConfig* configuration, const Logger* hostLogger);
    ~CFastrak();

    int32_t init(InitInfo* info) override;
    bool start() override;
    int32_t configure() override;
    bool stop() override;
    bool printSummary() override;
    int32_t recvData(UpdateMask* mask, int32_t unused) override;
    int32_t sendData(void* data, int32_t size) override;

    // True when the constructor could make the device's Logger.
    bool valid() const { return logger != nullptr; }

private:
    char* deviceName;
    char* serialPortName;
    bool resetAtInit;
    int32_t baudRate;
    bool trackerStation[kStations];
    bool stylusStation[kStations];
    char hemisphereCommand[kStations][16];
    InitInfo initInfo;
    TrackerRecord* trackerSlot;
    TrackerRecord lastTracker[kStations];
    TrackerRecord currentTracker;
    ControllerRecord* controllerSlot;
    ControllerRecord lastController[kStations];
    ControllerRecord currentController;
    uint32_t numTrackers;
    uint32_t numControllers;
    int32_t* runFlag;
    DeviceConfig* config;
};
