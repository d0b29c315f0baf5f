// CConCommonH::printControllerSummary: the controller block of the device summary.
#include <cstdint>
#include <iostream>

#include "controller/CConCommonH.h"

namespace {

const char* const kContinuation = "                      :";

// Writes reals and numbers in the plain default form whatever an earlier printout left set on
// the stream (the tracker block leaves fixed notation with 3 decimals), and puts the caller's
// settings back afterwards, so the summary neither depends on nor changes the stream's state.
class PlainNumbers {
public:
    explicit PlainNumbers(std::ostream& stream)
        : stream_(stream),
          flags_(stream.flags()),
          precision_(stream.precision()),
          width_(stream.width()),
          fill_(stream.fill()) {
        stream_.flags(std::ios_base::dec | std::ios_base::skipws);
        stream_.precision(6);
        stream_.width(0);
    }
    ~PlainNumbers() {
        stream_.flags(flags_);
        stream_.precision(precision_);
        stream_.width(width_);
        stream_.fill(fill_);
    }
    PlainNumbers(const PlainNumbers&) = delete;
    PlainNumbers& operator=(const PlainNumbers&) = delete;

private:
    std::ostream& stream_;
    std::ios_base::fmtflags flags_;
    std::streamsize precision_;
    std::streamsize width_;
    char fill_;
};

// a*X^3 + b*X^2 + c*X + d, term by term; a positive term after an earlier one gets its "+".
void writePolynomial(const float (&scale)[4]) {
    static const char* const kPowers[4] = {"X^3", "X^2", "X", ""};
    bool written = false;
    for (int i = 0; i < 4; ++i) {
        if (scale[i] == 0.0f) continue;
        if (written && scale[i] > 0.0f) std::cout << '+';
        std::cout << scale[i] << kPowers[i];
        written = true;
    }
}

}  // namespace

bool CConCommonH::printControllerSummary() const {
    PlainNumbers plain(std::cout);
    const auto info = [this](const char* text, bool endLine) {
        if (logger != nullptr) logger->info(text, endLine);
    };
    const auto entryMark = [this](uint32_t i) {
        if (controllerCount != 1) std::cout << ' ' << i << ':';
    };
    const uint32_t count = controllers ? controllerCount : 0;

    info("CONTROLLER ORDER      : <Real con> -> <Output con>", true);
    info(kContinuation, false);
    for (uint32_t i = 1; i <= count; ++i) {
        const ControllerSetup& setup = controllers[i - 1];
        if (setup.outputId == 0) continue;
        // A 32-bit sum, as the tracker summary prints its output numbers.
        std::cout << ' ' << i << "->" << static_cast<uint32_t>(setup.outputId + outputBase);
    }
    std::cout << std::endl;

    for (uint32_t i = 1; i <= count; ++i) {
        const ControllerSetup& setup = controllers[i - 1];
        if (setup.outputId == 0) continue;
        if (setup.valuatorCount != 0) {
            info("VALUATOR ORDER(SCALE) : <Real val> -> <Output val>", true);
            info(kContinuation, false);
            entryMark(i);
            for (uint32_t r = 1; r <= kMaxValuators; ++r) {
                if (setup.valuatorOrder[r - 1] == 0) continue;
                std::cout << ' ' << r << "->" << setup.valuatorOrder[r - 1] << '(';
                writePolynomial(setup.valuatorScale[r - 1]);
                std::cout << ')';
            }
            std::cout << std::endl;
        }
        if (setup.buttonCount != 0) {
            info("BUTTON ORDER          : <Real but> -> <Output but>", true);
            info(kContinuation, false);
            entryMark(i);
            for (uint32_t r = 1; r <= kMaxButtons; ++r) {
                if (setup.buttonOrder[r - 1] != 0) std::cout << ' ' << r << "->" << setup.buttonOrder[r - 1];
            }
            std::cout << std::endl;
        }
        if (setup.emulation) {
            const TrackerEmulation& emulation = *setup.emulation;
            info("TRACKER EMULATION     :", false);
            if (controllerCount == 1) {
                std::cout << " As ";
            } else {
                std::cout << ' ' << i << "->";
            }
            std::cout << "tracker[" << emulation.trackerId << ']' << std::endl;

            const float* v = emulation.initialValues;
            info(kContinuation, false);
            entryMark(i);
            std::cout << " Init Values:"
                      << " X=" << v[0] << " Y=" << v[1] << " Z=" << v[2] << std::endl;
            info(kContinuation, false);
            entryMark(i);
            std::cout << " Init Values:"
                      << " Azim=" << v[3] << " Elev=" << v[4] << " Roll=" << v[5] << std::endl;

            static const char* const kLabels[6] = {"X", "Y", "Z", "Azim", "Elev", "Roll"};
            info(kContinuation, false);
            entryMark(i);
            std::cout << " Val Assign :";
            for (int k = 0; k < 6; ++k) {
                if (emulation.valuatorAssign[k] != 0)
                    std::cout << ' ' << emulation.valuatorAssign[k] << "->" << kLabels[k];
            }
            std::cout << std::endl;
            if (emulation.resetButton != 0) {
                info(kContinuation, false);
                entryMark(i);
                std::cout << " Reset But  : " << emulation.resetButton << std::endl;
            }
        }
    }
    return true;
}
