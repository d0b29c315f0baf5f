// The UpdateMask bit rule: output number n is bit n-1 of the network-order word.
#pragma once

#include <cstdint>

#include "fastrak/Records.h"
#include "platform/win32.h"

namespace storage {

// Sets the bit of output number n (1 to 32) in a network-order word; other numbers change nothing.
inline bool markOutput(uint32_t& netWord, uint32_t n) {
    if (n < 1 || n > 32) return false;
    netWord = htonl(ntohl(netWord) | (UINT32_C(1) << (n - 1)));
    return true;
}

inline bool markTracker(UpdateMask& mask, uint32_t n) { return markOutput(mask.trackers, n); }

inline bool markController(UpdateMask& mask, uint32_t n) { return markOutput(mask.controllers, n); }

}  // namespace storage
