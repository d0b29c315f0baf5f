// CConCommonH::parseOptions: the controller option lines (orders, valuator scale, tracker emulation).
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "config/OptionDiagnostics.h"
#include "config/OptionRecord.h"
#include "config/OptionText.h"
#include "controller/CConCommonH.h"

namespace {

const char* const kOrderLine = "Order at line ";
const char* const kOrderValue = "Order option at line ";
const char* const kEmulateLine = "EmulateTracker at line ";
const char* const kEmulateValue = "EmulateTracker option at line ";
const char* const kScaleLine = "ValuatorScale at line ";
const char* const kScaleValue = "ValuatorScale option at line ";

bool isKeyword(const OptionLine& line, const char* keyword) { return compareNoCase(line.keyword, keyword) == 0; }

// Argument i (counted from 1) as an unsigned number: a negative one counts as very large.
uint32_t number(const OptionLine& line, uint32_t i) { return static_cast<uint32_t>(toInteger(optionArg(line, i - 1))); }

}  // namespace

void CConCommonH::reportError(const char* problemPhrase, const char* optionPhrase, uint32_t lineNumber,
                              const char* terminatorText) const {
    if (logger != nullptr) {
        reportOptionError(*logger, "", problemPhrase, optionPhrase, lineNumber, terminatorText);
        return;
    }
    // Without a Logger the ERROR part is silent but the diagnostic itself still reaches the user.
    Logger silent;
    silent.setDefaults();
    silent.enabled = 0;
    reportOptionError(silent, "", problemPhrase, optionPhrase, lineNumber, terminatorText);
}

bool CConCommonH::parseOptions(DeviceConfig* config) {
    if (!controllers) {
        if (logger != nullptr) logger->error("CConCommonH: lookup Null", true);
        return false;
    }
    if (config == nullptr) {
        if (logger != nullptr) logger->error("CConCommonH: config empty", true);
        return false;
    }
    bool allAccepted = true;
    const uint32_t lineCount = optionLineCount(*config);
    for (uint32_t i = 0; i < lineCount; ++i) {
        OptionLine& line = config->entries[i];
        bool handled = true;
        bool accepted = false;
        if (isKeyword(line, "emulatetracker")) {
            accepted = parseEmulateTracker(line);
        } else if (isKeyword(line, "valuatororder")) {
            accepted = parseItemOrder(line, false);
        } else if (isKeyword(line, "buttonorder")) {
            accepted = parseItemOrder(line, true);
        } else if (isKeyword(line, "valuatorscale")) {
            accepted = parseValuatorScale(line);
        } else if (!inputConnector &&
                   (isKeyword(line, "controllerorder") || isKeyword(line, "unitorder") || isKeyword(line, "order"))) {
            // With an input connector these keywords belong to the tracker options.
            accepted = parseControllerOrder(line);
        } else {
            handled = false;
        }
        if (!handled) continue;
        if (accepted) {
            line.used = 1;
        } else {
            allAccepted = false;
        }
    }
    return allAccepted;
}

bool CConCommonH::parseEmulateTracker(const OptionLine& line) {
    const uint32_t n = optionArgCount(line);
    if (n == 0) {
        reportError(problem::kIncomplete, kEmulateLine, line.lineNumber, terminator::kPlain);
        return false;
    }
    const uint32_t m = number(line, 1);
    const ControllerSetup* setup = optionEntry(m);
    if (setup == nullptr) {
        reportError(problem::kInvalidControllerId, kEmulateValue, line.lineNumber, terminator::kPlain);
        return false;
    }
    if (n < 2) {
        reportError(problem::kIncomplete, kEmulateLine, line.lineNumber, terminator::kPlain);
        return false;
    }
    float values[6] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    const char* initial = optionArg(line, 1);
    if (initial[0] == '[') {
        // Values the text does not supply stay 0.
        std::sscanf(initial, "[%f,%f,%f,%f,%f,%f]", &values[0], &values[1], &values[2], &values[3], &values[4],
                    &values[5]);
    }
    if (n < 8) {
        reportError(problem::kIncomplete, kEmulateLine, line.lineNumber, terminator::kPlain);
        return false;
    }
    if (n > 9) {
        reportError(problem::kTooManyArgs, kEmulateLine, line.lineNumber, terminator::kPlain);
        return false;
    }
    uint32_t valuators[6];
    for (uint32_t k = 0; k < 6; ++k) {
        valuators[k] = number(line, 3 + k);
        if (valuators[k] > setup->valuatorCount || valuators[k] > kMaxValuators) {
            reportError(problem::kInvalidValuatorId, kEmulateValue, line.lineNumber, terminator::kPlain);
            return false;
        }
    }
    uint32_t resetButton = 0;
    if (n == 9) {
        resetButton = number(line, 9);
        if (resetButton < 1 || resetButton > setup->buttonCount || resetButton > kMaxButtons) {
            reportError(problem::kInvalidButtonId, kEmulateValue, line.lineNumber, terminator::kIgnored);
            return false;
        }
    }
    setEmulation(m, 0, values, valuators, resetButton);
    return true;
}

