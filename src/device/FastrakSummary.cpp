// CFastrak::printSummary: the device's configuration block, with the processors' blocks.
#include <cstring>
#include <iostream>

#include "controller/CConCommonH.h"
#include "device/CFastrak.h"
#include "tracker/CTraCommonH.h"

namespace {

struct HemisphereLabel {
    const char* command;
    const char* label;
};

const HemisphereLabel kHemisphereLabels[] = {
    {"H1,0,0,-1\r", "-Z"}, {"H1,0,0,1\r", "+Z"}, {"H1,0,1,0\r", "+Y"},   {"H1,0,-1,0\r", "-Y"},
    {"H1,-1,0,0\r", "-X"}, {"H1,1,0,0\r", "+X"}, {"H1,0,0,0\r", "Auto"},
};

const char* hemisphereLabel(const char* command) {
    for (const HemisphereLabel& entry : kHemisphereLabels) {
        if (std::strcmp(command, entry.command) == 0) return entry.label;
    }
    return "Unknown";
}

void writeStations(const bool (&flags)[CFastrak::kStations]) {
    for (uint32_t n = 1; n <= CFastrak::kStations; ++n) std::cout << ' ' << n << ':' << (flags[n - 1] ? "ON" : "OFF");
    std::cout << std::endl;
}

}  // namespace

bool CFastrak::printSummary() {
    logger->debug("CFastrak: \"printSummary\" called.", true);
    logger->info("DEVICE NAME           : ", false);
    std::cout << (deviceName != nullptr ? deviceName : "") << std::endl;
    logger->info("DEVICE TYPE           : Fastrak(tm)", true);
    logger->info("VERSION               : ", false);
    std::cout << "5.5" << std::endl;
    logger->info("DATA TYPE             : Tracker", true);
    logger->info("SERIAL PORT           : ", false);
    std::cout << (serialPortName != nullptr ? serialPortName : "") << std::endl;
    logger->info("BAUD RATE             : ", false);
    std::cout << baudRate << std::endl;
    logger->info("RESET                 : ", false);
    std::cout << (resetAtInit ? "Yes" : "No") << std::endl;
    logger->info("HEMISPEHRE(S)         :", false);
    for (uint32_t n = 1; n <= kStations; ++n) {
        if (trackerStation[n - 1]) std::cout << ' ' << n << ':' << hemisphereLabel(hemisphereCommand[n - 1]);
    }
    std::cout << std::endl;
    logger->info("NUMBER OF DEVICES     : 1", true);
    if (numTrackers != 0) {
        logger->info("NUMBER OF TRACKERS    : ", false);
        std::cout << numTrackers << std::endl;
    }
    if (numControllers != 0) {
        logger->info("NUMBER OF CONTROLLERS : ", false);
        std::cout << numControllers << std::endl;
    }
    logger->info("TRACKER(S)            :", false);
    writeStations(trackerStation);
    logger->info("STYLUS                :", false);
    writeStations(stylusStation);
    if (controllerProc != nullptr) {
        // Controller option lines number a stylus by its station, not by its output.
        logger->info("CONTROLLER ID(S)      :", false);
        for (uint32_t n = 1; n <= kStations; ++n) {
            if (stylusStation[n - 1]) std::cout << ' ' << n;
        }
        std::cout << " (controller options name a stylus by its station)" << std::endl;
    }
    if (trackerProc != nullptr) trackerProc->printSummary(true);
    if (controllerProc != nullptr) controllerProc->printControllerSummary();
    logger->info("-----------------------", true);
    std::cout.flush();
    return true;
}
