// CDataStorage: the count setters with their refusals, slot lookup and the storage's lock.
#include "fastrak/DataStorage.h"

namespace {

constexpr uint32_t kMaxRecords = 32;

void refuse(const Logger* logger, const char* text) {
    if (logger != nullptr) logger->error(text, true);
}

// The checks common to both setters, in their order; the first that fails is logged.
bool acceptCount(const CDataStorage& storage, uint32_t n, const void* ownList, const void* otherList,
                 const char* otherListText, const char* noListText) {
    if (n > kMaxRecords) {
        refuse(storage.logger, "CDataStorage: The new number is too big.");
        return false;
    }
    if (otherList != nullptr) {
        refuse(storage.logger, otherListText);
        return false;
    }
    // Without a count there is nowhere to put the number: the storage is not complete.
    if (ownList == nullptr || storage.count == nullptr) {
        refuse(storage.logger, noListText);
        return false;
    }
    if (storage.mutex == nullptr) {
        refuse(storage.logger, "CDataStorage: Mutex has not been set up yet.");
        return false;
    }
    if (n == 0) {
        refuse(storage.logger, "CDataStorage: the number of data is zero.");
        return false;
    }
    return true;
}

uint32_t countOf(const CDataStorage& storage, const void* list) {
    return list != nullptr && storage.count != nullptr ? *storage.count : 0;
}

// Output number n is element n-1; the list has room for 32 whatever the count says.
bool slotExists(const CDataStorage& storage, const void* list, uint32_t n) {
    return n >= 1 && n <= kMaxRecords && n <= countOf(storage, list);
}

}  // namespace

bool CDataStorage::setTrackerNumber(uint32_t n) {
    if (!acceptCount(*this, n, trackerList, controllerList, "Delete controller data list first.",
                     "CDataStorage: Data storage has not been created yet.")) {
        return false;
    }
    *count = n;
    return true;
}

bool CDataStorage::setControllerNumber(uint32_t n) {
    if (!acceptCount(*this, n, controllerList, trackerList, "CDataStorage: Delete tracker data list first.",
                     "CDataStorage: Datt Storage has not been created yet.")) {
        return false;
    }
    *count = n;
    return true;
}

uint32_t CDataStorage::getTrackerNumber() const { return countOf(*this, trackerList); }

uint32_t CDataStorage::getControllerNumber() const { return countOf(*this, controllerList); }

TrackerRecord* CDataStorage::getTrackerData(uint32_t n) const {
    return slotExists(*this, trackerList, n) ? &trackerList[n - 1] : nullptr;
}

ControllerRecord* CDataStorage::getControllerData(uint32_t n) const {
    return slotExists(*this, controllerList, n) ? &controllerList[n - 1] : nullptr;
}

bool CDataStorage::lock() {
    if (mutex == nullptr) {
        refuse(logger, "CDataStorage: Mutex has not been set up yet.");
        return false;
    }
    return mutex->lock();
}

bool CDataStorage::unlock() {
    if (mutex == nullptr) {
        refuse(logger, "CDataStorage: Mutex has not been set up yet.");
        return false;
    }
    return mutex->unlock();
}
