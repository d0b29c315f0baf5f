// The one writer of option diagnostics, and the phrases every option reader uses.
#pragma once

#include <cstdint>

#include "fastrak/Logger.h"

namespace problem {
constexpr const char* kIncomplete = "Incomplete option line found for ";
constexpr const char* kTooManyArgs = "Too many args found for ";
constexpr const char* kInvalidArg = "Invalid arg found for ";
constexpr const char* kInvalidString = "Invalid string found for ";
constexpr const char* kInvalidControllerId = "Invalid controller ID found for ";
constexpr const char* kInvalidValuatorId = "Invalid valuator ID found for ";
constexpr const char* kInvalidButtonId = "Invalid button ID found for ";
constexpr const char* kInvalidIdIn = "Invalid ID found in ";
constexpr const char* kSameIdTwice = "Same ID found more than once in ";
constexpr const char* kInvalidSensorId = "Invalid sensor ID found for ";
constexpr const char* kInvalidStylusId = "Invalid ID for Stylus found for ";
constexpr const char* kInvalidTrackerId = "Invalid tracker ID found for ";
constexpr const char* kInvalidUnit = "Invalid unit found for ";
}  // namespace problem

namespace terminator {
constexpr const char* kPlain = ".";
constexpr const char* kIgnored = ". Ignored.";
}  // namespace terminator

// One line: an ERROR call on owner (line left open) with ownerText, then problem, option,
// lineNumber as unsigned decimal, terminator and end of line. option may be empty when the
// problem text already names the line (the input-connector order message).
void reportOptionError(const Logger& owner, const char* ownerText, const char* problemPhrase, const char* optionPhrase,
                       uint32_t lineNumber, const char* terminatorText = terminator::kPlain);
