// CTraCommonH::printSummary: the tracker block of the configuration summary.
#include <iomanip>
#include <iostream>

#include "calib/CCalibH.h"
#include "tracker/CTraCommonH.h"

namespace {

constexpr const char* kContinuation = "                      :";

// " X:" x " Y:" y " Z:" z with whatever notation the stream has at the time.
void writeOffset(const Matrix4& offset) {
    std::cout << " X:" << offset.m[0][3] << " Y:" << offset.m[1][3] << " Z:" << offset.m[2][3];
}

// Fixed notation and 3 decimals stay set on purpose: later values keep that format.
void writeRow(const Matrix4& matrix, uint32_t row) {
    for (uint32_t column = 0; column < 3; ++column) {
        std::cout << " [" << row << "][" << column << "]:" << std::setfill(' ') << std::right << std::fixed
                  << std::setprecision(3) << std::setw(6) << matrix.m[row][column];
    }
}

// Three labelled rows, each optionally after " <station>", then one empty line.
void writeMatrix(const Logger& logger, const char* firstLabel, const Matrix4& matrix, uint32_t station) {
    for (uint32_t row = 0; row < 3; ++row) {
        logger.info(row == 0 ? firstLabel : kContinuation, false);
        if (station != 0) std::cout << ' ' << station;
        writeRow(matrix, row);
        std::cout << std::endl;
    }
    std::cout << std::endl;
}

}  // namespace

bool CTraCommonH::printSummary(bool withCaveLine) const {
    if (logger == nullptr) return true;
    logger->debug("CTraCommonH: \"printSummary\" called.", true);
    if (withCaveLine) {
        logger->info(caveCoordinates ? "CAVE COORDINATES      : Used" : "CAVE COORDINATES      : Unused", true);
    }
    if (transmitterOffsetSet) {
        logger->info("TRANSMITTER OFFSET    :", false);
        writeOffset(transmitterOffset);
        std::cout << std::endl;
    }
    if (transmitterRotationSet) writeMatrix(*logger, "TRANSMITTER ROTATION  :", transmitterRotation, 0);
    if (transmitterOffsetSet || transmitterRotationSet) {
        writeMatrix(*logger, "TRANSMITTER TRANSFORM :", transmitterTransform, 0);
    }

    logger->info("TRACKER ORDER         : <Real tra> -> <Output tra>", true);
    logger->info(kContinuation, false);
    for (uint32_t n = 1; n <= numStations && stations != nullptr; ++n) {
        const StationEntry& entry = stations[n - 1];
        if (entry.outputNumber != 0) std::cout << ' ' << n << "->" << entry.outputNumber + trackerBase;
    }
    std::cout << std::endl;

    for (uint32_t n = 1; n <= numStations && stations != nullptr; ++n) {
        const StationEntry& entry = stations[n - 1];
        if (entry.outputNumber == 0) continue;
        if (entry.offsetSet) {
            logger->info("SENSOR OFFSET         :", false);
            std::cout << ' ' << n;
            writeOffset(entry.offsetMatrix);
            std::cout << std::endl;
        }
        if (entry.rotationSet) writeMatrix(*logger, "SENSOR ROTATION       :", entry.rotationMatrix, n);
        if (entry.offsetSet || entry.rotationSet) writeMatrix(*logger, "SENSOR TRANSFORM      :", entry.transform, n);
    }

    if (calib != nullptr) {
        logger->info("CALIBRATION LIBRARY   :", false);
        std::cout << " name:" << calibName << std::endl;
        for (uint32_t i = 0; i < numCalibArgs && i < kMaxCalibArgs; ++i) {
            logger->info(kContinuation, false);
            std::cout << " arg[" << i << "]:" << (calibArgs[i] != nullptr ? calibArgs[i] : "") << std::endl;
        }
    }
    return true;
}
