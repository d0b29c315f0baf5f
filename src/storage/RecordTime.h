// The wall-clock stamp shared by both host records.
#pragma once

#include <cstdint>

#include "fastrak/Records.h"

namespace storage {

// Reads the 32-bit wall clock into clock, then timeSec and timeUsec (network order) from it.
void stampRecordTime(RecordClock& clock, uint32_t& timeSec, uint32_t& timeUsec);

}  // namespace storage
