// CDynamicLibH: loads one shared library and resolves its entry points through a per-slot cache.
#pragma once

#include <cstdint>
#include <vector>

#include "fastrak/Logger.h"
#include "platform/win32.h"

class CDynamicLibH {
public:
    // Any entry point; callers convert it to the entry's own type before calling.
    typedef void (*ProcAddress)();

    struct ProcCacheEntry {
        ProcAddress address;
        bool tried;  // the lookup for this slot has been made, with or without success
    };

    // A null name loads nothing; a failed load leaves an object without library.
    CDynamicLibH(const char* libraryName, const Logger* creatorLogger);
    virtual ~CDynamicLibH();

    CDynamicLibH(const CDynamicLibH&) = delete;
    CDynamicLibH& operator=(const CDynamicLibH&) = delete;

    bool load(const char* libraryName);
    ProcAddress getProcAddr(const char* procName);
    // The name is used only for the first lookup of a slot; a failed lookup is remembered.
    ProcAddress getProcAddrCached(const char* procName, uint32_t slot);
    bool unload();

    bool isLoaded() const { return libraryHandle != nullptr; }
    const std::vector<ProcCacheEntry>& cacheEntries() const { return procCache; }

protected:
    void debugLine(const char* text) const;
    void errorLine(const char* text, bool endLine) const;

    HMODULE libraryHandle;
    bool ownsLogger;
    std::vector<ProcCacheEntry> procCache;
    Logger* logger;
};
