// A host-side storage as a tracking service sets it up: list, count, mutex and Logger.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fastrak/DataStorage.h"
#include "fastrak/Logger.h"
#include "fastrak/Records.h"

namespace testsupport {

enum class StorageKind { Tracker, Controller };

// Owns one CDataStorage of one kind with room for 32 records, its count, a CMutexH over a real
// system mutex (a robust recursive pthread mutex, or a Win32 mutex) and the Logger both report to.
// The objects point at each other, so the fixture neither copies nor moves.
class HostStorage {
public:
    explicit HostStorage(StorageKind kind, const std::string& loggerName = "HOST");
    ~HostStorage();
    HostStorage(const HostStorage&) = delete;
    HostStorage& operator=(const HostStorage&) = delete;

    // What the host hands to the module.
    CDataStorage* storage() { return &storage_; }
    CMutexH& mutex() { return mutex_; }
    // The system mutex behind mutex(): what WaitForSingleObject and ReleaseMutex take.
    void* handle() const { return mutex_.handle; }
    // Shared by the storage and its mutex: set flags or labels here.
    Logger& logger() { return logger_; }

    StorageKind kind() const { return kind_; }
    uint32_t count() const { return count_; }
    void setCount(uint32_t value) { count_ = value; }

    // Output number n (1 to 32) is element n-1; null on the other kind of storage.
    TrackerRecord* trackers() { return trackers_.empty() ? nullptr : trackers_.data(); }
    ControllerRecord* controllers() { return controllers_.empty() ? nullptr : controllers_.data(); }

    // The host takes its own mutex, waiting at most ms; unlock gives it back. For tests of how long
    // the module holds it.
    bool lockWithin(int ms);
    void unlock();

    // A line-comparable logger: no date, time or thread id in the prefix.
    void plainPrefix();

private:
    struct SystemMutex;

    StorageKind kind_;
    uint32_t count_;
    std::vector<TrackerRecord> trackers_;
    std::vector<ControllerRecord> controllers_;
    Logger logger_;
    std::unique_ptr<SystemMutex> system_;
    CMutexH mutex_;
    CDataStorage storage_;
};

}  // namespace testsupport
