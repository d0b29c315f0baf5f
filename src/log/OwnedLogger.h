// The Logger copy that every object of the module owns: made from its creator's record or fresh.
#pragma once

#include <cstdint>

#include "fastrak/Logger.h"

// A heap copy of creator's record, or (creator null) a record with the defaults named className;
// either way with objectDebugLevel set. Null when memory runs out.
Logger* newOwnedLogger(const Logger* creator, const char* className, int32_t objectDebugLevel);

// Releases and frees an owned copy; leaves logger null.
void deleteOwnedLogger(Logger*& logger);