bool CConCommonH::parseItemOrder(const OptionLine& line, bool buttons) {
    const uint32_t n = optionArgCount(line);
    if (n == 0) {
        reportError(problem::kIncomplete, kOrderLine, line.lineNumber, terminator::kPlain);
        return false;
    }
    ControllerSetup* setup = optionEntry(number(line, 1));
    if (setup == nullptr) {
        reportError(problem::kInvalidControllerId, kOrderValue, line.lineNumber, terminator::kPlain);
        return false;
    }
    // A record holds at most 32 items: a longer list would name output numbers it cannot carry.
    if (n - 1 > kMaxButtons) {
        reportError(problem::kTooManyArgs, kOrderLine, line.lineNumber, terminator::kPlain);
        return false;
    }
    uint32_t& count = buttons ? setup->buttonCount : setup->valuatorCount;
    uint32_t* order = buttons ? setup->buttonOrder : setup->valuatorOrder;
    const uint32_t limit = limitToDeclared ? count : kMaxButtons;

    uint32_t listed[kMaxButtons] = {};
    const uint32_t items = n - 1;
    for (uint32_t k = 1; k <= items; ++k) listed[k - 1] = number(line, k + 1);

    uint32_t largest = 0;
    for (uint32_t k = 1; k <= items; ++k) {
        const uint32_t r = listed[k - 1];
        if (r == 0 && startsWithLetter(optionArg(line, k))) {
            reportError(problem::kInvalidArg, kOrderLine, line.lineNumber, terminator::kPlain);
            return false;
        }
        for (uint32_t later = k + 1; later <= items; ++later) {
            if (r != 0 && listed[later - 1] == r) {
                reportError(problem::kSameIdTwice, kOrderValue, line.lineNumber, terminator::kPlain);
                return false;
            }
        }
        if (r > largest) largest = r;
    }
    if (largest > limit) {
        reportError(problem::kInvalidIdIn, kOrderValue, line.lineNumber, terminator::kPlain);
        return false;
    }
    count = largest;
    for (uint32_t r = 0; r < kMaxButtons; ++r) order[r] = 0;
    for (uint32_t k = 1; k <= items; ++k) {
        if (listed[k - 1] != 0) order[listed[k - 1] - 1] = k;
    }
    return true;
}

bool CConCommonH::parseValuatorScale(const OptionLine& line) {
    const uint32_t n = optionArgCount(line);
    if (n == 0) {
        reportError(problem::kIncomplete, kScaleLine, line.lineNumber, terminator::kPlain);
        return false;
    }
    ControllerSetup* setup = optionEntry(number(line, 1));
    if (setup == nullptr) {
        reportError(problem::kInvalidControllerId, kScaleValue, line.lineNumber, terminator::kPlain);
        return false;
    }
    if (n < 3) {
        reportError(problem::kIncomplete, kScaleLine, line.lineNumber, terminator::kPlain);
        return false;
    }
    float scale[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    const char* written = optionArg(line, 1);
    if (written[0] == '[') {
        std::sscanf(written, "[%f,%f,%f,%f]", &scale[0], &scale[1], &scale[2], &scale[3]);
        if (scale[0] == 0.0f && scale[1] == 0.0f && scale[2] == 0.0f && scale[3] == 0.0f) {
            reportError(problem::kIncomplete, kScaleLine, line.lineNumber, terminator::kPlain);
            return false;
        }
    } else {
        scale[2] = static_cast<float>(std::strtod(written, nullptr));
        if (scale[2] == 0.0f && startsWithLetter(written)) {
            reportError(problem::kInvalidArg, kScaleLine, line.lineNumber, terminator::kPlain);
            return false;
        }
    }
    bool selected[kMaxValuators] = {};
    for (uint32_t i = 3; i <= n; ++i) {
        if (compareNoCase(optionArg(line, i - 1), "all") == 0) {
            for (bool& chosen : selected) chosen = true;
            break;
        }
        const uint32_t v = number(line, i);
        if (v < 1 || v > setup->valuatorCount || v > kMaxValuators) {
            reportError(problem::kInvalidValuatorId, kScaleValue, line.lineNumber, terminator::kPlain);
            return false;
        }
        selected[v - 1] = true;
    }
    for (uint32_t v = 0; v < kMaxValuators; ++v) {
        if (!selected[v]) continue;
        for (int c = 0; c < 4; ++c) setup->valuatorScale[v][c] = scale[c];
    }
    return true;
}

bool CConCommonH::parseControllerOrder(const OptionLine& line) {
    const uint32_t n = optionArgCount(line);
    const uint32_t p = n < numControllers ? n : numControllers;
    for (uint32_t k = 1; k <= p; ++k) {
        if (optionEntry(number(line, k)) == nullptr) {
            reportError(problem::kInvalidControllerId, kOrderValue, line.lineNumber, terminator::kPlain);
            return false;
        }
    }
    for (uint32_t i = 0; i < controllerCount; ++i) controllers[i].outputId = 0;
    for (uint32_t k = 1; k <= p; ++k) entry(number(line, k))->outputId = k;
    return true;
}
