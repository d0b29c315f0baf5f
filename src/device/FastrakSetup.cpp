// CFastrak::init: the device's options, the processors and their outputs, the port and the
// command sequence that leaves the tracker sending binary records continuously.
#include <cstdlib>
#include <cstring>
#include <new>

#include "calib/CCalibH.h"
#include "config/CConfigH.h"
#include "config/OptionDiagnostics.h"
#include "config/OptionRecord.h"
#include "config/OptionText.h"
#include "controller/CConCommonH.h"
#include "device/CFastrak.h"
#include "fastrak/DataStorage.h"
#include "serial/CRS232H.h"
#include "tracker/CTraCommonH.h"

namespace {

const char kDefaultPort[] = "com1";
const int32_t kDefaultBaud = 38400;
const char kHemisphereMinusY[] = "H1,0,-1,0\r";
const uint32_t kMaxHemisphereArgs = 5;
const DWORD kReadTimeoutMs = 1000;

struct HemisphereWord {
    const char* word;
    const char* command;
};

const HemisphereWord kHemispheres[] = {
    {"-z", "H1,0,0,-1\r"}, {"z", "H1,0,0,1\r"},   {"+z", "H1,0,0,1\r"}, {"y", "H1,0,1,0\r"},  {"+y", "H1,0,1,0\r"},
    {"-y", "H1,0,-1,0\r"}, {"-x", "H1,-1,0,0\r"}, {"x", "H1,1,0,0\r"},  {"+x", "H1,1,0,0\r"}, {"auto", "H1,0,0,0\r"},
};

const char* hemisphereCommandFor(const char* word) {
    for (const HemisphereWord& entry : kHemispheres) {
        if (compareNoCase(word, entry.word) == 0) return entry.command;
    }
    return nullptr;
}

char* copyOf(const char* text) {
    const size_t length = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(length));
    if (copy != nullptr) std::memcpy(copy, text, length);
    return copy;
}

bool anyOn(const bool (&stations)[CFastrak::kStations]) {
    for (bool on : stations) {
        if (on) return true;
    }
    return false;
}

// The device's option keywords; the labels name the option in its error lines.
enum class DeviceOption { Port, Baud, Reset, Sensors, Stylus, Hemisphere };

struct OptionKeyword {
    const char* keyword;
    DeviceOption option;
    const char* label;
    uint32_t least;
    uint32_t most;
};

const OptionKeyword kKeywords[] = {
    {"port", DeviceOption::Port, "SerialPort at line ", 1, 1},
    {"serialport", DeviceOption::Port, "SerialPort at line ", 1, 1},
    {"baud", DeviceOption::Baud, "Baud at line ", 1, 1},
    {"baudrate", DeviceOption::Baud, "Baud at line ", 1, 1},
    {"reset", DeviceOption::Reset, "Reset at line ", 1, 1},
    {"sensors", DeviceOption::Sensors, "Sensor(s) at line ", 4, 4},
    {"sensor", DeviceOption::Sensors, "Sensor(s) at line ", 4, 4},
    {"stylus", DeviceOption::Stylus, "Stylus at line ", 1, 1},
    {"hemisphere", DeviceOption::Hemisphere, "Hemisphere at line ", 1, kMaxHemisphereArgs},
};

const OptionKeyword* keywordOf(const OptionLine& line) {
    for (const OptionKeyword& entry : kKeywords) {
        if (compareNoCase(line.keyword, entry.keyword) == 0) return &entry;
    }
    return nullptr;
}

}  // namespace

int32_t CFastrak::init(InitInfo* info) {
    logger->debug("CFastrak: \"init\" called.", true);
    if (info == nullptr) {
        logger->error("CFastrak: Init info is empty.", true);
        return -1;
    }
    if (config == nullptr) {
        logger->error("CFastrak: Device configuration is empty.", true);
        return -1;
    }
    release();
    initInfo = *info;
    runFlag = initInfo.runFlag;
    std::free(deviceName);
    deviceName = copyOf(config->deviceName != nullptr ? config->deviceName : "");

    setDefaults();
    if (!readDeviceOptions()) return -1;
    if (anyOn(trackerStation) && !setUpTracker()) return -1;
    if (anyOn(stylusStation) && !setUpController()) return -1;
    if (!CConfigH::checkUnknownOptions(config, logger)) return -1;
    printSummary();
    if (trackerProc != nullptr && trackerProc->calib != nullptr) {
        calibStarted = true;
        if (!trackerProc->calib->init(trackerProc->calibArgs, static_cast<int32_t>(trackerProc->numCalibArgs))) {
            return -1;
        }
    }
    if (!openAndConfigurePort()) return -1;
    return programTracker() ? 1 : -1;
}

