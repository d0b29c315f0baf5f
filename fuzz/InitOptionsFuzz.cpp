// Fuzz target for set-up: arbitrary option lines through init, where the device's, the tracker's
// and the controller's readers, the unknown-option check, the summary and the command sequence
// run as a host would see them; the port is a scratch file, the waits are skipped.
#include <cstddef>
#include <cstdint>
#include <iostream>

#include "FuzzHost.h"
#include "device/CFastrak.h"
#include "platform/Sleeper.h"

// The device's test hook: a regular file as the line.
struct FastrakTestAccess {
    static void acceptPlainFile(CFastrak& device) { device.acceptsPlainFile = true; }
};

namespace {

void noWait(uint32_t) {}

fuzzhost::ScratchLine* line = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::cout.rdbuf(nullptr);
    platform::setSleeper(&noWait);
    line = new fuzzhost::ScratchLine;
    return line->ok() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // Byte 0: which storages the host hands in and how many outputs each already holds.
    const uint8_t switches = data[0];
    fuzzhost::FuzzConfig config;
    // The port is always the scratch file; the fuzzed lines come before it.
    config.addText(data + 1, size - 1, {"calibration", "calib", "port", "serialport"}, kMaxOptionLines - 1);
    config.add({"port", line->path()});

    fuzzhost::Storage trackers(true);
    fuzzhost::Storage controllers(false);
    trackers.count_ = (switches >> 2) % 33;
    controllers.count_ = (switches >> 5) * 4;
    int32_t runFlag = 1;
    InitInfo info{};
    info.trackerStorage = (switches & 1) ? trackers.get() : nullptr;
    info.controllerStorage = (switches & 2) ? controllers.get() : nullptr;
    info.runFlag = &runFlag;

    Logger logger{};
    logger.setDefaults();
    logger.debugLevel = 1;  // every debug line is formatted too
    CFastrak device(config.get(), &logger);
    FastrakTestAccess::acceptPlainFile(device);
    const int32_t result = device.init(&info);
    // Claims never exceed the 32 outputs a storage has.
    if (trackers.count_ > 32 || controllers.count_ > 32) __builtin_trap();
    if (result == 1) {
        UpdateMask mask{};
        device.recvData(&mask, 0);  // the file holds only the commands: nothing is a record
        if (mask.trackers != 0 || mask.controllers != 0) __builtin_trap();
    }
    device.stop();
    return 0;
}
