// DeviceRunner: one device on its own reception thread, from set-up through recovery to stop.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HostConfig.h"
#include "ModuleLibrary.h"
#include "OscOutput.h"
#include "PoseBoard.h"
#include "Recorder.h"
#include "Storage.h"

namespace fastrakhost {

// What every device thread shares with the others and with the main thread.
struct HostContext {
    ModuleLibrary* module = nullptr;
    Storage* trackers = nullptr;
    Storage* controllers = nullptr;
    volatile int32_t* runFlag = nullptr;  // the word the module reads; cleared to end every reception
    PoseBoard* board = nullptr;
    Recorder* recorder = nullptr;
    OscOutput* osc = nullptr;  // may be null
    HostSettings settings;
    bool strict = false;
    double firstRetrySeconds = 1;
    double longestRetrySeconds = 30;

    // Set-ups run one at a time, the first ones in the order of the file, so output numbers are
    // claimed in that order.
    std::mutex setupMutex;
    std::condition_variable turnChanged;
    size_t turn = 0;
    std::atomic<bool> setupFailed{false};

    // A device set up anew gets its old output numbers back: the count is lowered to its first
    // number for the claim and raised again once the claim is made (settleClaims, or at the
    // latest when init returns).
    struct PendingClaim {
        Storage* storage;
        uint32_t base;
        uint32_t total;
    };
    std::mutex claimMutex;
    std::vector<PendingClaim> claims;
    void settleClaims(bool force);

    bool running() const { return *runFlag != 0; }
};

class DeviceRunner {
public:
    DeviceRunner(HostContext& context, const DeviceSection& section, size_t order);
    ~DeviceRunner();
    DeviceRunner(const DeviceRunner&) = delete;
    DeviceRunner& operator=(const DeviceRunner&) = delete;

    void start();
    void join();
    const std::string& name() const { return section_.name; }

private:
    void run();
    void takeTurn();
    void endTurn();
    // Creates and sets up a device; on success device_ holds it.
    bool setUp(bool again);
    void release();
    void receive();
    void collect(const UpdateMask& mask);
    bool pause(double seconds);

    HostContext& context_;
    DeviceSection section_;
    size_t order_;
    std::thread thread_;
    Logger logger_;
    std::unique_ptr<DeviceRecord> record_;
    CBase* device_ = nullptr;
    bool claimed_ = false;
    uint32_t trackerBase_ = 0, trackerTotal_ = 0;
    uint32_t controllerBase_ = 0, controllerTotal_ = 0;
};

}  // namespace fastrakhost