void CFastrak::setDefaults() {
    std::free(serialPortName);
    serialPortName = copyOf(kDefaultPort);
    baudRate = kDefaultBaud;
    resetAtInit = false;
    for (uint32_t i = 0; i < kStations; ++i) {
        trackerStation[i] = i < 2;
        stylusStation[i] = false;
        std::memcpy(hemisphereCommand[i], kHemisphereMinusY, sizeof kHemisphereMinusY);
    }
    numTrackers = 2;
    numControllers = 0;
    configureCode = 2;
    inputConnector = true;
}

bool CFastrak::readDeviceOptions() {
    bool ok = true;
    const uint32_t count = optionLineCount(*config);
    for (uint32_t index = 0; index < count; ++index) {
        OptionLine& line = config->entries[index];
        const OptionKeyword* keyword = keywordOf(line);
        if (keyword == nullptr) continue;
        const uint32_t args = optionArgCount(line);
        const char* problemText = args < keyword->least  ? problem::kIncomplete
                                  : args > keyword->most ? problem::kTooManyArgs
                                                         : applyDeviceOption(static_cast<int>(keyword->option), line);
        if (problemText != nullptr) {
            reportOptionError(*logger, "CFastrak: ", problemText, keyword->label, line.lineNumber);
            ok = false;
        } else {
            line.used = 1;
        }
    }
    return ok;
}

// One device option whose argument count fits; the problem text of a bad argument, or null.
const char* CFastrak::applyDeviceOption(int option, const OptionLine& line) {
    const char* first = optionArg(line, 0);
    switch (static_cast<DeviceOption>(option)) {
        case DeviceOption::Port: {
            char* name = copyOf(first);
            if (name == nullptr) return problem::kInvalidString;
            std::free(serialPortName);
            serialPortName = name;
            return nullptr;
        }
        case DeviceOption::Baud:
            baudRate = toInteger(first);
            return nullptr;
        case DeviceOption::Reset:
            if (compareNoCase(first, "yes") == 0 || compareNoCase(first, "on") == 0) {
                resetAtInit = true;
            } else if (compareNoCase(first, "no") == 0 || compareNoCase(first, "off") == 0) {
                resetAtInit = false;
            } else {
                return problem::kInvalidString;
            }
            return nullptr;
        case DeviceOption::Sensors:
            // Stations already read keep their new state when a later argument is bad.
            numTrackers = 0;
            for (uint32_t station = 0; station < kStations; ++station) {
                const char* word = optionArg(line, station);
                const int32_t value = toInteger(word);
                if (value == 1) {
                    trackerStation[station] = true;
                    ++numTrackers;
                } else if (value == 0 && !startsWithLetter(word)) {
                    trackerStation[station] = false;
                } else {
                    return problem::kInvalidArg;
                }
            }
            return nullptr;
        case DeviceOption::Stylus: {
            const int32_t station = toInteger(first);
            if (station < 1 || station > static_cast<int32_t>(kStations)) return problem::kInvalidStylusId;
            stylusStation[station - 1] = true;
            numControllers = 1;
            configureCode = 1;
            return nullptr;
        }
        case DeviceOption::Hemisphere:
            return applyHemisphere(line);
    }
    return nullptr;
}

// The command goes to the listed stations only once the whole list has been read.
const char* CFastrak::applyHemisphere(const OptionLine& line) {
    const char* command = hemisphereCommandFor(optionArg(line, 0));
    if (command == nullptr) return problem::kInvalidString;
    const uint32_t args = optionArgCount(line);
    bool selected[kStations] = {args == 1, args == 1, args == 1, args == 1};
    for (uint32_t i = 1; i < args; ++i) {
        const char* word = optionArg(line, i);
        if (compareNoCase(word, "all") == 0) {
            for (bool& station : selected) station = true;
            break;
        }
        const int32_t station = toInteger(word);
        if (station < 1 || station > static_cast<int32_t>(kStations)) return problem::kInvalidSensorId;
        selected[station - 1] = true;
    }
    for (uint32_t station = 0; station < kStations; ++station) {
        if (selected[station]) std::memcpy(hemisphereCommand[station], command, std::strlen(command) + 1);
    }
    return nullptr;
}

