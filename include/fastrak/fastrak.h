// The module's two exports, as a host looks them up in the shared library.
#pragma once

#include "fastrak/CBase.h"
#include "fastrak/DataStorage.h"
#include "fastrak/DeviceConfig.h"
#include "fastrak/InitInfo.h"
#include "fastrak/Logger.h"
#include "fastrak/Records.h"

#if defined(_WIN32)
#if defined(FASTRAK_BUILDING_MODULE)
#define FASTRAK_EXPORT __declspec(dllexport)
#else
#define FASTRAK_EXPORT
#endif
#else
#define FASTRAK_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
FASTRAK_EXPORT CBase* createDev(DeviceConfig* config, const Logger* logger);
FASTRAK_EXPORT bool deleteDev(CBase* device);
}

typedef CBase* (*CreateDevFunction)(DeviceConfig* config, const Logger* logger);
typedef bool (*DeleteDevFunction)(CBase* device);
