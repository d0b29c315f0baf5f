// stampRecordTime: the record clock from _ftime32, the same reading on Windows and POSIX.
#include "storage/RecordTime.h"

#include "platform/win32.h"
#include "storage/FixedPoint.h"

namespace storage {

void stampRecordTime(RecordClock& clock, uint32_t& timeSec, uint32_t& timeUsec) {
    __timeb32 now{};
    _ftime32(&now);
    clock.seconds = static_cast<int32_t>(now.time);
    clock.milliseconds = static_cast<uint16_t>(now.millitm);
    clock.timezone = static_cast<int16_t>(now.timezone);
    clock.daylight = static_cast<int16_t>(now.dstflag);
    timeSec = toNet(static_cast<uint32_t>(clock.seconds));
    timeUsec = toNet(static_cast<uint32_t>(clock.milliseconds) * 1000u);
}

}  // namespace storage
