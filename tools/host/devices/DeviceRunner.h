// DeviceRunner: one device on its own reception thread, from set-up through recovery to stop.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "devices/DeviceFacts.h"
#include "devices/OutputStats.h"
#include "devices/PoseBoard.h"
#include "devices/SolutionClock.h"
#include "DeviceSession.h"
#include "HostConfig.h"
#include "ModuleLibrary.h"
#include "outputs/HostOutput.h"
#include "recording/Recorder.h"
#include "Storage.h"

namespace fastrakhost {

// The module reads the flag as a plain int32_t through the address it is given: an atomic of the
// same size and alignment, lock-free and standard-layout, holds just that word, and an aligned
// 32-bit load is never torn, so the host's atomic stores reach the module whole.
static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t) && alignof(std::atomic<int32_t>) == alignof(int32_t),
              "the run flag is one plain word");
static_assert(std::atomic<int32_t>::is_always_lock_free, "the signal handler stores the run flag");
static_assert(std::is_standard_layout<std::atomic<int32_t>>::value, "the run flag's address is the word's");

// What every device thread shares with the others and with the main thread.
struct HostContext {
    ModuleLibrary* module = nullptr;
    // The word the module reads through a plain int32_t*; cleared to end every reception. The host
    // writes it atomically from any thread and from the signal handler.
    std::atomic<int32_t>* runFlag = nullptr;
    PoseBoard* board = nullptr;
    Recorder* recorder = nullptr;
    std::vector<HostOutput*> outputs;  // the configured ones: OSC, OpenIGTLink, web view
    OutputStats* stats = nullptr;
    HostSettings settings;
    bool strict = false;
    double firstRetrySeconds = 1;
    double longestRetrySeconds = 30;
    uint64_t recordLimit = 0;  // stop after this many published records; 0: no limit

    // Set-ups run one at a time, the first ones in the order of the file, so output numbers are
    // given in that order.
    std::mutex setupMutex;
    std::condition_variable turnChanged;
    size_t turn = 0;
    std::atomic<bool> setupFailed{false};

    // The host's output numbers given so far: each device's block follows those of the devices
    // before it in the file. Only first set-ups, one at a time, change them.
    uint32_t trackersGiven = 0;
    uint32_t controllersGiven = 0;
    std::atomic<bool> beyondLimits{false};  // a device claimed more outputs than were left

    std::atomic<uint64_t> published{0};

    bool running() const { return *runFlag != 0; }
};

class DeviceRunner {
public:
    // facts: what the section means for the line the user named (a capture relay may stand in
    // between, so the section's own port line can be the relay's).
    DeviceRunner(HostContext& context, const DeviceSection& section, const DeviceFacts& facts, size_t order);
    ~DeviceRunner();
    DeviceRunner(const DeviceRunner&) = delete;
    DeviceRunner& operator=(const DeviceRunner&) = delete;

    void start();
    void join();
    const std::string& name() const { return section_.name; }
    // The line was lost and the device is not back (yet).
    bool lineLost() const { return lineLost_; }
    // At least one record came from the device in this run.
    bool delivered() const { return delivered_; }

private:
    void run();
    void takeTurn();
    void endTurn();
    // Creates and sets up a device; on success device_ holds it.
    bool setUp();
    void release();
    void receive();
    // The records the mask marks, handed to the outputs; how many were.
    size_t collect(const UpdateMask& mask);
    bool pause(double seconds);

    bool placeOutputs(uint32_t trackers, uint32_t controllers);
    bool deliver(Sample sample, uint32_t n, uint32_t base, uint32_t total, uint32_t station, double arrived,
                 double measured);
    LineTiming lineTiming() const;
    size_t recordBytes(uint32_t station) const;
    void publish(const Sample& sample);

    HostContext& context_;
    DeviceSection section_;
    DeviceFacts facts_;
    SolutionClock clock_;  // the reception thread's own
    size_t order_;
    std::thread thread_;
    Logger logger_;
    std::unique_ptr<DeviceRecord> record_;
    // Made anew at every set-up, with storages of the device's own: it claims from 1 in them, and
    // the host maps those numbers onto its block of output numbers, so a set-up never moves
    // another device's.
    std::unique_ptr<DeviceSession> session_;
    bool placed_ = false;  // the block is fixed by the first set-up, kept by every later one
    std::atomic<bool> lineLost_{false};
    std::atomic<bool> delivered_{false};
    uint32_t trackerBase_ = 0, trackerTotal_ = 0;
    uint32_t controllerBase_ = 0, controllerTotal_ = 0;
};

}  // namespace fastrakhost
