// Storage: the host's tracker or controller storage of 32 slots, its count and its mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fastrak/DataStorage.h"
#include "fastrak/Logger.h"
#include "fastrak/Records.h"

namespace fastrakhost {

enum : uint32_t { kSlots = 32 };

// Fills a Logger record as the host hands it over, without calling into the module.
void fillLogger(Logger& logger, const char* name);

// One storage of one kind with the words the module uses. The mutex is a real system mutex: on
// POSIX robust (a reader that dies holding it does not block the others) and recursive, as a Win32
// mutex is. The objects point at each other, so a Storage never moves.
class Storage {
public:
    enum class Kind { Tracker, Controller };
    Storage(Kind kind, const Logger& logger);
    ~Storage();
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    bool ready() const;  // false when the system mutex could not be made
    CDataStorage* get() { return &storage_; }

    // The host's own access, under the same mutex the module takes.
    void lock();
    void unlock();
    uint32_t count() const { return count_; }
    void setCount(uint32_t value) { count_ = value; }
    // Slot n (1..32); call with the lock held.
    const TrackerRecord* tracker(uint32_t n) const { return trackerList() + (n - 1); }
    const ControllerRecord* controller(uint32_t n) const { return controllerList() + (n - 1); }

private:
    struct SystemMutex;

    TrackerRecord* trackerList() const;
    ControllerRecord* controllerList() const;

    uint32_t count_;
    Kind kind_;
    // Zeroed bytes rather than record objects: the record constructors belong to the module.
    std::vector<uint64_t> slots_;
    Logger logger_;
    std::unique_ptr<SystemMutex> system_;
    CMutexH mutex_;
    CDataStorage storage_;
};

}  // namespace fastrakhost
