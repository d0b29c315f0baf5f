// Storage: a host's tracker or controller storage of 32 slots, its count and its mutex, as a
// tracking service hands them to the module.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fastrak/DataStorage.h"
#include "fastrak/Logger.h"
#include "fastrak/Records.h"

namespace fastrakhost {

enum : uint32_t { kSlots = 32 };

// The host-order value of a mask word or a record field (they cross in network order).
uint32_t fromNetwork(uint32_t word);

// Fills a Logger record as the host hands it over, without calling into the module.
void fillLogger(Logger& logger, const char* name);

// One storage of one kind with the words the module uses. The mutex is a real system mutex: on
// POSIX robust (a reader that dies holding it does not block the others) and recursive, as a Win32
// mutex is. The objects point at each other, so a Storage never moves.
class Storage {
public:
    enum class Kind { Tracker, Controller };
    Storage(Kind kind, const Logger& logger);
    // With a Logger filled by fillLogger under that name.
    explicit Storage(Kind kind, const std::string& loggerName = "HOST");
    ~Storage();
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    bool ready() const;  // false when the system mutex could not be made
    Kind kind() const { return kind_; }
    // What the host hands to the module.
    CDataStorage* storage() { return &storage_; }
    CMutexH& mutex() { return mutex_; }
    // The system mutex behind mutex(): what WaitForSingleObject and ReleaseMutex take.
    void* handle() const { return mutex_.handle; }
    // Shared by the storage and its mutex.
    Logger& logger() { return logger_; }
    // Lines without date, time or thread id, for output a test compares.
    void plainPrefix();

    // The host's own access, under the same mutex the module takes.
    void lock();
    // Waits at most ms; false when the mutex stayed taken (for tests of how long the module holds it).
    bool lockWithin(int ms);
    void unlock();
    uint32_t count() const { return count_; }
    void setCount(uint32_t value) { count_ = value; }
    // Slot n (1..32); call with the lock held.
    const TrackerRecord* tracker(uint32_t n) const { return trackers() + (n - 1); }
    const ControllerRecord* controller(uint32_t n) const { return controllers() + (n - 1); }
    // The whole list, output number n at element n-1; null on the other kind of storage.
    TrackerRecord* trackers() const;
    ControllerRecord* controllers() const;

private:
    struct SystemMutex;
    void build();

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
