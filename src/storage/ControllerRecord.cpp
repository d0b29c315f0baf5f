// ControllerRecord operations: id, time stamp, button count and bits, and the change test.
#include "fastrak/Records.h"

#include <algorithm>

#include "storage/FixedPoint.h"
#include "storage/RecordTime.h"

using storage::fromNet;
using storage::toNet;

namespace {

constexpr uint32_t kHeaderBytes = 36;

float valuatorValue(int32_t netField) {
    return storage::fromFixed(storage::fromNetSigned(netField), storage::kValuatorScale);
}

// A byte past the record's own button bytes counts as 0.
uint8_t buttonByte(const ControllerRecord& record, uint32_t index) {
    return index < record.buttonBytes && index < kButtonBytes ? record.buttons[index] : 0;
}

}  // namespace

ControllerRecord::ControllerRecord()
    : id(0),
      reserved1(0),
      timeSec(0),
      timeUsec(0),
      reserved2(0),
      numValuators(0),
      numButtons(0),
      valuatorOffset(0),
      buttonOffset(0),
      valuators(),
      buttons(),
      buttonBytes(kButtonBytes),
      clock() {}

bool ControllerRecord::setId(uint32_t n) {
    if (n < 1 || n > 32) return false;
    id = toNet(n);
    return true;
}

bool ControllerRecord::stampTime() {
    storage::stampRecordTime(clock, timeSec, timeUsec);
    return true;
}

bool ControllerRecord::setButtonCount(uint32_t n) {
    // The offset is rewritten even when the count is refused.
    buttonOffset = toNet(kHeaderBytes + 4u * fromNet(numValuators));
    if (n > kMaxButtons) return false;
    numButtons = toNet(n);
    return true;
}

bool ControllerRecord::setButton(uint32_t n, bool pressed) {
    if (n < 1 || n > kMaxButtons) return false;
    const uint32_t byteIndex = (n - 1) / 8;
    if (byteIndex >= buttonBytes || n > fromNet(numButtons)) return false;
    const uint8_t bit = static_cast<uint8_t>(1u << ((n - 1) % 8));
    if (pressed) {
        buttons[byteIndex] = static_cast<uint8_t>(buttons[byteIndex] | bit);
    } else {
        buttons[byteIndex] = static_cast<uint8_t>(buttons[byteIndex] & ~bit);
    }
    return true;
}

bool ControllerRecord::isEqual(const ControllerRecord& previous, const ControllerRecord& current) {
    if (previous.numValuators != current.numValuators || previous.numButtons != current.numButtons) return false;
    // Both counts come from the records themselves: never look past the arrays they hold.
    const uint32_t valuatorCount = std::min<uint32_t>(fromNet(previous.numValuators), kMaxValuators);
    for (uint32_t i = 0; i < valuatorCount; ++i) {
        if (valuatorValue(previous.valuators[i]) != valuatorValue(current.valuators[i])) return false;
    }
    const uint32_t byteCount = std::min<uint32_t>(previous.buttonBytes, kButtonBytes);
    for (uint32_t j = 0; j < byteCount; ++j) {
        if (buttonByte(previous, j) != buttonByte(current, j)) return false;
    }
    return true;
}