bool CFastrak::setUpTracker() {
    CDataStorage* storage = initInfo.trackerStorage;
    if (storage == nullptr) {
        logger->error("CFastrak: tracker data storage pointer is empty.", true);
        return false;
    }
    trackerProc = new (std::nothrow) CTraCommonH(logger);
    if (trackerProc == nullptr || !trackerProc->valid()) {
        logger->error("CFastrak: Not enough memory for the tracker processing.", true);
        return false;
    }
    trackerProc->inputConnector = inputConnector;
    trackerProc->numOutputs = numTrackers;
    trackerProc->caveCoordinates = true;
    if (!trackerProc->allocateStations(kStations)) return false;
    uint32_t next = 0;
    for (uint32_t station = 1; station <= kStations; ++station) {
        if (trackerStation[station - 1]) trackerProc->setStation(station, ++next, nullptr, nullptr, nullptr);
    }
    if (!trackerProc->parseOptions(config)) return false;
    storage->lock();
    trackerProc->trackerBase = storage->getTrackerNumber();
    storage->setTrackerNumber(trackerProc->trackerBase + trackerProc->numOutputs);
    storage->unlock();
    return true;
}

bool CFastrak::setUpController() {
    CDataStorage* storage = initInfo.controllerStorage;
    if (storage == nullptr) {
        logger->error("CFastrak: controller data storage pointer is empty.", true);
        return false;
    }
    controllerProc = new (std::nothrow) CConCommonH(logger);
    if (controllerProc == nullptr || controllerProc->logger == nullptr) {
        logger->error("CFastrak: Not enough memory for the controller processing.", true);
        return false;
    }
    controllerProc->inputConnector = inputConnector;
    controllerProc->numControllers = numControllers;
    // One entry per stylus station, addressed by its station number, each with its own output.
    if (controllerProc->setupStylusTable(stylusStation) == 0) return false;
    if (!controllerProc->parseOptions(config)) return false;
    // What is claimed is what the summary shows.
    numControllers = controllerProc->numControllers;
    storage->lock();
    controllerProc->outputBase = storage->getControllerNumber();
    storage->setControllerNumber(controllerProc->outputBase + numControllers);
    storage->unlock();
    return true;
}

bool CFastrak::openAndConfigurePort() {
    serialPort = new (std::nothrow) CRS232H(logger);
    if (serialPort == nullptr) {
        logger->error("CFastrak: Not enough memory for the serial port.", true);
        return false;
    }
    if (!serialPort->openPort(serialPortName, !acceptsPlainFile)) return false;
    PortAttribute attribute;
    if (!serialPort->fetchAttribute(&attribute)) return false;
    CRS232H::makeRaw(attribute);
    attribute.timeouts.ReadIntervalTimeout = 0;
    attribute.timeouts.ReadTotalTimeoutMultiplier = 0;
    attribute.timeouts.ReadTotalTimeoutConstant = kReadTimeoutMs;
    attribute.timeouts.WriteTotalTimeoutMultiplier = 0;
    attribute.timeouts.WriteTotalTimeoutConstant = 0;
    serialPort->storeAttribute(&attribute);
    if (!serialPort->setBaudRate(baudRate)) return false;
    serialPort->setAttribute();
    return true;
}

bool CFastrak::programTracker() {
    if (resetAtInit) {
        logger->info("Resetting... Please wait about 20 seconds.", true);
        if (!resetDevice()) return false;
    }
    if (trackerProc != nullptr && trackerProc->caveCoordinates) setAlignment();
    const int32_t stations = kStations;
    for (int32_t station = 1; station <= stations; ++station) {
        if (trackerStation[station - 1] && !setHemisphere(station, hemisphereCommand[station - 1])) return false;
    }
    for (int32_t station = 1; station <= stations; ++station) {
        if (stylusStation[station - 1] && !setStylusButton(station)) return false;
    }
    for (int32_t station = 1; station <= stations; ++station) {
        if (!setDataFormat(station, trackerStation[station - 1], stylusStation[station - 1])) return false;
    }
    if (!setBinaryMode()) return false;
    return startContinuous();
}
