// InitInfo: the twelve words that the host passes to init.
#pragma once

#include <cstddef>
#include <cstdint>

struct CDataStorage;

struct InitInfo {
    CDataStorage* trackerStorage;     // may be null when no station is a tracker
    CDataStorage* controllerStorage;  // may be null when no station carries a stylus
    uintptr_t hostWords[9];           // copied, never read
    int32_t* runFlag;                 // nonzero while the host wants records
};

static_assert(sizeof(InitInfo) == 12 * sizeof(void*), "InitInfo is twelve words");
static_assert(offsetof(InitInfo, runFlag) == 11 * sizeof(void*), "InitInfo layout");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(InitInfo) == 48, "InitInfo is 48 bytes on 32-bit hosts");
#endif
