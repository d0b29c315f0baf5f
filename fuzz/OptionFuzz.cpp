// Fuzz target for the option readers: arbitrary option lines through the tracker and controller
// readers, the unknown-option check and both summaries.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "FuzzHost.h"
#include "config/CConfigH.h"
#include "config/OptionText.h"
#include "controller/CConCommonH.h"
#include "fastrak/DeviceConfig.h"
#include "tracker/CTraCommonH.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::cout.rdbuf(nullptr);  // summaries and diagnostics go nowhere
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t switches = data[0];
    // Input: a first byte of switches, then option lines.
    fuzzhost::FuzzConfig fuzz;
    fuzz.addText(data + 1, size - 1, {"calibration", "calib"}, kMaxOptionLines);

    CTraCommonH tracker(nullptr);
    tracker.inputConnector = (switches & 1) != 0;
    tracker.allocateStations(1 + ((switches >> 1) & 3));
    tracker.parseOptions(fuzz.get());
    tracker.printSummary();

    bool stylus[CConCommonH::kStations] = {(switches & 8) != 0, (switches & 16) != 0, false, (switches & 32) != 0};
    CConCommonH controller(nullptr);
    controller.inputConnector = (switches & 64) != 0;
    controller.setupStylusTable(stylus);
    controller.parseOptions(fuzz.get());
    controller.printControllerSummary();

    CConfigH::checkUnknownOptions(fuzz.get(), nullptr);
    return 0;
}
