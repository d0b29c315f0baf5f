// CDynamicLibH: library load and release, entry point lookup and its per-slot cache.
#include "calib/CDynamicLibH.h"

#include <cstring>
#include <iostream>
#include <new>

#include "log/OwnedLogger.h"

CDynamicLibH::CDynamicLibH(const char* libraryName, const Logger* creatorLogger)
    : libraryHandle(nullptr), ownsLogger(true), procCache(), logger(newOwnedLogger(creatorLogger, "CDynamicLibH", 3)) {
    debugLine("CDynamicLibH: \"constructor\" called.");
    debugLine("CDynamicLibH: \"init\" called.");
    if (libraryName != nullptr) load(libraryName);
}

CDynamicLibH::~CDynamicLibH() {
    debugLine("CDynamicLibH: \"destructor\" called.");
    unload();
    if (ownsLogger) deleteOwnedLogger(logger);
    logger = nullptr;
}

void CDynamicLibH::debugLine(const char* text) const {
    if (logger != nullptr) logger->debug(text, true);
}

void CDynamicLibH::errorLine(const char* text, bool endLine) const {
    if (logger != nullptr) logger->error(text, endLine);
}

bool CDynamicLibH::load(const char* libraryName) {
    debugLine("CDynamicLibH: \"load\" called.");
    if (libraryName == nullptr || *libraryName == '\0') {
        errorLine("CDynamicLibH: Library name is empty.", true);
        return false;
    }
    if (libraryHandle != nullptr) return false;
    libraryHandle = LoadLibraryA(libraryName);
    if (libraryHandle == nullptr) {
        errorLine("CDynamicLibH: Can not load the library ", false);
        std::cout << libraryName << std::endl;
        return false;
    }
    if (logger != nullptr && logger->isDebugOn()) {
        logger->debug("CDynamicLibH: ", false);
        std::cout << libraryName << " library loaded." << std::endl;
    }
    return true;
}

CDynamicLibH::ProcAddress CDynamicLibH::getProcAddr(const char* procName) {
    debugLine("CDynamicLibH: \"getProcAddr\" called.");
    if (libraryHandle == nullptr) {
        errorLine("CDynamicLibH: Library has not been loaded.", true);
        return nullptr;
    }
    // From the generic function pointer type, which converts to and from any other.
    return reinterpret_cast<ProcAddress>(GetProcAddress(libraryHandle, procName));
}

CDynamicLibH::ProcAddress CDynamicLibH::getProcAddrCached(const char* procName, uint32_t slot) {
    debugLine("CDynamicLibH: \"getProcAddrCached\" called.");
    if (libraryHandle == nullptr) {
        errorLine("CDynamicLibH: Library has not been loaded.", true);
        return nullptr;
    }
    if (slot >= procCache.size()) {
        // A slot the cache cannot hold (no memory for it) is a failed lookup, never a throw.
        const size_t length = static_cast<size_t>(slot) + 1;
        if (length == 0) return nullptr;
        try {
            procCache.resize(length, ProcCacheEntry{nullptr, false});
        } catch (...) {
            return nullptr;
        }
    }
    ProcCacheEntry& entry = procCache[slot];
    if (entry.address == nullptr && !entry.tried) {
        entry.tried = true;
        entry.address = getProcAddr(procName);
    }
    return entry.address;
}

bool CDynamicLibH::unload() {
    debugLine("CDynamicLibH: \"unload\" called.");
    if (libraryHandle != nullptr) {
        FreeLibrary(libraryHandle);
        libraryHandle = nullptr;
    }
    std::vector<ProcCacheEntry>().swap(procCache);
    return true;
}
