// CConCommonH construction, the controller table and the mapping of a stylus reading to a record.
#include "controller/CConCommonH.h"

#include <cstring>
#include <new>

#include "log/OwnedLogger.h"
#include "platform/win32.h"

namespace {

void setIdentityScale(float (&scale)[4]) {
    scale[0] = 0.0f;
    scale[1] = 0.0f;
    scale[2] = 1.0f;
    scale[3] = 0.0f;
}

}  // namespace

CConCommonH::CConCommonH(const Logger* creatorLogger)
    : ownsLogger(true),
      controllerCount(0),
      limitToDeclared(true),
      controllers(),
      inputConnector(true),
      numControllers(0),
      outputBase(0),
      logger(newOwnedLogger(creatorLogger, "CConCommonH", 3)) {
    if (logger == nullptr) return;
    logger->debug("CConCommonH: \"constructor\" called.", true);
}

CConCommonH::~CConCommonH() {
    if (logger != nullptr) logger->debug("CConCommonH: \"destructor\" called.", true);
    if (controllers) freeTable();
    if (ownsLogger) {
        deleteOwnedLogger(logger);
    }
    logger = nullptr;
}

ControllerSetup* CConCommonH::entry(uint32_t index) const {
    if (!controllers || index == 0 || index > controllerCount) return nullptr;
    return &controllers[index - 1];
}

ControllerSetup* CConCommonH::optionEntry(uint32_t index) const {
    if (index >= 1 && index <= kMaxControllers && (vacantEntries >> (index - 1) & 1u) != 0) return nullptr;
    return entry(index);
}

bool CConCommonH::createTable(uint32_t count, bool limit) {
    if (count == 0 || count > kMaxControllers) return false;
    std::unique_ptr<ControllerSetup[]> table(new (std::nothrow) ControllerSetup[count]);
    if (!table) return false;
    if (controllers) freeTable();
    for (uint32_t i = 0; i < count; ++i) {
        ControllerSetup& setup = table[i];
        setup.outputId = 0;
        setup.valuatorCount = 0;
        setup.buttonCount = 0;
        for (uint32_t r = 0; r < kMaxValuators; ++r) {
            setup.valuatorOrder[r] = 0;
            setIdentityScale(setup.valuatorScale[r]);
        }
        for (uint32_t r = 0; r < kMaxButtons; ++r) setup.buttonOrder[r] = 0;
        setup.emulation.reset();
    }
    controllers = std::move(table);
    controllerCount = count;
    vacantEntries = 0;
    limitToDeclared = limit;
    return true;
}

bool CConCommonH::setController(uint32_t index, uint32_t outputId, uint32_t valuators, uint32_t buttons) {
    ControllerSetup* setup = entry(index);
    if (setup == nullptr || valuators > kMaxValuators || buttons > kMaxButtons) return false;
    setup->outputId = outputId;
    setup->valuatorCount = valuators;
    setup->buttonCount = buttons;
    for (uint32_t r = 1; r <= valuators; ++r) {
        setup->valuatorOrder[r - 1] = r;
        setIdentityScale(setup->valuatorScale[r - 1]);
    }
    for (uint32_t r = 1; r <= buttons; ++r) setup->buttonOrder[r - 1] = r;
    return true;
}

bool CConCommonH::setEmulation(uint32_t index, uint32_t trackerId, const float (&values)[6],
                               const uint32_t (&valuatorNumbers)[6], uint32_t resetButton) {
    ControllerSetup* setup = entry(index);
    if (setup == nullptr) return false;
    if (!setup->emulation) {
        setup->emulation.reset(new (std::nothrow) TrackerEmulation);
        if (!setup->emulation) return false;
    }
    TrackerEmulation& emulation = *setup->emulation;
    emulation.trackerId = trackerId;
    for (int i = 0; i < 6; ++i) {
        emulation.initialValues[i] = values[i];
        emulation.valuatorAssign[i] = valuatorNumbers[i];
    }
    emulation.resetButton = resetButton;
    return true;
}

bool CConCommonH::freeTable() {
    if (!controllers) return false;
    for (uint32_t i = 0; i < controllerCount; ++i) controllers[i].emulation.reset();
    controllers.reset();
    controllerCount = 0;
    return true;
}

uint32_t CConCommonH::setupStylusTable(const bool (&stylusStation)[kStations]) {
    uint32_t highest = 0;
    for (uint32_t station = 1; station <= kStations; ++station) {
        if (stylusStation[station - 1]) highest = station;
    }
    if (highest == 0 || !createTable(highest, true)) return 0;
    uint32_t styluses = 0;
    for (uint32_t station = 1; station <= highest; ++station) {
        if (stylusStation[station - 1]) {
            setController(station, ++styluses, 0, 1);
        } else {
            vacantEntries |= 1u << (station - 1);
        }
    }
    if (numControllers < styluses) numControllers = styluses;
    return styluses;
}

uint32_t CConCommonH::stylusOutputNumber(uint32_t station) const {
    if (station < 1 || station > kStations) return 0;
    const ControllerSetup* setup = entry(station);
    if (setup == nullptr || setup->outputId == 0) return 0;
    // An output number that does not fit in 32 bits is no output number at all.
    const uint64_t number = static_cast<uint64_t>(setup->outputId) + outputBase;
    return number > UINT32_MAX ? 0 : static_cast<uint32_t>(number);
}

bool CConCommonH::fillStylusRecord(uint32_t station, bool pressed, ControllerRecord& record) const {
    const uint32_t number = stylusOutputNumber(station);
    if (number < 1 || number > kMaxOutputNumber) return false;
    const ControllerSetup& setup = controllers[station - 1];

    // Start from an empty record: the caller reuses one record for every station, and bits left by
    // another station's buttons would otherwise be published here and upset the change test.
    record = ControllerRecord();
    record.stampTime();
    record.setId(number);
    record.valuatorOffset = htonl(36);
    record.numValuators = htonl(0);
    if (setup.buttonCount != 0) {
        // The record must hold the output button the stylus is mapped to, even when an order line
        // placed it beyond the count of real buttons; one beyond 32 cannot be published.
        const uint32_t stylusButton = setup.buttonOrder[0];
        const uint32_t count =
            stylusButton > setup.buttonCount && stylusButton <= kMaxButtons ? stylusButton : setup.buttonCount;
        record.setButtonCount(count);
        for (uint32_t n = 1; n <= count; ++n) record.setButton(n, false);
        record.setButton(stylusButton, pressed);
    } else {
        record.buttonOffset = htonl(36 + 4 * ntohl(record.numValuators));
        record.numButtons = htonl(1);
        record.setButton(1, pressed);
    }
    return true;
}
